#pragma once
// Control items: a mail record of a special kind with a single delivery, handed to the
// delivery pass like any outgoing mail.
#include <cstdint>
#include <string_view>

#include "core/core_tables.h"

namespace orv {

// Appends a MailRecord {recipientCount 1, created now, a new key, kind, all else 0}, its
// subject (empty when none) and one delivery in state 0 from sender to recipient with a
// zeroed progress. Returns the mail index.
int CreateItem(CoreTables& tables, std::string_view sender, std::string_view recipient,
               int32_t kind, std::string_view subject = {});

// A resend request (kind 2) asking for the mail with wantedKey, created at wantedCreated.
int CreateResendRequest(CoreTables& tables, std::string_view sender, std::string_view recipient,
                        uint64_t wantedKey, int32_t wantedCreated);

}  // namespace orv

#pragma once
// The questions asked about one mail's progress, each answered here and nowhere else: the
// delivery, the reception, the windows and the headless client all ask these.
#include <string>
#include <vector>

#include "core/core_tables.h"

namespace orv {

// Percentage of mail m's bytes received: 100 without files; 99 while it comes to 100 but
// some file is still incomplete.
int receivedPercent(const CoreTables& t, int m);

// Percentage of an outgoing mail delivered: over all its deliveries, counting the progress of
// those running or done (states 3, 4, 9, 13).
int deliveryPercent(const CoreTables& t, int m);

namespace DeliverySummary {
enum : int { Running = 0, SingleWaiting = 1, AllDelivered = 2 };
}
// SingleWaiting: a single receiver still waiting; AllDelivered: every receiver done (state 9);
// Running: otherwise.
int deliverySummary(const CoreTables& t, int m);

// The recipients of outgoing mail m that were refused because they do not exist.
std::vector<std::string> refusedRecipients(const CoreTables& t, int m);

// The Outbox mail with the key, or -1.
int outboxMail(const CoreTables& t, uint64_t key);

}  // namespace orv

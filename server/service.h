#pragma once
// The directory pages: each request's decoded query values in, the answer the clients look for
// out. Holds no state of its own beyond the store, so any number of threads may call handle().
#include <string_view>

#include "core/clock.h"
#include "server/password.h"
#include "server/query.h"
#include "server/response.h"
#include "server/store.h"

namespace orv::server {

// A login whose listener the server should try to reach: when the connect fails, the login is
// marked to be reached through a relay (markUnreachable).
struct ReachCheck {
    bool wanted = false;
    std::string name;     // as registered
    std::string address;  // the announced "host:port"
};

class DirectoryService {
  public:
    DirectoryService(StorePool& stores, const PasswordHasher& hasher, const orv::Clock& clock)
        : stores_(stores), hasher_(hasher), clock_(clock) {}

    static bool isKnownPage(std::string_view page);
    // Pages that check a password; the network threads hand these to a worker pool because a
    // password hash takes far longer than any other answer.
    static bool checksPassword(std::string_view page);

    // `page` is the lower-cased page name, e.g. "login.asp"; `peer` is the network address the
    // request came from ("127.0.0.1"), which login records and the pages without a password check.
    // A successful login of an ordinary account fills *reach (when given) with the check of its
    // listener that the caller runs before answering.
    Reply handle(std::string_view page, const QueryParams& params, std::string_view peer,
                 ReachCheck* reach = nullptr);
    // The listener announced by a login could not be reached: marks that login.
    bool markUnreachable(const ReachCheck& reach);

    // Whether the database answers: the readiness page.
    bool ready();

  private:
    Reply login(const QueryParams& p, std::string_view peer, ReachCheck* reach);
    Reply logout(const QueryParams& p);
    Reply registerOrChangePassword(const QueryParams& p);
    Reply publishGroup(const QueryParams& p);
    Reply recordMembership(const QueryParams& p, std::string_view peer);
    Reply deleteGroup(const QueryParams& p);
    Reply deleteGroupMemberships(const QueryParams& p);
    Reply listPublicGroups(const QueryParams& p);
    Reply lookupAddress(const QueryParams& p);
    Reply relayFor(const QueryParams& p);
    Reply listMyGroups(const QueryParams& p);
    Reply listGroupMembers(const QueryParams& p);
    Reply listCoMembers(const QueryParams& p);
    Reply recordSign(const QueryParams& p);
    Reply updateSign(const QueryParams& p);
    Reply listSigns(const QueryParams& p, std::string_view peer);

    // The account when the name exists and the password matches; the same work is spent either
    // way. A database failure sets *failed.
    std::optional<Account> authenticate(Store& store, std::string_view name,
                                        std::string_view password, bool* failed);

    StorePool& stores_;
    const PasswordHasher& hasher_;
    const orv::Clock& clock_;
};

// Rules for the texts the directory stores. Every list answer is split by clients at "|" or at
// line feeds after decoding it, so no stored text may hold the character "|", and names may hold
// no control bytes either. The texts are GB18030, where 0x7C is also the second byte of some
// ideographs (億 is 0x83 0x7C), so the check is made on the decoded characters.
bool isValidUserName(std::string_view name, bool allowOrganisation);
bool isValidListText(std::string_view text, std::size_t maxBytes, bool allowLineBreaks);
// Whether GB18030 text holds the character "|" (not merely the byte 0x7C).
bool holdsBar(std::string_view wire);

// Which of the logged-in relays (name, address rows in name order) serves `user`: the same one
// for gethost.asp and getrelay.asp while the set of relays stays the same, and users spread
// over the relays. -1 when there is none.
int relayIndexFor(std::string_view user, std::size_t relays);

// The organisation part of an account name, up to and including the first "/"; empty when the
// name has none.
std::string_view organisationOf(std::string_view name);

}  // namespace orv::server

#pragma once
// The directory client of one session: where requests go, the request text for every
// operation (texts are converted to the wire's encoding here), and the session's lookup and
// list-fetch machines.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/core_tables.h"
#include "core/session_state.h"
#include "directory/exchange.h"
#include "directory/replies.h"

namespace orv {

class DirectoryClient {
  public:
    DirectoryClient(SocketApi& api, const Clock& clock, SessionState& state)
        : api_(api),
          clock_(clock),
          state_(state),
          lookup_(api, clock),
          groupLists_(api),
          signLists_(api) {}

    SocketApi& api() { return api_; }
    const Clock& clock() const { return clock_; }
    const std::string& server() const { return state_.directoryServerAddress; }
    const char* languageLetter() const { return orv::languageLetter(state_.language); }
    UiLanguage language() const { return state_.language; }

    // Starts one exchange for a request line built by request:: (wire texts).
    void start(DirectoryExchange& ex, const std::string& pageAndQuery);
    // Runs one exchange to its end, waiting on its socket (tools and tests).
    std::string exchangeBlocking(const std::string& pageAndQuery);

    // The directory's answer for a user's address, for CoreTables::resolveUser: pending
    // lookups report Failed and are continued by the next call.
    AddressAnswer askAddress(std::string_view user, bool takeOver = false);
    AddressLookup& lookupMachine() { return lookup_; }
    // What the lookup waits for while it is busy with user's address; nothing otherwise.
    void addAddressWaits(std::string_view user, std::vector<PollEntry>& out) const;
    const ListFetch& groupListMachine() const { return groupLists_; }
    const ListFetch& signListMachine() const { return signLists_; }

    // The group lists (my groups, group members, co-members) share one machine.
    ListStatus listMyGroups(std::string_view user, std::vector<GroupListRecord>& out);
    ListStatus listGroupMembers(std::string_view creator, std::string_view group,
                                std::vector<GroupListRecord>& out);
    ListStatus listSigns(std::string_view sender, int mailTime, bool signedOnly,
                         std::vector<SignRecord>& out);

    // Every machine that is under way, for the session's wait.
    void addPollEntries(std::vector<PollEntry>& out) const;

  private:
    ListStatus groupFetch(const std::string& pageAndQuery, std::vector<GroupListRecord>& out);
    SocketApi& api_;
    const Clock& clock_;
    SessionState& state_;
    AddressLookup lookup_;
    ListFetch groupLists_;
    ListFetch signLists_;
};

}  // namespace orv

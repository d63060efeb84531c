#pragma once
// The session's side of being reached through a relay. After every login (unless this client
// is a relay itself) it asks the directory which relay to use (getrelay.asp) and keeps a link
// to that relay open (engine/relay_link.h). It asks again on the 300-second refresh, when the
// link is lost and when no relay is logged in, the last two with a growing back-off; a changed
// answer moves the link to the new relay. The directory decides who is reached this way: a
// user whose listener it could not reach at login, or who chose "Reach me through a relay".
#include <cstdint>
#include <optional>
#include <string>

#include "core/session_state.h"
#include "directory/directory_client.h"
#include "engine/relay_link.h"

namespace orv {

class RelayClient {
  public:
    // The back-off after a lost link or an unanswered question: 5 s, doubling up to the
    // refresh.
    static constexpr int64_t kFirstRetryMillis = 5000;

    RelayClient(DirectoryClient& directory, Engine& engine, SessionState& state,
                const Clock& clock);

    // A login finished (any answer): ask at once, dropping the link of the previous login.
    void loggedIn();
    // Nobody is logged in any more: the link goes.
    void loggedOut();
    // Advances the question and the link; announces a changed link (EventKind::RelayLinkChanged).
    void step();
    void addWaits(WaitSet& out) const;

    struct Status {
        enum Kind {
            Off,      // nobody logged in, or this client is a relay itself
            Asking,   // no answer yet
            Direct,   // the directory reaches us directly
            NoRelay,  // to be reached through a relay, but none is logged in
            Connecting,
            Linked
        } kind = Off;
        std::string relayUser, relayAddress;
        int failures = 0;  // lost links and unanswered questions in a row
        int64_t nextAskMs = -1;
    };
    Status status() const;
    const RelayLink& link() const { return link_; }

  private:
    void ask();
    void judge();
    void retryLater();
    void announce();

    DirectoryClient& dir_;
    SessionState& state_;
    const Clock& clock_;
    RelayLink link_;
    DirectoryExchange ex_;
    bool active_ = false;
    bool asking_ = false;
    int64_t nextAskMs_ = -1;
    int failures_ = 0;
    Status::Kind answer_ = Status::Off;
    bool announcedLinked_ = false;
};

}  // namespace orv

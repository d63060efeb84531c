#pragma once
// The link a client that cannot be reached keeps open to its relay: a connect to the relay's
// address, then a plain hello addressed to the relay's user and naming our own, which the relay
// accepts like any other. From then on the relay passes every item for us over this link, and
// our replies and file requests go back the same way; keep-alives keep it open like any link.
// Which relay to use, and when to try again, is the session's business.
#include <cstdint>
#include <string>

#include "engine/engine.h"

namespace orv {

class RelayLink {
  public:
    enum class State {
        Idle,        // no relay wanted
        Connecting,  // the connect is under way
        Hello,       // connected, our hello waits for its answer
        Linked,      // the relay accepted the hello
        Lost         // the connect failed, the hello was refused or went unanswered, or the
                     // link went away; open() again to retry
    };
    // A connect or a hello answer that takes longer counts as failed.
    static constexpr int64_t kConnectLimitMillis = 8000;
    static constexpr int64_t kHelloLimitMillis = 10000;

    RelayLink(Engine& engine, const Clock& clock) : engine_(engine), clock_(clock) {}
    ~RelayLink() { close(); }
    RelayLink(const RelayLink&) = delete;
    RelayLink& operator=(const RelayLink&) = delete;

    // Drops any link there is and starts one to `address` ("host:port"), naming `ownUser`.
    void open(std::string relayUser, std::string address, std::string ownUser);
    // Drops the link with a goodbye (or the connect under way); Idle afterwards.
    void close();
    // Advances the connect and notices an answered hello or a link that went away.
    State step();
    State state() const { return state_; }
    const std::string& relayUser() const { return relayUser_; }
    const std::string& address() const { return address_; }
    Socket socket() const { return socket_; }
    void addWaits(WaitSet& out) const;

  private:
    // The link's index while it is still ours (same socket, same user, one of our states).
    int ourLink() const;

    Engine& engine_;
    const Clock& clock_;
    State state_ = State::Idle;
    std::string relayUser_, address_, ownUser_;
    Socket socket_ = kInvalidSocket;
    int64_t startedMs_ = 0;
};

}  // namespace orv

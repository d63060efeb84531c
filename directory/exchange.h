#pragma once
// The three ways a directory request is carried out, all without blocking: an exchange (one
// request, one reply), the address lookup (one at a time, with an 8-second limit and a
// take-over), and the list fetches (no time limit; abandoned by a request for other values).
// Each reads until the server closes, its time limit passes or a generous cap is reached, so
// a reply split across segments is read whole.
#include <cstdint>
#include <string>
#include <vector>

#include "core/clock.h"
#include "net/socket_api.h"

namespace orv {

inline constexpr size_t kDirectoryReplyCap = 1 << 20;

// Something that advances when its sockets are ready or its deadline passes.
class Pollable {
  public:
    virtual ~Pollable() = default;
    virtual void addPollEntries(std::vector<PollEntry>& out) const = 0;
    // Clock milliseconds when it next wants to run without any socket event, or -1.
    virtual int64_t nextDeadlineMillis() const = 0;
};

// Work a session carries on beside everything else until it is done, such as registering the
// receipts of a sent mail.
class BackgroundTask : public Pollable {
  public:
    virtual bool step() = 0;  // true when finished
};

class DirectoryExchange final : public Pollable {
  public:
    static constexpr int64_t kConnectLimitMillis = 10000;
    static constexpr int64_t kReplyLimitMillis = 10000;

    DirectoryExchange(SocketApi& api, const Clock& clock) : api_(api), clock_(clock) {}
    ~DirectoryExchange() override { cancel(); }

    void start(const std::string& serverAddress, std::string requestText);
    // Advances without blocking; true once finished (also when idle).
    bool step();
    bool finished() const { return state_ == State::Idle; }
    // The reply bytes; empty when the server did not answer.
    const std::string& reply() const { return reply_; }
    void cancel();

    void addPollEntries(std::vector<PollEntry>& out) const override;
    int64_t nextDeadlineMillis() const override;

  private:
    enum class State { Idle, Connecting, Receiving };
    void finish();
    SocketApi& api_;
    const Clock& clock_;
    State state_ = State::Idle;
    Socket sock_ = kInvalidSocket;
    std::string request_;
    size_t sent_ = 0;
    std::string reply_;
    int64_t deadline_ = -1;
};

enum class LookupStatus { Pending, Found, NoSuchUser, Empty };

// The user-address lookup machine of one session.
class AddressLookup final : public Pollable {
  public:
    static constexpr int64_t kLimitSeconds = 8;

    AddressLookup(SocketApi& api, const Clock& clock) : api_(api), clock_(clock) {}
    ~AddressLookup() override { reset(); }

    // Advances the lookup of `wireName`; `address` receives the body when Found.
    LookupStatus lookup(const std::string& serverAddress, const std::string& hostHeader,
                        const std::string& wireName, bool takeOver, std::string& address);
    bool busy() const { return state_ != State::Idle; }
    const std::string& name() const { return name_; }
    void reset();

    void addPollEntries(std::vector<PollEntry>& out) const override;
    int64_t nextDeadlineMillis() const override;

  private:
    enum class State { Idle, Sending, Receiving };
    SocketApi& api_;
    const Clock& clock_;
    State state_ = State::Idle;
    std::string name_;
    Socket sock_ = kInvalidSocket;
    int64_t start_ = 0;
    std::string request_;
    size_t sent_ = 0;
    std::string reply_;
};

enum class ListStatus { Pending, Empty, Done };

// A list fetch machine: the group lists share one, the sign list has its own.
class ListFetch final : public Pollable {
  public:
    explicit ListFetch(SocketApi& api) : api_(api) {}
    ~ListFetch() override { reset(); }

    // Continues the fetch of `pageAndQuery` (or abandons another one and starts it). On Done,
    // `body` holds the reply body as received (wire bytes; split it after decoding, since a
    // separator byte can be the second byte of a wire character).
    ListStatus fetch(const std::string& serverAddress, const std::string& hostHeader,
                     const std::string& pageAndQuery, std::string& body);
    void reset();

    void addPollEntries(std::vector<PollEntry>& out) const override;
    int64_t nextDeadlineMillis() const override { return -1; }

  private:
    enum class State { Idle, Connecting, Connected, Receiving, Closed };
    SocketApi& api_;
    State state_ = State::Idle;
    std::string params_;
    Socket sock_ = kInvalidSocket;
    std::string request_;
    size_t sent_ = 0;
    std::string data_;
};

// Waits on a pollable's sockets until it next has something to do, at most maxWaitMillis.
void waitFor(SocketApi& api, const Clock& clock, const Pollable& p, int64_t maxWaitMillis);

}  // namespace orv

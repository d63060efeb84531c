#include "directory/exchange.h"

#include "directory/replies.h"
#include "directory/request.h"

namespace orv {

namespace {
// Reads what is there; false once the server has closed (or the connection broke).
bool drain(SocketApi& api, Socket s, std::string& into) {
    char buf[16384];
    for (;;) {
        if (into.size() >= kDirectoryReplyCap) return false;
        size_t room = std::min(sizeof buf, kDirectoryReplyCap - into.size());
        long n = api.Recv(s, buf, room);
        if (n > 0) {
            into.append(buf, static_cast<size_t>(n));
            continue;
        }
        return n == kIoWouldBlock;
    }
}

// Sends what remains of the request; false when the connection broke.
bool pushRequest(SocketApi& api, Socket s, const std::string& req, size_t& sent) {
    while (sent < req.size()) {
        long n = api.Send(s, req.data() + sent, req.size() - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        return n == kIoWouldBlock;
    }
    return true;
}
}  // namespace

// ---------------------------------------------------------------- exchange

void DirectoryExchange::start(const std::string& serverAddress, std::string requestText) {
    cancel();
    request_ = std::move(requestText);
    sent_ = 0;
    reply_.clear();
    sock_ = api_.ConnectTo(serverAddress, 80);
    if (sock_ == kInvalidSocket) return;  // finished, no answer
    state_ = State::Connecting;
    deadline_ = clock_.nowMillis() + kConnectLimitMillis;
}

void DirectoryExchange::cancel() {
    if (sock_ != kInvalidSocket) api_.Close(sock_);
    sock_ = kInvalidSocket;
    state_ = State::Idle;
    deadline_ = -1;
}

void DirectoryExchange::finish() {
    if (sock_ != kInvalidSocket) api_.Close(sock_);
    sock_ = kInvalidSocket;
    state_ = State::Idle;
    deadline_ = -1;
}

bool DirectoryExchange::step() {
    if (state_ == State::Idle) return true;
    int64_t now = clock_.nowMillis();
    if (state_ == State::Connecting) {
        ConnectProgress c = api_.CheckConnect(sock_);
        if (c == ConnectProgress::Failed) {
            finish();
            return true;
        }
        if (c == ConnectProgress::Pending) {
            if (now >= deadline_) finish();
            return finished();
        }
        state_ = State::Receiving;
        deadline_ = now + kReplyLimitMillis;
    }
    if (!pushRequest(api_, sock_, request_, sent_)) {
        finish();
        return true;
    }
    if (!drain(api_, sock_, reply_) || now >= deadline_) finish();
    return finished();
}

void DirectoryExchange::addPollEntries(std::vector<PollEntry>& out) const {
    if (state_ == State::Connecting) out.push_back({sock_, kWaitWrite, 0});
    if (state_ == State::Receiving)
        out.push_back(
            {sock_, static_cast<short>(kWaitRead | (sent_ < request_.size() ? kWaitWrite : 0)), 0});
}

int64_t DirectoryExchange::nextDeadlineMillis() const {
    return deadline_;
}

// ---------------------------------------------------------------- address lookup

void AddressLookup::reset() {
    if (sock_ != kInvalidSocket) api_.Close(sock_);
    sock_ = kInvalidSocket;
    state_ = State::Idle;
}

LookupStatus AddressLookup::lookup(const std::string& serverAddress, const std::string& hostHeader,
                                   const std::string& wireName, bool takeOver,
                                   std::string& address) {
    address.clear();
    if (state_ != State::Idle && name_ != wireName) {
        if (!takeOver) return LookupStatus::Pending;
        reset();
    }
    name_ = wireName;
    int64_t now = clock_.nowSeconds();
    if (state_ == State::Idle) {
        request_ = buildRequest(request::getHost(wireName), hostHeader);
        sent_ = 0;
        reply_.clear();
        sock_ = api_.ConnectTo(serverAddress, 80);
        if (sock_ == kInvalidSocket) return LookupStatus::Pending;
        start_ = now;
        state_ = State::Sending;
    }
    if (now - start_ > kLimitSeconds) {
        reset();
        return LookupStatus::Pending;
    }
    if (state_ == State::Sending) {
        ConnectProgress c = api_.CheckConnect(sock_);
        if (c == ConnectProgress::Failed) {
            reset();
            return LookupStatus::Pending;
        }
        if (c == ConnectProgress::Pending) return LookupStatus::Pending;
        if (!pushRequest(api_, sock_, request_, sent_)) {
            reset();
            return LookupStatus::Pending;
        }
        if (sent_ < request_.size()) return LookupStatus::Pending;
        state_ = State::Receiving;
    }
    if (drain(api_, sock_, reply_)) return LookupStatus::Pending;  // more may follow
    reset();
    std::string body;
    switch (judgeLookup(reply_, body)) {
        case LookupAnswer::Pending:
            return LookupStatus::Pending;
        case LookupAnswer::NoSuchUser:
            return LookupStatus::NoSuchUser;
        case LookupAnswer::Empty:
            return LookupStatus::Empty;
        case LookupAnswer::Found:
            address = body;
            return LookupStatus::Found;
    }
    return LookupStatus::Pending;
}

void AddressLookup::addPollEntries(std::vector<PollEntry>& out) const {
    if (state_ == State::Sending) out.push_back({sock_, kWaitWrite, 0});
    if (state_ == State::Receiving) out.push_back({sock_, kWaitRead, 0});
}

int64_t AddressLookup::nextDeadlineMillis() const {
    return state_ == State::Idle ? -1 : (start_ + kLimitSeconds + 1) * 1000;
}

// ---------------------------------------------------------------- list fetch

void ListFetch::reset() {
    if (sock_ != kInvalidSocket) api_.Close(sock_);
    sock_ = kInvalidSocket;
    state_ = State::Idle;
}

ListStatus ListFetch::fetch(const std::string& serverAddress, const std::string& hostHeader,
                            const std::string& pageAndQuery, std::string& body) {
    body.clear();
    if (pageAndQuery != params_) {
        reset();
        params_ = pageAndQuery;
    }
    if (state_ == State::Idle) {
        sock_ = api_.ConnectTo(serverAddress, 80);
        if (sock_ == kInvalidSocket) return ListStatus::Pending;
        state_ = State::Connecting;
        request_ = buildRequest(pageAndQuery, hostHeader);
        sent_ = 0;
        data_.clear();
    }
    if (state_ == State::Connecting) {
        ConnectProgress c = api_.CheckConnect(sock_);
        if (c == ConnectProgress::Failed) {
            // The server cannot be reached: close, and try again on a later call.
            reset();
            return ListStatus::Pending;
        }
        if (c == ConnectProgress::Pending) return ListStatus::Pending;
        state_ = State::Connected;
    }
    if (state_ == State::Connected || state_ == State::Receiving) {
        state_ = State::Receiving;
        if (!pushRequest(api_, sock_, request_, sent_)) {
            api_.Close(sock_);
            sock_ = kInvalidSocket;
            state_ = State::Closed;
        } else if (!drain(api_, sock_, data_)) {
            api_.Close(sock_);
            sock_ = kInvalidSocket;
            state_ = State::Closed;
        } else {
            return ListStatus::Pending;
        }
    }
    // Closed: the next call with these values starts over.
    state_ = State::Idle;
    params_.clear();
    if (data_.empty()) return ListStatus::Empty;
    replyBody(data_, body);
    return ListStatus::Done;
}

void ListFetch::addPollEntries(std::vector<PollEntry>& out) const {
    if (state_ == State::Connecting) out.push_back({sock_, kWaitWrite, 0});
    if (state_ == State::Receiving) out.push_back({sock_, kWaitRead, 0});
}

// ---------------------------------------------------------------- waiting

void waitFor(SocketApi& api, const Clock& clock, const Pollable& p, int64_t maxWaitMillis) {
    std::vector<PollEntry> entries;
    p.addPollEntries(entries);
    int64_t wait = maxWaitMillis;
    int64_t due = p.nextDeadlineMillis();
    if (due >= 0) wait = std::min(wait, std::max<int64_t>(0, due - clock.nowMillis()));
    api.Poll(entries, static_cast<int>(wait));
}

}  // namespace orv

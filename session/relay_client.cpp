#include "session/relay_client.h"

#include <algorithm>

#include "directory/request.h"
#include "groups/groups_facade.h"
#include "net/codec.h"

namespace orv {
namespace {

// The same refresh as a relay's group lists.
constexpr int64_t kRefreshMillis = int64_t{GroupsFacade::kRelayRefreshSeconds} * 1000;

}  // namespace

RelayClient::RelayClient(DirectoryClient& directory, Engine& engine, SessionState& state,
                         const Clock& clock)
    : dir_(directory),
      state_(state),
      clock_(clock),
      link_(engine, clock),
      ex_(directory.api(), clock) {}

void RelayClient::loggedIn() {
    link_.close();
    ex_.cancel();
    asking_ = false;
    failures_ = 0;
    announcedLinked_ = false;
    // A relay is reached directly by definition.
    active_ = state_.loggedIn() && state_.connectMode == 0;
    answer_ = active_ ? Status::Asking : Status::Off;
    nextAskMs_ = active_ ? clock_.nowMillis() : -1;
}

void RelayClient::loggedOut() {
    link_.close();
    ex_.cancel();
    asking_ = false;
    active_ = false;
    answer_ = Status::Off;
    nextAskMs_ = -1;
    if (announcedLinked_) announce();
}

void RelayClient::ask() {
    asking_ = true;
    dir_.start(ex_, request::getRelay(toWire(state_.currentUser)));
}

void RelayClient::retryLater() {
    ++failures_;
    int64_t wait = kFirstRetryMillis << std::min(failures_ - 1, 6);
    nextAskMs_ = clock_.nowMillis() + std::min(wait, kRefreshMillis);
}

void RelayClient::judge() {
    asking_ = false;
    RelayAnswer a = judgeRelay(ex_.reply());
    switch (a.kind) {
        case RelayAnswer::NoAnswer:
        case RelayAnswer::NoSuchUser:
            retryLater();
            return;
        case RelayAnswer::Direct:
            answer_ = Status::Direct;
            link_.close();
            failures_ = 0;
            nextAskMs_ = clock_.nowMillis() + kRefreshMillis;
            return;
        case RelayAnswer::NoRelay:
            answer_ = Status::NoRelay;
            link_.close();
            retryLater();
            return;
        case RelayAnswer::Found:
            break;
    }
    answer_ = Status::Linked;
    std::string user = fromWire(a.user);
    bool same = equalsIgnoreCase(user, link_.relayUser()) && a.address == link_.address();
    bool working = link_.state() == RelayLink::State::Connecting ||
                   link_.state() == RelayLink::State::Hello ||
                   link_.state() == RelayLink::State::Linked;
    if (!same || !working) link_.open(std::move(user), a.address, state_.currentUser);
    nextAskMs_ = clock_.nowMillis() + kRefreshMillis;
}

void RelayClient::step() {
    if (!active_) return;
    if (!state_.loggedIn()) {
        loggedOut();
        return;
    }
    if (asking_ && ex_.step()) judge();
    if (!asking_ && nextAskMs_ >= 0 && clock_.nowMillis() >= nextAskMs_) {
        nextAskMs_ = -1;
        ask();
    }
    RelayLink::State before = link_.state();
    RelayLink::State now = link_.step();
    if (now == RelayLink::State::Linked && before != now) failures_ = 0;
    if (now == RelayLink::State::Lost) {
        // Ask again rather than reconnect blindly: the relay may have gone for good.
        link_.close();
        if (!asking_) retryLater();
    }
    if ((now == RelayLink::State::Linked) != announcedLinked_) announce();
}

void RelayClient::announce() {
    announcedLinked_ = link_.state() == RelayLink::State::Linked;
    state_.events.push(EventKind::RelayLinkChanged, 0, announcedLinked_ ? 1 : 0,
                       announcedLinked_ ? link_.relayUser() : std::string());
}

void RelayClient::addWaits(WaitSet& out) const {
    if (!active_) return;
    if (asking_) {
        std::vector<PollEntry> e;
        ex_.addPollEntries(e);
        for (const auto& p : e)
            out.want(p.fd, p.events);
        out.dueAt(ex_.nextDeadlineMillis());
    } else if (nextAskMs_ >= 0) {
        out.dueAt(nextAskMs_);
    }
    link_.addWaits(out);
}

RelayClient::Status RelayClient::status() const {
    Status s;
    s.failures = failures_;
    s.nextAskMs = nextAskMs_;
    if (!active_) return s;
    s.kind = answer_;
    if (answer_ == Status::Linked) {
        s.relayUser = link_.relayUser();
        s.relayAddress = link_.address();
        s.kind = link_.state() == RelayLink::State::Linked ? Status::Linked : Status::Connecting;
    }
    return s;
}

}  // namespace orv

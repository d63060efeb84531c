#include "engine/engine.h"

#include <unistd.h>

#include <algorithm>

namespace orv {

// ---------------------------------------------------------------- life cycle

Engine::Engine(CoreTables& tables, SessionState& session, const Clock& clock, SocketApi& sockets,
               EngineConfig config)
    : tables_(tables),
      session_(session),
      clock_(clock),
      sockets_(sockets),
      config_(std::move(config)) {}

Engine::~Engine() {
    closeEverything();
}

void Engine::closeEverything() {
    for (auto& c : conns_)
        sockets_.Close(c->socket);
    conns_.clear();
    retired_.clear();
    while (links_.count() > 0)
        links_.removeAt(links_.count() - 1);
    for (const auto& e : linger_)
        sockets_.Close(e.socket);
    linger_.clear();
    lingerOut_.clear();
    for (size_t i = relays_.size(); i-- > 0;)
        closeRelay(i);
    for (const auto& a : attempts_.records)
        if (a.socket >= 0) sockets_.Close(a.socket);
    attempts_.records.clear();
    attempts_.names.clear();
    if (listener_ != kInvalidSocket) sockets_.Close(listener_);
    listener_ = kInvalidSocket;
}

void Engine::shutdown() {
    if (stopped_) return;
    shuttingDown_ = true;
    // The listener counts as open from now on, so it is never reopened.
    if (listener_ != kInvalidSocket) sockets_.Close(listener_);
    listener_ = kInvalidSocket;
    listenerClosedForGood_ = true;
    // Let pending sends and replies go out.
    for (int pass = 0; pass < 100; ++pass) {
        bool work = false;
        for (int i = 0; i < kStepCallsPerPass && SocketStep(); ++i)
            work = true;
        for (int i = 0; i < kStepCallsPerPass && PeriodicStep(); ++i)
            work = true;
        flushOutput();
        if (!work) break;  // further passes would find nothing either
    }
    closeAllLinks();
    // Give the goodbyes a moment to leave, instead of a fixed sleep.
    for (int round = 0; round < 10; ++round) {
        flushOutput();
        std::vector<PollEntry> waiting;
        for (int i = 0; i < linger_.count(); ++i)
            if (!lingerOut_[static_cast<size_t>(i)].empty())
                waiting.push_back(PollEntry{linger_[i].socket, kWaitWrite, 0});
        if (waiting.empty()) break;
        sockets_.Poll(waiting, std::max(1, config_.shutdownFlushMs / 10));
    }
    for (const auto& e : linger_)
        sockets_.Close(e.socket);
    linger_.clear();
    lingerOut_.clear();
    for (size_t i = relays_.size(); i-- > 0;)
        closeRelay(i);
    stopped_ = true;
    if (hooks_.closeIncomingFiles) hooks_.closeIncomingFiles();
}

void Engine::onLogin() {
    closeAllLinks();
    tables_.addressCacheNames.clear();
    tables_.addressCacheAddresses.clear();
    tables_.addressCacheTimes.clear();
}

void Engine::forgetCachedAddress(std::string_view user) {
    int i = tables_.addressCacheNames.find(user);
    if (i < 0) return;
    tables_.addressCacheNames.removeAt(i);
    tables_.addressCacheAddresses.removeAt(i);
    tables_.addressCacheTimes.removeAt(i);
}

// ---------------------------------------------------------------- the pump

bool Engine::EnginePump() {
    if (shuttingDown_ || stopped_) return false;
    bool any = false;
    pumpSaturated_ = false;
    for (int pass = 0; pass < kPumpPasses; ++pass) {
        bool passWork = false;
        for (int i = 0; i < kStepCallsPerPass && SocketStep(); ++i)
            passWork = true;
        int periodic = 0;
        while (periodic < kStepCallsPerPass && PeriodicStep())
            ++periodic;
        if (periodic > 0) passWork = true;
        any = any || passWork;
        if (periodic < kStepCallsPerPass && !passWork) break;
        if (pass == kPumpPasses - 1)
            pumpSaturated_ = true;  // still busy: the next wait must not block
    }
    syncNow();
    flushOutput();
    return any;
}

void Engine::queueAfterSync(Socket s, std::vector<uint8_t> bytes) {
    afterSync_.emplace_back(s, std::move(bytes));
}

bool Engine::syncNow() {
    bool ok = true;
    if (hooks_.syncPoint) {
        if (!afterSync_.empty() || tables_.hasMailNotes() || tables_.hasFilesToSync())
            ok = hooks_.syncPoint();
    } else {
        // Nobody keeps a journal (a bare engine): nothing to wait for.
        for (int fd : tables_.takeFilesToSync())
            ::close(fd);
        tables_.takeMailNotes();
    }
    auto held = std::move(afterSync_);
    afterSync_.clear();
    if (ok) {
        for (auto& [s, bytes] : held)
            queueBytes(s, bytes, /*control=*/true);
    }
    return ok;
}

bool Engine::SocketStep() {
    keepListenerOpen();
    if (hooks_.instanceService) hooks_.instanceService();
    if (stopped_ || !loggedIn()) return false;
    if (hooks_.groupRefresh) hooks_.groupRefresh();
    bool work = pumpRelays(now());
    int32_t t = now();
    if (acceptStep(t)) work = true;
    if (hooks_.checkStalledReceptions) hooks_.checkStalledReceptions();
    if (limitStatusClients()) work = true;
    if (receiveAll(t)) work = true;
    flushOutput();
    retired_.clear();
    return work;
}

bool Engine::PeriodicStep() {
    if (stopped_ || !loggedIn()) return false;
    bool relayed = hooks_.relayForwarding && hooks_.relayForwarding();
    bool fileServer = hooks_.fileServerStep && hooks_.fileServerStep();
    int32_t t = now();
    bool transfers = hooks_.transferStep && hooks_.transferStep();
    keepAliveRules(t);
    lingerStep(t);
    sweepSharedFileDeliveries(t);
    bool chunkSent = hooks_.deliveryPass && hooks_.deliveryPass();
    retired_.clear();
    return relayed || fileServer || chunkSent || transfers;
}

// ---------------------------------------------------------------- links

int Engine::openLink(Socket s, int32_t state, std::string_view user, int32_t origin) {
    int32_t t = now();
    PeerLinkRecord r{-1, 0, 0, t, 0, state, s};
    int i = links_.add(r, user);
    auto c = std::make_unique<Connection>();
    c->socket = s;
    c->origin = origin;
    c->lastActivity = t;
    c->openedAt = t;
    conns_.push_back(std::move(c));
    return i;
}

bool Engine::IsPlainLink(Socket s) const {
    int i = links_.findBySocket(s);
    return i >= 0 && links_.records[i].relaySlot == -1;
}

Connection* Engine::findConnection(Socket s) {
    for (auto& c : conns_)
        if (c->socket == s) return c.get();
    return nullptr;
}

const Connection* Engine::connection(Socket s) const {
    for (const auto& c : conns_)
        if (c->socket == s) return c.get();
    return nullptr;
}

void Engine::closeLinkAt(int index, bool goodbye) {
    if (index < 0 || index >= links_.count()) return;
    Socket s = links_.records[index].socket;
    links_.removeAt(index);
    ++linkCloses_;
    // Users behind a relay share its socket; the socket goes only with its last link.
    if (links_.findBySocket(s) < 0) {
        ByteQueue pending;
        auto it = std::find_if(conns_.begin(), conns_.end(),
                               [s](const auto& c) { return c->socket == s; });
        if (it != conns_.end()) {
            if (!(*it)->broken) pending = std::move((*it)->out);
            retired_.push_back(std::move(*it));
            conns_.erase(it);
        }
        if (goodbye) {
            // Whatever was queued goes out first, then the goodbye; the socket stays open
            // for a while so the other side can read it all.
            auto bye = emptyMessage(Command::Goodbye);
            pending.append(bye.data(), bye.size());
            flushQueue(s, pending);
            linger_.append(LingerEntry{now(), s});
            lingerOut_.push_back(std::move(pending));
        }
        for (auto& d : tables_.deliveries)
            if (d.linkSocket == s) d.linkSocket = -1;
    }
    if (hooks_.linkClosed) hooks_.linkClosed(s);
}

void Engine::closeLink(Socket s, bool goodbye) {
    closeLinkAt(links_.findBySocket(s), goodbye);
}

void Engine::closeAllLinks() {
    for (int i = links_.count() - 1; i >= 0; --i) {
        if (i < links_.count()) closeLinkAt(i, true);
    }
    for (const auto& a : attempts_.records)
        if (a.socket >= 0) sockets_.Close(a.socket);
    attempts_.records.clear();
    attempts_.names.clear();
}

// ---------------------------------------------------------------- sending

bool Engine::queueBytes(Socket s, std::span<const uint8_t> bytes, bool control) {
    Connection* c = findConnection(s);
    if (!c || c->broken) return false;
    size_t limit = control ? kControlLimit : kOutputHighWater;
    if (!c->out.empty() && c->out.size() + bytes.size() > limit) return false;
    c->out.append(bytes.data(), bytes.size());
    if (c->out.size() >= kWriteBatch) flushConnection(*c);
    return true;
}

bool Engine::queueMessage(Socket s, int32_t command, std::span<const uint8_t> body, bool control) {
    if (!validBodyLength(static_cast<int32_t>(std::min<size_t>(body.size(), 0x7FFFFFFF))))
        return false;
    Connection* c = findConnection(s);
    if (!c || c->broken) return false;
    size_t limit = control ? kControlLimit : kOutputHighWater;
    size_t n = kHeaderSize + body.size();
    if (!c->out.empty() && c->out.size() + n > limit) return false;
    uint8_t* p = c->out.prepare(n);
    writeHeader(p, {command, static_cast<int32_t>(body.size())});
    if (!body.empty()) std::memcpy(p + kHeaderSize, body.data(), body.size());
    c->out.commit(n);
    if (c->out.size() >= kWriteBatch) flushConnection(*c);
    return true;
}

size_t Engine::pendingOutput(Socket s) const {
    const Connection* c = connection(s);
    return c ? c->out.size() : 0;
}

long Engine::sendDirect(Socket s, std::span<const uint8_t> bytes) {
    Connection* c = findConnection(s);
    if (!c || !flushConnection(*c)) return -1;
    if (!c->out.empty() || bytes.empty()) return 0;
    long r = sockets_.Send(s, bytes.data(), bytes.size());
    if (r >= 0) return r;
    if (r == kIoWouldBlock) return 0;
    c->broken = true;
    return -1;
}

bool Engine::flushQueue(Socket s, ByteQueue& q) {
    while (!q.empty()) {
        size_t n = std::min(q.size(), kWriteBatch);
        long r = sockets_.Send(s, q.data(), n);
        if (r > 0) {
            q.consume(static_cast<size_t>(r));
            if (static_cast<size_t>(r) < n) break;  // the socket is full for now
            continue;
        }
        if (r == kIoWouldBlock) break;
        q.release();
        return false;
    }
    // A busy link drains its queue many times a second: freeing and faulting in megabytes
    // each time cost the sender a quarter of its CPU. Only storage beyond what a queue may
    // hold goes back.
    if (q.empty() && q.capacity() > 2 * kControlLimit) q.release();
    return true;
}

bool Engine::flushConnection(Connection& c) {
    if (c.broken) return false;
    if (!flushQueue(c.socket, c.out)) c.broken = true;
    return !c.broken;
}

void Engine::flushOutput() {
    for (auto& c : conns_)
        if (!c->out.empty()) flushConnection(*c);
    for (int i = 0; i < linger_.count(); ++i) {
        ByteQueue& q = lingerOut_[static_cast<size_t>(i)];
        if (!q.empty()) flushQueue(linger_[i].socket, q);
    }
}

}  // namespace orv

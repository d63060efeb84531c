#include "engine/engine.h"

#include <algorithm>

#include "engine/create_item.h"
#include "engine/rate_meter.h"

namespace orv {

namespace {

constexpr int32_t kDeliveryAwaitingReply = 13;  // message or files sent, waiting for a reply

void markForClose(PeerLinkRecord& l) {
    l.closeMark = (l.closeMark & ~0xFF) | 1;
}
bool markedForClose(const PeerLinkRecord& l) {
    return (l.closeMark & 0xFF) == 1;
}

}  // namespace

// ---------------------------------------------------------------- WaitSet

void WaitSet::want(Socket fd, short events) {
    if (fd < 0 || events == 0) return;
    for (auto& e : entries) {
        if (e.fd == fd) {
            e.events = static_cast<short>(e.events | events);
            return;
        }
    }
    entries.push_back(PollEntry{fd, events, 0});
}

short WaitSet::eventsFor(Socket fd) const {
    for (const auto& e : entries)
        if (e.fd == fd) return e.events;
    return 0;
}

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
        for (int i = 0; i < 100 && SocketStep(); ++i)
            work = true;
        for (int i = 0; i < 100 && PeriodicStep(); ++i)
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

int64_t Engine::dueInSeconds(int64_t dueSecond) const {
    // Seconds and milliseconds come from different clocks; waiting whole seconds from now
    // is never early, at worst up to a second late.
    int64_t wait = dueSecond - clock_.nowSeconds();
    return clock_.nowMillis() + std::max<int64_t>(0, wait) * 1000;
}

// ---------------------------------------------------------------- the pump

bool Engine::EnginePump() {
    if (shuttingDown_ || stopped_) return false;
    bool any = false;
    pumpSaturated_ = false;
    for (int pass = 0; pass < 5; ++pass) {
        bool passWork = false;
        for (int i = 0; i < 100 && SocketStep(); ++i)
            passWork = true;
        int periodic = 0;
        while (periodic < 100 && PeriodicStep())
            ++periodic;
        if (periodic > 0) passWork = true;
        any = any || passWork;
        if (periodic < 100 && !passWork) break;
        if (pass == 4) pumpSaturated_ = true;  // still busy: the next wait must not block
    }
    flushOutput();
    return any;
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
    if (hooks_.relayForwarding) hooks_.relayForwarding();
    bool fileServer = hooks_.fileServerStep && hooks_.fileServerStep();
    int32_t t = now();
    if (hooks_.transferStep) hooks_.transferStep();
    keepAliveRules(t);
    lingerStep(t);
    sweepSharedFileDeliveries(t);
    bool chunkSent = hooks_.deliveryPass && hooks_.deliveryPass();
    retired_.clear();
    return fileServer || chunkSent;
}

// ---------------------------------------------------------------- listener and accept

void Engine::keepListenerOpen() {
    if (listener_ != kInvalidSocket || listenerClosedForGood_) return;
    int64_t nowMs = clock_.nowMillis();
    if (listenRetryAtMs_ >= 0 && nowMs < listenRetryAtMs_) return;
    listenRetryAtMs_ = -1;
    bool fixed = tables_.settingNumber(Setting::UseFixedAddress) != 0;
    if (fixed) {
        // One port per attempt, downward.
        if (!portStarted_) {
            portStarted_ = true;
            peerPort_ = config_.firstPeerPort > 0 ? config_.firstPeerPort + 1 : 29998;
        }
        if (--peerPort_ < 1) peerPort_ = 65535;
        listener_ = sockets_.OpenListener(config_.listenAddress, peerPort_);
        if (listener_ == kInvalidSocket) listenRetryAtMs_ = nowMs + 1000;
        return;
    }
    if (!portStarted_) {
        portStarted_ = true;
        if (config_.firstPeerPort > 0)
            peerPort_ = config_.firstPeerPort - 1;
        else
            peerPort_ += static_cast<int32_t>(clock_.nowSeconds() % 1000);
    }
    while (peerPort_ < 65535) {
        ++peerPort_;
        listener_ = sockets_.OpenListener(config_.listenAddress, peerPort_);
        if (listener_ != kInvalidSocket) return;
    }
    // Not one port up to the top could be had: start over a second later.
    portStarted_ = false;
    peerPort_ = 29998;
    listenRetryAtMs_ = nowMs + 1000;
}

bool Engine::acceptStep(int32_t t) {
    if (listener_ == kInvalidSocket) return false;
    if (t - lastAccept_ < 2) return false;
    // An attempt counts only when a connection is waiting, so an idle listener costs no
    // wake-ups and the first connection after a quiet time is taken at once.
    if (!sockets_.IsReadable(listener_)) return false;
    lastAccept_ = t;
    Socket s = kInvalidSocket;
    PeerAddress from;
    sockets_.AcceptConnection(listener_, s, from);
    if (s == kInvalidSocket) return false;
    openLink(s, LinkState::Unidentified, {}, Origin::Inbound);
    return true;
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

bool Engine::sendKeepAlive(Socket s) {
    return queueMessage(s, Command::KeepAlive, {}, /*control=*/true);
}

// ---------------------------------------------------------------- receiving

bool Engine::receiveAll(int32_t t) {
    bool work = false;
    uint64_t closes = linkCloses_;
    for (size_t i = 0; i < conns_.size(); ++i) {
        StepResult r = runReceive(*conns_[i], t);
        if (r.work) work = true;
        if (r.endLoop || linkCloses_ != closes) {
            // A link was closed: the table changed under the loop, which ends here; the pump
            // comes back for the connections after it.
            work = true;
            break;
        }
    }
    return work;
}

bool Engine::readMore(Connection& c, int32_t t) {
    if (c.peerClosed || c.broken) return false;
    size_t want = c.readSize;
    uint8_t* dst = c.in.prepare(want);
    long n = sockets_.Recv(c.socket, dst, want);
    if (n > 0) {
        c.in.commit(static_cast<size_t>(n));
        c.lastActivity = t;
        if (static_cast<size_t>(n) == want && c.readSize < kMaxReadSize) c.readSize *= 2;
        return true;
    }
    if (n == kIoClosed || n == kIoError) c.peerClosed = true;
    return false;
}

void Engine::consumeMessage(Connection& c) {
    c.in.consume(static_cast<size_t>(c.bodyLength));
    c.receiveState = ReceiveState::Header;
    c.heldUntilMs = -1;
    if (c.in.empty() && c.in.capacity() > 2 * kMaxReadSize) c.in.release();
}

Engine::StepResult Engine::runReceive(Connection& c, int32_t t) {
    StepResult res;
    bool triedRead = false;
    uint64_t closes = linkCloses_;
    auto message = [&c]() {
        return InboundMessage{
            c.socket, c.command,
            std::span<const uint8_t>(c.in.data(), static_cast<size_t>(c.bodyLength))};
    };
    // Needs more bytes than are buffered: one read per step, and a connection whose other
    // side is gone ends here.
    auto needMore = [&](size_t wanted) -> int {
        if (!triedRead) {
            triedRead = true;
            if (readMore(c, t)) {
                res.work = true;
                return 1;  // look again
            }
        }
        if (c.in.size() >= wanted) return 1;
        if (c.peerClosed || c.broken) {
            closeLink(c.socket, true);
            res.work = true;
            res.endLoop = true;
        }
        return 0;
    };
    if (c.broken) {
        // Nothing can be sent on it any more, whatever it is waiting for.
        closeLink(c.socket, true);
        return StepResult{true, true};
    }
    for (;;) {
        switch (c.receiveState) {
            case ReceiveState::Parked:
                return res;
            case ReceiveState::Header: {
                if (c.in.size() < kHeaderSize) {
                    if (needMore(kHeaderSize)) continue;
                    return res;
                }
                uint32_t first;
                std::memcpy(&first, c.in.data(), 4);
                if (c.origin == Origin::Inbound && c.phase == 1) {
                    if (first == kHttpGetWord) return startHttpRelay(c);
                    if (first == kParkWord) {
                        c.receiveState = ReceiveState::Parked;
                        return res;
                    }
                }
                WireHeader h = readHeader(c.in.data());
                c.in.consume(kHeaderSize);
                c.lastActivity = t;
                c.command = h.command;
                c.bodyLength = h.bodyLength;
                c.receiveState = ReceiveState::Body;
                res.work = true;
                if (!validBodyLength(h.bodyLength)) {
                    closeLink(c.socket, true);
                    res.endLoop = true;
                    return res;
                }
                continue;
            }
            case ReceiveState::Body: {
                if (c.in.size() < static_cast<size_t>(c.bodyLength)) {
                    if (needMore(static_cast<size_t>(c.bodyLength))) continue;
                    return res;
                }
                res.work = true;
                StepResult r = completeBody(c, t);
                if (r.endLoop || linkCloses_ != closes) {
                    res.endLoop = true;
                    return res;
                }
                continue;
            }
            case ReceiveState::Sending:
                flushConnection(c);
                if (c.out.empty() && !c.broken) {
                    c.receiveState = ReceiveState::Header;
                    res.work = true;
                    continue;
                }
                if (c.broken) {
                    closeLink(c.socket, true);
                    res.work = res.endLoop = true;
                }
                return res;
            case ReceiveState::Hello: {
                StepResult r = handleHello(c);
                if (r.work) res.work = true;
                if (r.endLoop) {
                    res.endLoop = true;
                    return res;
                }
                if (c.receiveState == ReceiveState::Hello) return res;  // answer could not go out
                continue;
            }
            case ReceiveState::Note:
                handleNote(c);
                consumeMessage(c);
                res.work = true;
                continue;
            case ReceiveState::Chunk: {
                int32_t limit = tables_.settingNumber(Setting::MaxRecvTotal);
                if (limit > 0 && meterHolds(receiveMeter_, limit, clock_.nowMillis())) {
                    c.heldUntilMs = meterFreeAtMs(receiveMeter_, limit);
                    return res;
                }
                // ---- dispatch: file chunk to the reception ----
                ChunkVerdict v = hooks_.fileChunk ? hooks_.fileChunk(message()) : ChunkVerdict{};
                if (v.taken) {
                    consumeMessage(c);
                    res.work = true;
                } else {
                    c.heldUntilMs = v.retryAtMs >= 0 ? v.retryAtMs : clock_.nowMillis() + 1000;
                }
                if (linkCloses_ != closes) {
                    res.work = res.endLoop = true;
                    return res;
                }
                if (!v.taken) return res;
                continue;
            }
            case ReceiveState::Item:
                // ---- dispatch: item message to the reception, by the item's kind ----
                if (hooks_.itemMessage) hooks_.itemMessage(message());
                consumeMessage(c);
                res.work = true;
                if (linkCloses_ != closes) {
                    res.endLoop = true;
                    return res;
                }
                continue;
            default:
                c.receiveState = ReceiveState::Header;
                continue;
        }
    }
}

Engine::StepResult Engine::completeBody(Connection& c, int32_t t) {
    StepResult res{true, false};
    InboundMessage msg{c.socket, c.command,
                       std::span<const uint8_t>(c.in.data(), static_cast<size_t>(c.bodyLength))};
    switch (c.command) {
        case Command::ItemMessage:
            c.receiveState = ReceiveState::Item;
            break;
        case Command::SendFiles:
        case Command::Received:
        case Command::AllReceived:
            // ---- dispatch: item reply to the delivery it answers ----
            if (hooks_.itemReply) hooks_.itemReply(msg);
            consumeMessage(c);
            break;
        case Command::FileChunk:
            c.receiveState = ReceiveState::Chunk;
            break;
        case Command::Note:
            c.receiveState = ReceiveState::Note;
            break;
        case Command::Hello:
        case Command::HelloExclusive:
            c.receiveState = ReceiveState::Hello;
            break;
        case Command::Goodbye: {
            std::string user(links_.userBySocket(c.socket));
            if (!user.empty()) forgetCachedAddress(user);
            closeLink(c.socket, true);
            res.endLoop = true;
            break;
        }
        case Command::Reject:
            closeLink(c.socket, true);
            res.endLoop = true;
            break;
        case Command::KeepAlive: {
            int i = links_.findBySocket(c.socket);
            if (i >= 0) {
                links_.records[i].lastActivity = t;
                links_.records[i].missedKeepAlives = 0;
            }
            consumeMessage(c);
            break;
        }
        case Command::Accept:
            links_.setState(c.socket, LinkState::HelloAccepted);
            consumeMessage(c);
            break;
        case Command::LoggedInElsewhere:
            session_.loggedInElsewhere = true;
            if (hooks_.loggedInElsewhere) hooks_.loggedInElsewhere();
            consumeMessage(c);
            break;
        case Command::StatusRequest: {
            consumeMessage(c);
            c.phase = 2;
            std::string_view none;
            links_.setState(c.socket, LinkState::StatusClient, &none);
            auto reply = buildStatusReply();
            c.out.append(reply.data(), reply.size());
            c.receiveState = ReceiveState::Sending;
            break;
        }
        default:
            consumeMessage(c);
            break;
    }
    return res;
}

Engine::StepResult Engine::handleHello(Connection& c) {
    StepResult res;
    // The answer goes out only on a plain link with room for it; otherwise the hello is
    // looked at again on a later step, with nothing changed yet.
    if (!IsPlainLink(c.socket)) return res;
    if (!c.out.empty() && c.out.size() + kHeaderSize > kControlLimit) return res;

    WireReader reader(std::span<const uint8_t>(c.in.data(), static_cast<size_t>(c.bodyLength)));
    reader.skip(kHelloReserved);
    std::vector<std::string> s = reader.readStringsToEnd(codec_);
    bool valid = s.size() >= 3 && !s[1].empty() && equalsIgnoreCase(s[0], session_.currentUser);

    int32_t answer = Command::Reject;
    bool closeThis = false;
    Socket older = kInvalidSocket;
    if (valid) {
        const std::string& sender = s[1];
        Socket existing = links_.findIdentified(sender);
        bool elsewhere = existing != kInvalidSocket && existing != c.socket;
        std::string_view name = sender;
        if (c.command == Command::HelloExclusive) {
            if (elsewhere) {
                closeThis = true;
            } else {
                links_.setState(c.socket, LinkState::InboundExclusive, &name);
                c.origin = Origin::InboundExclusive;
                answer = Command::Accept;
            }
        } else {
            links_.setState(c.socket, LinkState::InboundPlain, &name);
            answer = Command::Accept;
            if (elsewhere) older = existing;
        }
    } else {
        closeThis = true;
    }
    queueMessage(c.socket, answer, {}, /*control=*/true);
    consumeMessage(c);
    res.work = true;
    if (closeThis) {
        closeLink(c.socket, true);
        res.endLoop = true;
    } else if (older != kInvalidSocket) {
        // The user has come back on a new link: the old one is told, then closed.
        if (IsPlainLink(older)) queueMessage(older, Command::LoggedInElsewhere, {}, true);
        closeLink(older, true);
        res.endLoop = true;
    }
    return res;
}

void Engine::handleNote(Connection& c) {
    WireReader reader(std::span<const uint8_t>(c.in.data(), static_cast<size_t>(c.bodyLength)));
    std::vector<std::string> s = reader.readStringList(codec_);
    // [sender user, addressed user]; an answer to nobody could never be delivered.
    if (s.size() >= 2 && !s[0].empty() && equalsIgnoreCase(s[1], session_.currentUser))
        CreateItem(tables_, session_.currentUser, s[0], MailKind::NoteAnswer);
}

std::vector<uint8_t> Engine::buildStatusReply() {
    WireWriter w(Command::StatusReply);
    w.records(attempts_.records.data(), attempts_.count());
    w.stringList(attempts_.names, codec_);
    w.records(links_.records.data(), links_.count());
    w.stringList(links_.names, codec_);
    w.stringList(tables_.addressCacheNames, codec_);
    w.stringList(tables_.addressCacheAddresses, codec_);
    w.cString(session_.currentUser, codec_);
    return w.finish();
}

bool Engine::limitStatusClients() {
    bool seen = false;
    for (int i = links_.count() - 1; i >= 0; --i) {
        if (links_.records[i].state != LinkState::StatusClient) continue;
        if (seen) {
            closeLinkAt(i, true);
            return true;
        }
        seen = true;
    }
    return false;
}

// ---------------------------------------------------------------- HTTP relay

Engine::StepResult Engine::startHttpRelay(Connection& c) {
    auto pair = std::make_unique<HttpRelayPair>();
    pair->inbound = c.socket;
    pair->created = now();
    // What was already read is the start of the request.
    pair->toOutbound.append(c.in.data(), c.in.size());
    Socket in = c.socket;
    closeLink(in, false);  // the socket now belongs to the pair
    pair->outbound = sockets_.ConnectTo(config_.httpRelayTarget, 80);
    if (pair->outbound == kInvalidSocket)
        sockets_.Close(in);
    else
        relays_.push_back(std::move(pair));
    return StepResult{true, true};
}

void Engine::closeRelay(size_t i) {
    if (i >= relays_.size()) return;
    sockets_.Close(relays_[i]->inbound);
    sockets_.Close(relays_[i]->outbound);
    relays_.erase(relays_.begin() + static_cast<std::ptrdiff_t>(i));
}

bool Engine::pumpRelays(int32_t t) {
    bool work = false;
    for (size_t i = 0; i < relays_.size();) {
        if (t - relays_[i]->created > 60) {
            closeRelay(i);
            return true;  // nothing else in this step
        }
        bool closePair = false;
        if (pumpRelay(*relays_[i], t, closePair)) work = true;
        if (closePair) {
            closeRelay(i);
            work = true;
            continue;
        }
        ++i;
    }
    return work;
}

bool Engine::pumpRelay(HttpRelayPair& p, int32_t, bool& closePair) {
    if (!p.connected) {
        ConnectProgress st = sockets_.CheckConnect(p.outbound);
        if (st == ConnectProgress::Failed) {
            closePair = true;
            return true;
        }
        if (st == ConnectProgress::Pending) return false;
        p.connected = true;
    }
    bool work = false;
    bool failed = false;
    auto readInto = [&](Socket from, ByteQueue& q, bool& ended) {
        if (!q.empty() || ended) return;
        size_t want = 64 * 1024;
        long n = sockets_.Recv(from, q.prepare(want), want);
        if (n > 0) {
            q.commit(static_cast<size_t>(n));
            work = true;
        } else if (n == kIoClosed) {
            ended = true;
            work = true;
        } else if (n == kIoError) {
            failed = true;
        }
    };
    auto writeFrom = [&](Socket to, ByteQueue& q) {
        if (q.empty()) return;
        size_t before = q.size();
        if (!flushQueue(to, q)) failed = true;
        if (q.size() != before) work = true;
    };
    // Client to web server.
    readInto(p.inbound, p.toOutbound, p.inboundEnded);
    writeFrom(p.outbound, p.toOutbound);
    if (p.inboundEnded && p.toOutbound.empty() && !p.outboundShut && !failed) {
        // The client has sent all it will; the answer may still come.
        sockets_.ShutdownSend(p.outbound);
        p.outboundShut = true;
    }
    // Web server to client.
    readInto(p.outbound, p.toInbound, p.outboundEnded);
    writeFrom(p.inbound, p.toInbound);
    if (failed || (p.outboundEnded && p.toInbound.empty())) closePair = true;
    return work;
}

// ---------------------------------------------------------------- periodic rules

void Engine::keepAliveRules(int32_t t) {
    for (int i = 0; i < links_.count(); ++i) {
        if (markedForClose(links_.records[i])) {
            closeLinkAt(i, true);
            break;
        }
    }
    if (t - lastKeepAliveCheck_ <= 1) return;
    lastKeepAliveCheck_ = t;
    for (int i = 0; i < links_.count(); ++i) {
        PeerLinkRecord& l = links_.records[i];
        switch (l.state) {
            case LinkState::StatusClient:
                break;
            case LinkState::Unidentified:
                if (t - l.lastActivity > 60) markForClose(l);
                break;
            case LinkState::InboundPlain:
            case LinkState::Outbound:
            case LinkState::HelloAccepted:
            case LinkState::InboundExclusive:
                if (t - l.lastActivity >= 6 && IsPlainLink(l.socket)) {
                    if (sendKeepAlive(l.socket)) {
                        l.lastActivity = t;
                        l.missedKeepAlives = 0;
                    } else {
                        ++l.missedKeepAlives;
                    }
                }
                if (l.missedKeepAlives > 3 || t - l.lastActivity > 60) markForClose(l);
                break;
            default:
                break;
        }
    }
}

void Engine::lingerStep(int32_t t) {
    if (linger_.empty()) return;
    int last = linger_.count() - 1;
    if (t - linger_[last].timeAdded > 10) {
        sockets_.Close(linger_[last].socket);
        linger_.removeAt(last);
        lingerOut_.pop_back();
    }
}

void Engine::sweepSharedFileDeliveries(int32_t t) {
    if (t - lastSweep_ < 4) return;
    lastSweep_ = t;
    for (int d = tables_.deliveries.count() - 1; d >= 0; --d) {
        if (d >= tables_.deliveries.count()) continue;
        const DeliveryRecord& r = tables_.deliveries[d];
        if (r.state != kDeliveryAwaitingReply) continue;
        if (r.mail < 0 || r.mail >= tables_.mails.count()) continue;
        if (tables_.mails[r.mail].kind == MailKind::SharedFileDelivery) tables_.eraseDelivery(d);
    }
}

// ---------------------------------------------------------------- waiting

void Engine::waitSet(WaitSet& out) {
    out.clear();
    int64_t nowMs = clock_.nowMillis();
    int32_t t = now();
    if (hooks_.instanceFd >= 0) out.want(hooks_.instanceFd, kWaitRead);
    if (stopped_ || shuttingDown_) return;
    if (listener_ == kInvalidSocket && !listenerClosedForGood_)
        out.dueAt(listenRetryAtMs_ >= 0 ? listenRetryAtMs_ : nowMs);
    if (!loggedIn()) return;
    if (pumpSaturated_) out.dueAt(nowMs);

    if (listener_ != kInvalidSocket) {
        if (t - lastAccept_ >= 2)
            out.want(listener_, kWaitRead);
        else
            out.dueAt(dueInSeconds(int64_t{lastAccept_} + 2));
    }

    for (const auto& cp : conns_) {
        const Connection& c = *cp;
        if (c.broken) {
            out.dueAt(nowMs);
            continue;
        }
        short ev = 0;
        switch (c.receiveState) {
            case ReceiveState::Header:
            case ReceiveState::Body: {
                size_t need = c.receiveState == ReceiveState::Header
                                  ? kHeaderSize
                                  : static_cast<size_t>(c.bodyLength);
                if (c.in.size() >= need || c.peerClosed)
                    out.dueAt(nowMs);  // buffered work, or a link to close
                else
                    ev |= kWaitRead;
                break;
            }
            case ReceiveState::Parked:
                break;  // nothing releases it; only its link's end
            case ReceiveState::Chunk:
                out.dueAt(c.heldUntilMs >= 0 ? c.heldUntilMs : nowMs);
                break;
            case ReceiveState::Sending:
                if (c.out.empty()) out.dueAt(nowMs);
                break;
            case ReceiveState::Hello:
                if (c.out.empty()) out.dueAt(nowMs + 1000);  // waits for its link to be plain
                break;
            default:
                out.dueAt(nowMs);
                break;
        }
        if (!c.out.empty()) ev |= kWaitWrite;
        out.want(c.socket, ev);
    }

    for (const auto& pp : relays_) {
        const HttpRelayPair& p = *pp;
        out.dueAt(dueInSeconds(int64_t{p.created} + 61));
        if (!p.connected) {
            out.want(p.outbound, kWaitWrite);
            continue;
        }
        if (!p.toOutbound.empty())
            out.want(p.outbound, kWaitWrite);
        else if (!p.inboundEnded)
            out.want(p.inbound, kWaitRead);
        if (!p.toInbound.empty())
            out.want(p.inbound, kWaitWrite);
        else if (!p.outboundEnded)
            out.want(p.outbound, kWaitRead);
    }

    // Keep-alive and idle rules: the next second at which some link has something due.
    int64_t firstDue = -1;
    for (int i = 0; i < links_.count(); ++i) {
        const PeerLinkRecord& l = links_.records[i];
        if (markedForClose(l)) out.dueAt(nowMs);
        int64_t due = -1;
        switch (l.state) {
            case LinkState::Unidentified:
                due = int64_t{l.lastActivity} + 61;
                break;
            case LinkState::InboundPlain:
            case LinkState::Outbound:
            case LinkState::HelloAccepted:
            case LinkState::InboundExclusive:
                due = l.missedKeepAlives > 3
                          ? t
                          : int64_t{l.lastActivity} + (l.relaySlot == -1 ? 6 : 61);
                break;
            default:
                break;
        }
        if (due >= 0 && (firstDue < 0 || due < firstDue)) firstDue = due;
    }
    if (firstDue >= 0)
        out.dueAt(dueInSeconds(std::max<int64_t>(firstDue, int64_t{lastKeepAliveCheck_} + 2)));

    if (!linger_.empty())
        out.dueAt(dueInSeconds(int64_t{linger_[linger_.count() - 1].timeAdded} + 11));
    for (int i = 0; i < linger_.count(); ++i)
        if (!lingerOut_[static_cast<size_t>(i)].empty()) out.want(linger_[i].socket, kWaitWrite);

    for (const auto& d : tables_.deliveries) {
        if (d.state == kDeliveryAwaitingReply && d.mail >= 0 && d.mail < tables_.mails.count() &&
            tables_.mails[d.mail].kind == MailKind::SharedFileDelivery) {
            out.dueAt(dueInSeconds(int64_t{lastSweep_} + 4));
            break;
        }
    }
    if (hooks_.addWaits) hooks_.addWaits(out);
}

bool Engine::runOnce(int maxWaitMs) {
    WaitSet w;
    waitSet(w);
    int64_t timeout = std::max(0, maxWaitMs);
    if (w.deadlineMs >= 0)
        timeout = std::clamp<int64_t>(w.deadlineMs - clock_.nowMillis(), 0, timeout);
    if (timeout > 0 || !w.entries.empty()) sockets_.Poll(w.entries, static_cast<int>(timeout));
    return EnginePump();
}

}  // namespace orv

#include "engine/http_relay.h"

#include "engine/engine.h"

namespace orv {

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
        if (t - relays_[i]->created > kRelayLifetimeSeconds) {
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
        size_t want = kRelayReadSize;
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

void Engine::addHttpRelayWaits(WaitSet& out) {
    for (const auto& pp : relays_) {
        const HttpRelayPair& p = *pp;
        out.dueAt(msAtSecond(clock_, int64_t{p.created} + kRelayLifetimeSeconds + 1));
        if (!p.connected) {
            out.want(p.outbound, kWaitWrite);
            continue;
        }
        // A side is polled only when bytes can move: read while its queue is empty, write
        // while it has something.
        if (!p.toOutbound.empty())
            out.want(p.outbound, kWaitWrite);
        else if (!p.inboundEnded)
            out.want(p.inbound, kWaitRead);
        if (!p.toInbound.empty())
            out.want(p.inbound, kWaitWrite);
        else if (!p.outboundEnded)
            out.want(p.outbound, kWaitRead);
    }
}

}  // namespace orv

#include "engine/receive.h"

#include "engine/create_item.h"
#include "engine/engine.h"
#include "engine/rate_meter.h"

namespace orv {

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
                    c.heldUntilMs =
                        v.retryAtMs >= 0 ? v.retryAtMs : clock_.nowMillis() + kChunkRetryMs;
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
    c.spoke = true;
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

void Engine::addReceiveWaits(WaitSet& out) {
    int64_t nowMs = clock_.nowMillis();
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
                // Waits for its link to be plain.
                if (c.out.empty()) out.dueAt(nowMs + kHelloRecheckMs);
                break;
            default:
                out.dueAt(nowMs);
                break;
        }
        if (!c.out.empty()) ev |= kWaitWrite;
        out.want(c.socket, ev);
    }
}

}  // namespace orv

#include "engine/relay.h"

#include <algorithm>
#include <cstring>

#include "engine/delivery.h"
#include "engine/idle_rules.h"
#include "engine/item_message.h"
#include "engine/rate_meter.h"
#include "engine/reception.h"

namespace orv {

namespace {

ChunkHead readChunkHead(const uint8_t* p) {
    ChunkHead h;
    std::memcpy(&h, p, sizeof h);
    return h;
}

bool sameMail(const ItemReplyBody& r, uint64_t key, int32_t created) {
    return r.key == key && r.created == created;
}

}  // namespace

Relay::Relay(Engine& engine, SessionState& session, const Clock& clock)
    : engine_(engine), session_(session), clock_(clock) {}

void Relay::reset() {
    buffer_.clear();
    buffer_.shrink_to_fit();
    entries_.clear();
    names_.clear();
    sendingOn_.clear();
    routes_.clear();
    receivers_.clear();
    intakeMeter_ = RateMeter{};
    passMeter_ = RateMeter{};
    lastCleanup_ = 0;
    unwantedAtMs_ = -kRelayUnwantedSpacingMs;
}

RelayStatus Relay::status() const {
    RelayStatus s;
    s.relayMode = active();
    s.entries = entries_.count();
    s.bytes = static_cast<int64_t>(buffer_.size());
    s.routes = routes_.count();
    s.receivers = receivers_.count();
    return s;
}

// ---------------------------------------------------------------- the throughput cap

uint32_t Relay::throttleRate() const {
    // A cap below the throttled rate throttles the intake to the cap, or the buffer would only
    // grow until it overflows.
    int32_t cap = passLimitKB();
    if (cap > 0) return std::min<uint32_t>(kRelayThrottleRate, static_cast<uint32_t>(cap) * 1024u);
    return kRelayThrottleRate;
}

bool Relay::passHeld(int64_t nowMs) const {
    return meterHolds(passMeter_, passLimitKB(), nowMs);
}

void Relay::countPassed(size_t bytes, int64_t nowMs) {
    meterCount(passMeter_, static_cast<uint32_t>(bytes), passLimitKB(), nowMs);
}

// ---------------------------------------------------------------- tables

int Relay::findRoute(uint64_t key, int32_t created) const {
    for (int i = 0; i < routes_.count(); ++i)
        if (routes_[i].key == key && routes_[i].created == created) return i;
    return -1;
}

int Relay::findReceiver(Socket s, uint64_t key, int32_t created) const {
    for (int i = 0; i < receivers_.count(); ++i)
        if (receivers_[i].socket == s && sameMail(receivers_[i].reply, key, created)) return i;
    return -1;
}

void Relay::append(int32_t type, std::span<const uint8_t> header, std::span<const uint8_t> body,
                   std::string_view name, const ChunkHead* chunk) {
    RelayEntry e{};
    e.type = type;
    e.offset = static_cast<int32_t>(buffer_.size());
    e.length = static_cast<int32_t>(header.size() + body.size());
    e.sent = 0;
    if (chunk) e.chunk = *chunk;
    buffer_.insert(buffer_.end(), header.begin(), header.end());
    buffer_.insert(buffer_.end(), body.begin(), body.end());
    entries_.append(e);
    names_.append(name);
    sendingOn_.push_back(kInvalidSocket);
}

void Relay::queueForRecipient(std::span<const uint8_t> body, std::string_view recipient,
                              const MailRecord& rec) {
    // An item for nobody would go to the first link not yet identified.
    if (recipient.empty()) return;
    if (buffer_.size() + kHeaderSize + body.size() > kRelayHardLimit) return;
    // A sender repeats an unanswered item every few minutes; a copy still waiting for the
    // same user is enough.
    for (int i = 0; i < entries_.count(); ++i) {
        const RelayEntry& e = entries_[i];
        if (e.type != RelayEntryType::Item || e.sent != 0) continue;
        if (!equalsIgnoreCase(names_.view(i), recipient)) continue;
        MailRecord queued;
        std::memcpy(&queued, buffer_.data() + e.offset + kHeaderSize, sizeof queued);
        if (queued.key == rec.key && queued.created == rec.created && queued.kind == rec.kind)
            return;
    }
    uint8_t header[kHeaderSize];
    writeHeader(header, {Command::ItemMessage, static_cast<int32_t>(body.size())});
    append(RelayEntryType::Item, header, body, recipient, nullptr);
}

// ---------------------------------------------------------------- items

void Relay::RelayItem(const InboundMessage& msg) {
    WireReader rd(msg.body);
    ItemMessage item;
    if (!readItemHead(rd, item, engine_.codec())) return;
    const MailRecord& rec = item.record;
    switch (rec.kind) {
        case MailKind::Outbox:
        case MailKind::SharedFileDelivery:
            if (findRoute(rec.key, rec.created) < 0)
                routes_.append(RelayRoute{rec.recipientCount, msg.socket, rec.key, rec.created, 0});
            queueForRecipient(msg.body, item.recipient, rec);
            return;
        case MailKind::NoteAnswer:
        case 15:
        case 25:
            return;
        case 24:
            linkTable(msg.socket, item.sender, rd);
            return;
        default:
            queueForRecipient(msg.body, item.recipient, rec);
            return;
    }
}

void Relay::linkTable(Socket from, std::string_view otherRelay, WireReader& rd) {
    PeerLinkTable& links = engine_.links();
    int relayLink = -1;
    for (int i = 0; i < links.count(); ++i) {
        if (links.records[i].state == LinkState::HelloAccepted &&
            equalsIgnoreCase(links.names.view(i), otherRelay)) {
            relayLink = i;
            break;
        }
    }
    if (relayLink < 0) return;
    Socket rs = links.records[relayLink].socket;
    // Only the other relay speaks for the users behind it.
    if (from != rs) return;
    // The table replaces what the other relay said before.
    for (int i = links.count() - 1; i >= 0; --i) {
        if (i >= links.count()) continue;
        if (links.records[i].socket == rs && links.records[i].state != LinkState::HelloAccepted)
            engine_.closeLinkAt(i, false);  // the accepted link keeps the socket
    }
    std::vector<PeerLinkRecord> records = rd.readRecords<PeerLinkRecord>();
    std::vector<std::string> users = rd.readStringList(engine_.codec());
    int32_t t = now();
    for (size_t k = 0; k < records.size() && k < users.size(); ++k) {
        if (records[k].state != LinkState::InboundPlain || users[k].empty()) continue;
        links.add(PeerLinkRecord{-1, 0, 0, t, 0, LinkState::BehindRelay, rs}, users[k]);
    }
    dropOrphanBehindRelay();
}

void Relay::dropOrphanBehindRelay() {
    PeerLinkTable& links = engine_.links();
    for (int i = links.count() - 1; i >= 0; --i) {
        if (i >= links.count() || links.records[i].state != LinkState::BehindRelay) continue;
        Socket s = links.records[i].socket;
        bool carried = false;
        for (int j = 0; j < links.count(); ++j)
            if (links.records[j].socket == s && links.records[j].state == LinkState::HelloAccepted)
                carried = true;
        // The last link on the socket says goodbye, so the socket is closed after it.
        if (!carried) engine_.closeLinkAt(i, true);
    }
}

// ---------------------------------------------------------------- chunks

ChunkVerdict Relay::RelayChunk(const InboundMessage& msg) {
    if (msg.body.size() < sizeof(ChunkHead)) return {};  // not a chunk: dropped
    int64_t nowMs = clock_.nowMillis();
    const Connection* c = engine_.connection(msg.socket);
    size_t bytes = kHeaderSize + msg.body.size();
    reclaimIfFull(nowMs);
    if (buffer_.size() + bytes > kRelayHardLimit)
        return ChunkVerdict::notNow(nowMs + kRelayThrottleRetryMs);
    if (c && c->origin == Origin::Inbound) {
        if (buffer_.size() > kRelayThrottleMark &&
            meterWindowBytes(intakeMeter_, nowMs) / 5u > throttleRate())
            // Offered again at the next reclaim, which may take the buffer below the mark,
            // rather than a whole retry spacing later with the buffer long drained.
            return ChunkVerdict::notNow(
                std::min(nowMs + kRelayThrottleRetryMs, lastReclaimMs_ + reclaimSpacingMs_));
        meterCount(intakeMeter_, static_cast<uint32_t>(bytes), 0, nowMs);
    }
    ChunkHead head = readChunkHead(msg.body.data());
    bool wanted = false;
    int32_t t = now();
    for (auto& r : receivers_) {
        if (!sameMail(r.reply, head.key, head.created)) continue;
        r.lastServed = t;
        wanted = true;
    }
    if (wanted) {
        uint8_t header[kHeaderSize];
        writeHeader(header, {Command::FileChunk, static_cast<int32_t>(msg.body.size())});
        append(RelayEntryType::Chunk, header, msg.body, {}, &head);
    } else if (!(head.key == unwantedKey_ && head.created == unwantedCreated_ &&
                 nowMs - unwantedAtMs_ < kRelayUnwantedSpacingMs)) {
        // Chunks already on their way after the first answer need no answer each. Without a
        // route the chunk's own link is the sender's: told there, it stops streaming chunks
        // that would all be dropped.
        unwantedKey_ = head.key;
        unwantedCreated_ = head.created;
        unwantedAtMs_ = nowMs;
        ItemReplyBody r{head.file, 0, head.offset, head.key, head.created, 0};
        PassReply(r, Command::Received, {}, msg.socket);
    }
    return {};
}

// ---------------------------------------------------------------- replies

void Relay::RelayReply(const InboundMessage& msg) {
    if (msg.body.size() < sizeof(ItemReplyBody)) return;
    ItemReplyBody r;
    std::memcpy(&r, msg.body.data(), sizeof r);
    switch (msg.command) {
        case Command::SendFiles: {
            int i = findReceiver(msg.socket, r.key, r.created);
            if (i >= 0) {
                receivers_[i].reply = r;
                receivers_[i].lastServed = now();
            } else {
                receivers_.append(RelayReceiver{msg.socket, now(), r});
            }
            PassReply(r, Command::SendFiles);
            return;
        }
        case Command::Received:
        case Command::AllReceived: {
            int i = findReceiver(msg.socket, r.key, r.created);
            if (i >= 0) receivers_.removeAt(i);
            std::span<const uint8_t> name;
            if (msg.command == Command::AllReceived) {
                auto rest = msg.body.subspan(sizeof r);
                auto end = std::find(rest.begin(), rest.end(), uint8_t{0});
                name = rest.first(static_cast<size_t>(end - rest.begin()));
            }
            PassReply(r, msg.command, name);
            return;
        }
        default:
            return;
    }
}

void Relay::PassReply(const ItemReplyBody& reply, int32_t command, std::span<const uint8_t> name,
                      Socket noRoute) {
    int ri = findRoute(reply.key, reply.created);
    if (ri < 0 && noRoute == kInvalidSocket) return;
    Socket s = ri >= 0 ? routes_[ri].socket : noRoute;
    if (!engine_.IsPlainLink(s)) return;
    if (command == Command::SendFiles) {
        // The data asked for is already on its way.
        for (const auto& e : entries_) {
            if (e.type == RelayEntryType::Chunk && e.sent == 0 && e.chunk.key == reply.key &&
                e.chunk.created == reply.created && e.chunk.file == reply.file &&
                e.chunk.offset == reply.offset)
                return;
        }
    }
    std::vector<uint8_t> body(sizeof reply);
    std::memcpy(body.data(), &reply, sizeof reply);
    if (command == Command::AllReceived) {
        body.insert(body.end(), name.begin(), name.end());
        body.push_back(0);
        if (ri >= 0 && routes_[ri].recipientCount == 1) routes_.removeAt(ri);
    }
    engine_.queueMessage(s, command, body, /*control=*/true);
}

// ---------------------------------------------------------------- forwarding

bool Relay::forwardItem(int i, int64_t nowMs) {
    PeerLinkTable& links = engine_.links();
    std::string_view name = names_.view(i);
    int li = -1;
    for (int k = 0; k < links.count(); ++k) {
        if (equalsIgnoreCase(links.names.view(k), name)) {
            li = k;
            break;
        }
    }
    if (li < 0) return false;
    Socket s = links.records[li].socket;
    int32_t slot = links.records[li].relaySlot;
    if (slot != -1 && slot != i) return false;
    if (engine_.pendingOutput(s) >= kRelayLinkMark) return false;
    RelayEntry& e = entries_[i];
    size_t n = std::min<size_t>(kRelayPiece, static_cast<size_t>(e.length - e.sent));
    if (!engine_.queueBytes(s, std::span<const uint8_t>(buffer_.data() + e.offset + e.sent, n)))
        return false;
    countPassed(n, nowMs);
    e.sent += static_cast<int32_t>(n);
    // No other message may start on the socket while this one is only partly out.
    bool done = e.sent >= e.length;
    for (auto& l : links.records) {
        if (done && l.relaySlot == i)
            l.relaySlot = -1;
        else if (!done && l.socket == s)
            l.relaySlot = i;
    }
    sendingOn_[static_cast<size_t>(i)] = done ? kInvalidSocket : s;
    return true;
}

bool Relay::forwardChunk(int i, int64_t nowMs) {
    const RelayEntry e = entries_[i];
    int matched = 0, served = 0;
    auto message =
        std::span<const uint8_t>(buffer_.data() + e.offset, static_cast<size_t>(e.length));
    int32_t data = e.length - static_cast<int32_t>(kHeaderSize + sizeof(ChunkHead));
    for (auto& r : receivers_) {
        if (!sameMail(r.reply, e.chunk.key, e.chunk.created)) continue;
        ++matched;
        if (r.reply.file != e.chunk.file || r.reply.offset != e.chunk.offset) continue;
        if (!engine_.IsPlainLink(r.socket) || passHeld(nowMs)) continue;
        if (engine_.pendingOutput(r.socket) >= kRelayLinkMark) continue;
        if (!engine_.queueBytes(r.socket, message)) continue;
        countPassed(message.size(), nowMs);
        ++served;
        if (data == 0) {
            r.reply.file += 1;  // the end of a file: the next one from its start
            r.reply.offset = 0;
        } else {
            r.reply.offset += data;
        }
    }
    if (served > 0 && matched == 1) entries_[i].sent = e.length;
    return served > 0;
}

bool Relay::RelayForward() {
    if (entries_.empty() && receivers_.empty() && routes_.empty()) return false;
    int64_t nowMs = clock_.nowMillis();
    bool work = false;
    for (int i = 0; i < entries_.count(); ++i) {
        if (passHeld(nowMs)) break;
        const RelayEntry& e = entries_[i];
        if (e.type == RelayEntryType::Item && e.sent < e.length) {
            if (forwardItem(i, nowMs)) work = true;
        } else if (e.type == RelayEntryType::Chunk && e.sent == 0) {
            if (forwardChunk(i, nowMs)) work = true;
        }
    }
    int32_t t = now();
    if (t - lastCleanup_ >= kRelayCleanupSpacingSeconds &&
        (t - lastCleanup_ > kRelayCleanupIdleSeconds || buffer_.size() > kRelayThrottleMark)) {
        cleanup(t);
    } else if (reclaimIfFull(nowMs)) {
        work = true;
    }
    return work;
}

bool Relay::reclaimIfFull(int64_t nowMs) {
    if (buffer_.size() <= kRelayThrottleMark || nowMs - lastReclaimMs_ < reclaimSpacingMs_)
        return false;
    lastReclaimMs_ = nowMs;
    size_t before = buffer_.size();
    cleanup(now(), true);
    bool freed = buffer_.size() < before;
    reclaimSpacingMs_ = freed ? kRelayReclaimSpacingMs
                              : std::min(reclaimSpacingMs_ * 2, kRelayReclaimLongestSpacingMs);
    return freed;
}

bool Relay::chunkPassedByAll(const RelayEntry& e) const {
    bool any = false;
    for (const auto& r : receivers_) {
        if (!sameMail(r.reply, e.chunk.key, e.chunk.created)) continue;
        any = true;
        bool behind = r.reply.file < e.chunk.file ||
                      (r.reply.file == e.chunk.file && r.reply.offset <= e.chunk.offset);
        if (behind) return false;
    }
    return any;
}

void Relay::cleanup(int32_t t, bool reclaim) {
    if (!reclaim) {
        lastCleanup_ = t;
        for (int i = receivers_.count() - 1; i >= 0; --i)
            if (t - receivers_[i].lastServed > kRelayReceiverSeconds) receivers_.removeAt(i);
    }

    std::vector<char> keep(static_cast<size_t>(entries_.count()), 1);
    size_t freed = 0;
    for (int i = 0; i < entries_.count(); ++i) {
        const RelayEntry& e = entries_[i];
        bool drop = false;
        if (e.type == RelayEntryType::Item) {
            drop = e.sent >= e.length;
        } else if (e.sent != 0) {
            drop = true;
        } else {
            bool wanted = false;
            for (const auto& r : receivers_)
                if (sameMail(r.reply, e.chunk.key, e.chunk.created)) wanted = true;
            // Also gone: a chunk every receiver of its mail has already moved past. A chunk
            // nobody asked for yet waits for the full cleanup.
            drop = (!wanted && !reclaim) || chunkPassedByAll(e);
        }
        if (drop) {
            keep[static_cast<size_t>(i)] = 0;
            freed += static_cast<size_t>(e.length);
        }
    }
    if (!reclaim && freed < kRelayLeastFreed && buffer_.size() > kRelayOverflowMark) {
        // Nothing much can be freed: everything goes, except an item already partly out on
        // its link, whose rest the receiver's stream needs.
        for (int i = 0; i < entries_.count(); ++i) {
            const RelayEntry& e = entries_[i];
            bool partly = e.type == RelayEntryType::Item && e.sent > 0 && e.sent < e.length;
            if (!partly) keep[static_cast<size_t>(i)] = 0;
        }
    }
    if (std::find(keep.begin(), keep.end(), 0) == keep.end()) return;

    // Compact the buffer, the names and the queue; relay slots follow their entries.
    std::vector<int32_t> newIndex(keep.size(), -1);
    std::vector<uint8_t> buffer;
    RecordArray<RelayEntry> entries;
    StringPool names;
    std::vector<Socket> sending;
    for (int i = 0; i < entries_.count(); ++i) {
        if (!keep[static_cast<size_t>(i)]) continue;
        RelayEntry e = entries_[i];
        const uint8_t* p = buffer_.data() + e.offset;
        e.offset = static_cast<int32_t>(buffer.size());
        buffer.insert(buffer.end(), p, p + e.length);
        newIndex[static_cast<size_t>(i)] = entries.append(e);
        names.append(names_.view(i));
        sending.push_back(sendingOn_[static_cast<size_t>(i)]);
    }
    for (auto& l : engine_.links().records) {
        if (l.relaySlot >= 0 && static_cast<size_t>(l.relaySlot) < newIndex.size())
            l.relaySlot = newIndex[static_cast<size_t>(l.relaySlot)];
    }
    buffer_ = std::move(buffer);
    entries_ = std::move(entries);
    names_ = std::move(names);
    sendingOn_ = std::move(sending);
}

// ---------------------------------------------------------------- links

void Relay::linkClosed(Socket) {
    if (closing_) return;
    closing_ = true;
    // Users behind another relay go with that relay's accepted link.
    dropOrphanBehindRelay();
    auto gone = [this](Socket x) { return !hasLink(x); };
    for (int i = routes_.count() - 1; i >= 0; --i)
        if (gone(routes_[i].socket)) routes_.removeAt(i);
    for (int i = receivers_.count() - 1; i >= 0; --i)
        if (gone(receivers_[i].socket)) receivers_.removeAt(i);
    // An item partly out on a socket that is gone counts as sent.
    for (int i = 0; i < entries_.count(); ++i) {
        Socket on = sendingOn_[static_cast<size_t>(i)];
        if (on == kInvalidSocket || !gone(on)) continue;
        entries_[i].sent = entries_[i].length;
        sendingOn_[static_cast<size_t>(i)] = kInvalidSocket;
    }
    closing_ = false;
}

// ---------------------------------------------------------------- waiting

void Relay::addWaits(WaitSet& out) {
    // Routes alone wait for nothing: they go with their links.
    if (entries_.empty() && receivers_.empty()) return;
    int64_t nowMs = clock_.nowMillis();
    int32_t t = now();
    // The next cleanup, when it has something to do: receivers expire, delivered entries go,
    // an overflowing queue empties. Items that only wait for their users' links wake nobody.
    bool cleanupMatters = !receivers_.empty() || buffer_.size() > kRelayOverflowMark;
    for (int i = 0; i < entries_.count() && !cleanupMatters; ++i)
        cleanupMatters =
            entries_[i].type != RelayEntryType::Item || entries_[i].sent >= entries_[i].length;
    if (cleanupMatters) {
        int64_t next = int64_t{lastCleanup_} + kRelayCleanupIdleSeconds + 1;
        if (buffer_.size() > kRelayThrottleMark)
            next = int64_t{lastCleanup_} + kRelayCleanupSpacingSeconds;
        out.dueAt(msAtSecond(clock_, std::max<int64_t>(next, t)));
    }
    // Something can be passed on now: at once, or when the cap lets it.
    const PeerLinkTable& links = engine_.links();
    bool ready = false;
    for (int i = 0; i < entries_.count() && !ready; ++i) {
        const RelayEntry& e = entries_[i];
        if (e.type == RelayEntryType::Item && e.sent < e.length) {
            for (int k = 0; k < links.count(); ++k) {
                if (!equalsIgnoreCase(links.names.view(k), names_.view(i))) continue;
                const PeerLinkRecord& l = links.records[k];
                if ((l.relaySlot == -1 || l.relaySlot == i) &&
                    engine_.pendingOutput(l.socket) < kRelayLinkMark)
                    ready = true;
                break;
            }
        } else if (e.type == RelayEntryType::Chunk && e.sent == 0) {
            for (const auto& r : receivers_) {
                if (sameMail(r.reply, e.chunk.key, e.chunk.created) &&
                    r.reply.file == e.chunk.file && r.reply.offset == e.chunk.offset &&
                    engine_.IsPlainLink(r.socket) &&
                    engine_.pendingOutput(r.socket) < kRelayLinkMark)
                    ready = true;
            }
        }
    }
    if (ready) out.dueAt(passHeld(nowMs) ? meterFreeAtMs(passMeter_, passLimitKB()) : nowMs);
}

// ---------------------------------------------------------------- the relay's own mails

Socket relayDeliveryLink(const Engine& engine, std::string_view user) {
    const PeerLinkTable& links = engine.links();
    for (int i = 0; i < links.count(); ++i) {
        const PeerLinkRecord& l = links.records[i];
        if (l.state != LinkState::HelloAccepted && l.state != LinkState::InboundPlain &&
            l.state != LinkState::InboundExclusive)
            continue;
        if (markedForClose(l) || !equalsIgnoreCase(links.names.view(i), user)) continue;
        if (!engine.IsPlainLink(l.socket)) continue;
        const Connection* c = engine.connection(l.socket);
        if (!c || c->broken) continue;
        return l.socket;
    }
    return kInvalidSocket;
}

void connectRelayHooks(Engine& engine, MailDelivery& delivery, MailReception& reception,
                       Relay& relay) {
    EngineHooks& h = engine.hooks();
    reception.relayItem = [&relay](const InboundMessage& m) { relay.RelayItem(m); };
    delivery.relayReply = [&relay](const InboundMessage& m) { relay.RelayReply(m); };
    auto chunk = std::move(h.fileChunk);
    h.fileChunk = [&relay, chunk](const InboundMessage& m) {
        if (relay.active()) return relay.RelayChunk(m);
        return chunk ? chunk(m) : ChunkVerdict{};
    };
    h.relayForwarding = [&relay] { return relay.RelayForward(); };
    auto closed = std::move(h.linkClosed);
    h.linkClosed = [&relay, closed](Socket s) {
        if (closed) closed(s);
        relay.linkClosed(s);
    };
    auto waits = std::move(h.addWaits);
    h.addWaits = [&relay, waits](WaitSet& w) {
        if (waits) waits(w);
        relay.addWaits(w);
    };
}

}  // namespace orv

#include "engine/delivery.h"

#include "core/mail_queries.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <unordered_set>

#include "engine/idle_rules.h"
#include "engine/item_message.h"
#include "engine/rate_meter.h"
#include "engine/relay.h"

namespace orv {

namespace {

// Frames queued by one delivery in one visit, so that other deliveries get their turn.
constexpr int kFramesPerVisit = 512;

// The read-ahead of a delivery in state 3 lives in its send buffer: the file offset of the
// first data byte, the number of data bytes, then whole chunk frames (header, chunk header,
// data) one kChunkFrame slot each, ready to be queued as they stand.
constexpr size_t kReadAheadHead = 16;

int64_t loadI64(const uint8_t* p) {
    int64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
void storeI64(uint8_t* p, int64_t v) {
    std::memcpy(p, &v, 8);
}

bool isDeliveredKind(int32_t kind) {
    switch (kind) {
        case MailKind::Outbox:
        case MailKind::ResendRequest:
        case MailKind::NoteAnswer:
        case 14:
        case MailKind::ListFolder:
        case MailKind::ListTree:
        case MailKind::ListFolderReply:
        case MailKind::ListTreeReply:
        case MailKind::SharedFileRequest:
        case MailKind::SharedFileDelivery:
        case 24:
        case 25:
            return true;
        default:
            return false;
    }
}

void writeChunkFrame(uint8_t* p, uint64_t key, int32_t fileIndex, int32_t created, int64_t offset,
                     size_t dataLen) {
    writeHeader(p, {Command::FileChunk, static_cast<int32_t>(kChunkHeaderSize + dataLen)});
    p += kHeaderSize;
    std::memcpy(p, &key, 8);
    storeI32(p + 8, fileIndex);
    storeI32(p + 12, created);
    storeI64(p + 16, offset);
}

}  // namespace

MailDelivery::MailDelivery(Engine& engine, CoreTables& tables, SessionState& session,
                           const Clock& clock)
    : engine_(engine), tables_(tables), session_(session), clock_(clock) {}

// ---------------------------------------------------------------- selection

bool MailDelivery::selected(int d) const {
    const DeliveryRecord& r = tables_.deliveries[d];
    if (r.mail < 0 || r.mail >= tables_.mails.count()) return false;
    if (!isDeliveredKind(tables_.mails[r.mail].kind)) return false;
    if (tables_.deliveryRecipients.view(d).empty()) return false;
    return equalsIgnoreCase(tables_.deliverySenders.view(d), session_.currentUser);
}

int32_t MailDelivery::purposeOf(int d) const {
    const MailRecord& m = tables_.mails[tables_.deliveries[d].mail];
    return (m.flags & MailFlags::classified) ? ConnectPurpose::Classified
                                             : ConnectPurpose::Ordinary;
}

// ---------------------------------------------------------------- the pass

void MailDelivery::setState(int d, int32_t state) {
    if (tables_.deliveries[d].state == state) return;
    tables_.deliveries[d].state = state;
    announce(d);
}

void MailDelivery::announce(int d) {
    const DeliveryRecord& r = tables_.deliveries[d];
    const MailRecord& m = tables_.mails[r.mail];
    // Control items travel unseen; only a user's own mails are news.
    if (m.kind == MailKind::Outbox)
        session_.events.push(EventKind::DeliveryChanged, m.key, r.state);
}

bool MailDelivery::deliveryPass() {
    bool sent = false;
    retryFileAtMs_ = -1;
    limitedUntilMs_ = -1;
    for (int d = 0; d < tables_.deliveries.count(); ++d) {
        if (!selected(d)) continue;
        std::string recipient = tables_.deliveryRecipients.str(d);
        if (unknownUsers_.find(recipient) >= 0) {
            // A mail of the user's is kept with the refusal (the text would be lost otherwise);
            // control items go.
            if (tables_.mails[tables_.deliveries[d].mail].kind != MailKind::Outbox) {
                tables_.eraseDelivery(d);
                return sent;
            }
            if (tables_.deliveries[d].state != DeliveryState::Refused) {
                uint64_t key = tables_.mails[tables_.deliveries[d].mail].key;
                if (!isRefused(key)) {
                    refused_.append(key);
                    session_.events.push(EventKind::MailRefused, key, 0, recipient);
                }
                setState(d, DeliveryState::Refused);
                tables_.noteChange();
            }
            continue;
        }
        int32_t purpose = purposeOf(d);
        auto rec = [this, d]() -> DeliveryRecord& { return tables_.deliveries[d]; };

        if (rec().state == DeliveryState::LinkReady) buildItemMessage(d);

        if (rec().state == DeliveryState::SendingItem) {
            if (auto s = FindOrConnect(recipient, purpose)) {
                rec().linkSocket = *s;
                const std::vector<uint8_t>& msg = tables_.deliveryRuntime(d).sendBuffer;
                // The engine queues the message whole or not at all, so a receiver never
                // sees part of it followed by something else.
                if (!msg.empty() && engine_.queueBytes(*s, msg)) {
                    tables_.deliveryRuntime(d).release();
                    DeliveryRecord& r = rec();
                    r.fileIndex = 0;
                    r.fileOffset = 0;
                    r.fileHandle = -1;
                    r.progress = 0;
                    int32_t kind = tables_.mails[r.mail].kind;
                    if (kind == MailKind::Outbox || kind == MailKind::SharedFileDelivery) {
                        setState(d, DeliveryState::AwaitingReply);
                        r.stateTime = now();
                    } else {
                        setState(d, DeliveryState::Finished);
                    }
                    tables_.noteChange();
                } else if (msg.empty()) {
                    setState(d, DeliveryState::LinkReady);  // built again next visit
                }
            }
        }

        if (rec().state == DeliveryState::Waiting) {
            uint64_t key = tables_.mails[rec().mail].key;
            if (auto s = FindOrConnect(recipient, purpose, key)) {
                rec().linkSocket = *s;
                setState(d, DeliveryState::LinkReady);
                rec().stateTime = now();
            }
        }

        if (rec().state == DeliveryState::AwaitingReply &&
            now() - rec().stateTime > kRepeatSeconds) {
            // The whole item goes again; the receiver answers from what it already has.
            tables_.setDeliveryState(d, CoreTables::DeliveryHow::Reset);
            announce(d);
            return sent;
        }

        if (rec().state == DeliveryState::SendingFiles) {
            int before = tables_.deliveries.count();
            if (!sendChunks(d, sent) || tables_.deliveries.count() != before) return sent;
        }

        if (rec().state == DeliveryState::Finished) {
            setState(d, DeliveryState::Delivered);
            tables_.noteChange();
            finish(d);
            // The pass ends here, as the tables may have moved under it; reporting work brings
            // the pump straight back, so a burst of replies is finished in one pump and one
            // sync instead of one each.
            return true;
        }
    }
    return sent;
}

void MailDelivery::buildItemMessage(int d) {
    int m = tables_.deliveries[d].mail;
    ItemMessage item;
    item.record = tables_.mails[m];
    item.subject = tables_.mailSubject(m);
    item.sender = tables_.deliverySenders.str(d);
    item.recipient = tables_.deliveryRecipients.str(d);
    std::vector<uint8_t> bytes;
    if (carriesListing(item.record.kind)) {
        std::function<void(WireWriter&)> listing;
        if (buildListing) listing = [this, m](WireWriter& w) { buildListing(m, w); };
        bytes = encodeItemMessage(item, engine_.codec(), listing);
    } else {
        for (int a : tables_.mailFiles(m)) {
            item.fileNames.push_back(tables_.attachmentNames.str(a));
            item.fileSizes.push_back(tables_.attachments[a].total);
            item.attachments.push_back(tables_.attachments[a]);
        }
        for (int x : tables_.mailDeliveries(m))
            item.recipients.push_back(tables_.deliveryRecipients.str(x));
        for (int x : tables_.mailOutAddress(m))
            item.addressEntries.push_back(tables_.outAddressEntries.str(x));
        bytes = encodeItemMessage(item, engine_.codec());
    }
    DeliveryRuntime& rt = tables_.deliveryRuntime(d);
    rt.release();
    DeliveryRecord& r = tables_.deliveries[d];
    r.progress = 0;
    size_t body = bytes.size() - kHeaderSize;
    if (!validBodyLength(static_cast<int32_t>(std::min<size_t>(body, INT_MAX)))) {
        // Too large for one message: it could never be sent.
        setState(d, DeliveryState::Unreadable);
        tables_.noteChange();
        return;
    }
    rt.sendBuffer = std::move(bytes);
    setState(d, DeliveryState::SendingItem);
    tables_.noteChange();
}

// ---------------------------------------------------------------- file chunks

bool MailDelivery::fillFrames(int d, int attachment) {
    DeliveryRuntime& rt = tables_.deliveryRuntime(d);
    DeliveryRecord& r = tables_.deliveries[d];
    const MailRecord& mail = tables_.mails[r.mail];
    int64_t total = tables_.attachments[attachment].total;
    int64_t base = r.fileOffset;
    // A file that grew after it was attached is read only up to its registered size.
    int64_t want = std::min<int64_t>(total - base, int64_t{kFramesPerRead} * kChunkData);
    if (want < 0) want = 0;
    size_t frames = static_cast<size_t>((want + kChunkData - 1) / kChunkData);
    rt.sendBuffer.resize(kReadAheadHead + frames * kChunkFrame);
    uint8_t* out = rt.sendBuffer.data();
    int64_t got = 0;
    if (frames > 0) {
        iovec iov[kFramesPerRead];
        for (size_t j = 0; j < frames; ++j) {
            iov[j].iov_base =
                out + kReadAheadHead + j * kChunkFrame + kHeaderSize + kChunkHeaderSize;
            iov[j].iov_len = kChunkData;
        }
        iov[frames - 1].iov_len = static_cast<size_t>(want - int64_t(frames - 1) * kChunkData);
        ssize_t n = ::preadv(rt.file.fd(), iov, static_cast<int>(frames), base);
        got = n > 0 ? n : 0;  // a read error counts as nothing read
    }
    size_t used = static_cast<size_t>((got + kChunkData - 1) / kChunkData);
    for (size_t j = 0; j < used; ++j) {
        size_t len = std::min<int64_t>(kChunkData, got - int64_t(j) * kChunkData);
        writeChunkFrame(out + kReadAheadHead + j * kChunkFrame, mail.key, r.fileIndex, mail.created,
                        base + int64_t(j) * kChunkData, len);
    }
    storeI64(out, base);
    storeI64(out + 8, got);
    return got > 0;
}

bool MailDelivery::sendChunks(int d, bool& sent) {
    int32_t t = now();
    std::string recipient = tables_.deliveryRecipients.str(d);
    int32_t purpose = purposeOf(d);
    std::optional<Socket> link;
    bool linkLooked = false;
    // One reading of the clock per visit: under a limit the first chunk sent moves the pace
    // past it, so the next one waits for a later visit.
    int64_t nowMs = clock_.nowMillis();
    for (int frames = 0; frames < kFramesPerVisit; ++frames) {
        int32_t totalKB = tables_.settingNumber(Setting::MaxSendTotal);
        int32_t ownKB = tables_.settingNumber(Setting::MaxSendPerTransfer);
        const RateMeter& own = tables_.deliveryProgress[d].meter;
        if (meterHolds(engine_.globalSendMeter(), totalKB, nowMs) ||
            meterHolds(own, ownKB, nowMs)) {
            int64_t until = std::max(meterFreeAtMs(engine_.globalSendMeter(), totalKB),
                                     meterFreeAtMs(own, ownKB));
            if (limitedUntilMs_ < 0 || until < limitedUntilMs_) limitedUntilMs_ = until;
            return true;
        }
        DeliveryRuntime& rt = tables_.deliveryRuntime(d);
        DeliveryRecord& r = tables_.deliveries[d];
        int a = tables_.mailFileIndex(r.mail, r.fileIndex);
        if (a < 0) {
            // Every file has gone out.
            rt.release();
            setState(d, DeliveryState::AwaitingReply);
            r.stateTime = t;
            tables_.noteChange();
            return true;
        }
        if (!rt.file.isOpen()) {
            int fd = ::open(tables_.attachmentPaths.str(a).c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                rt.release();
                setState(d, DeliveryState::Unreadable);
                tables_.noteChange();
                return false;
            }
            rt.sendBuffer.clear();
            rt.file.reset(fd);
            int64_t total = tables_.attachments[a].total;
            if (r.fileOffset < 0) r.fileOffset = 0;
            if (r.fileOffset > total) r.fileOffset = total;
        }
        int64_t total = tables_.attachments[a].total;
        // The frame holding fileOffset, read ahead when the buffer does not hold it.
        auto haveFrame = [&]() {
            if (rt.sendBuffer.size() < kReadAheadHead) return false;
            int64_t base = loadI64(rt.sendBuffer.data());
            int64_t len = loadI64(rt.sendBuffer.data() + 8);
            return r.fileOffset >= base && r.fileOffset < base + len &&
                   (r.fileOffset - base) % int64_t{kChunkData} == 0;
        };
        if (!haveFrame()) fillFrames(d, a);
        if (!haveFrame() && r.fileOffset != total) {
            // The file is shorter than registered; try again later.
            retryFileAtMs_ = clock_.nowMillis() + kShortFileRetryMs;
            return true;
        }
        if (!linkLooked) {
            link = FindOrConnect(recipient, purpose);
            linkLooked = true;
        }
        if (!link) return true;
        // Recompute references: FindOrConnect may have grown the link tables only.
        DeliveryRuntime& rt2 = tables_.deliveryRuntime(d);
        DeliveryRecord& r2 = tables_.deliveries[d];
        if (r2.fileOffset == total && !haveFrame()) {
            // Nothing more to read: the empty chunk at the file's end moves on to the next.
            uint8_t eof[kHeaderSize + kChunkHeaderSize];
            const MailRecord& mail = tables_.mails[r2.mail];
            writeChunkFrame(eof, mail.key, r2.fileIndex, mail.created, total, 0);
            if (engine_.pendingOutput(*link) >= kLinkQueueMark) return true;
            if (!engine_.queueBytes(*link, std::span<const uint8_t>(eof, sizeof eof))) return true;
            r2.linkSocket = *link;
            r2.stateTime = t;
            sent = true;
            r2.fileIndex += 1;
            r2.fileOffset = 0;
            rt2.release();
            tables_.noteChange();
            continue;
        }
        // The frames from fileOffset to the end of the read-ahead lie back to back in the
        // buffer and go to the socket as they stand, without a copy. Under a limit one frame
        // goes at a time, so the pace is checked before each.
        int64_t base = loadI64(rt2.sendBuffer.data());
        int64_t len = loadI64(rt2.sendBuffer.data() + 8);
        size_t j = static_cast<size_t>((r2.fileOffset - base) / int64_t{kChunkData});
        size_t left = static_cast<size_t>(base + len - r2.fileOffset);
        size_t count = (left + kChunkData - 1) / kChunkData;
        if (totalKB > 0 || ownKB > 0) count = 1;
        count = std::min(count, static_cast<size_t>(kFramesPerVisit - frames));
        size_t data = std::min(left, count * kChunkData);
        const uint8_t* run = rt2.sendBuffer.data() + kReadAheadHead + j * kChunkFrame;
        size_t runLen = count * (kHeaderSize + kChunkHeaderSize) + data;
        long n = engine_.sendDirect(*link, std::span<const uint8_t>(run, runLen));
        if (n <= 0) return true;  // the link's queue drains first, or the link is gone
        size_t went = static_cast<size_t>(n);
        if (went < runLen) {
            // The socket is full. The rest of the frame it took part of (or the next whole
            // frame) waits in the link's queue: the frame is whole on the wire, and the link
            // is polled for room before the next one.
            size_t part = went % kChunkFrame;
            size_t frameLen = std::min(kChunkFrame, runLen - (went - part));
            engine_.queueBytes(*link, std::span<const uint8_t>(run + went, frameLen - part));
            count = went / kChunkFrame + 1;
            data = std::min(left, count * kChunkData);
        }
        frames += static_cast<int>(count) - 1;
        r2.linkSocket = *link;
        r2.stateTime = t;
        meterCount(engine_.globalSendMeter(), static_cast<uint32_t>(data), totalKB, nowMs);
        meterCount(tables_.deliveryProgress[d].meter, static_cast<uint32_t>(data), ownKB, nowMs);
        r2.progress += static_cast<int64_t>(data);
        r2.fileOffset += static_cast<int64_t>(data);
        sent = true;
        if (went < runLen) return true;
    }
    return true;
}

// ---------------------------------------------------------------- finishing

void MailDelivery::finish(int d) {
    int m = tables_.deliveries[d].mail;
    for (int x : tables_.mailDeliveries(m))
        if (tables_.deliveries[x].state != DeliveryState::Delivered) return;
    int32_t kind = tables_.mails[m].kind;
    if (kind == MailKind::Outbox) {
        tables_.mails[m].kind = MailKind::Sent;
        tables_.noteChange();
        session_.events.push(EventKind::DeliveryDone, tables_.mails[m].key);
        return;
    }
    if ((kind == MailKind::ListFolder || kind == MailKind::ListTree) && listingRequestDelivered)
        listingRequestDelivered(kind, tables_.mailSubject(m));
    tables_.eraseDelivery(d);
}

void MailDelivery::RestartDelivery(std::string_view user, uint64_t key) {
    bool restarted = false;
    for (int d = 0; d < tables_.deliveries.count(); ++d) {
        const DeliveryRecord& r = tables_.deliveries[d];
        if (r.mail < 0 || r.mail >= tables_.mails.count()) continue;
        const MailRecord& m = tables_.mails[r.mail];
        if (m.key != key) continue;
        if (m.kind != MailKind::Outbox && m.kind != MailKind::SharedFileDelivery) continue;
        if (!equalsIgnoreCase(tables_.deliveryRecipients.view(d), user)) continue;
        tables_.setDeliveryState(d, CoreTables::DeliveryHow::Reset);
        announce(d);
        restarted = true;
    }
    if (!restarted) return;
    // The request shows the user is online again, perhaps at a new address (a client that was
    // killed and started again): the cached address may be the old one, and a connect that
    // failed on it must not hold the delivery back for the full waiting time.
    engine_.forgetCachedAddress(user);
    int i = findConnectAttempt(user);
    if (i >= 0 && engine_.connectAttempts().records[i].state == 2)
        engine_.connectAttempts().records[i].state = 0;
}

void MailDelivery::wakeFor(std::string_view user) {
    int i = findConnectAttempt(user);
    if (i < 0) return;  // nothing waits for a link to them
    ConnectAttempt& a = engine_.connectAttempts().records[i];
    if (a.state == 1) return;  // a connect is under way
    // Online now, perhaps at a new address: neither the cached answer nor the failures in a
    // row say anything any more.
    engine_.forgetCachedAddress(user);
    connectFailures_.erase(toLowerAscii(user));
    a.state = 0;
}

int MailDelivery::findOutgoingForReply(uint64_t key) const {
    for (int m : tables_.mailsWithKey(key)) {
        int32_t k = tables_.mails[m].kind;
        if (k == MailKind::Outbox || k == MailKind::SharedFileDelivery) return m;
    }
    return -1;
}

void MailDelivery::OnItemReply(const InboundMessage& msg) {
    if (msg.body.size() < 32) return;
    const uint8_t* b = msg.body.data();
    int32_t fileNo = loadI32(b);
    int64_t offset = loadI64(b + 8);
    uint64_t key;
    std::memcpy(&key, b + 16, 8);
    int m = findOutgoingForReply(key);
    auto passOn = [&] {
        if (session_.connectMode == 1 && relayReply) relayReply(msg);
    };
    if (m < 0) return passOn();
    std::string linkUser(engine_.linkUser(msg.socket));
    if (linkUser.empty()) return passOn();
    std::string target = linkUser;
    if (msg.command == Command::AllReceived) {
        auto rest = msg.body.subspan(32);
        auto end = std::find(rest.begin(), rest.end(), uint8_t{0});
        target = engine_.codec().fromWire(std::string_view(
            reinterpret_cast<const char*>(rest.data()), static_cast<size_t>(end - rest.begin())));
    }
    for (int d : tables_.mailDeliveries(m)) {
        if (!equalsIgnoreCase(tables_.deliveryRecipients.view(d), target)) continue;
        switch (msg.command) {
            case Command::Received:
                tables_.setDeliveryState(d, CoreTables::DeliveryHow::Sending);
                announce(d);
                break;
            case Command::SendFiles:
                tables_.setDeliveryState(d, CoreTables::DeliveryHow::FromPosition,
                                         std::max(0, fileNo), std::max<int64_t>(0, offset));
                announce(d);
                break;
            case Command::AllReceived:
                tables_.setDeliveryState(d, CoreTables::DeliveryHow::Finished);
                announce(d);
                break;
            default:
                break;
        }
        return;
    }
    passOn();
}

// ---------------------------------------------------------------- links and addresses

AddressLookupResult MailDelivery::lookupAddress(std::string_view user) {
    ResolveResult r = tables_.resolveUser(user, ask_);
    AddressLookupResult out;
    out.code = r.code == ResolveCode::Failed ? 4 : static_cast<int>(r.code);
    out.host = std::move(r.host);
    out.port = r.port;
    return out;
}

int MailDelivery::findConnectAttempt(std::string_view user) const {
    const ConnectAttemptTable& t = engine_.connectAttempts();
    for (int i = 0; i < t.count(); ++i)
        if (equalsIgnoreCase(t.names.view(i), user)) return i;
    return -1;
}

void MailDelivery::removeConnectAttempt(int i, bool closeSocket) {
    ConnectAttemptTable& t = engine_.connectAttempts();
    if (closeSocket && t.records[i].socket >= 0) engine_.sockets().Close(t.records[i].socket);
    t.records.removeAt(i);
    t.names.removeAt(i);
}

std::optional<Socket> MailDelivery::FindOrConnect(std::string_view user, int32_t purpose,
                                                  std::optional<uint64_t> mailKey) {
    const bool relay = session_.connectMode == 1;
    if (relay) {
        Socket s = relayDeliveryLink(engine_, user);
        if (s != kInvalidSocket) return s;
    }
    const PeerLinkTable& links = engine_.links();
    for (int i = 0; i < links.count(); ++i) {
        const PeerLinkRecord& l = links.records[i];
        if (relay || l.state != LinkState::Outbound || markedForClose(l)) continue;
        if (!equalsIgnoreCase(links.names.view(i), user)) continue;
        const Connection* c = engine_.connection(l.socket);
        if (c && c->broken) continue;
        return l.socket;
    }
    // A classified mail leaves only over a link an ordinary delivery has opened.
    if (purpose == ConnectPurpose::Classified && session_.connectMode != 1) return std::nullopt;

    ConnectAttemptTable& table = engine_.connectAttempts();
    int32_t t = now();
    int i = findConnectAttempt(user);
    if (i < 0) {
        // Idle, and asked about at once: waiting a pass would cost a pump's wake-up.
        table.records.append(ConnectAttempt{-1, 0, 0, t, purpose, 0, 0});
        table.names.append(user);
        i = table.count() - 1;
    }
    ConnectAttempt* a = &table.records[i];
    if (a->state == 1) {
        ConnectProgress p = engine_.sockets().CheckConnect(a->socket);
        if (p == ConnectProgress::Connected) {
            Socket s = a->socket;
            std::string name(table.names.view(i));
            connectFailures_.erase(toLowerAscii(name));
            removeConnectAttempt(i, false);
            engine_.openLink(s, LinkState::Outbound, name, Origin::Outbound);
            return std::nullopt;  // the next call finds the link
        }
        // A refused connect is as good as a timed-out one; there is no point in waiting.
        if (p == ConnectProgress::Failed || t - a->time > kConnectTimeout) {
            // The address is stale (a restart on another port): ask the directory again soon.
            engine_.forgetCachedAddress(user);
            noteConnectFailed(user);
            a = &table.records[i];
            a->time = t;
            if (a->socket >= 0) engine_.sockets().Close(a->socket);
            a->socket = -1;
            a->state = 2;
        }
        return std::nullopt;
    }
    if (a->state == 2 && t - a->time >= retryDelay(user)) a->state = 0;
    if (a->state != 0) return std::nullopt;

    AddressLookupResult r = lookupAddress(user);
    a = &table.records[i];
    switch (r.code) {
        case 0:
            noteConnectFailed(user);
            a->time = t;
            a->state = 2;
            break;
        case 1:
        case 5:
            unknownUsers_.remove(user);
            if (relay) {
                // A relay never connects directly; the user's link to it is looked for again.
                a->time = t;
                a->state = 2;
            } else if (t - lastConnectStart_ >= kConnectSpacing) {
                lastConnectStart_ = t;
                a->time = t;
                a->socket = engine_.sockets().ConnectTo(r.host, r.port);
                a->reserved24 &= ~0xFF;
                a->state = 1;
            }
            break;
        case 2: {
            if (mailKey) {
                bool listed = false;
                for (uint64_t k : refused_)
                    if (k == *mailKey) listed = true;
                if (!listed) {
                    refused_.append(*mailKey);
                    session_.events.push(EventKind::MailRefused, *mailKey, 0, std::string(user));
                }
            }
            if (unknownUsers_.find(user) < 0) unknownUsers_.append(user);
            removeConnectAttempt(i, true);
            break;
        }
        default:
            break;
    }
    return std::nullopt;
}

// ---------------------------------------------------------------- queries

uint32_t MailDelivery::sendSpeed(uint64_t key) {
    int m = outboxMail(tables_, key);
    if (m < 0) return 0;
    uint32_t sum = 0;
    for (int d : tables_.mailDeliveries(m))
        sum += meterSpeed(tables_.deliveryProgress[d].meter, clock_.nowMillis());
    return sum;
}

bool MailDelivery::isRefused(uint64_t key) const {
    for (uint64_t k : refused_)
        if (k == key) return true;
    return false;
}

// ---------------------------------------------------------------- waiting

void MailDelivery::addWaits(WaitSet& out) {
    if (!session_.loggedIn()) return;
    int64_t nowMs = clock_.nowMillis();
    int32_t t = now();
    auto atSecond = [&](int64_t second) { out.dueAt(msAtSecond(clock_, second)); };
    // The socket of a usable outbound link to user, or -1.
    auto linkTo = [&](std::string_view user) -> Socket {
        if (session_.connectMode == 1) return relayDeliveryLink(engine_, user);
        const PeerLinkTable& links = engine_.links();
        for (int i = 0; i < links.count(); ++i) {
            const PeerLinkRecord& l = links.records[i];
            if (l.state == LinkState::Outbound && !markedForClose(l) &&
                equalsIgnoreCase(links.names.view(i), user))
                return l.socket;
        }
        return kInvalidSocket;
    };
    // Users some delivery needs a link to. A classified mail opens none of its own: it
    // waits for the link of an ordinary delivery.
    std::unordered_set<std::string> waitingFor;
    auto needsLink = [&](int d) {
        if (purposeOf(d) == ConnectPurpose::Classified && session_.connectMode != 1) return;
        waitingFor.insert(toLowerAscii(tables_.deliveryRecipients.view(d)));
    };
    for (int d = 0; d < tables_.deliveries.count(); ++d) {
        const DeliveryRecord& r = tables_.deliveries[d];
        if (r.state == DeliveryState::Delivered || r.state == DeliveryState::Unreadable) continue;
        if (!selected(d)) continue;
        switch (r.state) {
            case DeliveryState::LinkReady:
            case DeliveryState::Finished:
                out.dueAt(nowMs);
                break;
            case DeliveryState::Waiting:
            case DeliveryState::SendingItem: {
                Socket s = linkTo(tables_.deliveryRecipients.view(d));
                if (s == kInvalidSocket) {
                    needsLink(d);
                    break;
                }
                // The item goes as soon as the link's queue has room for it; until then the
                // engine waits for the queue to drain.
                size_t pending = engine_.pendingOutput(s);
                size_t item = r.state == DeliveryState::SendingItem
                                  ? tables_.deliveryRuntime(d).sendBuffer.size()
                                  : 0;
                if (pending == 0 || pending + item <= Engine::kOutputHighWater) out.dueAt(nowMs);
                break;
            }
            case DeliveryState::AwaitingReply:
                atSecond(int64_t{r.stateTime} + kRepeatSeconds + 1);
                break;
            case DeliveryState::SendingFiles: {
                Socket s = linkTo(tables_.deliveryRecipients.view(d));
                if (s == kInvalidSocket) {
                    needsLink(d);
                } else if (limitedUntilMs_ > nowMs) {
                    out.dueAt(limitedUntilMs_);  // the pace lets the next chunk go then
                } else if (retryFileAtMs_ >= 0) {
                    out.dueAt(retryFileAtMs_);
                } else if (engine_.pendingOutput(s) == 0) {
                    out.dueAt(nowMs);
                }
                // Otherwise the link's queue drains first: the engine waits for room.
                break;
            }
            default:
                break;
        }
    }
    if (waitingFor.empty()) return;
    const ConnectAttemptTable& table = engine_.connectAttempts();
    for (int i = 0; i < table.count(); ++i) {
        // Only attempts somebody waits for: a connect or a lookup nobody continues would stay
        // ready for ever.
        auto it = waitingFor.find(toLowerAscii(table.names.view(i)));
        if (it == waitingFor.end()) continue;
        waitingFor.erase(it);
        const ConnectAttempt& a = table.records[i];
        switch (a.state) {
            case 1:
                out.want(a.socket, kWaitWrite);
                atSecond(int64_t{a.time} + kConnectTimeout + 1);
                break;
            case 2:
                atSecond(int64_t{a.time} + retryDelay(table.names.view(i)));
                break;
            default:
                // Looking up the address: the directory's answer wakes the pump, the second
                // is for a lookup busy with somebody else or the connect spacing.
                if (addressWaits_) addressWaits_(table.names.view(i), out);
                atSecond(std::max<int64_t>(int64_t{t} + 1,
                                           int64_t{lastConnectStart_} + kConnectSpacing));
                break;
        }
    }
    // A user nobody has tried yet (a mail just sent): the pass starts the attempt now.
    if (!waitingFor.empty()) out.dueAt(nowMs);
}

int32_t MailDelivery::retryDelay(std::string_view user) const {
    if (session_.connectMode == 1) return kRelayRetrySeconds;
    auto it = connectFailures_.find(toLowerAscii(user));
    int n = it == connectFailures_.end() ? 1 : it->second;
    int32_t d = kRetryFirstSeconds;
    for (int k = 1; k < n && d < kRetryMaxSeconds; ++k)
        d *= 2;
    return std::min(d, kRetryMaxSeconds);
}

void MailDelivery::noteConnectFailed(std::string_view user) {
    int& n = connectFailures_[toLowerAscii(user)];
    if (n < 16) ++n;
}

}  // namespace orv

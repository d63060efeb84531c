#include "engine/reception.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "core/file_time.h"
#include "engine/create_item.h"
#include "engine/item_message.h"
#include "engine/rate_meter.h"

namespace orv {

namespace {
bool allFilesComplete(const CoreTables& t, int m) {
    size_t files = t.mailFiles(m).size();
    return files > 0 && t.completeFileCount(m) == static_cast<int>(files);
}
}  // namespace

namespace {

// A name that cannot be used as it came still needs a file of its own.
constexpr const char* kUnnamedFile = "unnamed";

bool isReceptionKind(int32_t k) {
    return k == MailKind::Inbox || k == MailKind::SharedFileReceived;
}

bool fileExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

std::string safeFileName(std::string_view name) {
    size_t cut = name.find_last_of("/\\");
    std::string_view base = cut == std::string_view::npos ? name : name.substr(cut + 1);
    if (base.empty() || base == "." || base == "..") return {};
    return std::string(base);
}

MailReception::MailReception(Engine& engine, CoreTables& tables, SessionState& session,
                             const Clock& clock, MailDelivery& delivery)
    : engine_(engine), tables_(tables), session_(session), clock_(clock), delivery_(delivery) {}

MailReception::~MailReception() {
    flushPending();
}

// ---------------------------------------------------------------- items

void MailReception::DispatchItem(const InboundMessage& msg) {
    flushPending();  // rows may move below
    WireReader rd(msg.body);
    ItemMessage item;
    if (!readItemHead(rd, item, engine_.codec())) return;
    const MailRecord& rec = item.record;

    if (session_.connectMode == 1) {
        if (relayItem) relayItem(msg);
        return;
    }
    delivery_.wakeFor(item.sender);
    switch (rec.kind) {
        case 25:
            return;
        case MailKind::ListFolder:
        case MailKind::ListTree:
            if (onListingRequest && equalsIgnoreCase(item.recipient, session_.currentUser))
                onListingRequest(rec.kind, item.sender, item.recipient, item.subject);
            return;
        case MailKind::ListFolderReply:
        case MailKind::ListTreeReply:
            if (onListingReply) onListingReply(rec.kind, item.sender, item.subject, rd);
            return;
        case MailKind::SharedFileRequest:
            if (onSharedFileRequest && equalsIgnoreCase(item.recipient, session_.currentUser))
                onSharedFileRequest(item.sender, item.recipient, item.subject);
            return;
        case 14:
            engine_.forgetCachedAddress(item.sender);
            return;
        case MailKind::ResendRequest:
            delivery_.RestartDelivery(item.sender, rec.wantedKey);
            return;
        case MailKind::Outbox:
        case MailKind::SharedFileDelivery:
            storeMail(msg, item, rd);
            return;
        default:
            return;
    }
}

int MailReception::findStored(uint64_t key) const {
    for (int m : tables_.mailsWithKey(key)) {
        int32_t k = tables_.mails[m].kind;
        if (k == MailKind::Inbox || k == MailKind::SharedFileReceived ||
            k == MailKind::TrashReceived)
            return m;
    }
    return -1;
}

void MailReception::storeMail(const InboundMessage& msg, ItemMessage& item, WireReader& rd) {
    const MailRecord& in = item.record;
    const std::string& sender = item.sender;
    int m = findStored(in.key);
    if (m < 0) {
        readItemFiles(rd, item, engine_.codec());
        const std::vector<std::string>& names = item.fileNames;
        const std::vector<int64_t>& sizes = item.fileSizes;
        const std::vector<AttachmentRecord>& atts = item.attachments;

        MailRecord rec = in;
        rec.runtimeSlot = 0;
        rec.kind = in.kind == MailKind::SharedFileDelivery ? MailKind::SharedFileReceived
                                                           : MailKind::Inbox;
        rec.lastActivity = now();
        int64_t limit = int64_t{tables_.settingNumber(Setting::AutoReceiveMB)} * 1048576;
        if (in.kind == MailKind::SharedFileDelivery || rec.size < limit) rec.fetchRequested = 1;
        m = tables_.appendMail(rec, item.subject);
        ReceiveMeter& meter = tables_.mailMeter(m);
        meter = ReceiveMeter{};
        meter.start = now();
        for (const auto& r : item.recipients)
            tables_.appendReceivedRecipient(m, r, sender);
        for (const auto& e : item.addressEntries)
            tables_.appendRecvAddress(m, e);
        for (size_t k = 0; k < names.size(); ++k) {
            std::string name = safeFileName(names[k]);
            if (name.empty()) name = kUnnamedFile;
            AttachmentRecord a{};
            if (!atts.empty() && k < atts.size()) {
                a.total = atts[k].total;
                a.attFlags = atts[k].attFlags;
            } else if (k < sizes.size()) {
                a.total = sizes[k];
            }
            if (a.total < 0) a.total = 0;
            // The path is completed when the file is first written.
            tables_.appendAttachment(m, name, name, a);
        }
        if (rec.kind == MailKind::SharedFileReceived) resumeSharedFile(m);
        if (tables_.mails[m].fetchRequested) createEmptyFiles(m);
        announceStored(m);
    }
    const MailRecord& r = tables_.mails[m];
    if (r.kind == MailKind::TrashReceived && r.size != 0) return;
    SendItemReply(msg.socket, m, r.key, r.created);
}

void MailReception::resumeSharedFile(int m) {
    // A download interrupted earlier goes on from the bytes its transfer holds, so the first
    // reply already asks for the right offset.
    if (!sharedFileTarget) return;
    const std::vector<int32_t>& files = tables_.mailFiles(m);
    if (files.size() != 1) return;
    int a = files.front();
    std::optional<SharedFileTarget> t = sharedFileTarget(m);
    if (t && t->preview >= 0) {
        // A preview starts where the player asked: the mark sends its bytes to the window.
        AttachmentRecord& r = tables_.attachments[a];
        r.done = std::clamp<int64_t>(t->received, 0, r.total);
        r.previewMark = t->preview + 1;
        if (!t->localPath.empty()) tables_.attachmentPaths.replaceAt(a, t->localPath);
        tables_.noteChange();
        return;
    }
    if (!t || t->received <= 0 || t->localPath.empty()) return;
    struct stat st;
    if (::stat(t->localPath.c_str(), &st) != 0 || st.st_size < t->received) return;
    AttachmentRecord& r = tables_.attachments[a];
    r.done = std::min<int64_t>(t->received, r.total);
    tables_.attachmentPaths.replaceAt(a, t->localPath);
    tables_.noteChange();
    if (r.done == r.total && sharedFileProgress) sharedFileProgress(m, r.done, true);
}

void MailReception::stopSharedFile(std::string_view subject) {
    flushPending();
    std::vector<int> drop;
    for (int m = 0; m < tables_.mails.count(); ++m) {
        if (tables_.mails[m].kind != MailKind::SharedFileReceived ||
            !equalsIgnoreCase(tables_.subjects.view(m), subject))
            continue;
        for (int a : tables_.mailFiles(m))
            if (tables_.attachmentOpen(a)) tables_.attachmentFile(a).close();
        drop.push_back(m);
    }
    if (drop.empty()) return;
    chunkMail_ = -1;
    tables_.eraseMails(std::move(drop));
}

void MailReception::SendItemReply(Socket s, int m, uint64_t key, int32_t created) {
    if (!engine_.IsPlainLink(s)) return;
    int32_t command = Command::Received;
    int32_t fileNo = 0;
    int64_t offset = 0;
    if (m >= 0 && m < tables_.mails.count()) {
        const MailRecord& r = tables_.mails[m];
        key = r.key;
        created = r.created;
        fileNo = tables_.completeFileCount(m);
        offset = tables_.firstIncompleteDone(m);
        if (r.fetchRequested)
            command = tables_.sumDone(m) == r.size ? Command::AllReceived : Command::SendFiles;
    }
    WireWriter w(command);
    w.i32(fileNo);
    w.i32(0);
    w.i64(offset);
    w.u64(key);
    w.i32(created);
    w.i32(0);
    if (command == Command::AllReceived) w.cString(session_.currentUser, engine_.codec());
    const auto& bytes = w.finish();
    // What the reply reports must be on disk first: it goes out after the pump's sync.
    if (m >= 0) tables_.noteMailChanged(m);
    engine_.queueAfterSync(s, std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

// ---------------------------------------------------------------- files

std::string MailReception::receiveFolder() const {
    std::string f = tables_.settingString(SettingString::ReceiveFolder);
    if (f.empty()) f = tables_.mailStoreFolder();
    if (!f.empty() && f.back() != '/') f.push_back('/');
    return f;
}

bool MailReception::completePath(int a) {
    std::string stored = tables_.attachmentPaths.str(a);
    if (stored.find('/') != std::string::npos) return true;
    // The stored name is a bare name (made safe when the mail was stored); it is checked
    // again here because older state may hold names from before that rule.
    std::string name = safeFileName(stored);
    if (name.empty()) name = kUnnamedFile;
    const AttachmentRecord& rec = tables_.attachments[a];
    std::string folder;
    if (rec.attFlags & AttFlags::isBodyPart) {
        if (!tables_.ensureMailStoreFolder()) return false;
        folder = tables_.mailStoreFolder();
    } else {
        folder = receiveFolder();
        if (folder.empty()) return false;
        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
    }
    std::string path = folder + name;
    if (rec.done == 0 && fileExists(path)) {
        for (int n = 1; n < 100000; ++n) {
            std::string p = folder + "[" + std::to_string(n) + "]" + name;
            if (!fileExists(p)) {
                path = std::move(p);
                break;
            }
        }
    }
    tables_.attachmentPaths.replaceAt(a, path);
    tables_.noteChange();
    return true;
}

bool MailReception::openForReception(int m, int a) {
    flushPending();
    AttachmentRecord& rec = tables_.attachments[a];
    if (rec.done >= rec.total) return false;  // nothing more can be written to it
    std::string path;
    if (tables_.mails[m].kind == MailKind::SharedFileReceived) {
        std::optional<SharedFileTarget> t;
        if (sharedFileTarget) t = sharedFileTarget(m);
        if (t && t->preview >= 0) {
            // Nothing is written: the mark sends the data to the preview window.
            rec.done = std::clamp<int64_t>(t->received, 0, rec.total);
            rec.previewMark = t->preview + 1;
            if (!t->localPath.empty()) tables_.attachmentPaths.replaceAt(a, t->localPath);
            tables_.noteChange();
            return true;
        }
        if (!t || t->localPath.empty()) return false;
        path = t->localPath;
        tables_.attachments[a].done = std::clamp<int64_t>(t->received, 0, rec.total);
        tables_.attachmentPaths.replaceAt(a, path);
    } else {
        if (!completePath(a)) return false;
        path = tables_.attachmentPaths.str(a);
    }
    AttachmentRecord& r = tables_.attachments[a];
    int fd = -1;
    struct stat st;
    if (r.done != 0 && ::stat(path.c_str(), &st) == 0 && st.st_size >= r.done) {
        // Continue where the reception stopped; bytes past done (written before a crash
        // without being counted) are cut off first.
        fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd >= 0 && st.st_size > r.done && ::ftruncate(fd, r.done) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    if (fd < 0) {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        r.done = 0;
    }
    if (fd < 0) return false;
    tables_.attachmentFile(a).reset(fd);
    tables_.noteChange();
    return true;
}

void MailReception::createEmptyFiles(int m) {
    std::vector<int32_t> files = tables_.mailFiles(m);
    for (int a : files) {
        if (tables_.attachments[a].total != 0 || tables_.attachmentOpen(a)) continue;
        if (tables_.mails[m].kind == MailKind::SharedFileReceived) {
            std::optional<SharedFileTarget> t;
            if (sharedFileTarget) t = sharedFileTarget(m);
            if (!t || t->localPath.empty()) continue;
            int fd = ::open(t->localPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd >= 0) ::close(fd);
            if (sharedFileProgress) sharedFileProgress(m, 0, true);
            continue;
        }
        bool fresh = tables_.attachmentPaths.view(a).find('/') == std::string_view::npos;
        if (!completePath(a)) continue;
        std::string path = tables_.attachmentPaths.str(a);
        if (!fresh && fileExists(path)) continue;
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) continue;
        tables_.noteFileToSync(fd);  // synced and closed with the pump's changes
        tables_.attachments[a].fileTime = fileTimeOf(path);
    }
}

bool MailReception::flushPending() {
    PendingWrite& p = pending_;
    bool ok = true;
    size_t off = 0;
    while (off < p.data.size()) {
        ssize_t n = ::pwrite(p.fd, p.data.data() + off, p.data.size() - off,
                             p.offset + static_cast<int64_t>(off));
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            ok = false;
            break;
        }
        off += static_cast<size_t>(n);
    }
    if (ok && off) startWriteback(p.fd, p.tableFd, p.offset, p.offset + static_cast<int64_t>(off));
    if (!ok) {
        // What did not reach the file is not received: the file goes back to what it holds
        // and is closed, so the next chunk reopens it by the append rule.
        int a = p.attachment;
        if (a >= 0 && a < tables_.attachments.count() && tables_.attachmentOpen(a) &&
            tables_.attachmentFile(a).fd() == p.tableFd) {
            tables_.attachments[a].done = p.offset + static_cast<int64_t>(off);
            tables_.attachmentFile(a).close();
        }
    }
    p.data.clear();
    if (p.fd >= 0) ::close(p.fd);
    p.fd = -1;
    p.tableFd = -1;
    p.attachment = -1;
    return ok;
}

// The file's sync at its end then finds most of it on disk already, and the page cache does not
// fill with a gigabyte of dirty pages for the kernel to write back at once. Only started here,
// never waited for: a slow disk must not hold up the loop.
void MailReception::startWriteback(int fd, int tableFd, int64_t offset, int64_t end) {
    Writeback& w = writeback_;
    if (w.tableFd != tableFd || w.end != offset) {
        w.tableFd = tableFd;
        w.from = offset;
    }
    w.end = end;
    if (w.end - w.from < kWritebackBlock) return;
    ::sync_file_range(fd, w.from, w.end - w.from, SYNC_FILE_RANGE_WRITE);
    w.from = w.end;
}

bool MailReception::writeData(int a, int64_t offset, std::span<const uint8_t> data) {
    PendingWrite& p = pending_;
    int tableFd = tables_.attachmentFile(a).fd();
    bool continues = p.fd >= 0 && p.attachment == a && p.tableFd == tableFd &&
                     p.offset + static_cast<int64_t>(p.data.size()) == offset;
    if (!continues || p.data.size() + data.size() > kWriteBlock) {
        if (!flushPending()) return false;
        // The flush may have closed this very file.
        if (!tables_.attachmentOpen(a) || tables_.attachmentFile(a).fd() != tableFd ||
            tables_.attachments[a].done != offset)
            return false;
    }
    if (p.fd < 0) {
        p.fd = ::fcntl(tableFd, F_DUPFD_CLOEXEC, 0);
        if (p.fd < 0) return false;
        p.tableFd = tableFd;
        p.attachment = a;
        p.offset = offset;
        if (p.data.capacity() < kWriteBlock) p.data.reserve(kWriteBlock);
    }
    p.data.insert(p.data.end(), data.begin(), data.end());
    return true;
}

void MailReception::fileCompleted(int m, int a, Socket s) {
    flushPending();
    bool preview = tables_.attachments[a].previewMark != 0;
    if (!preview) {
        if (!tables_.attachmentOpen(a)) return;  // the write failed after all
        // The file reaches the disk before any reply says it is complete.
        int syncFd = ::fcntl(tables_.attachmentFile(a).fd(), F_DUPFD_CLOEXEC, 0);
        if (syncFd >= 0) tables_.noteFileToSync(syncFd);
        tables_.attachmentFile(a).close();
    }
    tables_.noteMailChanged(m);
    const MailRecord r = tables_.mails[m];
    if (!preview) tables_.attachments[a].fileTime = fileTimeOf(tables_.attachmentPaths.str(a));
    // The mail is complete once all its bytes are in; the sender then finishes.
    if (tables_.sumDone(m) == r.size) SendItemReply(s, m, r.key, r.created);
    if (r.kind == MailKind::SharedFileReceived && sharedFileProgress)
        sharedFileProgress(m, tables_.attachments[a].done, true);
    if (r.kind == MailKind::Inbox && allFilesComplete(tables_, m))
        session_.events.push(EventKind::FilesComplete, r.key);
}

void MailReception::announceStored(int m) {
    const MailRecord& r = tables_.mails[m];
    if (r.kind != MailKind::Inbox || !tables_.isReceivedRecipientOf(session_.currentUser, m))
        return;
    session_.events.push(EventKind::MailArrived, r.key);
    // Empty files are complete as soon as they are made.
    if (allFilesComplete(tables_, m)) session_.events.push(EventKind::FilesComplete, r.key);
}

// ---------------------------------------------------------------- chunks

int MailReception::findForChunk(uint64_t key, int32_t fileNo, int& attachment) {
    attachment = -1;
    if (fileNo < 0) return -1;
    auto tryMail = [&](int m) {
        const auto& files = tables_.mailFiles(m);
        if (static_cast<size_t>(fileNo) < files.size()) {
            attachment = files[static_cast<size_t>(fileNo)];
            return true;
        }
        return false;
    };
    if (chunkMailsGen_ == tables_.mails.generation() && chunkKey_ == key && chunkMail_ >= 0 &&
        chunkMail_ < tables_.mails.count() && tables_.mails[chunkMail_].key == key &&
        isReceptionKind(tables_.mails[chunkMail_].kind)) {
        if (tryMail(chunkMail_)) return chunkMail_;
    }
    for (int m : tables_.mailsWithKey(key)) {
        if (!isReceptionKind(tables_.mails[m].kind)) continue;
        if (tryMail(m)) {
            chunkKey_ = key;
            chunkMail_ = m;
            chunkMailsGen_ = tables_.mails.generation();
            return m;
        }
    }
    return -1;
}

ChunkVerdict MailReception::ReceiveChunk(const InboundMessage& msg) {
    if (msg.body.size() < kChunkHeaderSize) return {};
    const uint8_t* b = msg.body.data();
    uint64_t key;
    std::memcpy(&key, b, 8);
    int32_t fileNo = loadI32(b + 8);
    int32_t created = loadI32(b + 12);
    int64_t offset;
    std::memcpy(&offset, b + 16, 8);
    std::span<const uint8_t> data = msg.body.subspan(kChunkHeaderSize);
    if (data.empty()) return {};  // an end-of-file marker tells us nothing

    int32_t t = now();
    int a = -1;
    int m = findForChunk(key, fileNo, a);
    if (m < 0) {
        if (t - lastUnknownReply_ >= kReplySpacing) {
            lastUnknownReply_ = t;
            SendItemReply(msg.socket, -1, key, created);
        }
        return {};
    }
    if (!tables_.mails[m].fetchRequested) {
        if (t - lastUnknownReply_ >= kReplySpacing) {
            lastUnknownReply_ = t;
            SendItemReply(msg.socket, m, key, created);
        }
        return {};
    }
    // A preview's bytes go to the engine's preview window instead of a file.
    auto previewMark = [&] { return tables_.attachments[a].previewMark; };
    if (!tables_.attachmentOpen(a) && previewMark() == 0) openForReception(m, a);
    if (!tables_.attachmentOpen(a) && previewMark() == 0) return {};

    AttachmentRecord& rec = tables_.attachments[a];
    if (offset != rec.done) {
        if (t - lastOffsetReply_ >= kReplySpacing) {
            lastOffsetReply_ = t;
            SendItemReply(msg.socket, m, key, created);
        }
        return {};
    }
    MailRecord& mail = tables_.mails[m];
    mail.lastActivity = t;
    ReceiveMeter& meter = tables_.mailMeter(m);
    if (meter.start == 0) meter.start = t;
    int64_t nowMs = clock_.nowMillis();
    int32_t ownKB = tables_.settingNumber(Setting::MaxRecvPerTransfer);
    if (meterHolds(meter.meter, ownKB, nowMs))
        return ChunkVerdict::notNow(meterFreeAtMs(meter.meter, ownKB));
    // Never past the registered size: a sender whose file grew sends more than it announced.
    size_t n = static_cast<size_t>(
        std::min<int64_t>(static_cast<int64_t>(data.size()), rec.total - rec.done));
    if (n > 0) {
        if (previewMark() != 0) {
            PreviewTake took = previewChunk ? previewChunk(previewMark() - 1, offset, data.first(n))
                                            : PreviewTake::Dropped;
            if (took == PreviewTake::NotNow) return ChunkVerdict::notNow();
            if (took == PreviewTake::Dropped) return {};
        } else if (!writeData(a, offset, data.first(n))) {
            return ChunkVerdict::notNow();
        }
        meterCount(engine_.globalReceiveMeter(), static_cast<uint32_t>(n),
                   tables_.settingNumber(Setting::MaxRecvTotal), nowMs);
        meterCount(tables_.mailMeter(m).meter, static_cast<uint32_t>(n), ownKB, nowMs);
        tables_.attachments[a].done += static_cast<int64_t>(n);
        tables_.noteChange();
    }
    if (tables_.attachments[a].done == tables_.attachments[a].total)
        fileCompleted(m, a, msg.socket);
    return {};
}

// ---------------------------------------------------------------- asking again

void MailReception::askAgain(int m) {
    std::vector<int32_t> rows = tables_.mailReceivedRecipients(m);
    // Resend requests go out from the local user; rows of other recipients are not ours to
    // send from.
    std::vector<std::string> senders;
    std::string me = session_.currentUser;
    bool mine = false;
    for (int r : rows)
        if (equalsIgnoreCase(tables_.receivedRecipientNames.view(r), me)) mine = true;
    uint64_t key = tables_.mails[m].key;
    int32_t created = tables_.mails[m].created;
    for (int r : rows) {
        std::string recipient = tables_.receivedRecipientNames.str(r);
        if (mine && !equalsIgnoreCase(recipient, me)) continue;
        std::string sender = tables_.receivedRecipientSenders.str(r);
        bool seen = false;
        for (const auto& s : senders)
            if (equalsIgnoreCase(s, sender)) seen = true;
        if (seen || sender.empty()) continue;
        senders.push_back(sender);
        CreateResendRequest(tables_, recipient, sender, key, created);
    }
}

bool MailReception::RequestFiles(uint64_t key) {
    flushPending();
    int m = tables_.findReceived(key);
    if (m < 0) return false;
    tables_.mails[m].fetchRequested = 1;
    tables_.noteChange();
    createEmptyFiles(m);
    askAgain(m);
    return true;
}

void MailReception::checkStalled() {
    int32_t t = now();
    if (t - lastStallCheck_ <= kStallCheckSeconds) return;
    lastStallCheck_ = t;
    int count = tables_.mails.count();
    for (int m = 0; m < count; ++m) {
        MailRecord& r = tables_.mails[m];
        if (!isReceptionKind(r.kind) || r.lastActivity == 0) continue;
        if (t - r.lastActivity <= kStallSeconds) continue;
        if (tables_.sumDone(m) == r.size) continue;
        tables_.mails[m].lastActivity = 0;
        tables_.noteChange();
        std::vector<int32_t> rows = tables_.mailReceivedRecipients(m);
        if (rows.empty()) continue;
        // The first row from the local user, else the first row.
        int pick = rows.front();
        for (int row : rows)
            if (equalsIgnoreCase(tables_.receivedRecipientNames.view(row), session_.currentUser)) {
                pick = row;
                break;
            }
        std::string recipient = tables_.receivedRecipientNames.str(pick);
        std::string sender = tables_.receivedRecipientSenders.str(pick);
        CreateResendRequest(tables_, recipient, sender, tables_.mails[m].key,
                            tables_.mails[m].created);
    }
}

void MailReception::socketStepDuties() {
    flushPending();
    checkStalled();
}

void MailReception::closeIncomingFiles() {
    flushPending();
    for (int a = 0; a < tables_.attachments.count(); ++a) {
        if (!tables_.attachmentOpen(a)) continue;
        tables_.attachmentFile(a).close();
        AttachmentRecord& r = tables_.attachments[a];
        int m = r.mail;
        std::string path = tables_.attachmentPaths.str(a);
        bool shared = m >= 0 && m < tables_.mails.count() &&
                      tables_.mails[m].kind == MailKind::SharedFileReceived;
        struct stat st;
        if (::stat(path.c_str(), &st) == 0) r.done = std::clamp<int64_t>(st.st_size, 0, r.total);
        r.fileTime = fileTimeOf(path);
        if (shared && sharedFileProgress) sharedFileProgress(m, r.done, r.done == r.total);
        tables_.noteChange();
    }
}

void MailReception::addWaits(WaitSet& out) {
    // Nothing stays unwritten while the session waits.
    flushPending();
    if (!session_.loggedIn()) return;
    // The stall check: the next time a mail being received could be asked for again.
    int64_t due = -1;
    for (int m = 0; m < tables_.mails.count(); ++m) {
        const MailRecord& r = tables_.mails[m];
        if (!isReceptionKind(r.kind) || r.lastActivity == 0) continue;
        int64_t at = std::max<int64_t>(int64_t{r.lastActivity} + kStallSeconds + 1,
                                       int64_t{lastStallCheck_} + kStallCheckSeconds + 1);
        if (due < 0 || at < due) due = at;
    }
    if (due >= 0) out.dueAt(msAtSecond(clock_, due));
}

// ---------------------------------------------------------------- queries

int MailReception::findReceivedKind(uint64_t key, bool alsoShared) const {
    for (int m = 0; m < tables_.mails.count(); ++m) {
        const MailRecord& r = tables_.mails[m];
        if (r.key != key) continue;
        if (r.kind == MailKind::Inbox || (alsoShared && r.kind == MailKind::SharedFileReceived))
            return m;
    }
    return -1;
}

uint32_t MailReception::receiveSpeed(uint64_t key) {
    int m = findReceivedKind(key, true);
    return m < 0 ? 0 : meterSpeed(tables_.mailMeter(m).meter, clock_.nowMillis());
}

bool MailReception::stalled(uint64_t key) {
    int m = findReceivedKind(key, false);
    return m >= 0 && now() - tables_.mails[m].lastActivity > kStallSeconds;
}

// ---------------------------------------------------------------- hooks

void connectMailHooks(Engine& engine, MailDelivery& delivery, MailReception& reception) {
    EngineHooks& h = engine.hooks();
    h.itemMessage = [&reception](const InboundMessage& m) { reception.DispatchItem(m); };
    h.fileChunk = [&reception](const InboundMessage& m) { return reception.ReceiveChunk(m); };
    h.itemReply = [&delivery](const InboundMessage& m) { delivery.OnItemReply(m); };
    h.heardFrom = [&delivery](std::string_view user) { delivery.wakeFor(user); };
    h.deliveryPass = [&delivery] { return delivery.deliveryPass(); };
    h.checkStalledReceptions = [&reception] { reception.socketStepDuties(); };
    h.closeIncomingFiles = [&reception] { reception.closeIncomingFiles(); };
    auto previous = std::move(h.addWaits);
    h.addWaits = [previous, &delivery, &reception](WaitSet& w) {
        if (previous) previous(w);
        delivery.addWaits(w);
        reception.addWaits(w);
    };
}

}  // namespace orv

#include "core/core_tables.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "core/file_time.h"
#include "core/journal.h"

namespace orv {

namespace {
const std::vector<int32_t> kNoRows;
}  // namespace

OpenFile& OpenFile::operator=(OpenFile&& o) noexcept {
    if (this != &o) {
        close();
        fd_ = o.fd_;
        o.fd_ = -1;
    }
    return *this;
}

void OpenFile::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

CoreTables::CoreTables(const Clock& clock, std::string mailStoreFolder) : clock_(clock) {
    setMailStoreFolder(std::move(mailStoreFolder));
}

void CoreTables::setMailStoreFolder(std::string folder) {
    if (!folder.empty() && folder.back() != '/') folder.push_back('/');
    mailStoreFolder_ = std::move(folder);
}

bool CoreTables::ensureMailStoreFolder() const {
    if (mailStoreFolder_.empty()) return false;
    std::error_code ec;
    std::filesystem::create_directories(mailStoreFolder_, ec);
    return std::filesystem::is_directory(mailStoreFolder_, ec);
}

bool CoreTables::attachmentOpen(int a) const {
    return attachmentFiles_.has(a) && attachmentFiles_.rows()[static_cast<size_t>(a)].isOpen();
}

void CoreTables::clearRuntime() {
    mailMeters_.clear();
    attachmentFiles_.clear();
    deliveryRuntime_.clear();
}

// ---------------------------------------------------------------- indexes

template <typename MailOf>
const CoreTables::RowIndex& CoreTables::rowIndex(RowIndex& ix, uint64_t rowGen, int rows,
                                                 MailOf mailOf) const {
    if (ix.rowGen == rowGen && ix.mailGen == mails.generation()) return ix;
    ix.byMail.assign(static_cast<size_t>(mails.count()), {});
    // Counted first, so each mail's list is allocated once.
    std::vector<int32_t> counts(static_cast<size_t>(mails.count()), 0);
    for (int r = 0; r < rows; ++r) {
        int m = mailOf(r);
        if (m >= 0 && m < mails.count()) ++counts[static_cast<size_t>(m)];
    }
    for (size_t m = 0; m < counts.size(); ++m)
        if (counts[m]) ix.byMail[m].reserve(static_cast<size_t>(counts[m]));
    for (int r = 0; r < rows; ++r) {
        int m = mailOf(r);
        if (m >= 0 && m < mails.count()) ix.byMail[static_cast<size_t>(m)].push_back(r);
    }
    ix.rowGen = rowGen;
    ix.mailGen = mails.generation();
    return ix;
}

void CoreTables::noteRowAppended(RowIndex& ix, uint64_t oldRowGen, uint64_t newRowGen, int row,
                                 int mail) {
    if (ix.rowGen != oldRowGen || ix.mailGen != mails.generation()) return;  // rebuilt on use
    if (mail >= 0 && mail < mails.count()) ix.byMail[static_cast<size_t>(mail)].push_back(row);
    ix.rowGen = newRowGen;
}

const std::vector<int32_t>& CoreTables::mailFiles(int m) const {
    const auto& ix = rowIndex(filesIx_, attachments.generation(), attachments.count(),
                              [this](int r) { return attachments[r].mail; });
    return (m >= 0 && m < static_cast<int>(ix.byMail.size())) ? ix.byMail[static_cast<size_t>(m)]
                                                              : kNoRows;
}

const std::vector<int32_t>& CoreTables::mailDeliveries(int m) const {
    const auto& ix = rowIndex(deliveriesIx_, deliveries.generation(), deliveries.count(),
                              [this](int r) { return deliveries[r].mail; });
    return (m >= 0 && m < static_cast<int>(ix.byMail.size())) ? ix.byMail[static_cast<size_t>(m)]
                                                              : kNoRows;
}

const std::vector<int32_t>& CoreTables::mailReceivedRecipients(int m) const {
    const auto& ix =
        rowIndex(recipientsIx_, receivedRecipientMails.generation(), receivedRecipientMails.count(),
                 [this](int r) { return receivedRecipientMails[r]; });
    return (m >= 0 && m < static_cast<int>(ix.byMail.size())) ? ix.byMail[static_cast<size_t>(m)]
                                                              : kNoRows;
}

const std::vector<int32_t>& CoreTables::mailOutAddress(int m) const {
    const auto& ix = rowIndex(outAddrIx_, outAddressMails.generation(), outAddressMails.count(),
                              [this](int r) { return outAddressMails[r]; });
    return (m >= 0 && m < static_cast<int>(ix.byMail.size())) ? ix.byMail[static_cast<size_t>(m)]
                                                              : kNoRows;
}

const std::vector<int32_t>& CoreTables::mailRecvAddress(int m) const {
    const auto& ix = rowIndex(recvAddrIx_, recvAddressMails.generation(), recvAddressMails.count(),
                              [this](int r) { return recvAddressMails[r]; });
    return (m >= 0 && m < static_cast<int>(ix.byMail.size())) ? ix.byMail[static_cast<size_t>(m)]
                                                              : kNoRows;
}

const std::vector<int32_t>& CoreTables::mailsWithKey(uint64_t key) const {
    static const std::vector<int32_t> none;
    if (keyIxGen_ != mails.generation()) {
        keyIx_.clear();
        keyIx_.reserve(static_cast<size_t>(mails.count()));
        for (int i = 0; i < mails.count(); ++i)
            keyIx_[mails[i].key].push_back(i);
        keyIxGen_ = mails.generation();
    }
    auto it = keyIx_.find(key);
    return it == keyIx_.end() ? none : it->second;
}

int CoreTables::findByKey(uint64_t key, bool received) const {
    for (int i : mailsWithKey(key)) {
        int32_t k = mails[i].kind;
        if (received ? k == MailKind::Inbox
                     : (k == MailKind::Outbox || k == MailKind::Sent || k == MailKind::Draft))
            return i;
    }
    return -1;
}

int CoreTables::findReceived(uint64_t key) const {
    return findByKey(key, true);
}
int CoreTables::findOutgoing(uint64_t key) const {
    return findByKey(key, false);
}

bool CoreTables::copyMail(uint64_t key, MailRecord& out) const {
    int m = findReceived(key);
    if (m < 0) return false;
    out = mails[m];
    return true;
}

bool CoreTables::copyOutgoingMail(uint64_t key, MailRecord& out) const {
    int m = findOutgoing(key);
    if (m < 0) return false;
    out = mails[m];
    return true;
}

// ---------------------------------------------------------------- building mails

int CoreTables::appendMail(const MailRecord& r, std::string_view subject) {
    uint64_t oldGen = mails.generation();
    bool keyFresh = keyIxGen_ == oldGen;
    RowIndex* all[] = {&filesIx_, &deliveriesIx_, &recipientsIx_, &outAddrIx_, &recvAddrIx_};
    bool fresh[5];
    for (int i = 0; i < 5; ++i)
        fresh[i] = all[i]->mailGen == oldGen;
    subjects.append(subject);
    int m = mails.append(r);
    mailMeters_.at(m) = ReceiveMeter{};
    if (keyFresh) {
        keyIx_[r.key].push_back(m);
        keyIxGen_ = mails.generation();
    }
    for (int i = 0; i < 5; ++i) {
        if (fresh[i]) {
            all[i]->byMail.emplace_back();
            all[i]->mailGen = mails.generation();
        }
    }
    noteMailChanged(m);
    noteChange();
    return m;
}

int CoreTables::appendAttachment(int mail, std::string_view path, std::string_view name,
                                 const AttachmentRecord& r) {
    uint64_t g = attachments.generation();
    AttachmentRecord rec = r;
    rec.mail = mail;
    rec.runtimeSlot = 0;
    attachmentPaths.append(path);
    attachmentNames.append(name);
    int a = attachments.append(rec);
    attachmentFiles_.at(a).close();
    noteRowAppended(filesIx_, g, attachments.generation(), a, mail);
    noteMailChanged(mail);
    noteChange();
    return a;
}

int CoreTables::appendDelivery(int m, std::string_view recipient, std::string_view sender) {
    uint64_t g = deliveries.generation();
    deliveryRecipients.append(recipient);
    deliverySenders.append(sender);
    int d = deliveries.append(newDeliveryRecord(m));
    deliveryProgress.resize(static_cast<size_t>(deliveries.count()));
    deliveryProgress[d] = DeliveryProgress{};
    deliveryRuntime_.at(d).release();
    noteRowAppended(deliveriesIx_, g, deliveries.generation(), d, m);
    if (m >= 0 && m < mails.count()) mails[m].kind = MailKind::Outbox;
    noteMailChanged(m);
    noteChange();
    return d;
}

int CoreTables::addDelivery(std::string_view name, int m) {
    const auto& ds = mailDeliveries(m);
    std::string sender = ds.empty() ? std::string() : deliverySenders.str(ds.front());
    return appendDelivery(m, name, sender);
}

int CoreTables::appendReceivedRecipient(int m, std::string_view recipient,
                                        std::string_view sender) {
    uint64_t g = receivedRecipientMails.generation();
    receivedRecipientNames.append(recipient);
    receivedRecipientSenders.append(sender);
    int r = receivedRecipientMails.append(m);
    noteRowAppended(recipientsIx_, g, receivedRecipientMails.generation(), r, m);
    noteMailChanged(m);
    noteChange();
    return r;
}

int CoreTables::addReceivedRecipient(std::string_view name, int m) {
    const auto& rs = mailReceivedRecipients(m);
    std::string sender = rs.empty() ? std::string() : receivedRecipientSenders.str(rs.front());
    return appendReceivedRecipient(m, name, sender);
}

int CoreTables::appendOutAddress(int m, std::string_view entry) {
    uint64_t g = outAddressMails.generation();
    outAddressEntries.append(entry);
    int r = outAddressMails.append(m);
    noteRowAppended(outAddrIx_, g, outAddressMails.generation(), r, m);
    noteMailChanged(m);
    noteChange();
    return r;
}

int CoreTables::appendRecvAddress(int m, std::string_view entry) {
    uint64_t g = recvAddressMails.generation();
    recvAddressEntries.append(entry);
    int r = recvAddressMails.append(m);
    noteRowAppended(recvAddrIx_, g, recvAddressMails.generation(), r, m);
    noteMailChanged(m);
    noteChange();
    return r;
}

// ---------------------------------------------------------------- lookups

bool CoreTables::isReceivedKind(int32_t kind) {
    return kind == MailKind::Inbox || kind == MailKind::TrashReceived ||
           kind == MailKind::SharedFileReceived;
}

void CoreTables::mailRecipients(int m, StringPool& out) const {
    out.clear();
    if (m < 0 || m >= mails.count()) return;
    if (isReceivedKind(mails[m].kind)) {
        for (int r : mailReceivedRecipients(m))
            out.append(receivedRecipientNames.view(r));
    } else {
        for (int d : mailDeliveries(m))
            out.append(deliveryRecipients.view(d));
    }
}

void CoreTables::mailSenders(int m, StringPool& out) const {
    out.clear();
    if (m < 0 || m >= mails.count()) return;
    auto add = [&out](std::string_view s) {
        if (out.find(s) < 0) out.append(s);
    };
    if (isReceivedKind(mails[m].kind)) {
        for (int r : mailReceivedRecipients(m))
            add(receivedRecipientSenders.view(r));
    } else {
        for (int d : mailDeliveries(m))
            add(deliverySenders.view(d));
    }
}

std::vector<int32_t> CoreTables::mailAttachmentRows(int m) const {
    std::vector<int32_t> rows;
    if (m < 0 || m >= mails.count()) return rows;
    bool skipFirst = (mails[m].flags & MailFlags::bodyIsFirstFile) != 0;
    const auto& files = mailFiles(m);
    for (size_t j = 0; j < files.size(); ++j) {
        if (j == 0 && skipFirst) continue;
        if (attachments[files[j]].attFlags & AttFlags::isBodyPart) continue;
        rows.push_back(files[j]);
    }
    return rows;
}

void CoreTables::mailAttachmentNames(int m, StringPool& out) const {
    out.clear();
    for (int a : mailAttachmentRows(m))
        out.append(attachmentNames.view(a));
}

void CoreTables::mailAttachmentPaths(int m, StringPool& out) const {
    out.clear();
    for (int a : mailAttachmentRows(m))
        out.append(attachmentPaths.view(a));
}

bool CoreTables::mailBodyPaths(int m, StringPool& out) const {
    out.clear();
    if (m < 0 || m >= mails.count()) return true;
    bool firstIsBody = (mails[m].flags & MailFlags::bodyIsFirstFile) != 0;
    bool complete = true;
    const auto& files = mailFiles(m);
    for (size_t j = 0; j < files.size(); ++j) {
        const AttachmentRecord& a = attachments[files[j]];
        if (!((j == 0 && firstIsBody) || (a.attFlags & AttFlags::isBodyPart))) continue;
        std::string_view path = attachmentPaths.view(files[j]);
        if (path.find('/') != std::string_view::npos)
            out.append(mailStoreFolder_ + std::string(attachmentNames.view(files[j])));
        else
            out.append(path);
        if (a.done != a.total) complete = false;
    }
    return complete;
}

bool CoreTables::setAttachmentPath(int m, int j, std::string_view path) {
    auto rows = mailAttachmentRows(m);
    if (j < 0 || j >= static_cast<int>(rows.size())) return false;
    int a = rows[static_cast<size_t>(j)];
    const AttachmentRecord& rec = attachments[a];
    if (rec.done != rec.total || attachmentOpen(a)) {
        attachmentPaths.replaceAt(a, path);
        noteChange();
        return true;
    }
    std::error_code ec;
    std::filesystem::copy_file(std::string(attachmentPaths.view(a)), std::string(path),
                               std::filesystem::copy_options::overwrite_existing, ec);
    return !ec;
}

void CoreTables::receivedAddressLine(int m, StringPool& out) const {
    out.clear();
    const auto& entries = mailRecvAddress(m);
    if (!entries.empty()) {
        for (int r : entries)
            out.append(recvAddressEntries.view(r));
        return;
    }
    for (int r : mailReceivedRecipients(m))
        out.append(receivedRecipientNames.view(r));
}

uint64_t CoreTables::previousReceived(std::string_view user, uint64_t key) const {
    int at = findReceived(key);
    if (at < 0) return key;
    for (int i = at - 1; i >= 0; --i) {
        if (mails[i].kind == MailKind::Inbox && isReceivedRecipientOf(user, i)) return mails[i].key;
    }
    return key;
}

uint64_t CoreTables::nextReceived(std::string_view user, uint64_t key) const {
    int at = findReceived(key);
    if (at < 0) return key;
    for (int i = at + 1; i < mails.count(); ++i) {
        if (mails[i].kind == MailKind::Inbox && isReceivedRecipientOf(user, i)) return mails[i].key;
    }
    return key;
}

std::optional<uint64_t> CoreTables::latestReceived(std::string_view user) const {
    for (int i = mails.count() - 1; i >= 0; --i) {
        if (mails[i].kind == MailKind::Inbox && isReceivedRecipientOf(user, i)) return mails[i].key;
    }
    return std::nullopt;
}

int64_t CoreTables::sumDone(int m) const {
    int64_t s = 0;
    for (int a : mailFiles(m))
        s += attachments[a].done;
    return s;
}

int64_t CoreTables::sumTotalFirst(int m, int k) const {
    int64_t s = 0;
    const auto& files = mailFiles(m);
    for (int j = 0; j < k && j < static_cast<int>(files.size()); ++j)
        s += attachments[files[static_cast<size_t>(j)]].total;
    return s;
}

int CoreTables::completeFileCount(int m) const {
    int n = 0;
    for (int a : mailFiles(m)) {
        if (attachments[a].done != attachments[a].total) break;
        ++n;
    }
    return n;
}

int64_t CoreTables::firstIncompleteDone(int m) const {
    for (int a : mailFiles(m)) {
        if (attachments[a].done != attachments[a].total) return attachments[a].done;
    }
    return 0;
}

bool CoreTables::fileUnchanged(int a) const {
    if (a < 0 || a >= attachments.count()) return false;
    if (attachmentOpen(a)) return true;
    return fileTimeOf(attachmentPaths.str(a)) == attachments[a].fileTime;
}

int CoreTables::mailFileIndex(int m, int j) const {
    if (m < 0 || m >= mails.count()) return -1;
    int32_t k = mails[m].kind;
    if (k != MailKind::Outbox && k != MailKind::SharedFileDelivery) return -1;
    const auto& files = mailFiles(m);
    if (j < 0 || j >= static_cast<int>(files.size())) return -1;
    return files[static_cast<size_t>(j)];
}

bool CoreTables::isRecipientOf(std::string_view name, int m) const {
    for (int d : mailDeliveries(m)) {
        if (equalsIgnoreCase(deliveryRecipients.view(d), name)) return true;
    }
    return false;
}

bool CoreTables::isReceivedRecipientOf(std::string_view name, int m) const {
    for (int r : mailReceivedRecipients(m)) {
        if (equalsIgnoreCase(receivedRecipientNames.view(r), name)) return true;
    }
    return false;
}

int CoreTables::countReceivedFor(std::string_view name) const {
    int n = 0;
    for (int i = 0; i < receivedRecipientNames.count(); ++i) {
        if (equalsIgnoreCase(receivedRecipientNames.view(i), name)) ++n;
    }
    return n;
}

// ---------------------------------------------------------------- erasing

void CoreTables::eraseMail(int m) {
    eraseMails({m});
}

void CoreTables::eraseMails(std::vector<int> list) {
    const int n = mails.count();
    for (int m : list)
        noteMailChanged(m);
    std::vector<int32_t> remap(static_cast<size_t>(n), 0);
    int erased = 0;
    for (int m : list) {
        if (m >= 0 && m < n && remap[static_cast<size_t>(m)] != -1) {
            remap[static_cast<size_t>(m)] = -1;
            ++erased;
        }
    }
    if (erased == 0) return;
    int next = 0;
    for (int i = 0; i < n; ++i) {
        if (remap[static_cast<size_t>(i)] != -1) remap[static_cast<size_t>(i)] = next++;
    }
    eraseMailsPass(remap, erased);
}

// Removes every row that belongs to an erased mail and renumbers the rest, one pass a table.
void CoreTables::eraseMailsPass(const std::vector<int32_t>& remap, int erased) {
    const int n = static_cast<int>(remap.size());
    auto mapIndex = [&](int32_t x) -> int32_t {
        if (x < 0) return x;
        if (x < n) return remap[static_cast<size_t>(x)];
        return x - erased;  // stored index beyond the table: lowered like every other
    };

    // The mails' own deliveries (drafts have some too).
    {
        std::vector<char> keep(static_cast<size_t>(deliveries.count()), 1);
        for (int d = 0; d < deliveries.count(); ++d)
            if (mapIndex(deliveries[d].mail) == -1) keep[static_cast<size_t>(d)] = 0;
        eraseDeliveryRows(keep);
        for (auto& d : deliveries)
            d.mail = mapIndex(d.mail);
    }
    // Their files: close what is open, drop the rows.
    {
        std::vector<char> keep(static_cast<size_t>(attachments.count()), 1);
        for (int a = 0; a < attachments.count(); ++a) {
            if (mapIndex(attachments[a].mail) == -1) {
                keep[static_cast<size_t>(a)] = 0;
                if (attachmentFiles_.has(a)) attachmentFiles_.at(a).close();
            }
        }
        attachmentPaths.retain(keep);
        attachmentNames.retain(keep);
        attachments.retain(keep);
        attachmentFiles_.retain(keep);
        for (auto& a : attachments)
            a.mail = mapIndex(a.mail);
    }
    // The mail rows and their receive meters.
    {
        std::vector<char> keep(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i)
            keep[static_cast<size_t>(i)] = remap[static_cast<size_t>(i)] != -1;
        subjects.retain(keep);
        mails.retain(keep);
        mailMeters_.retain(keep);
    }
    // Received recipients and both kinds of address line.
    auto passInts = [&](RecordArray<int32_t>& idx, std::initializer_list<StringPool*> pools) {
        std::vector<char> keep(static_cast<size_t>(idx.count()), 1);
        for (int r = 0; r < idx.count(); ++r)
            if (mapIndex(idx[r]) == -1) keep[static_cast<size_t>(r)] = 0;
        for (StringPool* p : pools)
            p->retain(keep);
        idx.retain(keep);
        for (auto& v : idx)
            v = mapIndex(v);
    };
    passInts(receivedRecipientMails, {&receivedRecipientNames, &receivedRecipientSenders});
    passInts(outAddressMails, {&outAddressEntries});
    passInts(recvAddressMails, {&recvAddressEntries});
    noteChange();
}

void CoreTables::eraseDeliveryRows(const std::vector<char>& keep) {
    for (int d = 0; d < deliveries.count(); ++d) {
        if (!keep[static_cast<size_t>(d)] && deliveryRuntime_.has(d))
            deliveryRuntime_.at(d).release();
    }
    deliveryRecipients.retain(keep);
    deliverySenders.retain(keep);
    deliveries.retain(keep);
    if (deliveryProgress.count() > static_cast<int>(keep.size()))
        deliveryProgress.resize(keep.size());
    deliveryProgress.retain(keep);
    deliveryRuntime_.retain(keep);
}

void CoreTables::eraseDelivery(int d) {
    if (d < 0 || d >= deliveries.count()) return;
    int m = deliveries[d].mail;
    std::vector<char> keep(static_cast<size_t>(deliveries.count()), 1);
    keep[static_cast<size_t>(d)] = 0;
    eraseDeliveryRows(keep);
    noteChange();
    if (m >= 0 && m < mails.count() && mailDeliveries(m).empty()) eraseMail(m);
}

void CoreTables::deleteMailPermanently(int m) {
    if (m < 0 || m >= mails.count()) return;
    int32_t k = mails[m].kind;
    if (k == MailKind::TrashReceived || k == MailKind::TrashDraft) {
        eraseMail(m);
    } else if (k == MailKind::TrashOutgoing) {
        // Erasing each delivery erases the mail with the last one: the same as erasing the mail,
        // which also clears a deleted outgoing mail that has no delivery left.
        eraseMail(m);
    }
}

void CoreTables::setDeliveryState(int d, DeliveryHow how, int32_t fileIndex, int64_t fileOffset) {
    if (d < 0 || d >= deliveries.count()) return;
    if (how == DeliveryHow::Finished) noteMailChanged(deliveries[d].mail);
    deliveryRuntime(d).release();
    DeliveryRecord& r = deliveries[d];
    switch (how) {
        case DeliveryHow::Reset:
            r.state = DeliveryState::Waiting;
            break;
        case DeliveryHow::Sending:
            r.state = DeliveryState::AwaitingReply;
            r.stateTime = now();
            break;
        case DeliveryHow::FromPosition:
            r.state = DeliveryState::SendingFiles;
            r.stateTime = now();
            r.fileIndex = fileIndex;
            r.fileOffset = fileOffset;
            r.progress = sumTotalFirst(r.mail, fileIndex) + fileOffset;
            break;
        case DeliveryHow::Finished:
            r.state = DeliveryState::Finished;
            break;
    }
    noteChange();
}

// ---------------------------------------------------------------- seen users, address cache

void CoreTables::markSeen(std::string_view name) {
    int i = seenNames.find(name);
    if (i < 0) {
        seenNames.append(name);
        seenTimes.append(now());
    } else if (i < seenTimes.count()) {
        seenTimes[i] = now();
    }
}

bool CoreTables::seenRecently(std::string_view name) const {
    int i = seenNames.find(name);
    return i >= 0 && i < seenTimes.count() && now() - seenTimes[i] < 180;
}

std::optional<std::string> CoreTables::cachedAddress(std::string_view name) {
    int i = addressCacheNames.find(name);
    if (i < 0) return std::nullopt;
    if (now() - addressCacheTimes[i] > 20) {
        addressCacheNames.removeAt(i);
        addressCacheAddresses.removeAt(i);
        addressCacheTimes.removeAt(i);
        return std::nullopt;
    }
    return addressCacheAddresses.str(i);
}

void CoreTables::cacheAddress(std::string_view name, std::string_view address) {
    int i = addressCacheNames.find(name);
    if (i < 0) {
        addressCacheNames.append(name);
        addressCacheAddresses.append(address);
        addressCacheTimes.append(now());
    } else {
        addressCacheAddresses.replaceAt(i, address);
        addressCacheTimes[i] = now();
    }
}

ResolveResult CoreTables::resolveUser(std::string_view name,
                                      const std::function<AddressAnswer(std::string_view)>& ask) {
    ResolveResult res;
    res.code = ResolveCode::FreshNoPort;
    std::string address;
    bool cached = false;
    if (auto c = cachedAddress(name)) {
        address = *c;
        cached = true;
    } else {
        AddressAnswer a = ask ? ask(name) : AddressAnswer{};
        switch (a.kind) {
            case AddressAnswer::Failed:
                // No address could be obtained yet: nothing is cached, and the caller asks
                // again later.
                res.code = ResolveCode::FreshNoPort;
                return res;
            case AddressAnswer::NoSuchUser:
                res.code = ResolveCode::NoSuchUser;
                return res;
            case AddressAnswer::Empty:
                cacheAddress(name, "");
                res.code = ResolveCode::NoAddress;
                return res;
            case AddressAnswer::Found:
                address = a.address;
                cacheAddress(name, address);
                break;
        }
    }
    size_t colon = address.find(':');
    if (colon == std::string::npos) {
        res.code = cached ? ResolveCode::CachedNoPort : ResolveCode::FreshNoPort;
        res.host = address;
        return res;
    }
    res.host = address.substr(0, colon);
    int port = 0;
    for (size_t i = colon + 1; i < address.size() && address[i] >= '0' && address[i] <= '9'; ++i) {
        port = port * 10 + (address[i] - '0');
        if (port > 65535) break;
    }
    res.port = port;
    res.code = cached ? ResolveCode::CachedWithPort : ResolveCode::FreshWithPort;
    return res;
}

// ---------------------------------------------------------------- settings

int32_t CoreTables::settingNumber(int i) const {
    return (i >= 0 && i < settingsNumbers.count()) ? settingsNumbers[i] : 0;
}

void CoreTables::setSettingNumber(int i, int32_t v) {
    if (i < 0) return;
    if (settingsNumbers.count() <= i)
        settingsNumbers.resize(static_cast<size_t>(std::max(i + 1, 128)));
    settingsNumbers[i] = v;
    noteChange();
}

// ---------------------------------------------------------------- transfers

void CoreTables::removeTransfer(int i) {
    if (i < 0 || i >= transfers.count()) return;
    transferRemotePaths.removeAt(i);
    transferOwners.removeAt(i);
    transferLocalPaths.removeAt(i);
    transfers.removeAt(i);
    for (auto& t : transfers) {
        if (t.kind == TransferKind::FolderFile && t.parent > i) --t.parent;
    }
    noteChange();
}

int CoreTables::findTransfer(std::string_view remotePath) const {
    for (int i = 0; i < transfers.count(); ++i) {
        int32_t k = transfers[i].kind;
        if ((k == TransferKind::File || k == TransferKind::Folder || k == TransferKind::Preview) &&
            equalsIgnoreCase(transferRemotePaths.view(i), remotePath))
            return i;
    }
    return -1;
}

bool CoreTables::cancelTransfer(std::string_view remotePath,
                                const std::function<void(std::string_view)>& stop) {
    int i = findTransfer(remotePath);
    if (i < 0) return false;
    if (transfers[i].kind == TransferKind::Folder) {
        for (;;) {
            int f = -1;
            for (int k = 0; k < transfers.count(); ++k) {
                if (transfers[k].kind == TransferKind::FolderFile && transfers[k].parent == i) {
                    f = k;
                    break;
                }
            }
            if (f < 0) break;
            if (stop) stop(transferRemotePaths.view(f));
            removeTransfer(f);
        }
    } else if (stop) {
        stop(transferRemotePaths.view(i));
    }
    removeTransfer(i);
    return true;
}

// ---------------------------------------------------------------- bookkeeping

// Every table once: f(table, persisted). One list serves counting, sizing and clearing.
template <typename Self, typename F>
void CoreTables::forEachTable(Self& t, F&& f) {
    f(t.attachmentPaths, true);
    f(t.attachments, true);
    f(t.subjects, true);
    f(t.mails, true);
    f(t.receivedRecipientNames, true);
    f(t.receivedRecipientSenders, true);
    f(t.receivedRecipientMails, true);
    f(t.deliveryRecipients, true);
    f(t.deliverySenders, true);
    f(t.deliveries, true);
    f(t.savedLogin, true);
    f(t.contacts, true);
    f(t.settingsNumbers, true);
    f(t.ownedGroupNames, true);
    f(t.ownedGroupCreators, true);
    f(t.ownedMemberNames, true);
    f(t.ownedMembers, true);
    f(t.joinedGroupNames, true);
    f(t.joinedGroupCreators, true);
    f(t.joinedMemberNames, true);
    f(t.joinedMembers, true);
    f(t.joinConfirmStrings, true);
    f(t.joinConfirmValues, true);
    f(t.settingsStrings, true);
    f(t.ownedGroupIntros, true);
    f(t.ownedGroups, true);
    f(t.attachmentNames, true);
    f(t.outAddressEntries, true);
    f(t.outAddressMails, true);
    f(t.recvAddressEntries, true);
    f(t.recvAddressMails, true);
    f(t.shareFolderPaths, true);
    f(t.shareFolderTags, true);
    f(t.sharedFileNames, true);
    f(t.sharedFiles, true);
    f(t.sharedFileLocalPaths, true);
    f(t.transferRemotePaths, true);
    f(t.transferLocalPaths, true);
    f(t.transfers, true);
    f(t.transferOwners, true);
    f(t.deliveryProgress, false);
    f(t.seenNames, false);
    f(t.seenTimes, false);
    f(t.addressCacheNames, false);
    f(t.addressCacheAddresses, false);
    f(t.addressCacheTimes, false);
    f(t.previewSet, false);
}

namespace {
template <typename T>
size_t elementSize(const RecordArray<T>&) {
    return sizeof(T);
}
size_t elementSize(const StringPool&) {
    return 1;
}
}  // namespace

uint64_t CoreTables::changeCount() const {
    uint64_t g = changes_;
    forEachTable(*this, [&g](const auto& table, bool persisted) {
        if (persisted) g += table.generation();
    });
    return g;
}

size_t CoreTables::bytesHeld() const {
    size_t b = 0;
    forEachTable(*this,
                 [&b](const auto& table, bool) { b += table.capacity() * elementSize(table); });
    return b;
}

void CoreTables::noteMailChanged(int m) {
    if (m < 0 || m >= mails.count()) return;
    // Control items never reach the journal: a note would only cost a sync of nothing.
    if (!isJournaledKind(mails[m].kind)) return;
    mailNotes_.push_back({mails[m].key, isReceivedKind(mails[m].kind)});
}

void CoreTables::clearAll() {
    forEachTable(*this, [](auto& table, bool) { table.clear(); });
    share.clearListingSets();
    clearRuntime();
}

}  // namespace orv

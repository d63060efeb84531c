#include "transfers/transfers_facade.h"

#include <algorithm>
#include <unordered_map>

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>

#include "core/share_store.h"
#include "core/tables.h"
#include "engine/create_item.h"
#include "engine/rate_meter.h"
#include "transfers/transfer_tick.h"

namespace orv {

namespace {

constexpr TextPair kNotLoggedIn{"Log in first.", "请先登录。"};
constexpr TextPair kNotOther{"Downloads come from the shared folders of other users.",
                             "只能从其他用户的共享目录下载。"};
constexpr TextPair kNoTarget{"Choose the folder to save into.", "请选择保存的目录。"};
constexpr TextPair kBadNames{"Some names cannot be used as local file names and were left out.",
                             "有些文件名不能在本地使用，已跳过。"};
constexpr TextPair kNotListed{
    "Some files are not in the folder's listing (any more) and were left out; refresh the "
    "folder.",
    "有些文件不在该目录的列表中，已跳过；请刷新目录。"};
constexpr TextPair kNoFolderHere{"The download folder cannot be created.", "无法创建下载目录。"};

std::string withSlash(std::string s) {
    if (!s.empty() && s.back() != '/') s.push_back('/');
    return s;
}
constexpr TextPair kNotOthersFile{"Only files of other users can be previewed.",
                                  "只能预览其他用户的文件。"};
constexpr TextPair kNoServer{"Previews are not available.", "无法预览。"};

}  // namespace

TransfersFacade::TransfersFacade(CoreTables& tables, SessionState& state, const Clock& clock,
                                 Engine& engine, MailDelivery& delivery, MailReception& reception,
                                 FileServer* fileServer)
    : tables_(tables),
      state_(state),
      clock_(clock),
      engine_(engine),
      delivery_(delivery),
      reception_(reception),
      fileServer_(fileServer),
      list_(tables, TransferEngine{}, &state.currentUser) {
    TransferEngine& e = list_.engine();
    e.stop = [this](std::string_view path) { stopPath(path); };
    e.active = [this] { return activeTransfers(); };
    e.changed = [this](std::string_view path, int32_t s, std::string_view local) {
        state_.events.push(EventKind::TransferChanged, 0, s, std::string(path), std::string(local));
    };
    e.log = [this](const std::string& line) {
        if (log)
            log(line);
        else
            std::fprintf(stderr, "orvantel: %s\n", line.c_str());
    };
    reception_.onSharedFileRequest = [this](std::string_view sender, std::string_view,
                                            std::string_view path) { serve(sender, path); };
    reception_.sharedFileTarget = [this](int m) { return target(m); };
    reception_.sharedFileProgress = [this](int m, int64_t received, bool complete) {
        progress(m, received, complete);
    };
}

std::string TransfersFacade::fail(TextPair text) const {
    return std::string(pick(state_.language, text));
}

// ---------------------------------------------------------------- the share view's commands

TransferResult TransfersFacade::addFiles(std::string_view folderPath,
                                         const std::vector<std::string>& names,
                                         const std::string& localFolder, bool unique,
                                         bool openFirst) {
    if (!state_.loggedIn()) return {false, fail(kNotLoggedIn)};
    std::string_view owner = pathOwner(folderPath);
    if (owner.empty() || equalsIgnoreCase(owner, state_.currentUser) || folderPath.back() != '/')
        return {false, fail(kNotOther)};
    if (localFolder.empty()) return {false, fail(kNoTarget)};
    std::error_code ec;
    std::filesystem::create_directories(localFolder, ec);
    if (!std::filesystem::is_directory(localFolder, ec)) return {false, fail(kNoFolderHere)};
    std::string folder = withSlash(localFolder);
    bool first = true, skipped = false, unlisted = false;
    for (const std::string& name : names) {
        // The name came from the peer's listing: a name, never a path.
        if (!safeComponent(name)) {
            skipped = true;
            continue;
        }
        std::string remote = std::string(folderPath) + name;
        // Without a size from the listing the file would be made empty instead of fetched.
        int f = tables_.share.FindFile(remote);
        if (f < 0) {
            unlisted = true;
            continue;
        }
        std::string local = folder + name;
        if (unique) local = UniqueLocalName(tables_, local);
        TransferRecord r{};
        r.kind = TransferKind::File;
        r.state = TransferState::Waiting;
        r.total = tables_.share.file(f).size;
        r.openWhenComplete = openFirst && first ? 1 : 0;
        list_.AddTransfer(state_.currentUser, remote, local, r);
        first = false;
    }
    if (unlisted) return {!first, fail(kNotListed)};
    if (skipped) return {!first, fail(kBadNames)};
    return {true, {}};
}

TransferResult TransfersFacade::open(std::string_view folderPath,
                                     const std::vector<std::string>& names) {
    std::string folder = tables_.settingString(SettingString::ReceiveFolder);
    if (folder.empty()) folder = tables_.mailStoreFolder();
    return addFiles(folderPath, names, folder, true, true);
}

TransferResult TransfersFacade::saveTo(std::string_view folderPath,
                                       const std::vector<std::string>& names,
                                       const std::string& localFolder) {
    return addFiles(folderPath, names, localFolder, false, false);
}

TransferResult TransfersFacade::downloadFolder(std::string_view folderPath,
                                               const std::string& localFolder) {
    if (!state_.loggedIn()) return {false, fail(kNotLoggedIn)};
    std::string_view owner = pathOwner(folderPath);
    if (owner.empty() || equalsIgnoreCase(owner, state_.currentUser) ||
        !validFolderPath(folderPath))
        return {false, fail(kNotOther)};
    if (localFolder.empty()) return {false, fail(kNoTarget)};
    // The folder's own name (the owner's name for a branch root) names the local folder.
    std::string_view inner = folderPath.substr(0, folderPath.size() - 1);
    std::string last(inner.substr(inner.rfind('/') + 1));
    if (!safeComponent(last)) return {false, fail(kBadNames)};
    std::string local = withSlash(localFolder) + last + "/";
    std::error_code ec;
    std::filesystem::create_directories(local, ec);
    if (!std::filesystem::is_directory(local, ec)) return {false, fail(kNoFolderHere)};
    TransferRecord r{};
    r.kind = TransferKind::Folder;
    r.state = TransferState::Waiting;
    r.total = kTransferSizeUnset;
    list_.AddTransfer(state_.currentUser, folderPath, local, r);
    return {true, {}};
}

TransferResult TransfersFacade::preview(std::string_view remotePath, std::string& url) {
    url.clear();
    if (!state_.loggedIn()) return {false, fail(kNotLoggedIn)};
    if (!fileServer_) return {false, fail(kNoServer)};
    // "/owner/folders/name": a file of somebody else, whose name is a name.
    std::string_view owner = pathOwner(remotePath);
    size_t cut = remotePath.rfind('/');
    std::string name(cut == std::string_view::npos ? std::string_view()
                                                   : remotePath.substr(cut + 1));
    if (owner.empty() || equalsIgnoreCase(owner, state_.currentUser) || !safeComponent(name))
        return {false, fail(kNotOthersFile)};

    std::string folder = tables_.settingString(SettingString::ReceiveFolder);
    if (folder.empty()) folder = tables_.mailStoreFolder();
    TransferRecord rec{};
    rec.kind = TransferKind::Preview;
    rec.state = TransferState::Paused;
    // Without a size from the listing the player would be told the file is empty.
    int f = tables_.share.FindFile(remotePath);
    if (f < 0) return {false, fail(kNotListed)};
    rec.total = tables_.share.file(f).size;
    // Paused until the player asks the file server for data.
    list_.AddTransfer(state_.currentUser, remotePath,
                      UniqueLocalName(tables_, withSlash(folder) + name), rec);

    fileServer_->keepListenerOpen();
    url = "http://localhost:" + std::to_string(fileServer_->port()) + percentEncodePath(remotePath);
    return {true, {}};
}

std::vector<TransferRow> TransfersFacade::tick() {
    return transferTick(tables_, list_, clock_);
}

void TransfersFacade::start(std::string_view remotePath) {
    list_.StartTransfer(remotePath, 0);
}

void TransfersFacade::pause(std::string_view remotePath) {
    list_.PauseTransfer(remotePath);
}

void TransfersFacade::cancel(std::string_view remotePath) {
    list_.CancelTransfer(remotePath);
}

int TransfersFacade::httpPort() const {
    return fileServer_ ? fileServer_->port() : 0;
}

// ---------------------------------------------------------------- the engine's services

bool TransfersFacade::step() {
    // The counters reach the list (and with it cfg.dat) once a second, so a download that
    // is cut off, even by a crash, goes on from about where it was.
    int64_t nowMs = clock_.nowMillis();
    bool did = false;
    if (nowMs - lastRefreshMs_ >= 1000) {
        lastRefreshMs_ = nowMs;
        list_.RefreshProgress(nullptr);
        did = retryStalled(nowMs);
    }
    return list_.EngineStep() || did;
}

bool TransfersFacade::retryStalled(int64_t nowMs) {
    // A file asked for or arriving that has not moved for kStallRetrySeconds is asked for
    // again from its bytes, as a pause and a start would: the sender may have dropped its
    // delivery (swept, or restarted), and nothing else would ever wake the download.
    std::unordered_map<std::string, Watch> seen;
    bool did = false;
    int n = std::min(list_.count(), kTransferStepWindow);
    for (int i = 0; i < n; ++i) {
        const TransferRecord& r = list_.record(i);
        if ((r.kind != TransferKind::File && r.kind != TransferKind::FolderFile) ||
            (r.state != TransferState::Requested && r.state != TransferState::Receiving))
            continue;
        std::string path(tables_.transferRemotePaths.view(i));
        auto it = watch_.find(path);
        Watch w = it != watch_.end() && it->second.received == r.received
                      ? it->second
                      : Watch{r.received, nowMs};
        if (nowMs - w.sinceMs >= int64_t{kStallRetrySeconds} * 1000) {
            stopPath(path);
            list_.setState(i, TransferState::Waiting);
            did = true;
            continue;
        }
        seen.emplace(std::move(path), w);
    }
    watch_ = std::move(seen);
    return did;
}

void TransfersFacade::stopPath(std::string_view remotePath) {
    reception_.stopSharedFile(remotePath);
    // Requests not yet answered go too: a later start asks anew.
    for (bool again = true; again;) {
        again = false;
        for (int m = 0; m < tables_.mails.count() && !again; ++m) {
            if (tables_.mails[m].kind != MailKind::SharedFileRequest ||
                !equalsIgnoreCase(tables_.subjects.view(m), remotePath))
                continue;
            for (int d : tables_.mailDeliveries(m)) {
                if (!equalsIgnoreCase(tables_.deliverySenders.view(d), state_.currentUser))
                    continue;
                tables_.eraseDelivery(d);
                again = true;
                break;
            }
        }
    }
}

std::vector<ActiveTransfer> TransfersFacade::activeTransfers() {
    std::vector<ActiveTransfer> out;
    int64_t nowMs = clock_.nowMillis();
    for (int m = 0; m < tables_.mails.count(); ++m) {
        if (tables_.mails[m].kind != MailKind::SharedFileReceived) continue;
        const std::vector<int32_t>& files = tables_.mailFiles(m);
        if (files.empty()) continue;
        int a = files.front();
        const AttachmentRecord& r = tables_.attachments[a];
        std::string_view path = tables_.attachmentPaths.view(a);
        // Only files under way that were given their target.
        if (r.done >= r.total || path.find('/') == std::string_view::npos) continue;
        ActiveTransfer t;
        t.remotePath = tables_.subjects.str(m);
        t.localPath = std::string(path);
        t.received = static_cast<uint64_t>(r.done);
        RateMeter& meter = tables_.mailMeter(m).meter;
        t.rate = static_cast<int32_t>(meterSpeed(meter, nowMs));
        t.window = meter;
        out.push_back(std::move(t));
    }
    return out;
}

void TransfersFacade::serve(std::string_view sender, std::string_view path) {
    // Only the user's own shared files are served, and only from their place in the store.
    if (!equalsIgnoreCase(pathOwner(path), state_.currentUser)) return;
    const ShareStore& s = tables_.share;
    int f = s.FindFile(path);
    if (f < 0 || s.localPath(f).empty()) return;
    std::string local(s.localPath(f));
    struct stat st;
    if (::stat(local.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        list_.engine().log("asked for " + std::string(path) + " by " + std::string(sender) + ": " +
                           local + " cannot be read");
        return;
    }
    // An earlier delivery of the same file to the same user is replaced.
    bool erased = false;
    for (int m = 0; m < tables_.mails.count() && !erased; ++m) {
        if (tables_.mails[m].kind != MailKind::SharedFileDelivery ||
            tables_.subjects.view(m) != path)
            continue;
        for (int d : tables_.mailDeliveries(m)) {
            if (!equalsIgnoreCase(tables_.deliveryRecipients.view(d), sender)) continue;
            tables_.eraseDelivery(d);
            erased = true;
            break;
        }
    }
    int m = CreateItem(tables_, state_.currentUser, sender, MailKind::SharedFileDelivery, path);
    AttachmentRecord r{};
    r.total = static_cast<int64_t>(st.st_size);
    tables_.appendAttachment(m, local, local.substr(local.rfind('/') + 1), r);
    tables_.mails[m].size += r.total;
    tables_.noteChange();
}

int TransfersFacade::recordOfMail(int m) const {
    const std::vector<int32_t>& files = tables_.mailFiles(m);
    std::string_view remote = tables_.subjects.view(m);
    std::string_view local =
        files.empty() ? std::string_view() : tables_.attachmentPaths.view(files.front());
    for (int i = 0; i < tables_.transfers.count(); ++i) {
        const TransferRecord& r = tables_.transfers[i];
        if (r.kind == TransferKind::Folder ||
            (r.state != TransferState::Receiving && r.state != TransferState::Requested))
            continue;
        if (equalsIgnoreCase(tables_.transferOwners.view(i), state_.currentUser) &&
            equalsIgnoreCase(tables_.transferRemotePaths.view(i), remote) &&
            tables_.transferLocalPaths.view(i) == local)
            return i;
    }
    return -1;
}

std::optional<SharedFileTarget> TransfersFacade::target(int m) {
    int i = recordOfMail(m);  // a reception that has its target already
    if (i < 0) i = list_.findActive(tables_.subjects.view(m), TransferState::Requested);
    if (i < 0) i = list_.findActive(tables_.subjects.view(m), TransferState::Receiving);
    if (i < 0) return std::nullopt;  // paused, cancelled or done meanwhile: nothing is written
    list_.setState(i, TransferState::Receiving);
    SharedFileTarget t;
    t.localPath = tables_.transferLocalPaths.str(i);
    t.received = static_cast<int64_t>(tables_.transfers[i].received);
    // After a crash the count may be ahead of what reached the file.
    struct stat st;
    if (tables_.transfers[i].kind != TransferKind::Preview && t.received > 0 &&
        ::stat(t.localPath.c_str(), &st) == 0 && st.st_size < t.received)
        t.received = st.st_size;
    if (tables_.transfers[i].kind == TransferKind::Preview)
        t.preview = tables_.previewSet.find(tables_.transferRemotePaths.view(i));
    return t;
}

void TransfersFacade::progress(int m, int64_t received, bool complete) {
    int i = recordOfMail(m);
    if (i < 0) return;
    TransferRecord& r = tables_.transfers[i];
    r.received = static_cast<uint64_t>(std::max<int64_t>(0, received));
    tables_.noteChange();
    if (!complete) return;
    r.rate = 0;
    list_.setState(i, TransferState::Done);
    if (tables_.transfers[i].openWhenComplete && openFile)
        openFile(tables_.transferLocalPaths.str(i));
}

}  // namespace orv

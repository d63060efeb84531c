#include "transfers/transfer_list.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "core/share_store.h"
#include "core/tables.h"
#include "engine/create_item.h"

namespace orv {

bool safeComponent(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    return name.find('/') == std::string_view::npos && name.find('\\') == std::string_view::npos;
}

TransferList::TransferList(CoreTables& tables, TransferEngine engine,
                           const std::string* currentUser)
    : tables_(tables), engine_(std::move(engine)), user_(currentUser) {}

int TransferList::count() const {
    return static_cast<int>(tables_.transfers.count());
}

TransferEntry TransferList::entry(int index) const {
    TransferEntry e;
    e.owner = std::string(tables_.transferOwners.view(index));
    e.remotePath = std::string(tables_.transferRemotePaths.view(index));
    e.localPath = std::string(tables_.transferLocalPaths.view(index));
    e.record = tables_.transfers[index];
    return e;
}

const TransferRecord& TransferList::record(int index) const {
    return tables_.transfers[index];
}

void TransferList::writeLog(const std::string& line) const {
    if (engine_.log)
        engine_.log(line);
    else
        std::fprintf(stderr, "orvantel: %s\n", line.c_str());
}

bool TransferList::ownedBy(int i, std::string_view user) const {
    return !user.empty() && equalsIgnoreCase(tables_.transferOwners.view(i), user);
}

std::string_view TransferList::user() const {
    return user_ ? std::string_view(*user_) : std::string_view();
}

void TransferList::setState(int i, int32_t state) {
    TransferRecord& r = tables_.transfers[i];
    if (r.state == state) return;
    r.state = state;
    tables_.noteChange();
    if (engine_.changed)
        engine_.changed(tables_.transferRemotePaths.view(i), state,
                        tables_.transferLocalPaths.view(i));
}

int TransferList::AddTransfer(std::string_view owner, std::string_view remotePath,
                              std::string_view localPath, TransferRecord record) {
    if (record.kind == TransferKind::Preview) {
        // One preview record per path and run; the player is started again all the same.
        if (tables_.previewSet.find(remotePath) >= 0) return -1;
        record.state = TransferState::Paused;
        tables_.previewSet.append(remotePath);
    }
    record.received = 0;
    record.rate = 0;
    tables_.transferRemotePaths.append(remotePath);
    tables_.transferOwners.append(owner);
    tables_.transferLocalPaths.append(localPath);
    int i = tables_.transfers.append(record);
    tables_.noteChange();
    if (engine_.changed) engine_.changed(remotePath, record.state, localPath);
    return i;
}

void TransferList::StartTransfer(std::string_view remotePath, int64_t offset) {
    int i = tables_.findTransfer(remotePath);
    if (i < 0) return;
    TransferRecord& r = tables_.transfers[i];
    switch (r.kind) {
        case TransferKind::File:
            if (r.state == TransferState::Paused) setState(i, TransferState::Waiting);
            return;
        case TransferKind::Preview:
            if (engine_.stop) engine_.stop(tables_.transferRemotePaths.str(i));
            tables_.transfers[i].received = static_cast<uint64_t>(std::max<int64_t>(0, offset));
            tables_.noteChange();
            setState(i, TransferState::Waiting);
            return;
        case TransferKind::Folder: {
            if (r.state == TransferState::Done) return;
            bool files = false;
            for (int k = 0; k < count(); ++k) {
                const TransferRecord& f = tables_.transfers[k];
                if (f.kind != TransferKind::FolderFile || f.parent != i) continue;
                files = true;
                if (f.state == TransferState::Paused) setState(k, TransferState::Waiting);
            }
            setState(i, files ? TransferState::FolderBusy : TransferState::Waiting);
            return;
        }
        default:
            return;
    }
}

void TransferList::PauseTransfer(std::string_view remotePath) {
    int i = tables_.findTransfer(remotePath);
    if (i < 0) return;
    const TransferRecord& r = tables_.transfers[i];
    if (r.state == TransferState::Done) return;
    RefreshProgress(nullptr);
    if (r.kind == TransferKind::Folder) {
        for (int k = 0; k < count(); ++k) {
            const TransferRecord& f = tables_.transfers[k];
            if (f.kind != TransferKind::FolderFile || f.parent != i ||
                f.state == TransferState::Done)
                continue;
            if (engine_.stop) engine_.stop(tables_.transferRemotePaths.view(k));
            tables_.transfers[k].rate = 0;
            setState(k, TransferState::Paused);
        }
    } else if (engine_.stop) {
        engine_.stop(tables_.transferRemotePaths.str(i));
    }
    tables_.transfers[i].rate = 0;
    setState(i, TransferState::Paused);
}

void TransferList::CancelTransfer(std::string_view remotePath) {
    int i = tables_.findTransfer(remotePath);
    if (i < 0) return;
    std::string path = tables_.transferRemotePaths.str(i);
    std::string local = tables_.transferLocalPaths.str(i);
    // Files already written stay where they are.
    if (!tables_.cancelTransfer(remotePath, engine_.stop)) return;
    if (engine_.changed) engine_.changed(path, -1, local);
}

void TransferList::RefreshProgress(std::vector<RateMeter>* windows) {
    if (!engine_.active) return;
    std::string_view who = user();
    for (const ActiveTransfer& a : engine_.active()) {
        for (int i = 0; i < count(); ++i) {
            if ((!who.empty() && !ownedBy(i, who)) ||
                tables_.transfers[i].kind == TransferKind::Folder ||
                !equalsIgnoreCase(tables_.transferRemotePaths.view(i), a.remotePath) ||
                tables_.transferLocalPaths.view(i) != a.localPath)
                continue;
            TransferRecord& r = tables_.transfers[i];
            if (r.received != a.received || r.rate != a.rate) {
                r.received = a.received;
                r.rate = a.rate;
                tables_.noteChange();
            }
            if (windows && static_cast<size_t>(i) < windows->size())
                (*windows)[static_cast<size_t>(i)] = a.window;
            break;
        }
    }
}

void TransferList::RemoveTransfer(int index) {
    tables_.removeTransfer(index);
}

void TransferList::afterLoad() {
    for (int i = 0; i < count();) {
        if (tables_.transfers[i].kind == TransferKind::Preview) {
            if (engine_.stop) engine_.stop(tables_.transferRemotePaths.view(i));
            RemoveTransfer(i);
            i = 0;
        } else {
            ++i;
        }
    }
    for (auto& r : tables_.transfers) {
        r.openWhenComplete = 0;
        r.rate = 0;
        if (r.state == TransferState::Receiving || r.state == TransferState::Requested ||
            r.state == TransferState::FolderListing)
            r.state = TransferState::Waiting;
    }
    tables_.noteChange();
}

int TransferList::findActive(std::string_view remotePath, int32_t state) const {
    std::string_view who = user();
    for (int i = 0; i < count(); ++i) {
        const TransferRecord& r = tables_.transfers[i];
        if (r.kind == TransferKind::Folder || (state >= 0 && r.state != state)) continue;
        if (!who.empty() && !ownedBy(i, who)) continue;
        if (equalsIgnoreCase(tables_.transferRemotePaths.view(i), remotePath)) return i;
    }
    return -1;
}

bool TransferList::hasFiles(int folder) const {
    // A folder's files always follow it.
    for (int j = folder + 1; j < count(); ++j) {
        const TransferRecord& r = tables_.transfers[j];
        if (r.kind == TransferKind::FolderFile && r.parent == folder) return true;
    }
    return false;
}

// The sender keeps one delivery per path and asker, and a reception finds its record by path: a
// second download of a path (saved to two places, or a folder downloaded twice) waits until the
// one before it is done, instead of cutting off its delivery. What is asked for or arriving is
// always inside the step's window, so only the records above i there are looked at.
bool TransferList::pathInProgressAbove(int i, std::string_view remotePath) const {
    for (int j = 0; j < i && j < kTransferStepWindow; ++j) {
        const TransferRecord& r = tables_.transfers[j];
        if (r.kind == TransferKind::Folder || r.kind == TransferKind::Preview) continue;
        if ((r.state == TransferState::Requested || r.state == TransferState::Receiving) &&
            equalsIgnoreCase(tables_.transferRemotePaths.view(j), remotePath))
            return true;
    }
    return false;
}

bool TransferList::EngineStep() {
    std::string_view who = user();
    if (who.empty()) return false;
    bool did = false;
    int removed = 0;
    int n = std::min(count(), kTransferStepWindow);
    for (int i = 0; i < n; ++i) {
        const TransferRecord r = tables_.transfers[i];
        if (r.kind == TransferKind::FolderFile && r.state == TransferState::Done) {
            // Done files of a folder go together, up to a window's worth per call: one per
            // call held a folder of many small files to one file per engine wake-up.
            RemoveTransfer(i);
            if (++removed >= kTransferStepWindow) return true;
            --i;
            n = std::min(count(), kTransferStepWindow);
            did = true;
            continue;
        }
        // A folder whose last file was done and removed is done too, here rather than only
        // in the view's tick, so a folder completes whether or not anyone looks at the list.
        if (r.kind == TransferKind::Folder && r.state == TransferState::FolderBusy &&
            !hasFiles(i)) {
            TransferRecord& f = tables_.transfers[i];
            f.received = f.total == kTransferSizeUnset ? 0 : f.total;
            f.rate = 0;
            setState(i, TransferState::Done);
            return true;
        }
        std::string remote = tables_.transferRemotePaths.str(i);
        if (r.kind == TransferKind::Folder && r.state == TransferState::FolderListing &&
            tables_.share.treeListed.find(remote) >= 0) {
            expand(i);
            return true;
        }
        if (r.state != TransferState::Waiting || !ownedBy(i, who)) continue;
        std::string_view owner = pathOwner(remote);
        if (owner.empty()) continue;
        if (r.kind != TransferKind::Folder && pathInProgressAbove(i, remote)) continue;
        if (r.kind == TransferKind::Folder) {
            // A listing from an earlier request may be out of date: the expansion waits for
            // the answer to this one.
            tables_.share.treeListed.remove(remote);
            tables_.share.treePending.append(remote);
            CreateItem(tables_, who, owner, MailKind::ListTree, remote);
            setState(i, TransferState::FolderListing);
        } else if (r.total != 0) {
            CreateItem(tables_, who, owner, MailKind::SharedFileRequest, remote);
            setState(i, TransferState::Requested);
        } else {
            std::string local = tables_.transferLocalPaths.str(i);
            int fd = ::open(local.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd >= 0) ::close(fd);
            setState(i, TransferState::Done);
        }
        did = true;
    }
    return did;
}

void TransferList::expand(int folder) {
    namespace fs = std::filesystem;
    const std::string remote = tables_.transferRemotePaths.str(folder);
    std::string local = tables_.transferLocalPaths.str(folder);
    if (!local.empty() && local.back() != '/') local.push_back('/');
    const std::string owner = tables_.transferOwners.str(folder);
    const ShareStore& s = tables_.share;
    struct Dir {
        int32_t index;
        std::string path, local;
    };
    std::vector<Dir> dirs;
    for (int32_t f : s.foldersUnder(remote)) {
        std::string_view rest = s.folderPath(f).substr(remote.size());
        // Every folder name of a peer becomes one directory level below the chosen one.
        std::string rel;
        bool ok = true;
        for (size_t at = 0; at < rest.size();) {
            size_t slash = rest.find('/', at);
            if (slash == std::string_view::npos) slash = rest.size();
            std::string_view name = rest.substr(at, slash - at);
            if (!safeComponent(name)) {
                ok = false;
                break;
            }
            rel.append(name);
            rel.push_back('/');
            at = slash + 1;
        }
        if (!ok) {
            writeLog("download of " + remote + ": folder " + std::string(s.folderPath(f)) +
                     " skipped, its name cannot be a local folder name");
            continue;
        }
        std::error_code ec;
        fs::create_directories(local + rel, ec);  // a failure shows in the file transfers
        dirs.push_back({f, std::string(s.folderPath(f)), local + rel});
    }
    for (const Dir& d : dirs) {
        for (int32_t file : s.folderFiles(d.index)) {
            std::string_view name = s.fileName(file);
            if (!safeComponent(name)) {
                writeLog("download of " + remote + ": file " + d.path + std::string(name) +
                         " skipped, its name cannot be a local file name");
                continue;
            }
            TransferRecord rec{};
            rec.kind = TransferKind::FolderFile;
            rec.state = TransferState::Waiting;
            rec.total = s.file(file).size;
            rec.parent = folder;
            AddTransfer(owner, d.path + std::string(name), d.local + std::string(name), rec);
        }
    }
    tables_.transfers[folder].total = s.SubtreeSize(remote);
    tables_.noteChange();
    setState(folder, TransferState::FolderBusy);
}

}  // namespace orv

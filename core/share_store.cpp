#include "core/share_store.h"

#include <sys/stat.h>

#include <algorithm>
#include <unordered_set>

#include "core/core_tables.h"

namespace orv {

namespace {

bool startsWith(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// The path without its last component ("/me/a/b/" -> "/me/a/"); empty for "/" or "".
std::string_view parentOf(std::string_view path) {
    if (path.size() < 2) return {};
    size_t cut = path.rfind('/', path.size() - 2);
    return cut == std::string_view::npos ? std::string_view{} : path.substr(0, cut + 1);
}

}  // namespace

bool validShareName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    return name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

bool validFolderPath(std::string_view path) {
    if (path.size() < 3 || path.front() != '/' || path.back() != '/') return false;
    size_t start = 1;
    while (start < path.size()) {
        size_t end = path.find('/', start);
        if (!validShareName(path.substr(start, end - start))) return false;
        start = end + 1;
    }
    return true;
}

std::string_view pathOwner(std::string_view path) {
    if (path.empty() || path.front() != '/') return {};
    size_t end = path.find('/', 1);
    if (end == std::string_view::npos) return {};
    return path.substr(1, end - 1);
}

std::string branchRoot(std::string_view user) {
    return "/" + std::string(user) + "/";
}

ShareStore::ShareStore(StringPool& folderPaths, RecordArray<int32_t>& folderTags,
                       StringPool& fileNames, RecordArray<SharedFileRecord>& files,
                       StringPool& localPaths)
    : folders_(folderPaths),
      tags_(folderTags),
      names_(fileNames),
      files_(files),
      locals_(localPaths) {}

int32_t ShareStore::folderTag(int i) const {
    return i >= 0 && i < tags_.count() ? tags_[i] : 0;
}

// ---------------------------------------------------------------- indexes

ShareStore::Generations ShareStore::current() const {
    return {folders_.generation(), tags_.generation(), names_.generation(), files_.generation(),
            locals_.generation()};
}

std::string ShareStore::fileKey(int32_t folder, std::string_view name) {
    std::string k = std::to_string(folder);
    k.push_back('/');
    k += toLowerAscii(name);
    return k;
}

void ShareStore::rebuildFolderIndex() const {
    folderIx_.clear();
    folderIx_.reserve(static_cast<size_t>(folders_.count()));
    for (int i = 0; i < folders_.count(); ++i)
        folderIx_.emplace(toLowerAscii(folders_.view(i)), i);
    sortedValid_ = false;
}

void ShareStore::rebuildFileIndex() const {
    filesOf_.assign(static_cast<size_t>(folders_.count()), {});
    fileIx_.clear();
    fileIx_.reserve(static_cast<size_t>(files_.count()));
    for (int f = 0; f < files_.count(); ++f) {
        int32_t folder = files_[f].folder;
        if (folder < 0 || folder >= folders_.count()) continue;
        filesOf_[static_cast<size_t>(folder)].push_back(f);
        fileIx_.emplace(fileKey(folder, names_.view(f)), f);
    }
}

void ShareStore::ensureIndexes() const {
    Generations g = current();
    if (g == seen_) return;
    rebuildFolderIndex();
    rebuildFileIndex();
    seen_ = g;
}

void ShareStore::ensureSorted() const {
    ensureIndexes();
    if (sortedValid_) return;
    sorted_.resize(static_cast<size_t>(folders_.count()));
    for (int i = 0; i < folders_.count(); ++i)
        sorted_[static_cast<size_t>(i)] = i;
    std::sort(sorted_.begin(), sorted_.end(),
              [this](int32_t a, int32_t b) { return folders_.view(a) < folders_.view(b); });
    sortedValid_ = true;
}

const std::vector<int32_t>& ShareStore::folderFiles(int folder) const {
    static const std::vector<int32_t> none;
    ensureIndexes();
    if (folder < 0 || static_cast<size_t>(folder) >= filesOf_.size()) return none;
    return filesOf_[static_cast<size_t>(folder)];
}

std::vector<int32_t> ShareStore::foldersUnder(std::string_view prefix) const {
    ensureSorted();
    std::vector<int32_t> out;
    auto it =
        std::lower_bound(sorted_.begin(), sorted_.end(), prefix,
                         [this](int32_t a, std::string_view p) { return folders_.view(a) < p; });
    for (; it != sorted_.end() && startsWith(folders_.view(*it), prefix); ++it)
        out.push_back(*it);
    std::sort(out.begin(), out.end());
    return out;
}

// ---------------------------------------------------------------- folders

int ShareStore::FindFolder(std::string_view path) const {
    ensureIndexes();
    auto it = folderIx_.find(toLowerAscii(path));
    return it == folderIx_.end() ? -1 : it->second;
}

bool ShareStore::AddFolder(std::string_view path, int32_t tag) {
    if (path.empty() || path.find('\0') != std::string_view::npos) return false;
    if (FindFolder(path) >= 0) return false;
    int i = folders_.count();
    folders_.append(path);
    // A damaged file may have left the tags shorter than the paths.
    if (tags_.count() < i) tags_.resize(static_cast<size_t>(i));
    tags_.append(tag);
    folderIx_.emplace(toLowerAscii(path), i);
    filesOf_.resize(static_cast<size_t>(folders_.count()));
    sortedValid_ = false;
    markOwnChange();
    return true;
}

bool ShareStore::RenameFolder(std::string_view path, std::string_view newName) {
    std::string_view parent = parentOf(path);
    if (parent.empty() || newName.empty()) return false;
    std::string target = std::string(parent) + std::string(newName) + "/";
    if (FindFolder(target) >= 0) return false;
    std::vector<int32_t> moved = foldersUnder(path);
    if (moved.empty()) return false;
    // Every renamed path must stay unique, or folder identity would be lost.
    std::unordered_set<int32_t> movedSet(moved.begin(), moved.end());
    std::vector<std::string> renamed;
    renamed.reserve(moved.size());
    for (int32_t f : moved) {
        std::string p = target + std::string(folders_.view(f).substr(path.size()));
        auto it = folderIx_.find(toLowerAscii(p));
        if (it != folderIx_.end() && !movedSet.count(it->second)) return false;
        renamed.push_back(std::move(p));
    }
    for (size_t k = 0; k < moved.size(); ++k)
        folders_.replaceAt(moved[k], renamed[k]);
    rebuildFolderIndex();
    markOwnChange();
    return true;
}

void ShareStore::retainFiles(const std::vector<char>& keepFile) {
    names_.retain(keepFile);
    locals_.retain(keepFile);
    files_.retain(keepFile);
}

void ShareStore::retainFolders(const std::vector<char>& keepFolder) {
    std::vector<int32_t> remap(keepFolder.size(), -1);
    int32_t next = 0;
    for (size_t i = 0; i < keepFolder.size(); ++i)
        if (keepFolder[i]) remap[i] = next++;
    std::vector<char> keepFile(static_cast<size_t>(files_.count()), 1);
    for (int f = 0; f < files_.count(); ++f) {
        int32_t folder = files_[f].folder;
        if (folder >= 0 && static_cast<size_t>(folder) < remap.size()) {
            if (remap[static_cast<size_t>(folder)] < 0)
                keepFile[static_cast<size_t>(f)] = 0;
            else
                files_[f].folder = remap[static_cast<size_t>(folder)];
        }
    }
    retainFiles(keepFile);
    folders_.retain(keepFolder);
    tags_.retain(keepFolder);
    rebuildFolderIndex();
    rebuildFileIndex();
    markOwnChange();
}

int ShareStore::DeleteFolders(std::string_view path, bool includeSelf) {
    if (path.empty()) return 0;
    std::vector<int32_t> under = foldersUnder(path);
    std::vector<char> keep(static_cast<size_t>(folders_.count()), 1);
    int removed = 0;
    for (int32_t f : under) {
        if (!includeSelf && equalsIgnoreCase(folders_.view(f), path)) continue;
        keep[static_cast<size_t>(f)] = 0;
        ++removed;
    }
    if (removed) retainFolders(keep);
    return removed;
}

// ---------------------------------------------------------------- files

bool ShareStore::AddFile(std::string_view localPath, std::string_view name, SharedFileRecord record,
                         std::string_view folderPath) {
    int folder = FindFolder(folderPath);
    if (folder < 0 || name.find('\0') != std::string_view::npos) return false;
    std::string key = fileKey(folder, name);
    if (fileIx_.count(key)) return false;
    record.folder = folder;
    int f = files_.count();
    names_.append(name);
    locals_.append(localPath);
    files_.append(record);
    filesOf_[static_cast<size_t>(folder)].push_back(f);
    fileIx_.emplace(std::move(key), f);
    markOwnChange();
    return true;
}

bool ShareStore::RemoveFile(std::string_view folderPath, std::string_view name) {
    int folder = FindFolder(folderPath);
    if (folder < 0) return false;
    auto it = fileIx_.find(fileKey(folder, name));
    if (it == fileIx_.end()) return false;
    std::vector<char> keep(static_cast<size_t>(files_.count()), 1);
    keep[static_cast<size_t>(it->second)] = 0;
    retainFiles(keep);
    rebuildFileIndex();
    markOwnChange();
    return true;
}

int ShareStore::FindFile(std::string_view filePath) const {
    size_t cut = filePath.rfind('/');
    if (cut == std::string_view::npos) return -1;
    std::string_view folderPart = filePath.substr(0, cut + 1);
    int folder = FindFolder(folderPart);
    if (folder < 0 || folders_.view(folder) != folderPart) return -1;
    auto it = fileIx_.find(fileKey(folder, filePath.substr(cut + 1)));
    return it == fileIx_.end() ? -1 : it->second;
}

uint64_t ShareStore::SubtreeSize(std::string_view path) const {
    uint64_t sum = 0;
    for (int32_t folder : foldersUnder(path))
        for (int32_t f : filesOf_[static_cast<size_t>(folder)])
            sum += files_[f].size;
    return sum;
}

// ---------------------------------------------------------------- listings

void ShareStore::clearListingSets() {
    pending.clear();
    listed.clear();
    treePending.clear();
    treeListed.clear();
}

std::optional<std::string> ShareStore::RequestListing(std::string_view path, bool wholeSubtree) {
    if (path.empty() || path.front() != '/') return std::nullopt;
    // A path without an owner is never sent, so it is not entered as pending either.
    size_t second = path.find('/', 1);
    if (second == std::string_view::npos) return std::nullopt;
    std::string_view owner = path.substr(1, second - 1);
    if (owner.empty() || owner.size() >= 1023) return std::nullopt;
    if (wholeSubtree) {
        treePending.append(path);
    } else {
        if (pending.find(path) >= 0 || listed.find(path) >= 0) return std::nullopt;
        pending.append(path);
    }
    return std::string(owner);
}

ShareListing ShareStore::BuildListing(std::string_view requestedPath, bool wholeSubtree) const {
    ShareListing out;
    std::vector<int32_t> taken;
    for (int32_t f : foldersUnder(requestedPath)) {
        std::string_view rest = folderPath(f).substr(requestedPath.size());
        if (!wholeSubtree && std::count(rest.begin(), rest.end(), '/') > 1) continue;
        taken.push_back(f);
    }
    std::unordered_map<int32_t, int32_t> position;
    for (int32_t f : taken) {
        position.emplace(f, static_cast<int32_t>(out.folders.size()));
        out.folders.emplace_back(folderPath(f));
        out.tags.push_back(folderTag(f));
    }
    std::vector<int32_t> files;
    if (wholeSubtree) {
        for (int32_t f : taken) {
            const auto& rows = filesOf_[static_cast<size_t>(f)];
            files.insert(files.end(), rows.begin(), rows.end());
        }
        std::sort(files.begin(), files.end());
    } else {
        int folder = FindFolder(requestedPath);
        // Only a folder that is in the listing can be named by its files.
        if (folder >= 0 && position.count(folder)) files = filesOf_[static_cast<size_t>(folder)];
    }
    out.names.reserve(files.size());
    out.records.reserve(files.size());
    for (int32_t f : files) {
        SharedFileRecord r = files_[f];
        r.folder = position[r.folder];
        out.names.emplace_back(fileName(f));
        out.records.push_back(r);
    }
    return out;
}

std::string ShareStore::CheckListing(std::string_view requestedPath, bool wholeSubtree,
                                     const ShareListing& l) {
    if (!validFolderPath(requestedPath)) return "the requested path is not a folder path";
    if (l.folders.size() != l.tags.size()) return "folder paths and tags differ in number";
    if (l.names.size() != l.records.size()) return "file names and records differ in number";
    for (const auto& p : l.folders) {
        if (!validFolderPath(p)) return "a folder path holds a component that is not a name";
        if (!startsWith(p, requestedPath)) return "a folder lies outside the requested path";
    }
    for (const auto& n : l.names)
        if (!validShareName(n)) return "a file name is not a name";
    for (const auto& r : l.records)
        if (r.folder < 0 || static_cast<size_t>(r.folder) >= l.folders.size())
            return "a file names no folder of the listing";
    (void)wholeSubtree;
    return {};
}

std::string ShareStore::ApplyListing(std::string_view requestedPath, bool wholeSubtree,
                                     const ShareListing& l, std::string_view currentUser) {
    std::string refused = CheckListing(requestedPath, wholeSubtree, l);
    if (!refused.empty()) return refused;
    bool own = equalsIgnoreCase(pathOwner(requestedPath), currentUser);
    if (!own) {
        if (wholeSubtree) {
            DeleteFolders(requestedPath, false);
        } else {
            int folder = FindFolder(requestedPath);
            if (folder >= 0 && !filesOf_[static_cast<size_t>(folder)].empty()) {
                std::vector<char> keep(static_cast<size_t>(files_.count()), 1);
                for (int32_t f : filesOf_[static_cast<size_t>(folder)])
                    keep[static_cast<size_t>(f)] = 0;
                retainFiles(keep);
                rebuildFileIndex();
                markOwnChange();
            }
            // First-level subfolders the owner still lists; every stored folder below another
            // first-level subfolder goes, with its subtree.
            std::unordered_set<std::string> listedFirst;
            for (const auto& p : l.folders) {
                std::string_view rest = std::string_view(p).substr(requestedPath.size());
                size_t slash = rest.find('/');
                if (slash != std::string_view::npos) listedFirst.emplace(rest.substr(0, slash));
            }
            std::vector<char> keep(static_cast<size_t>(folders_.count()), 1);
            bool any = false;
            for (int32_t f : foldersUnder(requestedPath)) {
                std::string_view rest = folderPath(f).substr(requestedPath.size());
                size_t slash = rest.find('/');
                if (slash == std::string_view::npos) continue;
                if (listedFirst.count(std::string(rest.substr(0, slash)))) continue;
                keep[static_cast<size_t>(f)] = 0;
                any = true;
            }
            if (any) retainFolders(keep);
        }
    }
    for (size_t i = 0; i < l.folders.size(); ++i)
        AddFolder(l.folders[i], l.tags[i]);
    for (size_t i = 0; i < l.names.size(); ++i) {
        const SharedFileRecord& r = l.records[i];
        int32_t into = wholeSubtree ? r.folder : l.records[0].folder;
        AddFile("", l.names[i], r, l.folders[static_cast<size_t>(into)]);
    }
    if (wholeSubtree) {
        if (treeListed.find(requestedPath) < 0) treeListed.append(requestedPath);
        treePending.remove(requestedPath);
    } else {
        if (listed.find(requestedPath) < 0) listed.append(requestedPath);
        pending.remove(requestedPath);
    }
    return {};
}

void ShareStore::ListingRequestDelivered(std::string_view path, bool wholeSubtree) {
    (wholeSubtree ? treePending : pending).remove(path);
}

// ---------------------------------------------------------------- local names

namespace {
bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}
}  // namespace

std::string UniqueLocalName(const CoreTables& t, std::string_view localPath) {
    auto taken = [&t](const std::string& p) {
        if (exists(p)) return true;
        for (int i = 0; i < t.transferLocalPaths.count(); ++i)
            if (equalsIgnoreCase(t.transferLocalPaths.view(i), p)) return true;
        for (int a = 0; a < t.attachments.count(); ++a) {
            int m = t.attachments[a].mail;
            if (m < 0 || m >= t.mails.count()) continue;
            int32_t k = t.mails[m].kind;
            if ((k == MailKind::Inbox || k == MailKind::SharedFileReceived) &&
                t.attachments[a].done < t.attachments[a].total &&
                equalsIgnoreCase(t.attachmentPaths.view(a), p))
                return true;
        }
        return false;
    };
    std::string path(localPath);
    if (!taken(path)) return path;
    size_t cut = path.rfind('/');
    std::string dir = cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
    std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
    for (int n = 1;; ++n) {
        std::string p = dir + "[" + std::to_string(n) + "]" + name;
        if (!taken(p)) return p;
    }
}

}  // namespace orv

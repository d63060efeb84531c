#include "share/share_facade.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <unordered_set>

#include "engine/create_item.h"
#include "share/listing_codec.h"

namespace orv {

namespace {

constexpr TextPair kNotOwnBranch{"Only folders of your own branch can be changed.",
                                 "只能修改自己的共享目录。"};
constexpr TextPair kBadName{
    "A folder name may not be empty, \".\" or \"..\", nor hold \"/\" "
    "or \"\\\".",
    "目录名不能为空、\".\"或\"..\"，也不能包含\"/\"或\"\\\"。"};
constexpr TextPair kExists{"A folder of that name exists already.", "同名目录已经存在。"};
constexpr TextPair kNoFolder{"No such folder.", "没有这个目录。"};
constexpr TextPair kRootFolder{
    "A root folder has no name of its own and cannot be shared as a "
    "whole; choose a folder below it.",
    "根目录没有自己的名字，不能整个共享；请选择它下面的目录。"};
constexpr TextPair kNotAFolder{"The chosen folder cannot be read.", "无法读取所选目录。"};
constexpr TextPair kBranchRoot{"The branch root carries your user name and cannot be renamed.",
                               "共享根目录是你的用户名，不能重命名。"};

}  // namespace

ShareFacade::ShareFacade(CoreTables& tables, SessionState& state, Engine& engine,
                         MailDelivery& delivery, MailReception& reception)
    : tables_(tables), state_(state), engine_(engine), delivery_(delivery), reception_(reception) {
    delivery_.buildListing = [this](int mail, WireWriter& w) { buildListing(mail, w); };
    delivery_.listingRequestDelivered = [this](int32_t kind, std::string_view path) {
        tables_.share.ListingRequestDelivered(path, kind == MailKind::ListTree);
    };
    reception_.onListingRequest = [this](int32_t kind, std::string_view sender, std::string_view,
                                         std::string_view path) {
        int32_t reply =
            kind == MailKind::ListTree ? MailKind::ListTreeReply : MailKind::ListFolderReply;
        CreateItem(tables_, state_.currentUser, sender, reply, path);
    };
    reception_.onListingReply = [this](int32_t kind, std::string_view sender, std::string_view path,
                                       WireReader& rd) { applyReply(kind, sender, path, rd); };
}

void ShareFacade::writeLog(const std::string& line) const {
    if (log)
        log(line);
    else
        std::fprintf(stderr, "orvantel: %s\n", line.c_str());
}

void ShareFacade::loggedIn() {
    if (state_.currentUser.empty()) return;
    if (tables_.share.AddFolder(ownRoot(), 0)) changed();
}

void ShareFacade::changed() {
    tables_.noteChange();
    state_.events.push(EventKind::ShareChanged);
}

// ---------------------------------------------------------------- what the view shows

ShareBranch ShareFacade::branchOf(std::string_view path) const {
    std::string_view owner = pathOwner(path);
    if (owner.empty()) return ShareBranch::Top;
    // The tree compares the owner's item with the user name as it is written.
    return owner == state_.currentUser ? ShareBranch::Own : ShareBranch::Other;
}

std::vector<std::string> ShareFacade::childNames(std::string_view path) const {
    std::vector<std::string> names;
    std::unordered_set<std::string> seen;
    const ShareStore& s = tables_.share;
    for (int32_t f : s.foldersUnder(path)) {
        std::string_view rest = s.folderPath(f).substr(path.size());
        if (rest.empty()) continue;
        std::string_view name = rest.substr(0, rest.find('/'));
        if (seen.insert(toLowerAscii(name)).second) names.emplace_back(name);
    }
    return names;
}

bool ShareFacade::hasSubfolders(std::string_view path) const {
    for (int32_t f : tables_.share.foldersUnder(path))
        if (tables_.share.folderPath(f).size() > path.size()) return true;
    return false;
}

std::vector<ShareFileRow> ShareFacade::files(std::string_view folderPath) const {
    std::vector<ShareFileRow> rows;
    const ShareStore& s = tables_.share;
    int folder = s.FindFolder(folderPath);
    if (folder < 0) return rows;
    const auto& list = s.folderFiles(folder);
    rows.reserve(list.size());
    for (int32_t f : list)
        rows.push_back({std::string(s.fileName(f)), s.file(f).size, s.file(f).added,
                        std::string(s.localPath(f))});
    return rows;
}

// ---------------------------------------------------------------- own branch

bool ShareFacade::ownEditable(std::string_view path) const {
    return state_.loggedIn() && branchOf(path) == ShareBranch::Own && validFolderPath(path);
}

ShareResult ShareFacade::newFolder(std::string_view parent, std::string_view name) {
    UiLanguage lang = state_.language;
    if (!ownEditable(parent)) return {false, std::string(pick(lang, kNotOwnBranch))};
    if (!validShareName(name)) return {false, std::string(pick(lang, kBadName))};
    if (!tables_.share.AddFolder(std::string(parent) + std::string(name) + "/", 0))
        return {false, std::string(pick(lang, kExists))};
    changed();
    return {true, {}, 1};
}

ShareResult ShareFacade::deleteFolder(std::string_view path) {
    if (!ownEditable(path)) return {false, std::string(pick(state_.language, kNotOwnBranch))};
    // The branch root stays: it is added at every login anyway, and the tree keeps the
    // user's own item.
    bool root = equalsIgnoreCase(path, ownRoot());
    int n = tables_.share.DeleteFolders(path, !root);
    if (n == 0 && !root) return {false, std::string(pick(state_.language, kNoFolder))};
    changed();
    return {true, {}};
}

ShareResult ShareFacade::renameFolder(std::string_view path, std::string_view name) {
    UiLanguage lang = state_.language;
    if (!ownEditable(path)) return {false, std::string(pick(lang, kNotOwnBranch))};
    if (equalsIgnoreCase(path, ownRoot())) return {false, std::string(pick(lang, kBranchRoot))};
    if (!validShareName(name)) return {false, std::string(pick(lang, kBadName))};
    if (tables_.share.FindFolder(path) < 0) return {false, std::string(pick(lang, kNoFolder))};
    if (!tables_.share.RenameFolder(path, name)) return {false, std::string(pick(lang, kExists))};
    changed();
    return {true, {}};
}

SharedFileRecord ShareFacade::recordFor(const std::string& localFile) const {
    SharedFileRecord r{};
    struct stat st;
    // A file that cannot be read is shared with size 0.
    if (::stat(localFile.c_str(), &st) == 0) r.size = static_cast<uint64_t>(st.st_size);
    r.added = tables_.now();
    return r;
}

ShareResult ShareFacade::addFolderFromDisk(std::string_view parent, const std::string& diskFolder) {
    namespace fs = std::filesystem;
    UiLanguage lang = state_.language;
    if (!ownEditable(parent)) return {false, std::string(pick(lang, kNotOwnBranch))};
    std::string d = diskFolder;
    while (d.size() > 1 && d.back() == '/')
        d.pop_back();
    std::string own = fs::path(d).filename().string();
    if (d == "/" || own.empty()) return {false, std::string(pick(lang, kRootFolder))};
    std::error_code ec;
    if (!fs::is_directory(d, ec)) return {false, std::string(pick(lang, kNotAFolder))};
    if (!validShareName(own)) return {false, std::string(pick(lang, kBadName))};

    // Breadth-first: each listed folder with its virtual path; files are added after every
    // folder exists, each with the folder it was found in.
    struct Dir {
        std::string disk, virt;
    };
    std::deque<Dir> queue{{d + "/", std::string(parent) + own + "/"}};
    std::vector<Dir> listed;
    std::vector<std::pair<size_t, std::string>> found;  // folder, name
    ShareResult r{true, {}};
    while (!queue.empty()) {
        Dir cur = std::move(queue.front());
        queue.pop_front();
        size_t at = listed.size();
        listed.push_back(cur);
        std::vector<std::pair<std::string, bool>> entries;
        for (fs::directory_iterator it(cur.disk, ec), end; !ec && it != end; it.increment(ec)) {
            std::string name = it->path().filename().string();
            // Symbolic links to folders are not followed: a loop would never end.
            std::error_code e2;
            fs::file_status st = it->symlink_status(e2);
            bool dir = fs::is_directory(st);
            bool file = !dir && it->is_regular_file(e2);
            if (!dir && !file) continue;
            entries.emplace_back(std::move(name), dir);
        }
        // Disk order is arbitrary; names in order make the branch the same on every run.
        std::sort(entries.begin(), entries.end());
        for (auto& [name, dir] : entries) {
            if (!validShareName(name)) {
                ++r.skipped;
                continue;
            }
            if (dir)
                queue.push_back({cur.disk + name + "/", cur.virt + name + "/"});
            else
                found.emplace_back(at, std::move(name));
        }
    }
    ShareStore& s = tables_.share;
    for (const Dir& x : listed)
        if (s.AddFolder(x.virt, 0)) ++r.added;
    for (const auto& [at, name] : found) {
        std::string local = listed[at].disk + name;
        if (s.AddFile(local, name, recordFor(local), listed[at].virt)) ++r.added;
    }
    changed();
    return r;
}

ShareResult ShareFacade::addFiles(std::string_view folder,
                                  const std::vector<std::string>& localFiles) {
    if (!ownEditable(folder)) return {false, std::string(pick(state_.language, kNotOwnBranch))};
    if (tables_.share.FindFolder(folder) < 0)
        return {false, std::string(pick(state_.language, kNoFolder))};
    ShareResult r{true, {}};
    for (const auto& f : localFiles) {
        std::string name = f.substr(f.rfind('/') + 1);
        if (!validShareName(name)) {
            ++r.skipped;
            continue;
        }
        if (tables_.share.AddFile(f, name, recordFor(f), folder)) ++r.added;
    }
    if (r.added) changed();
    return r;
}

ShareResult ShareFacade::removeFiles(std::string_view folder,
                                     const std::vector<std::string>& names) {
    if (!ownEditable(folder)) return {false, std::string(pick(state_.language, kNotOwnBranch))};
    ShareResult r{true, {}};
    for (const auto& n : names)
        if (tables_.share.RemoveFile(folder, n)) ++r.added;
    if (r.added) changed();
    return r;
}

// ---------------------------------------------------------------- other branches

bool ShareFacade::requestListing(std::string_view path, bool wholeSubtree) {
    if (!state_.loggedIn()) return false;
    auto owner = tables_.share.RequestListing(path, wholeSubtree);
    if (!owner) return false;
    CreateItem(tables_, state_.currentUser, *owner,
               wholeSubtree ? MailKind::ListTree : MailKind::ListFolder, path);
    return true;
}

bool ShareFacade::refresh(std::string_view path) {
    tables_.share.ForgetListed(path);
    return requestListing(path, false);
}

bool ShareFacade::connectUser(std::string_view user) {
    if (!state_.loggedIn() || !validShareName(user) || user.size() >= 1023) return false;
    // Not entered as pending: the reply is applied like any other.
    CreateItem(tables_, state_.currentUser, user, MailKind::ListFolder, branchRoot(user));
    return true;
}

// ---------------------------------------------------------------- the wire

size_t ShareFacade::largestListing(size_t headBytes) {
    return static_cast<size_t>(kMaxBodyLength) - headBytes;
}

void ShareFacade::buildListing(int mail, WireWriter& w) {
    std::string path = tables_.mailSubject(mail);
    bool tree = tables_.mails[mail].kind == MailKind::ListTreeReply;
    size_t head = w.bodySize();
    ShareListing l = tables_.share.BuildListing(path, tree);
    encodeListingTail(w, l, engine_.codec());
    if (w.bodySize() > static_cast<size_t>(kMaxBodyLength)) {
        // The delivery refuses a message over the limit; cutting the listing would make the
        // receiver drop what it holds, so it is not sent at all.
        writeLog("listing of " + path + " (" + std::to_string(l.folders.size()) + " folders, " +
                 std::to_string(l.names.size()) + " files) not sent: its " +
                 std::to_string(w.bodySize() - head) + " bytes exceed the largest listing one " +
                 "message carries, " + std::to_string(largestListing(head)) + " bytes");
    }
}

void ShareFacade::applyReply(int32_t kind, std::string_view sender, std::string_view path,
                             WireReader& rd) {
    bool tree = kind == MailKind::ListTreeReply;
    auto refuse = [&](const std::string& why) {
        writeLog("listing of " + std::string(path) + " from " + std::string(sender) +
                 " refused: " + why);
    };
    // Only the owner speaks for a branch: anyone else could plant folders in it.
    if (!equalsIgnoreCase(pathOwner(path), sender)) {
        refuse("the sender does not own the path");
        return;
    }
    ShareListing l;
    if (!decodeListingTail(rd, l, engine_.codec())) {
        refuse("the listing does not follow its layout");
        return;
    }
    std::string why = tables_.share.ApplyListing(path, tree, l, state_.currentUser);
    if (!why.empty()) {
        refuse(why);
        return;
    }
    tables_.noteChange();
    state_.events.push(EventKind::ListingArrived, 0, tree ? 1 : 0, std::string(path));
}

}  // namespace orv

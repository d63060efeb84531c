#pragma once
// The shared folders: the user's own branch with the local files behind it, and the listings
// learnt from other users, in one set of parallel tables (folder paths with their tags; file
// names, local paths and records). Paths are virtual: "/" owner "/" folder "/" ... with the
// trailing "/". Folder identity ignores case; prefix tests do not.
//
// The tables themselves belong to the core tables (they are stored in cfg.dat); this class
// owns the operations and the indexes over them, so that no operation scans the pools: a
// folder is found by a hash of its path, the files of a folder by a per-folder row list, and
// the folders under a prefix by a sorted order. Indexes are rebuilt lazily whenever a table
// changed behind the store's back (the state file loading them, for instance).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/records.h"
#include "core/tables.h"

namespace orv {

class CoreTables;

// What a listing reply carries: folder paths with their tags, file names and records whose
// folder index counts in the listing's own folder list.
struct ShareListing {
    std::vector<std::string> folders;
    std::vector<int32_t> tags;
    std::vector<std::string> names;
    std::vector<SharedFileRecord> records;
};

// A name that may stand as one component of a virtual path or as a file name from a peer:
// not empty, not "." or "..", no "/" or "\" and no NUL.
bool validShareName(std::string_view name);
// A folder path "/" c1 "/" c2 "/" ... with at least the owner component, each component valid.
bool validFolderPath(std::string_view path);
// The owner of a path (its first component), empty when there is none.
std::string_view pathOwner(std::string_view path);
// The branch root of a user: "/" user "/".
std::string branchRoot(std::string_view user);

class ShareStore {
  public:
    ShareStore(StringPool& folderPaths, RecordArray<int32_t>& folderTags, StringPool& fileNames,
               RecordArray<SharedFileRecord>& files, StringPool& localPaths);
    ShareStore(const ShareStore&) = delete;
    ShareStore& operator=(const ShareStore&) = delete;

    // ---- the tables as they stand ----
    int folderCount() const { return folders_.count(); }
    std::string_view folderPath(int i) const { return folders_.view(i); }
    int32_t folderTag(int i) const;
    int fileCount() const { return files_.count(); }
    std::string_view fileName(int i) const { return names_.view(i); }
    std::string_view localPath(int i) const { return locals_.view(i); }
    const SharedFileRecord& file(int i) const { return files_[i]; }
    // Files of folder i, in store order.
    const std::vector<int32_t>& folderFiles(int folder) const;
    // Folders whose path begins with prefix (case-sensitive), in store order.
    std::vector<int32_t> foldersUnder(std::string_view prefix) const;

    // ---- the operations ----
    // The folder equal to path ignoring case, or -1.
    int FindFolder(std::string_view path) const;
    // Appends path with tag unless a folder equal to it (ignoring case) exists. True when added.
    bool AddFolder(std::string_view path, int32_t tag);
    // path without its last component, then newName and "/". Nothing changes when a folder
    // equal to the new path, or to any path the rename would produce, exists. True when renamed.
    bool RenameFolder(std::string_view path, std::string_view newName);
    // Removes every folder beginning with path (case-sensitive) except, without includeSelf,
    // the folder equal to path; their files go with them and the folder indexes of the rest
    // follow. Returns the number of folders removed.
    int DeleteFolders(std::string_view path, bool includeSelf);
    // Appends the file to the existing folder unless the folder holds the name already
    // (ignoring case). The record's folder index is set here. True when added.
    bool AddFile(std::string_view localPath, std::string_view name, SharedFileRecord record,
                 std::string_view folderPath);
    // Removes the first file of the folder with that name (ignoring case). True when removed.
    bool RemoveFile(std::string_view folderPath, std::string_view name);
    // "/owner/dir/name": the folder part must equal a folder exactly; the file is found by
    // name ignoring case. -1 when there is none.
    int FindFile(std::string_view filePath) const;
    // Sum of the sizes of the files in every folder beginning with path (case-sensitive).
    uint64_t SubtreeSize(std::string_view path) const;

    // ---- listings ----
    // Bookkeeping of a listing request; the owner to send it to, or none when nothing is to
    // be sent (not a path, no owner, a one-level request already pending or answered).
    std::optional<std::string> RequestListing(std::string_view path, bool wholeSubtree);
    // The listing of the requested path as the reply to a request carries it.
    ShareListing BuildListing(std::string_view requestedPath, bool wholeSubtree) const;
    // Checks a listing from a peer before anything of it is used: the requested path and
    // every folder must be valid paths, every folder must lie under the requested path, every
    // file name must be a name, every record must name a folder of the listing. Empty when it
    // may be applied, else the reason.
    static std::string CheckListing(std::string_view requestedPath, bool wholeSubtree,
                                    const ShareListing& listing);
    // Merges a listing after checking it (CheckListing); nothing is removed when the path's
    // owner is currentUser. Empty when applied, else why it was refused (nothing changed).
    std::string ApplyListing(std::string_view requestedPath, bool wholeSubtree,
                             const ShareListing& listing, std::string_view currentUser);
    // A listing request for path was delivered: it may be asked again.
    void ListingRequestDelivered(std::string_view path, bool wholeSubtree);
    // Forget that path was listed, so that the next request goes out.
    void ForgetListed(std::string_view path) { listed.remove(path); }

    // The four listing sets (runtime only).
    StringPool pending, listed, treePending, treeListed;
    void clearListingSets();

  private:
    struct Generations {
        uint64_t folders = ~0ull, tags = ~0ull, names = ~0ull, files = ~0ull, locals = ~0ull;
        bool operator==(const Generations&) const = default;
    };
    Generations current() const;
    void ensureIndexes() const;
    void rebuildFolderIndex() const;
    void rebuildFileIndex() const;
    void ensureSorted() const;
    void markOwnChange() const { seen_ = current(); }
    static std::string fileKey(int32_t folder, std::string_view name);
    // Keeps the folders and files marked, remapping the files' folder indexes.
    void retainFolders(const std::vector<char>& keepFolder);
    void retainFiles(const std::vector<char>& keepFile);

    StringPool& folders_;
    RecordArray<int32_t>& tags_;
    StringPool& names_;
    RecordArray<SharedFileRecord>& files_;
    StringPool& locals_;

    mutable Generations seen_;
    mutable std::unordered_map<std::string, int32_t> folderIx_;  // lower-case path -> folder
    mutable std::vector<std::vector<int32_t>> filesOf_;          // folder -> files
    mutable std::unordered_map<std::string, int32_t> fileIx_;    // folder + lower name -> file
    mutable std::vector<int32_t> sorted_;                        // folders by path bytes
    mutable bool sortedValid_ = false;
};

// localPath, or "dir/[n]name" with the smallest n from 1 that neither names an existing file
// nor equals (ignoring case) the local path of a transfer or of a file being received.
std::string UniqueLocalName(const CoreTables& tables, std::string_view localPath);

}  // namespace orv

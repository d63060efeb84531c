#pragma once
// The one way into the shared folders for both front ends: editing the user's own branch
// (folders, files, a folder tree from disk), browsing other users' branches through listing
// requests, and what the share view shows. Owned by the session; it answers the listing
// requests of peers and merges their replies through the engine's hooks, and announces
// ShareChanged and ListingArrived on the session's event queue.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/core_tables.h"
#include "core/session_state.h"
#include "engine/delivery.h"
#include "engine/engine.h"
#include "engine/reception.h"

namespace orv {

// A row of the file list.
struct ShareFileRow {
    std::string name;
    uint64_t size = 0;
    int32_t added = 0;
    std::string localPath;  // empty for a file of another user
};

// What a command did: ok, or the message to show.
struct ShareResult {
    bool ok = false;
    std::string message;
    int added = 0;    // folders and files added, for add-from-disk
    int skipped = 0;  // entries left out (names a peer could not take)
};

enum class ShareBranch { Top, Own, Other };

class ShareFacade {
  public:
    ShareFacade(CoreTables& tables, SessionState& state, Engine& engine, MailDelivery& delivery,
                MailReception& reception);
    ShareFacade(const ShareFacade&) = delete;
    ShareFacade& operator=(const ShareFacade&) = delete;

    // At every login: the user's branch root.
    void loggedIn();

    // ---- what the view shows ----
    const ShareStore& store() const { return tables_.share; }
    std::string ownRoot() const { return branchRoot(state_.currentUser); }
    ShareBranch branchOf(std::string_view path) const;
    // The names of the children of the folder at path, distinct ignoring case, in order of
    // first appearance among the stored folders.
    std::vector<std::string> childNames(std::string_view path) const;
    bool hasSubfolders(std::string_view path) const;
    std::vector<ShareFileRow> files(std::string_view folderPath) const;

    // ---- the user's own branch ----
    ShareResult newFolder(std::string_view parent, std::string_view name);
    ShareResult deleteFolder(std::string_view path);
    ShareResult renameFolder(std::string_view path, std::string_view name);
    // The folder on disk with everything below it, breadth-first, as parent + its own name.
    ShareResult addFolderFromDisk(std::string_view parent, const std::string& diskFolder);
    ShareResult addFiles(std::string_view folder, const std::vector<std::string>& localFiles);
    ShareResult removeFiles(std::string_view folder, const std::vector<std::string>& names);

    // ---- other users' branches ----
    // A listing request for path (one level or the whole subtree). False when none was sent.
    bool requestListing(std::string_view path, bool wholeSubtree);
    // Forgets that path was listed and asks again.
    bool refresh(std::string_view path);
    // Asks user for the first level of the branch.
    bool connectUser(std::string_view user);

    // Where refusals go ("listing refused ..."); standard error unless set.
    std::function<void(const std::string&)> log;

    // The largest listing tail one message carries after the item's head.
    static size_t largestListing(size_t headBytes);

  private:
    void writeLog(const std::string& line) const;
    bool ownEditable(std::string_view path) const;
    void changed();
    void buildListing(int mail, WireWriter& w);
    void applyReply(int32_t kind, std::string_view sender, std::string_view path, WireReader& rd);
    SharedFileRecord recordFor(const std::string& localFile) const;

    CoreTables& tables_;
    SessionState& state_;
    Engine& engine_;
    MailDelivery& delivery_;
    MailReception& reception_;
};

}  // namespace orv

#pragma once
// The journal beside cfg.dat: framed, checksummed records that re-apply changes to mails, so
// that what a peer or the user is told is done survives a crash between two saves of cfg.dat.
// A record holds the whole image of one mail (or says it is gone); replaying it is idempotent,
// so a journal that the last save already folded in does no harm when replayed again. Many
// changes share one commit and one sync. The format is described in docs/journal.md.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "core/core_tables.h"

namespace orv {

constexpr uint32_t kJournalFrameMagic = 0x4A56524F;  // "ORVJ"
// A record longer than this is damage, not a mail.
constexpr uint32_t kJournalMaxRecord = 64u << 20;

// Mail kinds that live on in cfg.dat (the engine's items are dropped at load).
bool isJournaledKind(int32_t kind);

// The framed record for the current image of the mail with this key and side (received or
// not), or for its removal when no such mail is left.
std::vector<uint8_t> journalRecordFor(const CoreTables& t, uint64_t key, bool received);

struct ReplayReport {
    int applied = 0;       // records applied
    size_t goodBytes = 0;  // bytes up to the end of the last good frame
    bool torn = false;     // something after it was not a whole, intact frame
};
// Re-applies the records of one journal file to loaded tables, stopping at the first frame
// that is incomplete or damaged (a torn tail). Never trusts a count beyond the bytes left.
ReplayReport replayJournal(CoreTables& t, const uint8_t* data, size_t size);

class Journal {
  public:
    // Journal files are `<configPath>.journal.<n>`; new records go to a number above every
    // file found.
    explicit Journal(std::string configPath);
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Replays every journal file beside configPath, oldest first, onto freshly loaded tables.
    // Returns the records applied.
    int replayAll(CoreTables& t);

    // Takes every change the tables noted: received files are synced, the mail images are
    // appended and the journal synced, once for all of them. True when all of it is on disk
    // (also when there was nothing to do).
    bool commit(CoreTables& t);

    // Called when the state image for a save is taken: later records go to a new file. Returns
    // the number of the last file the image includes.
    uint64_t rotate();
    // After that image is safely in cfg.dat: removes journal files up to and including n.
    // Safe from the saver's worker thread.
    void dropThrough(uint64_t n);

    uint64_t syncCount() const { return syncs_; }
    std::string fileName(uint64_t n) const;

  private:
    bool openCurrent();
    std::vector<uint64_t> existingNumbers() const;

    std::string configPath_;
    uint64_t current_ = 1;
    int fd_ = -1;
    bool fdFresh_ = false;  // the file was created and its folder is not synced yet
    uint64_t syncs_ = 0;
    std::mutex dropMu_;
    uint64_t lowest_ = 1;  // no file below this number is left
};

}  // namespace orv

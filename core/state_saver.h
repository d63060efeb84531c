#pragma once
// Saves cfg.dat while the client runs, a few seconds after the tables change, so a crash
// loses at most those seconds. The tables are serialised on the caller's thread (a memory
// copy) and the file is written, flushed and renamed on a worker thread, so the engine does
// not stall on the disk.
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/core_tables.h"
#include "core/journal.h"

namespace orv {

class StateSaver {
  public:
    StateSaver(CoreTables& tables, std::string path, int64_t debounceMillis = 3000);
    ~StateSaver();
    StateSaver(const StateSaver&) = delete;
    StateSaver& operator=(const StateSaver&) = delete;

    // Call after each engine pump or user action: notices changes and starts a save once
    // the debounce time has passed since the first unsaved change.
    void poll();
    // Milliseconds (on the tables' clock) when poll() next has work, or -1 when nothing waits.
    int64_t nextDeadlineMillis() const;
    // Writes the current state now and waits for it (at exit). True when it reached the disk.
    bool saveNow();
    // Folds the journal into each save: the image taken starts a new journal file, and the
    // files it includes are removed once it is on disk.
    void setJournal(Journal* journal) { journal_ = journal; }
    // Marks the current state as saved (after loading, so a fresh start does not rewrite).
    void markClean();

    uint64_t savesCompleted() const;
    bool lastSaveFailed() const;

  private:
    void workerLoop();
    void queue(std::vector<uint8_t> bytes, uint64_t journalUpTo);

    CoreTables& tables_;
    std::string path_;
    int64_t debounce_;
    uint64_t savedChanges_ = 0;
    int64_t dirtySince_ = -1;

    mutable std::mutex mu_;
    std::condition_variable cv_;
    Journal* journal_ = nullptr;
    std::vector<uint8_t> pending_;
    uint64_t pendingJournal_ = 0;  // the last journal file pending_ includes (0: none)
    bool hasPending_ = false;
    bool writing_ = false;
    bool stop_ = false;
    uint64_t completed_ = 0;
    bool failed_ = false;
    std::thread worker_;
};

}  // namespace orv

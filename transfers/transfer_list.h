#pragma once
// The transfer list: every download the local user started (a file, a folder, a preview),
// kept in four parallel tables of the core state. The operations here act on those tables;
// the engine side (stopping a path, the counters of an incoming file, announcing a change)
// comes in through TransferEngine so the list can be tested without peers.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/core_tables.h"
#include "core/records.h"

namespace orv {

// Size unset: a folder before its listing arrived.
inline constexpr uint64_t kTransferSizeUnset = ~uint64_t{0};
// The engine step looks at this many records only.
inline constexpr int kTransferStepWindow = 30;

// An active incoming file transfer of the engine, as the list sees it.
struct ActiveTransfer {
    std::string remotePath;
    std::string localPath;
    uint64_t received = 0;
    int32_t rate = 0;
    RateMeter window{};  // the transfer's rate window (five one-second samples)
};

// What the list needs from the engine.
struct TransferEngine {
    // Stops every active request and incoming transfer of the remote path.
    std::function<void(std::string_view remotePath)> stop;
    // The engine's active incoming file transfers.
    std::function<std::vector<ActiveTransfer>()> active;
    // A record changed state (or was removed: state -1).
    std::function<void(std::string_view remotePath, int32_t state, std::string_view localPath)>
        changed;
    // Names from a peer that could not be made safe; standard error unless set.
    std::function<void(const std::string&)> log;
};

// One list entry as the operations read and write it.
struct TransferEntry {
    std::string owner;
    std::string remotePath;
    std::string localPath;
    TransferRecord record{};
};

// A file or folder name from a peer as one local path component, or empty when it cannot be
// one ("", ".", "..", or holding a separator of either kind).
bool safeComponent(std::string_view name);

class TransferList {
  public:
    // currentUser: the session's current user name (only its records are started or
    // updated); none in tests that do not care.
    TransferList(CoreTables& tables, TransferEngine engine,
                 const std::string* currentUser = nullptr);

    int count() const;
    TransferEntry entry(int index) const;
    const TransferRecord& record(int index) const;
    TransferEngine& engine() { return engine_; }

    // Appends an entry (bytes received and rate 0); a preview of a path already previewed in
    // this run adds nothing, a new preview starts paused. The index of the new entry, or -1
    // when nothing was added.
    int AddTransfer(std::string_view owner, std::string_view remotePath, std::string_view localPath,
                    TransferRecord record);
    void StartTransfer(std::string_view remotePath, int64_t offset);
    void PauseTransfer(std::string_view remotePath);
    void CancelTransfer(std::string_view remotePath);
    // Copies bytes received and rate (and, when given, the rate windows, one per record)
    // from the engine's active transfers.
    void RefreshProgress(std::vector<RateMeter>* windows);
    void RemoveTransfer(int index);
    // After loading the state: previews cancelled; open flag and rate cleared; receiving,
    // requested and folder listing back to waiting.
    void afterLoad();
    // One step of the engine while currentUser is logged in: at most one removal or
    // expansion, requests for waiting records among the first kTransferStepWindow. True when
    // it changed something (the engine steps again at once).
    bool EngineStep();

    // The current user's record in state `state` (or any state, -1) with that remote path
    // (ignoring case), kinds other than folder; -1 when none.
    int findActive(std::string_view remotePath, int32_t state) const;
    // Sets the state of record i and announces it.
    void setState(int i, int32_t state);

  private:
    bool pathInProgressAbove(int i, std::string_view remotePath) const;
    bool hasFiles(int folder) const;
    void expand(int folder);
    void writeLog(const std::string& line) const;
    bool ownedBy(int i, std::string_view user) const;
    std::string_view user() const;

    CoreTables& tables_;
    TransferEngine engine_;
    const std::string* user_;
};

}  // namespace orv

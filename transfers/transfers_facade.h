#pragma once
// The one way into downloads for both front ends: the share view's Open, Save to, Download
// folder and Preview commands, the transfer view's rows and its start, pause, cancel and open
// commands, and the local HTTP server's address for previews. Owned by the session; the
// engine's periodic step runs the list's step through it, and it announces TransferChanged on
// the session's event queue.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/clock.h"
#include "core/core_tables.h"
#include "core/session_state.h"
#include "core/text.h"
#include "engine/delivery.h"
#include "engine/engine.h"
#include "engine/file_server.h"
#include "engine/reception.h"
#include "transfers/transfer_list.h"

namespace orv {

// One row of the transfer view: a record of kind file, folder or preview, with folders'
// progress and rate folded from their files.
struct TransferRow {
    int index = -1;  // the record in the list
    std::string name;
    std::string remotePath;
    std::string localPath;
    int32_t kind = 0;
    int32_t state = 0;
    uint64_t total = 0;
    uint64_t received = 0;
    int32_t rate = 0;
};

// What a command did: ok, or the message to show.
struct TransferResult {
    bool ok = false;
    std::string message;
};

class TransfersFacade {
  public:
    // The file server streams previews to the player; without one, previews are refused.
    TransfersFacade(CoreTables& tables, SessionState& state, const Clock& clock, Engine& engine,
                    MailDelivery& delivery, MailReception& reception,
                    FileServer* fileServer = nullptr);
    TransfersFacade(const TransfersFacade&) = delete;
    TransfersFacade& operator=(const TransfersFacade&) = delete;

    TransferList& list() { return list_; }

    // ---- the share view's commands (remote paths of another user's files) ----
    // Into the receive folder, each name made unique; the first one opens when complete.
    TransferResult open(std::string_view folderPath, const std::vector<std::string>& names);
    // Into a chosen folder, names unchanged.
    TransferResult saveTo(std::string_view folderPath, const std::vector<std::string>& names,
                          const std::string& localFolder);
    // The folder with everything below it, into localFolder/<its last component>/.
    TransferResult downloadFolder(std::string_view folderPath, const std::string& localFolder);
    // A preview record (paused until the player asks) and the address the player is given:
    // "http://localhost:PORT/PATH", the path percent-encoded. A path previewed before in this
    // run adds no second record; its address is given all the same.
    TransferResult preview(std::string_view remotePath, std::string& url);

    // ---- the transfer view ----
    // The view's one-second tick: refreshes the counters, folds folders, completes folders
    // whose files are all done, and returns one row per record of kind 0, 1 or 3.
    std::vector<TransferRow> tick();
    void start(std::string_view remotePath);
    void pause(std::string_view remotePath);
    void cancel(std::string_view remotePath);

    // The port of the local HTTP server, for preview addresses.
    int httpPort() const;

    // The engine's periodic step (the session sets the engine hook). True when it worked.
    bool step();

    // A download that has not moved for this long is asked for again.
    static constexpr int32_t kStallRetrySeconds = 30;
    // After the state was loaded.
    void afterLoad() { list_.afterLoad(); }

    // A download with the open flag completed: the front end opens the file (windows with
    // the desktop's default program, headless prints a line). Nothing happens unless set.
    std::function<void(const std::string& localPath)> openFile;
    // Names of a peer that could not be used locally; standard error unless set.
    std::function<void(const std::string&)> log;

  private:
    struct Watch {
        uint64_t received = 0;
        int64_t sinceMs = 0;
    };
    bool retryStalled(int64_t nowMs);
    std::unordered_map<std::string, Watch> watch_;  // by remote path, while requested or arriving
    // The engine's services for the list.
    void stopPath(std::string_view remotePath);
    std::vector<ActiveTransfer> activeTransfers();
    // Kind 21: a peer asks for a shared file of the local user.
    void serve(std::string_view sender, std::string_view path);
    std::optional<SharedFileTarget> target(int mail);
    void progress(int mail, int64_t received, bool complete);
    int recordOfMail(int mail) const;
    TransferResult addFiles(std::string_view folderPath, const std::vector<std::string>& names,
                            const std::string& localFolder, bool unique, bool openFirst);
    std::string fail(TextPair text) const;

    CoreTables& tables_;
    SessionState& state_;
    const Clock& clock_;
    [[maybe_unused]] Engine& engine_;
    [[maybe_unused]] MailDelivery& delivery_;
    MailReception& reception_;
    FileServer* fileServer_;
    TransferList list_;
    int64_t lastRefreshMs_ = 0;
};

}  // namespace orv

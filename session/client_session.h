#pragma once
// One running client: its tables, who is logged in, its state file and the single-instance
// channel. Several sessions can live in one process (tests); nothing here is global.
#include <poll.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/core_tables.h"
#include "core/journal.h"
#include "core/session_state.h"
#include "core/state_file.h"
#include "core/state_saver.h"
#include "directory/account.h"
#include "directory/directory_client.h"
#include "engine/delivery.h"
#include "engine/engine.h"
#include "engine/file_server.h"
#include "engine/reception.h"
#include "engine/relay.h"
#include "groups/groups_facade.h"
#include "mail/mail_facade.h"
#include "mail/signing.h"
#include "net/socket_api.h"
#include "session/instance_channel.h"
#include "session/relay_client.h"
#include "session/startup.h"
#include "share/share_facade.h"
#include "transfers/transfers_facade.h"

namespace orv {

struct ClientOptions {
    std::string programPath;        // argv[0]
    std::vector<std::string> args;  // what follows the options: "/o" or file paths
    std::string dataDir;            // empty: beside the program
    int instancePort = kDefaultInstancePort;
    UiLanguage language = defaultUiLanguage();
    int64_t saveDebounceMillis = 3000;
    EngineConfig engine;
    // "host:port" of the directory server to use from now on (stored in the settings).
    std::string server;
    // "Reach me through a relay", stored in the settings like the Network page does.
    std::optional<bool> reachThroughRelay;
};

// The command-line options every client program takes (--data-dir, --instance-port,
// --server, --user, --password, --lang, --peer-port, --listen, --http-port, --through-relay
// on|off, --refuse-listener, --relay-limit). True when `option` is one of them; `value` yields
// its argument.
bool readClientOption(const std::string& option, const std::function<std::string()>& value,
                      ClientOptions& opt, std::string& user, std::string& password);

// How a login ended, with the messages to show (the closing notice comes with a success).
struct LoginOutcome {
    LoginFlow::Result result = LoginFlow::Result::Ignored;
    std::vector<std::string> messages;
};

enum class StartOutcome {
    Running,      // this process is the instance
    OtherRunning  // another instance holds the channel: the process ends with code 0
};

class ClientSession {
  public:
    // `sockets` defaults to the operating system's; tests may pass a fake.
    ClientSession(const Clock& clock, ClientOptions options, SocketApi* sockets = nullptr);
    ~ClientSession();

    // The start-up sequence up to the point where windows (or the headless loop) take over.
    StartOutcome start();
    // Pumps the engine and runs the session's own duties (the account operation under way,
    // the background tasks, the forwarded command line, the background save); call whenever
    // something in the wait set is ready or its deadline is due.
    void service();
    // Everything the session will act on: the engine's sockets, the account operation's, the
    // background tasks', the single-instance channel's, and the earliest deadline among them.
    void waitSet(WaitSet& out);
    // Waits at most maxWaitMs for the wait set, plus `extra` descriptors of the caller
    // (their revents are filled), then services. False when the wait itself failed.
    bool runOnce(int maxWaitMs, std::vector<PollEntry>* extra = nullptr);

    // ---- account operations: one at a time, finished by service() ----
    bool accountBusy() const { return static_cast<bool>(op_); }
    void login(const std::string& user, const std::string& password, bool remember,
               std::function<void(const LoginOutcome&)> done);
    // Up to three logout requests; the user is no longer current afterwards.
    void logout(std::function<void(bool acknowledged)> done);
    void createAccount(const std::string& user, const std::string& password,
                       const std::string& confirm,
                       std::function<void(bool ok, const std::string& message)> done);
    void changePassword(const std::string& user, const std::string& oldPassword,
                        const std::string& newPassword, const std::string& confirm,
                        std::function<void(bool ok, const std::string& message)> done);
    // Logs out, stops the engine and writes the state. True when the state reached the disk.
    // Background tasks still under way are dropped without being reported.
    bool shutdown();

    // ---- background tasks: any number beside the account operation, stepped by service();
    // `done` is called once a task has finished, and the task is destroyed afterwards ----
    void startTask(std::unique_ptr<BackgroundTask> task,
                   std::function<void(BackgroundTask&)> done = {});
    size_t taskCount() const { return tasks_.size(); }

    // ---- the subsystems' façades: the only way the front ends act ----
    MailFacade& mail() { return *mail_; }
    SigningFacade& signing() { return *signing_; }
    GroupsFacade& groups() { return *groups_; }
    ShareFacade& share() { return *share_; }
    TransfersFacade& transfers() { return *transfers_; }

    // ---- what happened: every event pushed during a service, in order, after it ----
    std::function<void(const SessionEvent&)> onEvent;

    // The links and connect attempts of the engine, for the headless client's status.
    struct PeerStatus {
        struct Entry {
            std::string user;
            int32_t state = 0;
            int32_t time = 0;
        };
        int32_t peerPort = 0;
        std::vector<Entry> links, attempts;
    };
    PeerStatus peerStatus() const;
    // Whether this client is reached through a relay, and over which link.
    RelayClient::Status relayLinkStatus() const;
    // Relay mode and the relay's queue, routes and receivers, for the same status.
    RelayStatus relayStatus() const;

    CoreTables& tables() { return tables_; }
    SessionState& state() { return state_; }
    const Clock& clock() const { return clock_; }
    const DataPaths& paths() const { return paths_; }
    const std::string& commandLine() const { return commandLine_; }
    const LoadReport& loadReport() const { return loadReport_; }
    bool instanceChannelValid() const { return channel_.valid(); }
    StateSaver* saver() { return saver_.get(); }
    Journal* journal() { return journal_.get(); }
    // The engine and the directory client, for tests and diagnostics; front ends use the
    // façades.
    Engine& engine() { return *engine_; }
    FileServer& fileServer() { return *fileServer_; }
    DirectoryClient& directory() { return *directory_; }
    SocketApi& sockets() { return *sockets_; }
    bool shuttingDown() const { return shuttingDown_; }

    // A forwarded command line with files while someone is logged in: the Send-files command.
    std::function<void(const std::vector<std::string>& files)> onSendFiles;
    // A forwarded command line that is not acted on (nobody logged in, or no files).
    std::function<void(const std::string& commandLine)> onForwardIgnored;

  private:
    struct AccountOp {
        virtual ~AccountOp() = default;
        virtual bool step() = 0;  // true when finished (and reported)
        virtual const Pollable& pollable() const = 0;
    };
    template <typename Flow, typename Finish>
    struct FlowOp;
    void serviceForwardedCommandLine();
    void serviceAccountOp();
    void serviceLoggedInElsewhere();
    void serviceTasks();
    void deliverEvents();
    void schedule(std::unique_ptr<AccountOp> op);

    const Clock& clock_;
    ClientOptions options_;
    std::unique_ptr<SocketApi> ownSockets_;
    SocketApi* sockets_;
    DataPaths paths_;
    std::string commandLine_;
    SessionState state_;
    CoreTables tables_;
    InstanceChannel channel_;
    LoadReport loadReport_;
    std::unique_ptr<Journal> journal_;  // outlives the saver, whose worker folds it
    std::unique_ptr<StateSaver> saver_;
    std::unique_ptr<Engine> engine_;
    std::unique_ptr<DirectoryClient> directory_;
    std::unique_ptr<MailDelivery> delivery_;
    std::unique_ptr<MailReception> reception_;
    std::unique_ptr<FileServer> fileServer_;
    std::unique_ptr<Relay> relay_;
    std::unique_ptr<MailFacade> mail_;
    std::unique_ptr<SigningFacade> signing_;
    std::unique_ptr<GroupsFacade> groups_;
    std::unique_ptr<ShareFacade> share_;
    std::unique_ptr<TransfersFacade> transfers_;
    std::unique_ptr<RelayClient> relayClient_;
    std::unique_ptr<AccountOp> op_, next_;
    struct Task {
        std::unique_ptr<BackgroundTask> task;
        std::function<void(BackgroundTask&)> done;
        bool stepped = false;  // a new task is due at once, whatever its own deadline
    };
    std::vector<Task> tasks_;
    bool shuttingDown_ = false;
};

}  // namespace orv

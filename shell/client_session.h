#pragma once
// One running client: its tables, who is logged in, its state file and the single-instance
// channel. Several sessions can live in one process (tests); nothing here is global.
#include <poll.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/core_tables.h"
#include "core/session_state.h"
#include "core/state_file.h"
#include "core/state_saver.h"
#include "shell/instance_channel.h"
#include "shell/startup.h"

namespace orv {

struct ClientOptions {
    std::string programPath;        // argv[0]
    std::vector<std::string> args;  // what follows the options: "/o" or file paths
    std::string dataDir;            // empty: beside the program
    int instancePort = kDefaultInstancePort;
    UiLanguage language = defaultUiLanguage();
    int64_t saveDebounceMillis = 3000;
};

enum class StartOutcome {
    Running,      // this process is the instance
    OtherRunning  // another instance holds the channel: the process ends with code 0
};

class ClientSession {
  public:
    ClientSession(const Clock& clock, ClientOptions options);
    ~ClientSession();

    // The start-up sequence up to the point where windows (or the headless loop) take over.
    StartOutcome start();
    // Runs the session's own duties; call whenever a polled fd is ready or a deadline is due.
    void service();
    void addPollFds(std::vector<pollfd>& fds) const;
    // Earliest deadline (clock milliseconds) of the session's duties, or -1.
    int64_t nextDeadlineMillis() const;
    // Logs out, stops the engine and writes the state. True when the state reached the disk.
    bool shutdown();

    CoreTables& tables() { return tables_; }
    SessionState& state() { return state_; }
    const DataPaths& paths() const { return paths_; }
    const std::string& commandLine() const { return commandLine_; }
    const LoadReport& loadReport() const { return loadReport_; }
    bool instanceChannelValid() const { return channel_.valid(); }
    StateSaver* saver() { return saver_.get(); }
    bool shuttingDown() const { return shuttingDown_; }

    // A forwarded command line with files while someone is logged in: the Send-files command.
    std::function<void(const std::vector<std::string>& files)> onSendFiles;
    // A forwarded command line that is not acted on (nobody logged in, or no files).
    std::function<void(const std::string& commandLine)> onForwardIgnored;

  private:
    void serviceForwardedCommandLine();

    const Clock& clock_;
    ClientOptions options_;
    DataPaths paths_;
    std::string commandLine_;
    SessionState state_;
    CoreTables tables_;
    InstanceChannel channel_;
    LoadReport loadReport_;
    std::unique_ptr<StateSaver> saver_;
    bool shuttingDown_ = false;
};

}  // namespace orv

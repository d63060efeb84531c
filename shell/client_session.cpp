#include "shell/client_session.h"

#include <filesystem>

namespace orv {

ClientSession::ClientSession(const Clock& clock, ClientOptions options)
    : clock_(clock),
      options_(std::move(options)),
      paths_(dataPathsFor(options_.dataDir)),
      commandLine_(buildCommandLine(options_.programPath, options_.args)),
      tables_(clock, paths_.mailStore) {
    state_.language = options_.language;
}

ClientSession::~ClientSession() = default;

StartOutcome ClientSession::start() {
    channel_.open(options_.instancePort);
    if (!allowsFurtherInstance(commandLine_)) {
        if (!filesOfCommandLine(commandLine_).empty())
            forwardCommandLine(options_.instancePort, commandLine_);
        if (!channel_.valid()) return StartOutcome::OtherRunning;
    }
    std::error_code ec;
    std::filesystem::create_directories(paths_.folder, ec);
    loadReport_ = loadStateFile(tables_, paths_.configPath);
    state_.directoryServerAddress = directoryServerAddress(tables_);
    saver_ = std::make_unique<StateSaver>(tables_, paths_.configPath, options_.saveDebounceMillis);
    saver_->markClean();
    return StartOutcome::Running;
}

void ClientSession::serviceForwardedCommandLine() {
    auto line = channel_.service(clock_.nowMillis());
    if (!line) return;
    auto files = filesOfCommandLine(*line);
    if (state_.loggedIn() && !files.empty() && onSendFiles) {
        onSendFiles(files);
    } else if (onForwardIgnored) {
        onForwardIgnored(*line);
    }
}

void ClientSession::service() {
    if (shuttingDown_) return;
    serviceForwardedCommandLine();
    if (saver_) saver_->poll();
}

void ClientSession::addPollFds(std::vector<pollfd>& fds) const {
    channel_.addPollFds(fds);
}

int64_t ClientSession::nextDeadlineMillis() const {
    int64_t d = channel_.nextDeadlineMillis();
    if (saver_) {
        int64_t s = saver_->nextDeadlineMillis();
        if (s >= 0 && (d < 0 || s < d)) d = s;
    }
    return d;
}

bool ClientSession::shutdown() {
    if (shuttingDown_) return false;
    shuttingDown_ = true;
    channel_.close();
    return saver_ ? saver_->saveNow() : false;
}

}  // namespace orv

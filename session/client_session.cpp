#include "session/client_session.h"

#include <algorithm>
#include <cstdlib>

#include <filesystem>

namespace orv {

// An account flow with what to do once it has finished.
template <typename Flow, typename Finish>
struct ClientSession::FlowOp final : ClientSession::AccountOp {
    template <typename... A>
    FlowOp(Finish f, A&&... a) : flow(std::forward<A>(a)...), finish(std::move(f)) {}
    bool step() override {
        if (!stepFlow()) return false;
        finish(flow);
        return true;
    }
    bool stepFlow() {
        if constexpr (std::is_same_v<Flow, LoginFlow>)
            return flow.step() != LoginFlow::Result::Running;
        else
            return flow.step();
    }
    const Pollable& pollable() const override { return flow.exchange(); }
    Flow flow;
    Finish finish;
};

ClientSession::ClientSession(const Clock& clock, ClientOptions options, SocketApi* sockets)
    : clock_(clock),
      options_(std::move(options)),
      ownSockets_(sockets ? nullptr : std::make_unique<PosixSocketApi>()),
      sockets_(sockets ? sockets : ownSockets_.get()),
      paths_(dataPathsFor(options_.dataDir)),
      commandLine_(buildCommandLine(options_.programPath, options_.args)),
      tables_(clock, paths_.mailStore) {
    state_.language = options_.language;
}

ClientSession::~ClientSession() {
    op_.reset();
    tasks_.clear();
    relayClient_.reset();
    groups_.reset();
    signing_.reset();
    mail_.reset();
    transfers_.reset();
    share_.reset();
    fileServer_.reset();
    engine_.reset();
    reception_.reset();
    delivery_.reset();
}

bool readClientOption(const std::string& option, const std::function<std::string()>& value,
                      ClientOptions& opt, std::string& user, std::string& password) {
    if (option == "--data-dir")
        opt.dataDir = value();
    else if (option == "--instance-port")
        opt.instancePort = std::atoi(value().c_str());
    else if (option == "--server")
        opt.server = value();
    else if (option == "--user")
        user = value();
    else if (option == "--password")
        password = value();
    else if (option == "--lang")
        opt.language = value() == "en" ? UiLanguage::English : UiLanguage::Chinese;
    else if (option == "--peer-port")
        opt.engine.firstPeerPort = std::atoi(value().c_str());
    else if (option == "--listen")
        opt.engine.listenAddress = value();
    else if (option == "--http-port")
        opt.engine.firstHttpPort = std::atoi(value().c_str());
    else if (option == "--through-relay")
        opt.reachThroughRelay = value() == "on";
    else if (option == "--refuse-listener")
        opt.engine.refuseListener = true;
    else if (option == "--relay-limit")
        opt.engine.relayPassLimitKB = std::max(0, std::atoi(value().c_str()));
    else
        return false;
    return true;
}

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
    if (!options_.server.empty()) {
        // Remembered like the server settings dialog would: host and port apart.
        ConnectTarget t = parseConnectTarget(options_.server, 80);
        tables_.setSettingString(SettingString::ServerHost, t.host);
        // The port as given: 0 would show as 8688 in the dialog, and its OK would move there.
        tables_.setSettingNumber(Setting::ServerPort, t.port);
    }
    if (options_.reachThroughRelay)
        tables_.setSettingNumber(Setting::ReachThroughRelay, *options_.reachThroughRelay ? 1 : 0);
    state_.directoryServerAddress = directoryServerAddress(tables_);
    // What was acknowledged after the last save is in the journal.
    journal_ = std::make_unique<Journal>(paths_.configPath);
    int replayed = journal_->replayAll(tables_);
    saver_ = std::make_unique<StateSaver>(tables_, paths_.configPath, options_.saveDebounceMillis);
    saver_->setJournal(journal_.get());
    if (options_.server.empty() && replayed == 0) saver_->markClean();

    engine_ = std::make_unique<Engine>(tables_, state_, clock_, *sockets_, options_.engine);
    directory_ = std::make_unique<DirectoryClient>(*sockets_, clock_, state_);
    EngineHooks& h = engine_->hooks();
    h.syncPoint = [this] { return journal_->commit(tables_); };
    h.instanceService = [this] { serviceForwardedCommandLine(); };
    delivery_ = std::make_unique<MailDelivery>(*engine_, tables_, state_, clock_);
    delivery_->setAskAddress(
        [this](std::string_view user) { return directory_->askAddress(user); });
    delivery_->setAddressWaits([this](std::string_view user, WaitSet& w) {
        std::vector<PollEntry> e;
        directory_->addAddressWaits(user, e);
        for (const auto& p : e)
            w.want(p.fd, p.events);
    });
    reception_ = std::make_unique<MailReception>(*engine_, tables_, state_, clock_, *delivery_);
    connectMailHooks(*engine_, *delivery_, *reception_);
    relay_ = std::make_unique<Relay>(*engine_, state_, clock_);
    connectRelayHooks(*engine_, *delivery_, *reception_, *relay_);
    mail_ = std::make_unique<MailFacade>(
        tables_, state_, clock_, *engine_, *delivery_, *reception_, *directory_,
        [this](std::unique_ptr<BackgroundTask> task, std::function<void(BackgroundTask&)> done) {
            startTask(std::move(task), std::move(done));
        });
    mail_->openSearchIndex(paths_.folder + "/search.db");
    auto starter = [this](std::unique_ptr<BackgroundTask> task,
                          std::function<void(BackgroundTask&)> done) {
        startTask(std::move(task), std::move(done));
    };
    signing_ = std::make_unique<SigningFacade>(tables_, state_, clock_, *directory_, starter);
    groups_ = std::make_unique<GroupsFacade>(tables_, state_, clock_, *directory_, starter);
    h.groupRefresh = [this] { groups_->step(); };
    h.addWaits = [previous = std::move(h.addWaits), this](WaitSet& w) {
        if (previous) previous(w);
        groups_->addWaits(w);
    };
    share_ = std::make_unique<ShareFacade>(tables_, state_, *engine_, *delivery_, *reception_);
    fileServer_ =
        std::make_unique<FileServer>(tables_, clock_, *sockets_, options_.engine.firstHttpPort);
    connectFileServerHooks(*engine_, *reception_, *fileServer_);
    transfers_ = std::make_unique<TransfersFacade>(tables_, state_, clock_, *engine_, *delivery_,
                                                   *reception_, fileServer_.get());
    // A player's request with a range restarts the preview download there.
    fileServer_->startTransfer = [this](std::string_view remotePath, int64_t offset) {
        transfers_->list().StartTransfer(remotePath, offset);
    };
    fileServer_->pauseTransfer = [this](std::string_view remotePath) {
        transfers_->list().PauseTransfer(remotePath);
    };
    // Previews of the last run go; what was under way is asked for again.
    transfers_->afterLoad();
    h.transferStep = [this] { return transfers_->step(); };
    relayClient_ = std::make_unique<RelayClient>(*directory_, *engine_, state_, clock_);
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

void ClientSession::serviceAccountOp() {
    while (op_) {
        if (!op_->step()) return;
        // The finish callback may have started the next operation; only drop the old one.
        auto done = std::move(op_);
        op_ = std::move(next_);
    }
}

void ClientSession::serviceLoggedInElsewhere() {
    if (!state_.loggedInElsewhere) return;
    state_.loggedInElsewhere = false;
    state_.currentUser.clear();
    state_.events.push(EventKind::LoggedInElsewhere, 0, 0,
                       std::string(pick(state_.language, texts::kLoginElsewhere)));
}

void ClientSession::deliverEvents() {
    // Taken whole first: a listener that runs the event loop (a modal box) services the
    // session again, and must neither see these twice nor reorder them.
    while (!state_.events.empty()) {
        std::vector<SessionEvent> events = state_.events.take();
        for (const SessionEvent& e : events) {
            if (mail_) mail_->noteEvent(e);
            if (onEvent) onEvent(e);
        }
    }
}

ClientSession::PeerStatus ClientSession::peerStatus() const {
    PeerStatus out;
    if (!engine_) return out;
    out.peerPort = engine_->peerPort();
    const PeerLinkTable& lt = engine_->links();
    for (int i = 0; i < lt.count(); ++i)
        out.links.push_back({std::string(lt.names.view(i)), lt.records[i].state, 0});
    Engine& e = *engine_;
    const ConnectAttemptTable& at = e.connectAttempts();
    for (int i = 0; i < at.count(); ++i)
        out.attempts.push_back(
            {std::string(at.names.view(i)), at.records[i].state, at.records[i].time});
    return out;
}

RelayClient::Status ClientSession::relayLinkStatus() const {
    return relayClient_ ? relayClient_->status() : RelayClient::Status{};
}

RelayStatus ClientSession::relayStatus() const {
    if (!relay_) return {};
    return relay_->status();
}

void ClientSession::serviceTasks() {
    for (size_t i = 0; i < tasks_.size();) {
        tasks_[i].stepped = true;
        if (!tasks_[i].task->step()) {
            ++i;
            continue;
        }
        // Out of the list first: `done` may start another task.
        Task t = std::move(tasks_[i]);
        tasks_.erase(tasks_.begin() + static_cast<std::ptrdiff_t>(i));
        if (t.done) t.done(*t.task);
    }
}

void ClientSession::startTask(std::unique_ptr<BackgroundTask> task,
                              std::function<void(BackgroundTask&)> done) {
    if (!task || shuttingDown_) return;
    tasks_.push_back({std::move(task), std::move(done)});
}

void ClientSession::service() {
    if (shuttingDown_ || !engine_) return;
    engine_->EnginePump();
    if (relayClient_) relayClient_->step();
    serviceAccountOp();
    serviceTasks();
    serviceLoggedInElsewhere();
    if (saver_) saver_->poll();
    deliverEvents();
}

void ClientSession::waitSet(WaitSet& out) {
    out.clear();
    if (!engine_) return;
    engine_->waitSet(out);
    if (relayClient_) relayClient_->addWaits(out);
    // The single-instance channel is served whether or not anybody is logged in.
    std::vector<pollfd> fds;
    channel_.addPollFds(fds);
    for (const auto& p : fds)
        out.want(p.fd, kWaitRead);
    out.dueAt(channel_.nextDeadlineMillis());
    if (op_) {
        std::vector<PollEntry> e;
        op_->pollable().addPollEntries(e);
        for (const auto& p : e)
            out.want(p.fd, p.events);
        out.dueAt(op_->pollable().nextDeadlineMillis());
    }
    for (const auto& t : tasks_) {
        std::vector<PollEntry> e;
        t.task->addPollEntries(e);
        for (const auto& p : e)
            out.want(p.fd, p.events);
        out.dueAt(t.stepped ? t.task->nextDeadlineMillis() : clock_.nowMillis());
    }
    if (saver_) out.dueAt(saver_->nextDeadlineMillis());
    // Pushed between services (by a façade called from a command): handed out at once.
    if (!state_.events.empty()) out.dueAt(clock_.nowMillis());
}

bool ClientSession::runOnce(int maxWaitMs, std::vector<PollEntry>* extra) {
    WaitSet w;
    waitSet(w);
    size_t own = w.entries.size();
    if (extra) w.entries.insert(w.entries.end(), extra->begin(), extra->end());
    int64_t wait = maxWaitMs;
    if (w.deadlineMs >= 0)
        wait = std::min<int64_t>(wait, std::max<int64_t>(0, w.deadlineMs - clock_.nowMillis()));
    int n = sockets_->Poll(w.entries, static_cast<int>(wait));
    if (extra) {
        for (size_t i = 0; i < extra->size(); ++i)
            (*extra)[i].revents = w.entries[own + i].revents;
    }
    service();
    return n >= 0;
}

void ClientSession::login(const std::string& user, const std::string& password, bool remember,
                          std::function<void(const LoginOutcome&)> done) {
    engine_->keepListenerOpen();
    LoginFlow::Input in{
        user,
        password,
        remember,
        state_.currentUser,
        state_.currentPassword,
        loginIpValue(tables_, engine_->peerPort(), options_.engine.listenAddress.value_or("")),
        tables_.settingNumber(Setting::ReachThroughRelay) != 0};
    auto finish = [this, user, password, done = std::move(done)](LoginFlow& f) {
        if (f.result() == LoginFlow::Result::LoggedIn) {
            makeLoginCurrent(tables_, state_, user, password);
            groups_->requestSync();
            share_->loggedIn();
            relayClient_->loggedIn();
        }
        if (done) done({f.result(), f.messages()});
    };
    auto op = std::make_unique<FlowOp<LoginFlow, decltype(finish)>>(
        std::move(finish), *directory_, tables_, state_, [this] {
            engine_->onLogin();
            relay_->reset();  // relay mode lasts one login
        });
    op->flow.start(std::move(in));
    schedule(std::move(op));
}

void ClientSession::logout(std::function<void(bool)> done) {
    auto finish = [this, done = std::move(done)](LogoutFlow& f) {
        state_.currentUser.clear();
        state_.currentPassword.clear();
        relayClient_->loggedOut();
        engine_->closeAllLinks();
        if (done) done(f.succeeded());
    };
    auto op =
        std::make_unique<FlowOp<LogoutFlow, decltype(finish)>>(std::move(finish), *directory_);
    op->flow.start(state_.currentUser, state_.currentPassword);
    schedule(std::move(op));
}

void ClientSession::createAccount(const std::string& user, const std::string& password,
                                  const std::string& confirm,
                                  std::function<void(bool, const std::string&)> done) {
    auto finish = [done](CreateAccountFlow& f) {
        if (done) done(f.succeeded(), f.message());
    };
    auto op = std::make_unique<FlowOp<CreateAccountFlow, decltype(finish)>>(finish, *directory_);
    if (!op->flow.start(user, password, confirm)) {
        if (done) done(false, op->flow.message());
        return;
    }
    schedule(std::move(op));
}

void ClientSession::changePassword(const std::string& user, const std::string& oldPassword,
                                   const std::string& newPassword, const std::string& confirm,
                                   std::function<void(bool, const std::string&)> done) {
    auto finish = [this, user, newPassword, done](ChangePasswordFlow& f) {
        if (f.succeeded()) {
            // The remembered login and the current one follow the change, or the next start's
            // login (and this run's logout) would use the old password.
            StringPool& saved = tables_.savedLogin;
            if (saved.count() >= 3 && equalsIgnoreCase(saved.view(0), user)) {
                saved.replaceAt(1, newPassword);
                tables_.noteChange();
            }
            if (equalsIgnoreCase(state_.currentUser, user)) state_.currentPassword = newPassword;
        }
        if (done) done(f.succeeded(), f.message());
    };
    auto op = std::make_unique<FlowOp<ChangePasswordFlow, decltype(finish)>>(finish, *directory_);
    if (!op->flow.start(user, oldPassword, newPassword, confirm)) {
        if (done) done(false, op->flow.message());
        return;
    }
    schedule(std::move(op));
}

void ClientSession::schedule(std::unique_ptr<AccountOp> op) {
    if (op_)
        next_ = std::move(op);  // a finish callback asked for the next step
    else
        op_ = std::move(op);
}

bool ClientSession::shutdown() {
    if (shuttingDown_) return false;
    op_.reset();
    next_.reset();
    tasks_.clear();
    if (engine_ && state_.loggedIn()) {
        LogoutFlow out(*directory_);
        out.start(state_.currentUser, state_.currentPassword);
        while (!out.step())
            waitFor(*sockets_, clock_, out.exchange(), 1000);
    }
    shuttingDown_ = true;
    relayClient_.reset();  // its link goes with a goodbye like every other
    if (engine_) engine_->shutdown();
    if (fileServer_) fileServer_->close();
    state_.events.take();  // nobody listens any more
    channel_.close();
    return saver_ ? saver_->saveNow() : false;
}

}  // namespace orv

#pragma once
// One client session with its pump, for window tests: data in a temporary folder, a free
// instance port, English texts. Windows built on it are members of the deriving test client,
// so they are gone before the pump stops.
#include <QTest>

#include <memory>
#include <string>

#include "session/client_session.h"
#include "session/pump/session_pump.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace orv::test {

struct SessionClient {
    explicit SessionClient(const std::string& user, const std::string& server = {},
                           UiLanguage language = UiLanguage::English) {
        opt.programPath = "orvantel";
        opt.dataDir = dir.file(user.empty() ? "client" : user);
        opt.instancePort = freeLoopbackPort();
        opt.engine.firstHttpPort = freeLoopbackPort();  // the preview server's
        opt.language = language;
        opt.server = server;
        session = std::make_unique<ClientSession>(clock, opt);
        started = session->start() == StartOutcome::Running;
        session->tables().ensureMailStoreFolder();
        session->state().currentUser = user;
        pump = std::make_unique<SessionPump>(*session, clock);
    }
    ~SessionClient() {
        pump->stop();
        session->shutdown();
    }
    SessionClient(const SessionClient&) = delete;
    SessionClient& operator=(const SessionClient&) = delete;

    CoreTables& t() { return session->tables(); }

    // Creates the account at the server and logs in with it, running the event loop meanwhile.
    bool createAndLogIn(const std::string& user, const std::string& password) {
        // Shared flags: an answer arriving after a timeout must not write into a gone frame.
        auto created = std::make_shared<bool>(false), loggedIn = std::make_shared<bool>(false);
        session->createAccount(user, password, password,
                               [created](bool ok, const std::string&) { *created = ok; });
        pump->kick();
        if (!QTest::qWaitFor([&] { return *created; }, 15000)) return false;
        session->login(user, password, false, [loggedIn](const LoginOutcome& o) {
            *loggedIn = o.result == LoginFlow::Result::LoggedIn;
        });
        pump->kick();
        return QTest::qWaitFor([&] { return *loggedIn; }, 15000);
    }

    TempDir dir;
    SystemClock clock;
    ClientOptions opt;
    std::unique_ptr<ClientSession> session;
    std::unique_ptr<SessionPump> pump;
    bool started = false;
};

}  // namespace orv::test

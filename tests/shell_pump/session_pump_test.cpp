// The session runs from the Qt event loop: a login against the real directory server completes
// while the loop stays free, and a logged-in idle client is not serviced in a loop.
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTest>

#include "server/directory_harness.h"
#include "session/pump/session_pump.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

using namespace orv;

class SessionPumpTest : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void loginCompletesAndIdleStaysQuiet() {
        test::TempDir dir;
        test::DirectoryProcess server;
        QVERIFY(server.start(dir.file("directory.sqlite")));

        SystemClock clock;
        ClientOptions opt;
        opt.programPath = "orvantel";
        opt.dataDir = dir.file("carol");
        opt.instancePort = test::freeLoopbackPort();
        opt.server = "127.0.0.1:" + std::to_string(server.port());
        opt.language = UiLanguage::English;
        ClientSession session(clock, opt);
        QCOMPARE(session.start(), StartOutcome::Running);
        SessionPump pump(session, clock);
        pump.kick();

        bool created = false, loggedIn = false;
        session.createAccount("carol", "pw", "pw",
                              [&](bool ok, const std::string&) { created = ok; });
        pump.kick();
        QTRY_VERIFY_WITH_TIMEOUT(created, 15000);
        session.login("carol", "pw", false, [&](const LoginOutcome& o) {
            loggedIn = o.result == LoginFlow::Result::LoggedIn;
        });
        pump.kick();
        QTRY_VERIFY_WITH_TIMEOUT(loggedIn, 15000);
        QCOMPARE(QString::fromStdString(session.state().currentUser), QString("carol"));

        // Idle: the listener and the channel wait in the event loop; only deadlines wake it.
        quint64 before = pump.serviceCount();
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 1500)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        QVERIFY2(
            pump.serviceCount() - before < 30,
            qPrintable(QString("serviced %1 times in 1.5 s").arg(pump.serviceCount() - before)));
        pump.stop();
        QVERIFY(session.shutdown());
    }
};

QTEST_GUILESS_MAIN(SessionPumpTest)
#include "session_pump_test.moc"

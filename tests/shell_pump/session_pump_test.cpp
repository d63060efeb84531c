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

        // Idle: the listener and the channel wait in the event loop; only deadlines wake it,
        // and nothing is announced.
        int events = 0;
        connect(&pump, &SessionPump::sessionEvent, this, [&] { ++events; });
        quint64 before = pump.serviceCount();
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 1500)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        QVERIFY2(
            pump.serviceCount() - before < 30,
            qPrintable(QString("serviced %1 times in 1.5 s").arg(pump.serviceCount() - before)));
        QCOMPARE(events, 0);
        pump.stop();
        QVERIFY(session.shutdown());
    }

    // Events pushed between services reach a Qt listener once each, in order, with the
    // service that follows; later services hand out nothing again.
    void eventsReachTheListenerOnceInOrder() {
        test::TempDir dir;
        SystemClock clock;
        ClientOptions opt;
        opt.programPath = "orvantel";
        opt.dataDir = dir.file("dave");
        opt.instancePort = test::freeLoopbackPort();
        ClientSession session(clock, opt);
        QCOMPARE(session.start(), StartOutcome::Running);
        SessionPump pump(session, clock);
        std::vector<SessionEvent> seen;
        int servicedAfter = 0;
        connect(&pump, &SessionPump::sessionEvent, this,
                [&](const SessionEvent& e) { seen.push_back(e); });
        // The events of a service come before its serviced signal.
        connect(&pump, &SessionPump::serviced, this, [&] {
            if (seen.size() == 3 && servicedAfter == 0) servicedAfter = 1;
        });

        session.state().events.push(EventKind::MailArrived, 1);
        session.state().events.push(EventKind::DeliveryChanged, 2, DeliveryState::AwaitingReply);
        session.state().events.push(EventKind::MailRefused, 3, 0, "nosuchuser");
        pump.kick();
        QTRY_COMPARE_WITH_TIMEOUT(seen.size(), size_t(3), 5000);
        QCOMPARE(servicedAfter, 1);
        QCOMPARE(int(seen[0].kind), int(EventKind::MailArrived));
        QCOMPARE(seen[1].value, int32_t(DeliveryState::AwaitingReply));
        QCOMPARE(seen[2].key, uint64_t(3));
        QCOMPARE(QString::fromStdString(seen[2].text), QString("nosuchuser"));

        const quint64 services = pump.serviceCount();
        for (int i = 0; i < 3; ++i)
            pump.kick();
        QTRY_VERIFY_WITH_TIMEOUT(pump.serviceCount() > services, 5000);
        QCOMPARE(seen.size(), size_t(3));

        // An event pushed from outside a service (a command) still wakes the pump.
        session.state().events.push(EventKind::DeliveryDone, 4);
        WaitSet w;
        session.waitSet(w);
        QVERIFY(w.deadlineMs >= 0 && w.deadlineMs <= clock.nowMillis());
        pump.kick();
        QTRY_COMPARE_WITH_TIMEOUT(seen.size(), size_t(4), 5000);
        pump.stop();
        QVERIFY(session.shutdown());
    }
};

QTEST_GUILESS_MAIN(SessionPumpTest)
#include "session_pump_test.moc"

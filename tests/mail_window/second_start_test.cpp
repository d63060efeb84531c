// A second start of the program with file names while a user is logged in: the running client
// opens one compose window with those files, and the second process ends with 0.
#include <QTest>

#include <filesystem>
#include <fstream>

#include "mail/window/mail_windows.h"
#include "shell/ui/main_window.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

using namespace orv;

class SecondStartTest : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void filesOfASecondStartOpenOneComposeWindow() {
        test::TempDir dir;
        SystemClock clock;
        ClientOptions opt;
        opt.programPath = "orvantel";
        opt.dataDir = dir.file("first");
        opt.language = UiLanguage::English;
        ClientSession session(clock, opt);
        QVERIFY(session.start() == StartOutcome::Running);
        QVERIFY(session.instanceChannelValid());
        session.state().currentUser = "alice";
        SessionPump pump(session, clock);
        MainWindow window(session, pump);
        MailWindows mails(session, pump);
        window.openCompose = [&](const std::vector<std::string>& files) { mails.newMail(files); };
        pump.kick();

        const std::string one = dir.file("report one.txt"), two = dir.file("两个.bin");
        std::ofstream(one) << "1";
        std::ofstream(two) << "2";
        test::ChildProcess second;
        QVERIFY(second.start(test::buildDir() + "/apps/desktop/orvantel",
                             {"--data-dir", dir.file("second"), "--no-home-page", one, two},
                             false));
        QCOMPARE(second.wait(20000), 0);
        QTRY_COMPARE_WITH_TIMEOUT(mails.windows().size(), size_t(1), 10000);
        MailWindow* w = mails.windows().front();
        QCOMPARE(w->mode(), MailWindow::Mode::Compose);
        QCOMPARE(w->attachments(),
                 QStringList({QString::fromStdString(one), QString::fromStdString(two)}));
        QVERIFY(w->isVisible());

        pump.stop();
        session.shutdown();
    }
};

QTEST_MAIN(SecondStartTest)
#include "second_start_test.moc"

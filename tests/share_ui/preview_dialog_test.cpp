// The preview dialog and the share view's Preview command over a real client session: the
// dialog's texts in both languages, the player remembered by "打开", the desktop's default
// player found through xdg-mime and a desktop entry, and the player started with the address.
#include <QAction>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTest>

#include <filesystem>
#include <fstream>

#include "share/ui/preview_dialog.h"
#include "share/ui/share_view.h"
#include "support/session_client.h"
#include "support/temp_dir.h"

using namespace orv;

class PreviewDialogTest : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void textsInBothLanguages() {
        test::SessionClient zh("alice", {}, UiLanguage::Chinese);
        PreviewDialog d(*zh.session, "a.mp4");
        QCOMPARE(d.windowTitle(), QString("预览视频文件..."));
        QCOMPARE(d.chooseButton()->text(), QString("选择播放器"));
        QCOMPARE(d.openButton()->text(), QString("打开"));
        QCOMPARE(d.autoButton()->text(), QString("自动选择"));
        QCOMPARE(d.cancelButton()->text(), QString("取消"));
        test::SessionClient en("alice");
        PreviewDialog e(*en.session, "a.mp4");
        QCOMPARE(e.windowTitle(), QString("Preview Video File..."));
        QCOMPARE(e.chooseButton()->text(), QString("Choose Player"));
        QCOMPARE(e.openButton()->text(), QString("Open"));
        QCOMPARE(e.autoButton()->text(), QString("Auto Select"));
        QCOMPARE(e.cancelButton()->text(), QString("Cancel"));
    }

    void openRemembersThePlayerAutoAndCancelDoNot() {
        test::SessionClient c("alice");
        CoreTables& t = c.session->tables();
        t.setSettingString(SettingString::MediaPlayer, "/usr/bin/old player");
        {
            PreviewDialog d(*c.session, "a.mp4");
            QCOMPARE(d.edit()->text(), QString("/usr/bin/old player"));
            d.pickProgram = [] { return QString("/opt/播放器/play"); };
            QTest::mouseClick(d.chooseButton(), Qt::LeftButton);
            QCOMPARE(d.edit()->text(), QString("/opt/播放器/play"));
            QTest::mouseClick(d.openButton(), Qt::LeftButton);
            QCOMPARE(d.result(), int(QDialog::Accepted));
            QCOMPARE(d.program(), QString("/opt/播放器/play"));
            QCOMPARE(t.settingString(SettingString::MediaPlayer), std::string("/opt/播放器/play"));
        }
        {
            PreviewDialog d(*c.session, "a.mp4");
            QString asked;
            d.lookupDefault = [&](const QString& name, std::function<void(const QString&)> done) {
                asked = name;
                done("/usr/bin/mpv");
            };
            QTest::mouseClick(d.autoButton(), Qt::LeftButton);
            QCOMPARE(asked, QString("a.mp4"));
            QCOMPARE(d.result(), int(QDialog::Accepted));
            QCOMPARE(d.program(), QString("/usr/bin/mpv"));
            QCOMPARE(t.settingString(SettingString::MediaPlayer), std::string("/opt/播放器/play"));
        }
        {
            PreviewDialog d(*c.session, "a.mp4");
            d.edit()->setText("/usr/bin/other");
            QTest::mouseClick(d.cancelButton(), Qt::LeftButton);
            QCOMPARE(d.result(), int(QDialog::Rejected));
            QCOMPARE(t.settingString(SettingString::MediaPlayer), std::string("/opt/播放器/play"));
        }
    }

    void theDesktopDefaultPlayerComesFromXdgMime() {
        QCOMPARE(desktopExecProgram("[Desktop Entry]\nName=P\nExec=vlc --started %U\n"),
                 QString("vlc"));
        QCOMPARE(desktopExecProgram("[Desktop Action x]\nExec=no\n[Desktop Entry]\nExec=\"/opt/My "
                                    "Player/p\" %f\n"),
                 QString("/opt/My Player/p"));
        QCOMPARE(desktopExecProgram("[Desktop Entry]\nName=none\n"), QString());

        if (QStandardPaths::findExecutable("xdg-mime").isEmpty())
            QSKIP("xdg-mime (xdg-utils) is not installed");
        test::TempDir home;
        std::filesystem::create_directories(home.file("data/applications"));
        std::filesystem::create_directories(home.file("config"));
        std::ofstream(home.file("data/applications/orv-test-player.desktop"))
            << "[Desktop Entry]\nType=Application\nName=Test player\nExec=true --play %U\n"
               "MimeType=video/mp4;\n";
        std::ofstream(home.file("config/mimeapps.list"))
            << "[Default Applications]\nvideo/mp4=orv-test-player.desktop\n";
        qputenv("XDG_DATA_HOME", QByteArray::fromStdString(home.file("data")));
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(home.file("config")));
        qputenv("XDG_CURRENT_DESKTOP", "");
        QObject owner;
        auto lookup = [&](const QString& name) {
            QString got = "-";
            lookupDefaultPlayer(&owner, name, [&](const QString& p) { got = p; });
            if (!QTest::qWaitFor([&] { return got != "-"; }, 10000)) return QString("timeout");
            return got;
        };
        QCOMPARE(lookup("clip.MP4"), QStandardPaths::findExecutable("true"));
        QCOMPARE(lookup("no extension"), QString());
        QCOMPARE(lookup("clip.mkv"), QString());  // nothing registered for it here
        for (const char* v : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CURRENT_DESKTOP"})
            qunsetenv(v);
    }

    void previewCommandStartsThePlayerWithTheAddress() {
        test::SessionClient c("alice");
        c.session->share().loggedIn();
        ShareView view(*c.session, *c.pump);
        QStringList messages;
        view.showMessage = [&](const QString& m) { messages << m; };
        ShareStore& s = c.session->tables().share;
        s.AddFolder("/bob/", 0);
        s.AddFolder("/bob/电影/", 0);
        SharedFileRecord r{};
        r.size = 123456;
        s.AddFile("", "first clip.mp4", r, "/bob/电影/");
        s.AddFile("", "second.mp4", r, "/bob/电影/");
        view.syncChildren(view.tree()->topLevelItem(0), true);
        QTreeWidgetItem* folder = view.tree()->topLevelItem(0)->child(1)->child(0);
        QCOMPARE(ShareView::pathOf(folder), std::string("/bob/电影/"));
        view.select(folder);
        view.list()->selectAll();

        QStringList asked;
        std::optional<QString> answer;  // cancelled first
        view.askPlayer = [&](const QString& name) {
            asked << name;
            return answer;
        };
        QStringList started;
        view.startPlayer = [&](const QString& program, const QString& url) {
            started << program << url;
            return true;
        };
        auto preview = [&] {
            QMenu* m = view.listMenu();
            for (QAction* a : m->actions())
                if (a->text() == "Preview Video") a->trigger();
            delete m;
        };
        preview();
        QCOMPARE(asked, QStringList{"first clip.mp4"});
        QVERIFY(started.isEmpty());

        answer = QString("/usr/bin/mpv");
        preview();
        QString url = QString("http://localhost:%1/bob/%E7%94%B5%E5%BD%B1/first%20clip.mp4")
                          .arg(c.session->transfers().httpPort());
        QCOMPARE(started, (QStringList{"/usr/bin/mpv", url}));
        QVERIFY(c.session->transfers().httpPort() >= c.opt.engine.firstHttpPort);
        QVERIFY(messages.isEmpty());
        // The preview waits, paused, until the player asks for data.
        CoreTables& t = c.session->tables();
        QCOMPARE(t.transfers.count(), 1);
        QCOMPARE(t.transfers[0].kind, int32_t(TransferKind::Preview));
        QCOMPARE(t.transfers[0].state, int32_t(TransferState::Paused));
        QCOMPARE(t.transfers[0].total, uint64_t(123456));
        QCOMPARE(std::string(t.transferRemotePaths.view(0)),
                 std::string("/bob/电影/first clip.mp4"));
        QVERIFY(std::string(t.transferLocalPaths.view(0)).ends_with("/first clip.mp4"));

        // A second preview of the same file adds no record and plays the same address.
        started.clear();
        preview();
        QCOMPARE(started, (QStringList{"/usr/bin/mpv", url}));
        QCOMPARE(t.transfers.count(), 1);

        // Nothing to play it with: said, and nothing starts.
        started.clear();
        answer = QString();
        preview();
        QVERIFY(started.isEmpty());
        QCOMPARE(messages.size(), 1);
        QVERIFY(messages[0].contains("No player"));
    }
};

QTEST_MAIN(PreviewDialogTest)
#include "preview_dialog_test.moc"

// The account and settings dialogs driven like a user would: typing into the fields and
// pressing the buttons, against the real directory server for the account operations.
#include <QApplication>
#include <QFontDatabase>
#include <QMessageBox>
#include <QTest>

#include <memory>

#include "qtkit/notice.h"
#include "server/directory_harness.h"
#include "shell/dialogs/login_dialog.h"
#include "shell/dialogs/settings_dialog.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

using namespace orv;

namespace {

// Dismisses every notice that is open and returns their texts.
QStringList takeNotices() {
    QStringList texts;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (box && box->isVisible() && box->objectName() == "orvNotice") {
            texts << box->text();
            box->accept();
        }
    }
    return texts;
}

void typeInto(QLineEdit* edit, const QString& text) {
    edit->clear();
    QTest::keyClicks(edit, text);
}

}  // namespace

class DialogsTest : public QObject {
    Q_OBJECT
  private:
    test::TempDir dir_;
    test::DirectoryProcess server_;
    SystemClock clock_;
    int client_ = 0;

    // A fresh client, or (with `dataDir`) a fresh start of one that ran before.
    std::unique_ptr<ClientSession> newSession(UiLanguage lang = UiLanguage::English,
                                              std::string dataDir = {}) {
        ClientOptions opt;
        opt.programPath = "orvantel";
        opt.dataDir = dataDir.empty() ? dir_.file("client" + std::to_string(++client_)) : dataDir;
        opt.instancePort = test::freeLoopbackPort();
        opt.server = "127.0.0.1:" + std::to_string(server_.port());
        opt.language = lang;
        auto s = std::make_unique<ClientSession>(clock_, opt);
        if (s->start() != StartOutcome::Running) return nullptr;
        return s;
    }

  private Q_SLOTS:
    // A menu caption shown as a dialog title loses its accelerator mark, in both languages.
    void captionsAsTitlesLoseTheirAccelerator() {
        QCOMPARE(captionAsTitle(QString::fromUtf8("保存到(&S)...")),
                 QString::fromUtf8("保存到..."));
        QCOMPARE(captionAsTitle("&Save to..."), QString("Save to..."));
        QCOMPARE(captionAsTitle("Find"), QString("Find"));
    }

    // Without a CJK font every Chinese text renders as empty boxes.
    void aChineseFontIsInstalled() {
        QVERIFY(!QFontDatabase::families(QFontDatabase::SimplifiedChinese).isEmpty());
    }

    void initTestCase() { QVERIFY(server_.start(dir_.file("directory.sqlite"))); }

    void createAccountAndLogInThroughDialogs() {
        auto session = newSession();
        QVERIFY(session);
        SessionPump pump(*session, clock_);
        {
            LoginDialog login(*session, pump);
            login.open();
            QVERIFY(login.userEdit()->text().isEmpty());
            QVERIFY(!login.rememberBox()->isChecked());

            // An empty user name does nothing.
            QTest::mouseClick(login.loginButton(), Qt::LeftButton);
            QVERIFY(!login.busy());
            QVERIFY(login.isVisible());

            QTest::mouseClick(login.newUserButton(), Qt::LeftButton);
            QPointer<CreateAccountDialog> create = login.createAccountDialog();
            QVERIFY(create && create->isVisible());
            QTest::keyClicks(create->userBox()->lineEdit(), "dana");
            QTest::keyClicks(create->passwordEdit(), "s3cret");
            QTest::keyClicks(create->confirmEdit(), "s3cre");
            QTest::mouseClick(create->okButton(), Qt::LeftButton);
            QCOMPARE(create->lastMessage(), QString("Error confirm passwd!"));
            QCOMPARE(takeNotices(), QStringList{"Error confirm passwd!"});
            QVERIFY(create->isVisible());

            typeInto(create->confirmEdit(), "s3cret");
            QTest::mouseClick(create->okButton(), Qt::LeftButton);
            // In flight: the dialog cannot be used or left, yet the loop keeps running.
            QVERIFY(create->busy());
            QVERIFY(!create->okButton()->isEnabled());
            QVERIFY(!create->cancelButton()->isEnabled());
            create->reject();
            QVERIFY(create && create->isVisible());
            QTRY_VERIFY_WITH_TIMEOUT(!create || !create->isVisible(), 15000);
            QCOMPARE(takeNotices(), QStringList{"Register success!"});

            // The same name again is refused, and that dialog stays open.
            QTest::mouseClick(login.newUserButton(), Qt::LeftButton);
            create = login.createAccountDialog();
            QVERIFY(create);
            QTest::keyClicks(create->userBox()->lineEdit(), "dana");
            QTest::keyClicks(create->passwordEdit(), "x");
            QTest::keyClicks(create->confirmEdit(), "x");
            create->okButton()->click();
            QTRY_VERIFY_WITH_TIMEOUT(!create->busy(), 15000);
            QCOMPARE(takeNotices(), QStringList{"User exist,please input another user name!"});
            QVERIFY(create->isVisible());
            QVERIFY(create->okButton()->isEnabled());
            create->cancelButton()->click();
            QTRY_VERIFY_WITH_TIMEOUT(!create, 5000);

            // A wrong password: told, and the dialog stays open and usable.
            QTest::keyClicks(login.userEdit(), "dana");
            QTest::keyClicks(login.passwordEdit(), "wrong");
            QTest::mouseClick(login.loginButton(), Qt::LeftButton);
            QVERIFY(login.busy());
            QVERIFY(!login.cancelButton()->isEnabled());
            QTRY_VERIFY_WITH_TIMEOUT(!login.busy(), 15000);
            QCOMPARE(takeNotices(), QStringList{"Error username or password!"});
            QVERIFY(login.isVisible());
            QVERIFY(login.loginButton()->isEnabled());
            QVERIFY(login.result() != QDialog::Accepted);
            QVERIFY(!session->state().loggedIn());

            typeInto(login.passwordEdit(), "s3cret");
            login.rememberBox()->click();
            QTest::mouseClick(login.loginButton(), Qt::LeftButton);
            QTRY_VERIFY_WITH_TIMEOUT(!login.isVisible(), 15000);
            QCOMPARE(login.result(), int(QDialog::Accepted));
            QCOMPARE(login.loggedInUser(), QString("dana"));
            QCOMPARE(QString::fromStdString(session->state().currentUser), QString("dana"));
            QVERIFY(takeNotices().isEmpty());
        }
        QCOMPARE(session->tables().savedLogin.toVector(),
                 (std::vector<std::string>{"dana", "s3cret", ""}));

        // The next login dialog starts from the remembered login; logging in without remember
        // forgets it.
        {
            LoginDialog again(*session, pump);
            again.open();
            QCOMPARE(again.userEdit()->text(), QString("dana"));
            QCOMPARE(again.passwordEdit()->text(), QString("s3cret"));
            QVERIFY(again.rememberBox()->isChecked());
            again.rememberBox()->click();
            again.loginButton()->click();
            QTRY_VERIFY_WITH_TIMEOUT(!again.isVisible(), 15000);
            QCOMPARE(again.result(), int(QDialog::Accepted));
        }
        QCOMPARE(session->tables().savedLogin.count(), 0);
        pump.stop();
        QVERIFY(session->shutdown());
    }

    void serverSettingsAndPasswordChange() {
        auto session = newSession();
        QVERIFY(session);
        SessionPump pump(*session, clock_);
        const std::string ours = session->state().directoryServerAddress;
        const QString port = QString::number(server_.port());
        CoreTables& t = session->tables();

        // Nothing stored: the built-in host, offered port 8688; OK keeps it that way.
        t.setSettingString(SettingString::ServerHost, "");
        t.setSettingNumber(Setting::ServerPort, 0);
        {
            ServerSettingsDialog d(*session, pump);
            d.open();
            QVERIFY(d.hostEdit()->text().isEmpty());
            QCOMPARE(d.portEdit()->text(), QString("8688"));
            d.okButton()->click();
            QCOMPARE(d.result(), int(QDialog::Accepted));
        }
        QCOMPARE(t.settingNumber(Setting::ServerPort), 8688);
        QCOMPARE(session->state().directoryServerAddress, std::string(kBuiltInDirectoryHost));

        // A port that is no port keeps the dialog open; then back to the test server.
        {
            LoginDialog login(*session, pump);
            login.open();
            login.settingsButton()->click();
            ServerSettingsDialog* d = login.serverSettingsDialog();
            QVERIFY(d && d->isVisible());
            QTest::keyClicks(d->hostEdit(), "127.0.0.1");
            typeInto(d->portEdit(), "80a");
            d->okButton()->click();
            QCOMPARE(takeNotices(), QStringList{"Please enter an integer between 1 and 65535."});
            QVERIFY(d->isVisible());
            typeInto(d->portEdit(), port);
            d->okButton()->click();
            QTRY_VERIFY_WITH_TIMEOUT(!login.serverSettingsDialog(), 5000);
        }
        QCOMPARE(t.settingString(SettingString::ServerHost), std::string("127.0.0.1"));
        QCOMPARE(t.settingNumber(Setting::ServerPort), server_.port());
        QCOMPARE(session->state().directoryServerAddress, ours);

        bool created = false;
        session->createAccount("erin", "old1", "old1",
                               [&](bool ok, const std::string&) { created = ok; });
        pump.kick();
        QTRY_VERIFY_WITH_TIMEOUT(created, 15000);

        ServerSettingsDialog d(*session, pump);
        d.open();
        ChangePasswordPrompts& prompts = d.changePasswordPrompts();
        auto answer = [&](const QString& text) {
            TextPromptDialog* p = prompts.currentPrompt();
            if (!p) return QString();
            QString title = p->windowTitle();
            typeInto(p->edit(), text);
            QTest::mouseClick(p->okButton(), Qt::LeftButton);
            return title;
        };

        // Cancelling a prompt ends the change without a word.
        d.changePasswordButton()->click();
        QVERIFY(prompts.running());
        QVERIFY(!d.okButton()->isEnabled());
        QCOMPARE(answer("erin"), QString("Input User Name"));
        QCOMPARE(prompts.currentPrompt()->windowTitle(), QString("Input Old Password"));
        QCOMPARE(prompts.currentPrompt()->edit()->echoMode(), QLineEdit::Password);
        prompts.currentPrompt()->reject();
        QVERIFY(!prompts.running());
        QVERIFY(d.okButton()->isEnabled());
        QVERIFY(takeNotices().isEmpty());

        // A confirmation one letter off is refused before anything is sent.
        d.changePasswordButton()->click();
        QCOMPARE(answer(""), QString("Input User Name"));  // empty: the prompt stays
        QCOMPARE(prompts.currentPrompt()->windowTitle(), QString("Input User Name"));
        answer("erin");
        answer("old1");
        QCOMPARE(answer("new2"), QString("Input New Password"));
        QCOMPARE(answer("new3"), QString("Confirm New Password"));
        QCOMPARE(prompts.lastMessage(), QString("Input password error!"));
        QCOMPARE(takeNotices(), QStringList{"Input password error!"});

        d.changePasswordButton()->click();
        answer("erin");
        answer("old1");
        answer("new2");
        answer("new2");
        QVERIFY(prompts.running());
        QVERIFY(!d.cancelButton()->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(!prompts.running(), 15000);
        QCOMPARE(takeNotices(), QStringList{"Modify Password success."});
        QVERIFY(d.isVisible());

        // The directory now takes the new password only.
        LoginDialog login(*session, pump);
        login.open();
        QTest::keyClicks(login.userEdit(), "erin");
        QTest::keyClicks(login.passwordEdit(), "old1");
        login.loginButton()->click();
        QTRY_VERIFY_WITH_TIMEOUT(!login.busy(), 15000);
        QCOMPARE(takeNotices(), QStringList{"Error username or password!"});
        typeInto(login.passwordEdit(), "new2");
        login.loginButton()->click();
        QTRY_VERIFY_WITH_TIMEOUT(!login.isVisible(), 15000);
        QCOMPARE(login.result(), int(QDialog::Accepted));

        // A wrong old password is the directory's refusal.
        d.changePasswordButton()->click();
        answer("erin");
        answer("old1");
        answer("new4");
        answer("new4");
        QTRY_VERIFY_WITH_TIMEOUT(!prompts.running(), 15000);
        QCOMPARE(takeNotices(), QStringList{"Fail to Modify Password."});
        pump.stop();
        QVERIFY(session->shutdown());
    }

    // The remembered login follows a password change, so the next start's login (from the
    // remembered user and password, as the dialog offers them) succeeds.
    void rememberedLoginFollowsAPasswordChange() {
        std::string data;
        {
            auto session = newSession();
            QVERIFY(session);
            data = session->paths().folder;
            SessionPump pump(*session, clock_);
            bool created = false;
            session->createAccount("fay", "old1", "old1",
                                   [&](bool ok, const std::string&) { created = ok; });
            pump.kick();
            QTRY_VERIFY_WITH_TIMEOUT(created, 15000);
            LoginDialog login(*session, pump);
            login.open();
            QTest::keyClicks(login.userEdit(), "fay");
            QTest::keyClicks(login.passwordEdit(), "old1");
            login.rememberBox()->setChecked(true);
            login.loginButton()->click();
            QTRY_VERIFY_WITH_TIMEOUT(!login.isVisible(), 15000);
            QCOMPARE(login.result(), int(QDialog::Accepted));

            ServerSettingsDialog d(*session, pump);
            d.open();
            ChangePasswordPrompts& prompts = d.changePasswordPrompts();
            d.changePasswordButton()->click();
            for (const char* text : {"FAY", "old1", "new2", "new2"}) {
                QVERIFY(prompts.currentPrompt());
                typeInto(prompts.currentPrompt()->edit(), text);
                QTest::mouseClick(prompts.currentPrompt()->okButton(), Qt::LeftButton);
            }
            QTRY_VERIFY_WITH_TIMEOUT(!prompts.running(), 15000);
            QCOMPARE(takeNotices(), QStringList{"Modify Password success."});
            QCOMPARE(session->state().currentPassword, std::string("new2"));
            pump.stop();
            QVERIFY(session->shutdown());
        }
        auto again = newSession(UiLanguage::English, data);
        QVERIFY(again);
        SessionPump pump(*again, clock_);
        LoginDialog login(*again, pump);
        login.open();
        QCOMPARE(login.userEdit()->text(), QString("fay"));
        QCOMPARE(login.passwordEdit()->text(), QString("new2"));
        QVERIFY(login.rememberBox()->isChecked());
        login.loginButton()->click();
        QTRY_VERIFY_WITH_TIMEOUT(!login.isVisible(), 15000);
        QCOMPARE(login.result(), int(QDialog::Accepted));
        QVERIFY(takeNotices().isEmpty());
        pump.stop();
        QVERIFY(again->shutdown());
    }

    void settingsRoundTrip() {
        CoreTables t(clock_);
        t.setSettingNumber(Setting::MaxSendPerTransfer, 0);
        t.setSettingNumber(Setting::MaxRecvPerTransfer, 250);
        t.setSettingNumber(Setting::AutoReceiveMB, 10);
        t.setSettingNumber(Setting::NotifyNewMail, 1);
        t.setSettingNumber(Setting::MaxRecvTotal, 40);
        t.setSettingString(SettingString::ReceiveFolder, "/home/dana/in/");
        t.setSettingString(SettingString::FixedAddress, "host.example");
        t.setSettingString(SettingString::EditorFont, "Serif");
        t.setSettingString(SettingString::EditorFontSize, "12");

        {
            SettingsDialog d(t, UiLanguage::English);
            d.open();
            QCOMPARE(d.tabs()->currentIndex(), 0);
            QVERIFY(d.maxSendPerTransferEdit()->text().isEmpty());
            QCOMPARE(d.maxRecvPerTransferEdit()->text(), QString("250"));
            QCOMPARE(d.autoReceiveEdit()->text(), QString("10"));
            QVERIFY(d.notifyNewMailBox()->isChecked());
            QVERIFY(d.maxSendTotalEdit()->text().isEmpty());
            QCOMPARE(d.maxRecvTotalEdit()->text(), QString("40"));
            QCOMPARE(d.receiveFolderEdit()->text(), QString("/home/dana/in/"));
            QCOMPARE(d.fixedAddressEdit()->text(), QString("host.example"));
            QCOMPARE(d.editorFontBox()->currentText(), QString("Serif"));
            QCOMPARE(d.editorFontSizeBox()->currentText(), QString("12"));
            // The Edit tab: every family once, the sizes, the sample and the signature button.
            QStringList families;
            for (int i = 0; i < d.editorFontBox()->count(); ++i)
                families << d.editorFontBox()->itemText(i);
            QCOMPARE(families.removeDuplicates(), qsizetype(0));
            QCOMPARE(d.editorFontSizeBox()->count(), 7);
            QCOMPARE(d.fontSample()->font().pixelSize(), 12);
            d.editorFontSizeBox()->setCurrentText("big");
            QCOMPARE(d.fontSample()->font().pixelSize(), 24);
            d.editorFontSizeBox()->setCurrentText("12");
            QVERIFY(d.fontSample()->toPlainText().startsWith("This is a Sample Text\nhttp://"));
            QWidget* signatureParent = nullptr;
            d.editSignature = [&](QWidget* parent) { signatureParent = parent; };
            d.signatureButton()->click();
            QCOMPARE(signatureParent, &d);
            QVERIFY(!d.fixedAddressEdit()->isEnabled());
            d.useFixedAddressBox()->click();
            QVERIFY(d.fixedAddressEdit()->isEnabled());
            typeInto(d.maxSendPerTransferEdit(), "64");
            d.cancelButton()->click();
        }
        QCOMPARE(t.settingNumber(Setting::MaxSendPerTransfer), 0);
        QCOMPARE(t.settingNumber(Setting::UseFixedAddress), 0);

        {
            SettingsDialog d(t, UiLanguage::English);
            d.open();
            typeInto(d.maxSendPerTransferEdit(), "64");
            d.maxRecvPerTransferEdit()->clear();
            typeInto(d.maxSendTotalEdit(), "fast");
            typeInto(d.maxRecvTotalEdit(), "-5");
            d.useFixedAddressBox()->click();
            typeInto(d.fixedAddressEdit(), "10.0.0.7");
            QCOMPARE(d.reachThroughRelayBox()->text(), QString("Reach me through a relay"));
            QVERIFY(!d.reachThroughRelayBox()->isChecked());
            d.reachThroughRelayBox()->click();
            d.notifyNewMailBox()->click();
            d.editorFontSizeBox()->setCurrentText("14");
            d.folderChosen("/srv/mail");
            QCOMPARE(d.receiveFolderEdit()->text(), QString("/srv/mail/"));
            d.folderChosen("/");
            QCOMPARE(d.receiveFolderEdit()->text(), QString("/"));
            QFileDialog* chooser = d.browseForFolder();
            QVERIFY(chooser && chooser->isVisible());
            chooser->reject();

            // The automatic-receive size must be a whole number.
            d.tabs()->setCurrentIndex(2);
            typeInto(d.autoReceiveEdit(), "ten");
            d.okButton()->click();
            QCOMPARE(takeNotices(), QStringList{"Please enter an integer."});
            QVERIFY(d.isVisible());
            QCOMPARE(d.tabs()->currentIndex(), 0);
            QCOMPARE(t.settingNumber(Setting::MaxSendPerTransfer), 0);
            typeInto(d.autoReceiveEdit(), "25");
            d.okButton()->click();
            QCOMPARE(d.result(), int(QDialog::Accepted));
        }
        QCOMPARE(t.settingNumber(Setting::MaxSendPerTransfer), 64);
        QCOMPARE(t.settingNumber(Setting::MaxRecvPerTransfer), 0);
        QCOMPARE(t.settingNumber(Setting::MaxSendTotal), 0);
        QCOMPARE(t.settingNumber(Setting::MaxRecvTotal), 0);
        QCOMPARE(t.settingNumber(Setting::AutoReceiveMB), 25);
        QCOMPARE(t.settingNumber(Setting::NotifyNewMail), 0);
        QCOMPARE(t.settingNumber(Setting::UseFixedAddress), 1);
        QCOMPARE(t.settingNumber(Setting::ReachThroughRelay), 1);
        QCOMPARE(t.settingString(SettingString::FixedAddress), std::string("10.0.0.7"));
        QCOMPARE(t.settingString(SettingString::ReceiveFolder), std::string("/"));
        QCOMPARE(t.settingString(SettingString::EditorFont), std::string("Serif"));
        QCOMPARE(t.settingString(SettingString::EditorFontSize), std::string("14"));

        // The Chinese build shows the Chinese labels.
        SettingsDialog zh(t, UiLanguage::Chinese);
        QCOMPARE(zh.windowTitle(), QString::fromUtf8("设置"));
        QCOMPARE(zh.tabs()->tabText(0), QString::fromUtf8("普通"));
        QCOMPARE(zh.tabs()->tabText(1), QString::fromUtf8("网络"));
        QCOMPARE(zh.tabs()->tabText(2), QString::fromUtf8("编辑"));
        QCOMPARE(zh.reachThroughRelayBox()->text(), QString::fromUtf8("通过中转服务器联系我"));
        QVERIFY(zh.reachThroughRelayBox()->isChecked());
        QCOMPARE(zh.okButton()->text(), QString::fromUtf8("确定(&O)"));
        QVERIFY(zh.maxSendPerTransferEdit()->text() == "64");
    }

    void chineseLoginRefusal() {
        auto session = newSession(UiLanguage::Chinese);
        QVERIFY(session);
        SessionPump pump(*session, clock_);
        LoginDialog login(*session, pump);
        login.open();
        QCOMPARE(login.windowTitle(), QString::fromUtf8("登录..."));
        QCOMPARE(login.rememberBox()->text(), QString::fromUtf8("记住用户名和密码"));
        QTest::keyClicks(login.userEdit(), "nobody");
        QTest::keyClicks(login.passwordEdit(), "x");
        login.loginButton()->click();
        QTRY_VERIFY_WITH_TIMEOUT(!login.busy(), 15000);
        QCOMPARE(takeNotices(),
                 QStringList{QString::fromUtf8("登录失败，请检查用户名、密码是否正确！")});
        QVERIFY(login.isVisible());
        pump.stop();
        QVERIFY(session->shutdown());
    }
};

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"

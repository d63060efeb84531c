// What a user reads and presses: under English no Chinese character anywhere in the main
// window, its menus, the tray, the account and settings dialogs and the mail window; under
// Chinese the fixed Chinese texts; one product name; the keys of desktop mail clients.
#include <QAbstractButton>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTableView>
#include <QTest>

#include "core/format.h"
#include "mail/dialogs/recipient_chooser.h"
#include "mail/dialogs/send_options_dialog.h"
#include "mail/window/mail_windows.h"
#include "shell/dialogs/create_account_dialog.h"
#include "shell/dialogs/login_dialog.h"
#include "shell/dialogs/server_settings_dialog.h"
#include "shell/dialogs/settings_dialog.h"
#include "shell/ui/mail_list_model.h"
#include "shell/ui/main_window.h"
#include "support/session_client.h"

using namespace orv;

namespace {

struct Client : test::SessionClient {
    explicit Client(UiLanguage lang) : SessionClient("alice", {}, lang) {
        window = std::make_unique<MainWindow>(*session, *pump);
        window->openLoginDialog = [] {};
        QCoreApplication::processEvents();
    }
    void received(uint64_t key, const std::string& subject) {
        MailRecord r{};
        r.key = key;
        r.kind = MailKind::Inbox;
        r.created = 1'000'000;
        int m = t().appendMail(r, subject);
        t().appendReceivedRecipient(m, "alice", "bob");
        t().appendRecvAddress(m, "alice");
    }
    std::unique_ptr<MainWindow> window;
};

bool hasHan(const QString& s) {
    for (QChar c : s) {
        const char16_t u = c.unicode();
        if ((u >= 0x4E00 && u <= 0x9FFF) || (u >= 0x3000 && u <= 0x303F) ||
            (u >= 0xFF00 && u <= 0xFFEF))
            return true;
    }
    return false;
}

QStringList actionTexts(const QList<QAction*>& actions) {
    QStringList out;
    for (QAction* a : actions)
        if (!a->isSeparator()) out << a->text();
    return out;
}

// Every text a widget and its children show: titles, labels, buttons, tabs, group boxes,
// placeholders, table headers and the actions they carry.
QStringList widgetTexts(QWidget* top) {
    QStringList out{top->windowTitle()};
    QList<QWidget*> all = top->findChildren<QWidget*>();
    all.prepend(top);
    for (QWidget* w : all) {
        if (!w->toolTip().isEmpty()) out << w->toolTip();
        out << actionTexts(w->actions());
        if (auto* l = qobject_cast<QLabel*>(w)) out << l->text();
        if (auto* b = qobject_cast<QAbstractButton*>(w)) out << b->text();
        if (auto* e = qobject_cast<QLineEdit*>(w)) out << e->placeholderText();
        if (auto* g = qobject_cast<QGroupBox*>(w)) out << g->title();
        if (auto* t = qobject_cast<QTabWidget*>(w))
            for (int i = 0; i < t->count(); ++i)
                out << t->tabText(i);
        if (auto* v = qobject_cast<QTableView*>(w); v && v->model())
            for (int i = 0; i < v->model()->columnCount(); ++i)
                out << v->model()->headerData(i, Qt::Horizontal).toString();
    }
    return out;
}

QStringList withHan(const QStringList& texts) {
    QStringList out;
    for (const QString& t : texts)
        if (hasHan(t)) out << t;
    return out;
}

}  // namespace

class TextsTest : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void englishShowsNoChineseAnywhere() {
        Client c(UiLanguage::English);
        c.received(1, "hello");
        QStringList texts;
        for (int id : {Cmd::ShowInbox, Cmd::ShowOutbox, Cmd::ShowSent, Cmd::ShowTrash,
                       Cmd::ShowDrafts, Cmd::ShowShare, Cmd::ShowTransfer}) {
            c.window->command(id);
            texts << widgetTexts(c.window.get());
            texts << actionTexts(c.window->buildListMenu()->actions());
            texts << c.window->captionText();
        }
        texts << actionTexts(c.window->buildFilterMenu()->actions());
        texts << actionTexts(c.window->trayMenu()->actions());
        texts << c.window->trayIcon()->toolTip();
        QCOMPARE(withHan(texts), QStringList());

        // The dialogs a user meets.
        LoginDialog login(*c.session, *c.pump);
        SettingsDialog settings(c.t(), UiLanguage::English);
        ServerSettingsDialog server(*c.session, *c.pump);
        CreateAccountDialog create(*c.session, *c.pump);
        SendOptionsDialog options(0, UiLanguage::English);
        RecipientChooserDialog chooser(c.t(), "bob", UiLanguage::English);
        ContactEditorDialog contacts(c.t(), UiLanguage::English);
        MailWindows mails(*c.session, *c.pump);
        MailWindow* compose = mails.newMail({});
        QVERIFY(compose);
        AttachmentRecord file{};
        file.total = 1536;
        c.t().mails[0].size += file.total;
        c.t().appendAttachment(0, "report.pdf", "report.pdf", file);
        MailWindow* read = mails.mailCommand(Cmd::Open, {1, MailKind::Inbox, 0});
        QVERIFY(read);
        // The read window shows when the mail was sent and how big each file is.
        QCOMPARE(read->timeText()->text(), QString::fromStdString(FormatTime(1'000'000)));
        QVERIFY(read->timeText()->isVisibleTo(read));
        QCOMPARE(read->attachmentList()->item(0)->text(), QString("report.pdf  (1.4KB)"));
        QCOMPARE(read->attachments(), QStringList{"report.pdf"});
        for (QWidget* w : std::initializer_list<QWidget*>{
                 &login, &settings, &server, &create, &options, &chooser, &contacts, compose, read})
            QCOMPARE(withHan(widgetTexts(w)), QStringList());

        // The one product name; the Drafts folder says what it holds.
        QCOMPARE(c.window->trayIcon()->toolTip(), QString("Orvantel"));
        QCOMPARE(c.window->windowTitle(), QString("Orvantel"));
        QCOMPARE(actionTexts(c.window->trayMenu()->actions()),
                 QStringList({"&About Orvantel...", "Open Orvantel", "Visit Home Page", "E&xit"}));
        QCOMPARE(c.window->button(Cmd::ShowDrafts)->text(), QString("Drafts"));
        c.window->command(Cmd::ShowInbox);
        QCOMPARE(actionTexts(c.window->buildListMenu()->actions()),
                 QStringList({"&Open", "&Reply to Sender", "Reply &All", "&Forward", "&Delete",
                              "Add Sender to Contacts", "&View Sign Status", "&Sign Mail"}));
    }

    void chineseShowsTheFixedTexts() {
        Client c(UiLanguage::Chinese);
        c.window->command(Cmd::ShowInbox);
        auto menu = c.window->buildListMenu();
        QCOMPARE(actionTexts(menu->actions()),
                 QStringList({"打开(&O)", "答复发件人(&R)", "全部答复(&A)", "转发(&F)", "删除(&D)",
                              "发件人添加到联系人列表", "察看签收状态(&V)", "签收邮件(&S)"}));
        // Reply all is greyed outside the Inbox, like reply and forward.
        QVERIFY(menu->actions()[3]->isEnabled());
        c.window->command(Cmd::ShowOutbox);
        menu = c.window->buildListMenu();
        QVERIFY(!menu->actions()[3]->isEnabled());
        QCOMPARE(menu->actions()[3]->data().toInt(), int(Cmd::ReplyAll));
        c.window->command(Cmd::ShowTrash);
        QCOMPARE(actionTexts(c.window->buildListMenu()->actions()),
                 QStringList({"删除", "恢复", "全部删除", "全部恢复"}));
        QCOMPARE(actionTexts(c.window->buildFilterMenu()->actions()),
                 QStringList({"所有邮件", "个人邮件", "公告通知", "新闻"}));
        QCOMPARE(actionTexts(c.window->trayMenu()->actions()),
                 QStringList({"关于Orvantel(&A)...", "打开Orvantel", "访问主页", "退出(&X)"}));
        QCOMPARE(c.window->trayIcon()->toolTip(), QString("Orvantel"));
        QCOMPARE(c.window->button(Cmd::ShowDrafts)->text(), QString("草稿箱"));
        QCOMPARE(c.window->button(Cmd::NewMail)->text(), QString("写邮件"));
        c.window->command(Cmd::ShowDrafts);
        QCOMPARE(c.window->captionText(), QString("草稿箱"));
        QString title, label;
        c.window->askKeyword = [&]() -> std::optional<QString> { return std::nullopt; };
        LoginDialog login(*c.session, *c.pump);
        QCOMPARE(login.windowTitle(), QString("登录..."));
        QCOMPARE(login.rememberBox()->text(), QString("记住用户名和密码"));
    }

    // No home page unless the user sets one: nothing to open, nothing shown for it.
    void theHomePageIsASettingEmptyByDefault() {
        Client c(UiLanguage::English);
        QList<QUrl> opened;
        c.window->openUrl = [&](const QUrl& u) { opened << u; };
        c.window->show();
        QVERIFY(!c.window->button(Cmd::HomePage)->isVisible());
        QVERIFY(!c.window->trayMenu()->actions()[2]->isVisible());
        c.window->command(Cmd::HomePage);
        c.window->command(Cmd::HomePageTray);
        QVERIFY(opened.isEmpty());
        c.t().setSettingString(SettingString::HomePage, "https://intranet.example/");
        c.window->refreshHomePage();
        QVERIFY(c.window->button(Cmd::HomePage)->isVisible());
        QVERIFY(c.window->trayMenu()->actions()[2]->isVisible());
        c.window->command(Cmd::HomePage);
        QCOMPARE(opened, QList<QUrl>{QUrl("https://intranet.example/")});
    }

    void keysActOnTheList() {
        Client c(UiLanguage::English);
        c.received(1, "one");
        c.received(2, "two");
        QList<int> mailCommands;
        int composes = 0, finds = 0;
        c.window->mailCommand = [&](int id, const MailRef&) { mailCommands << id; };
        c.window->openCompose = [&](const std::vector<std::string>&) { ++composes; };
        c.window->askKeyword = [&]() -> std::optional<QString> {
            ++finds;
            return std::nullopt;
        };
        c.window->show();
        c.window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(c.window.get()));
        c.window->command(Cmd::ShowInbox);
        QTableView* list = c.window->mailList();
        list->setFocus();
        list->selectRow(0);
        QTest::keyClick(list, Qt::Key_Return);
        QCOMPARE(mailCommands, QList<int>{Cmd::Open});
        QTest::keyClick(list, Qt::Key_R, Qt::ControlModifier);
        QCOMPARE(mailCommands, (QList<int>{Cmd::Open, Cmd::Reply}));
        QTest::keyClick(list, Qt::Key_N, Qt::ControlModifier);
        QCOMPARE(composes, 1);
        QTest::keyClick(list, Qt::Key_F, Qt::ControlModifier);
        QCOMPARE(finds, 1);
        // Delete: to the Trash, and from there for good (asking only about received files).
        QTest::keyClick(list, Qt::Key_Delete);
        QCOMPARE(c.window->mailModel().rowCount(), 1);
        c.window->command(Cmd::ShowTrash);
        QCOMPARE(c.window->mailModel().rowCount(), 1);
        list->setFocus();
        list->selectRow(0);
        QTest::keyClick(list, Qt::Key_Delete);
        QCOMPARE(c.window->mailModel().rowCount(), 0);
        QCOMPARE(c.t().mails.count(), 1);
    }

    // Column widths are kept per view across starts; the last column takes the rest.
    void columnWidthsSurviveARestart() {
        // The first run stays in scope: its temporary folder holds the state file.
        Client c(UiLanguage::English);
        c.window->resize(900, 600);
        c.window->show();
        c.window->command(Cmd::ShowOutbox);
        QHeaderView* first = c.window->mailList()->horizontalHeader();
        QVERIFY(first->stretchLastSection());
        first->resizeSection(0, 123);
        first->resizeSection(2, 234);
        c.window->command(Cmd::ShowInbox);
        first->resizeSection(1, 77);
        c.window->close();
        c.pump->stop();
        QVERIFY(c.session->shutdown());

        ClientOptions opt = c.opt;
        opt.instancePort = test::freeLoopbackPort();
        SystemClock clock;
        ClientSession session(clock, opt);
        QVERIFY(session.start() == StartOutcome::Running);
        SessionPump pump(session, clock);
        {
            MainWindow w(session, pump);
            w.openLoginDialog = [] {};
            QHeaderView* h = w.mailList()->horizontalHeader();
            QCOMPARE(h->sectionSize(1), 77);
            w.command(Cmd::ShowOutbox);
            QCOMPARE(h->sectionSize(0), 123);
            QCOMPARE(h->sectionSize(2), 234);
        }
        pump.stop();
        session.shutdown();
    }

    // Closing a compose window with changes asks: stay, discard, or keep a draft.
    void closingAChangedMailAsks() {
        Client c(UiLanguage::English);
        MailWindows mails(*c.session, *c.pump);
        int asked = 0;
        MailWindow::UnsavedAnswer answer = MailWindow::UnsavedAnswer::Stay;
        auto open = [&] {
            MailWindow* w = mails.newMail({});
            w->askUnsaved = [&] {
                ++asked;
                return answer;
            };
            w->showMessage = [](const QString&) {};
            return QPointer<MailWindow>(w);
        };
        // Untouched: closes without a question.
        QPointer<MailWindow> w = open();
        QVERIFY(w->close());
        QCOMPARE(asked, 0);
        w = open();
        w->textField()->setPlainText("half a thought");
        QVERIFY(!w->close());
        QCOMPARE(asked, 1);
        QVERIFY(w->isVisible());
        answer = MailWindow::UnsavedAnswer::Save;
        QVERIFY(w->close());
        QCOMPARE(asked, 2);
        QCOMPARE(c.session->mail().view(View::Drafts, 0).size(), size_t(1));
        w = open();
        w->toField()->setText("bob");
        answer = MailWindow::UnsavedAnswer::Discard;
        QVERIFY(w->close());
        QCOMPARE(asked, 3);
        QCOMPARE(c.session->mail().view(View::Drafts, 0).size(), size_t(1));
    }

    // New Mail with nobody logged in asks for the login instead of writing a mail of nobody.
    void newMailAsksForALoginFirst() {
        Client c(UiLanguage::English);
        c.session->state().currentUser.clear();
        int logins = 0, composes = 0;
        QStringList messages;
        c.window->openLoginDialog = [&] { ++logins; };
        c.window->openCompose = [&](const std::vector<std::string>&) { ++composes; };
        c.window->showMessage = [&](const QString& m) { messages << m; };
        c.window->command(Cmd::NewMail);
        QCOMPARE(composes, 0);
        QCOMPARE(logins, 1);
        QCOMPARE(messages, QStringList{"Please log in first."});
    }
};

QTEST_MAIN(TextsTest)
#include "texts_test.moc"

// The main window over a real client session: the rows of each folder, moving and deleting
// mails, sorting, the search, the placement rules, and a mail from another client process.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>

#include <filesystem>
#include <fstream>

#include "core/mail_queries.h"
#include "mail/window/mail_windows.h"
#include "qtkit/window_placement.h"
#include "server/directory_harness.h"
#include "shell/ui/mail_list_model.h"
#include "shell/ui/main_window.h"
#include "support/child_process.h"
#include "support/session_client.h"
#include "support/temp_dir.h"

using namespace orv;
namespace fs = std::filesystem;

namespace {

// One client with its window, for user `user`, not logged in to any server.
struct Client : test::SessionClient {
    explicit Client(const std::string& user, const std::string& server = {})
        : SessionClient(user, server) {
        window = std::make_unique<MainWindow>(*session, *pump);
        // Lets the window run its posted Login command before the test drives it.
        QCoreApplication::processEvents();
    }

    int received(uint64_t key, const std::string& from, const std::vector<std::string>& to,
                 const std::string& subject, uint32_t flags = 0, int32_t created = 1'000'000) {
        MailRecord r{};
        r.key = key;
        r.kind = MailKind::Inbox;
        r.flags = flags;
        r.created = created;
        int m = t().appendMail(r, subject);
        for (const auto& n : to) {
            t().appendReceivedRecipient(m, n, from);
            t().appendRecvAddress(m, n);
        }
        return m;
    }
    int outgoing(uint64_t key, int32_t kind, const std::string& from, const std::string& to,
                 const std::string& subject) {
        MailRecord r{};
        r.key = key;
        r.kind = kind;
        r.created = 1'000'000;
        r.recipientCount = 1;
        int m = t().appendMail(r, subject);
        t().appendDelivery(m, to, from);
        t().appendOutAddress(m, to);
        t().mails[m].kind = kind;
        return m;
    }
    void file(int m, const std::string& path, int64_t size, int32_t attFlags = 0) {
        AttachmentRecord a{};
        a.total = a.done = size;
        a.attFlags = attFlags;
        t().mails[m].size += size;
        t().appendAttachment(m, path, fs::path(path).filename().string(), a);
    }
    void click(int commandId) { window->button(commandId)->click(); }
    int rows() { return window->mailModel().rowCount(); }
    QString cell(int row, int col) { return window->mailModel().cellText(row, col); }
    QStringList column(int col) {
        QStringList out;
        for (int r = 0; r < rows(); ++r)
            out << cell(r, col);
        return out;
    }

    std::unique_ptr<MainWindow> window;
};

void write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
  private Q_SLOTS:

    // Another machine logged in with this user: the message, nobody current, the login again.
    void loggedInElsewhereShowsTheMessageAndAsksForALogin() {
        Client c("alice");
        QVERIFY(c.started);
        QStringList messages;
        int logins = 0;
        c.window->showMessage = [&](const QString& t) { messages << t; };
        c.window->openLoginDialog = [&] { ++logins; };
        c.pump->kick();
        QTRY_VERIFY_WITH_TIMEOUT(c.session->engine().peerListener() != kInvalidSocket, 5000);

        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(c.session->engine().peerPort()));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QCOMPARE(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        const int32_t message[2] = {20, 0};  // "logged in elsewhere", no body
        QCOMPARE(::write(fd, message, sizeof message), ssize_t(sizeof message));

        QTRY_VERIFY_WITH_TIMEOUT(!messages.isEmpty(), 10000);
        QCOMPARE(messages, QStringList({"This user login on another machine!"}));
        QCOMPARE(logins, 1);
        QVERIFY(c.session->state().currentUser.empty());
        ::close(fd);
    }
    void foldersShowTheirMailsAndTheInboxFilters() {
        Client c("alice");
        QVERIFY(c.started);
        c.received(1, "bob", {"alice"}, "plain");
        c.received(2, "bob", {"carol"}, "only for carol");
        c.received(3, "bob", {"alice", "carol"}, "notice", MailFlags::announce);
        c.received(4, "bob", {"ALICE"}, "board", MailFlags::bulletin);
        c.received(5, "bob", {"alice"}, "paper", MailFlags::news | MailFlags::urgent);
        c.outgoing(6, MailKind::Outbox, "alice", "bob", "waiting");
        c.outgoing(7, MailKind::Sent, "alice", "bob", "gone");
        c.outgoing(8, MailKind::Sent, "carol", "bob", "carol's");
        c.outgoing(9, 26, "alice", "bob", "draft");
        c.click(Cmd::ShowInbox);

        QCOMPARE(c.window->currentView(), int(View::Inbox));
        QCOMPARE(c.window->captionText(), QString("In"));
        QVERIFY(c.window->button(Cmd::FilterButton)->isVisibleTo(c.window.get()));
        QCOMPARE(c.window->button(Cmd::FilterButton)->text(), QString("All Mail"));
        QCOMPARE(c.window->mailModel().headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(),
                 QString("From"));
        // Newest first; carol's mail and the announcement stay out.
        QCOMPARE(c.column(2), QStringList({"paper", "board", "plain"}));
        QCOMPARE(c.cell(0, 1), QString("News,Urgent"));

        c.window->command(Cmd::FilterNotice);
        QCOMPARE(c.column(2), QStringList({"notice"}));
        QCOMPARE(c.window->button(Cmd::FilterButton)->text(), QString("All Mail"));
        c.window->command(Cmd::FilterPrivate);
        QCOMPARE(c.column(2), QStringList({"plain"}));
        QCOMPARE(c.window->button(Cmd::FilterButton)->text(), QString("Private Mail"));
        QCOMPARE(c.t().settingNumber(Setting::InboxCategory), int(InboxCategory::Private));
        c.window->command(Cmd::FilterBulletin);
        QCOMPARE(c.column(2), QStringList({"board"}));
        c.window->command(Cmd::FilterNews);
        QCOMPARE(c.column(2), QStringList({"paper"}));
        c.window->command(Cmd::FilterAll);

        c.click(Cmd::ShowOutbox);
        QCOMPARE(c.column(2), QStringList({"waiting"}));
        QVERIFY(!c.window->button(Cmd::FilterButton)->isVisibleTo(c.window.get()));
        c.click(Cmd::ShowSent);
        QCOMPARE(c.column(2), QStringList({"gone"}));
        QCOMPARE(c.cell(0, 0), QString("bob"));
        c.click(Cmd::ShowDrafts);
        QCOMPARE(c.column(2), QStringList({"draft"}));
        c.click(Cmd::ShowTrash);
        QCOMPARE(c.rows(), 0);
        QCOMPARE(c.window->captionText(), QString("Trash"));

        // The child pages take the place of the list.
        c.click(Cmd::ShowShare);
        QVERIFY(c.window->mailList()->isHidden());
        QVERIFY(!c.window->childPage(View::ShareFile)->isHidden());
        c.window->command(Cmd::ShowGroup);
        QVERIFY(c.window->childPage(View::ShareFile)->isHidden());
        QVERIFY(!c.window->childPage(View::Group)->isHidden());
        c.click(Cmd::ShowTransfer);
        QCOMPARE(c.window->captionText(), QString("Transfer"));

        // The menus grey what does not apply.
        auto enabled = [&](int id) {
            auto menu = c.window->buildListMenu();
            for (QAction* a : menu->actions())
                if (a->data().toInt() == id) return a->isEnabled();
            return false;
        };
        c.click(Cmd::ShowSent);
        QVERIFY(!enabled(Cmd::Reply));
        QVERIFY(!enabled(Cmd::SignMail));
        QVERIFY(enabled(Cmd::SignStatus));
        c.click(Cmd::ShowInbox);
        QVERIFY(enabled(Cmd::Reply));
        QVERIFY(!enabled(Cmd::SignStatus));
        c.click(Cmd::ShowTrash);
        QCOMPARE(c.window->buildListMenu()->actions().size(), 4);
    }

    void deleteRestoreAndDeleteForGoodAskOnce() {
        Client c("alice");
        std::string recv = c.dir.file("incoming");
        fs::create_directories(recv);
        c.t().setSettingString(SettingString::ReceiveFolder, recv);
        std::vector<std::string> files;
        for (int i = 0; i < 3; ++i) {
            int m = c.received(10 + i, "bob", {"alice"}, "mail " + std::to_string(i));
            files.push_back(recv + "/att" + std::to_string(i) + ".bin");
            write(files.back(), "data");
            c.file(m, files.back(), 4);
        }
        c.outgoing(20, MailKind::Sent, "alice", "bob", "sent one");
        int asked = 0;
        c.window->askDeleteFiles = [&] {
            ++asked;
            return true;
        };

        c.click(Cmd::ShowInbox);
        QCOMPARE(c.rows(), 3);
        c.window->mailList()->selectAll();
        c.window->command(Cmd::Delete);
        QCOMPARE(c.rows(), 0);
        c.click(Cmd::ShowSent);
        c.window->mailList()->selectRow(0);
        c.window->command(Cmd::Delete);
        c.click(Cmd::ShowTrash);
        QCOMPARE(c.rows(), 4);
        QCOMPARE(asked, 0);

        // Restore the sent mail (the newest row): it was delivered, so it goes back to Sent.
        c.t().deliveries[c.t().mailDeliveries(3)[0]].state = 9;
        QCOMPARE(c.cell(0, 3), QString("sent one"));
        c.window->mailList()->selectRow(0);
        c.window->command(Cmd::Restore);
        QCOMPARE(c.rows(), 3);
        c.click(Cmd::ShowSent);
        QCOMPARE(c.column(2), QStringList({"sent one"}));

        // Three received mails deleted for good with one command: one question.
        c.click(Cmd::ShowTrash);
        c.window->mailList()->selectAll();
        c.window->command(Cmd::Delete);
        QCOMPARE(asked, 1);
        QCOMPARE(c.rows(), 0);
        for (const auto& f : files)
            QVERIFY2(!fs::exists(f), f.c_str());
        QCOMPARE(c.t().mails.count(), 1);

        // Delete all and Restore all act on the whole Trash; No keeps the received files.
        for (int i = 0; i < 2; ++i) {
            int m = c.received(30 + i, "bob", {"alice"}, "again");
            files[i] = recv + "/again" + std::to_string(i);
            write(files[i], "x");
            c.file(m, files[i], 1);
            c.t().mails[m].kind = MailKind::TrashReceived;
        }
        c.window->showView(View::Trash);
        QCOMPARE(c.rows(), 2);
        c.window->command(Cmd::RestoreAll);
        QCOMPARE(c.rows(), 0);
        c.click(Cmd::ShowInbox);
        QCOMPARE(c.rows(), 2);
        c.window->mailList()->selectAll();
        c.window->command(Cmd::Delete);
        c.click(Cmd::ShowTrash);
        c.window->askDeleteFiles = [&] {
            ++asked;
            return false;
        };
        c.window->command(Cmd::DeleteAll);
        QCOMPARE(asked, 2);
        QCOMPARE(c.rows(), 0);
        QVERIFY(fs::exists(files[0]) && fs::exists(files[1]));
    }

    void headerClicksSortByTimeAndSize() {
        Client c("alice");
        const int32_t times[] = {3000, 1000, 2000};
        const int64_t sizes[] = {10, 5000, 2'000'000};
        for (int i = 0; i < 3; ++i) {
            int m = c.received(40 + i, "bob", {"alice"}, "s" + std::to_string(i), 0, times[i]);
            c.file(m, c.dir.file("f" + std::to_string(i)), sizes[i]);
        }
        c.window->resize(900, 500);
        c.window->show();
        c.click(Cmd::ShowInbox);
        QHeaderView* h = c.window->mailList()->horizontalHeader();
        auto clickColumn = [&](int pos) {
            QTest::mouseClick(h->viewport(), Qt::LeftButton, {},
                              QPoint(h->sectionViewportPosition(pos) + 5, h->height() / 2));
        };
        QCOMPARE(c.column(2), QStringList({"s2", "s1", "s0"}));
        clickColumn(4);  // Time
        QCOMPARE(c.window->sortColumn(), 4);
        QCOMPARE(c.column(2), QStringList({"s1", "s2", "s0"}));
        clickColumn(4);
        QVERIFY(c.window->sortDescending());
        QCOMPARE(c.column(2), QStringList({"s0", "s2", "s1"}));
        clickColumn(5);  // Size: by value, not by its text
        QCOMPARE(c.column(5), QStringList({"10 Byte", "4.8KB", "1.9MB"}));
        clickColumn(5);
        QCOMPARE(c.column(5), QStringList({"1.9MB", "4.8KB", "10 Byte"}));
        // Another view starts unsorted.
        c.click(Cmd::ShowTrash);
        QCOMPARE(c.window->sortColumn(), -1);
    }

    void placementAndColumnWidthsPersist() {
        // The rules themselves.
        QVERIFY(placementUsable({-10, 0, 100, 100}));
        QVERIFY(placementUsable({2999, 2999, 2999, 1}));
        QVERIFY(!placementUsable({-11, 0, 100, 100}));
        QVERIFY(!placementUsable({0, 3000, 100, 100}));
        QVERIFY(!placementUsable({0, 0, 0, 100}));
        QVERIFY(!placementUsable({0, 0, 100, 3000}));

        Client c("alice");
        CoreTables& t = c.t();
        auto place = [&](int l, int top, int w, int h, int max) {
            t.setSettingNumber(Setting::WindowLeft, l);
            t.setSettingNumber(Setting::WindowTop, top);
            t.setSettingNumber(Setting::WindowWidth, w);
            t.setSettingNumber(Setting::WindowHeight, h);
            t.setSettingNumber(Setting::WindowMaximized, max);
        };
        place(30, 40, 700, 500, 0);
        c.window->showPlaced();
        QCOMPARE(c.window->geometry(), QRect(30, 40, 700, 500));
        // Ignored placements (and a first start, with nothing stored) keep the window's size
        // and centre it, title bar on the screen.
        const QSize before = c.window->size();
        const QPoint middle = QGuiApplication::primaryScreen()->availableGeometry().center();
        for (auto bad : {WindowRect{-11, 40, 700, 500}, WindowRect{30, 40, 0, 500},
                         WindowRect{30, 40, 700, 3000}, WindowRect{0, 0, 0, 0}}) {
            place(bad.left, bad.top, bad.width, bad.height, 0);
            c.window->move(0, 0);
            c.window->showPlaced();
            QCOMPARE(c.window->size(), before);
            QVERIFY((c.window->frameGeometry().center() - middle).manhattanLength() <= 40);
            QVERIFY(c.window->frameGeometry().top() >= 0);
        }

        // Widths follow the view's settings numbers; view 8 borrows the Trash's and keeps them.
        c.received(50, "bob", {"alice"}, "w");
        c.click(Cmd::ShowInbox);
        QHeaderView* h = c.window->mailList()->horizontalHeader();
        h->resizeSection(2, 321);
        c.click(Cmd::ShowTrash);
        QCOMPARE(t.settingNumber(1), 321);
        h->resizeSection(0, 111);
        c.click(Cmd::ShowInbox);
        QCOMPARE(t.settingNumber(8), 111);
        QCOMPARE(h->sectionSize(2), 321);
        c.window->askKeyword = [] { return QString("w"); };
        c.window->command(Cmd::Find);
        QTRY_VERIFY_WITH_TIMEOUT(!c.window->searchRunning(), 10000);
        QCOMPARE(h->sectionSize(0), 111);
        h->resizeSection(0, 222);
        c.click(Cmd::ShowInbox);
        QCOMPARE(t.settingNumber(8), 111);

        // Closing stores the normal rectangle; closing maximized keeps it and sets the flag.
        place(30, 40, 700, 500, 0);
        c.window->showPlaced();
        c.window->setGeometry(60, 70, 640, 480);
        c.window->close();
        QCOMPARE(*storedPlacement(t), (WindowRect{60, 70, 640, 480}));
        QVERIFY(!storedMaximized(t));
        recordPlacement(t, true, {1, 2, 3, 4});
        QVERIFY(storedMaximized(t));
        QCOMPARE(*storedPlacement(t), (WindowRect{60, 70, 640, 480}));
    }

    void findRunsInSlicesAndSendersBecomeContacts() {
        Client c("alice");
        // Enough mails that the search takes several slices.
        for (int i = 0; i < 3000; ++i)
            c.received(100 + i, "bob", {"alice"}, "filler " + std::to_string(i));
        std::string body = c.t().mailStoreFolder() + "ABC.htm";
        write(body, "<html><body>The Secret Plan</body></html>");
        int m = c.received(9000, "dave", {"carol"}, "nothing here");
        c.file(m, body, 10, AttFlags::isBodyPart);
        c.outgoing(9001, MailKind::Sent, "carol", "eve", "secret subject");
        c.window->askKeyword = [] { return QString("SECRET"); };

        QSignalSpy done(c.window.get(), &MainWindow::searchFinished);
        c.click(Cmd::Find);
        QVERIFY(c.window->searchRunning());
        QCOMPARE(c.window->currentView(), int(View::Search));
        QVERIFY(c.window->searchProgress()->isVisibleTo(c.window.get()));
        QTRY_VERIFY_WITH_TIMEOUT(done.count() == 1, 20000);
        QVERIFY(c.window->searchProgress()->isHidden());
        QCOMPARE(c.column(3), QStringList({"secret subject", "nothing here"}));
        QCOMPARE(c.window->captionText(), QString("Search"));

        // Add sender to contacts: once, then the message.
        QStringList messages;
        c.window->showMessage = [&](const QString& s) { messages << s; };
        c.click(Cmd::ShowInbox);
        c.window->mailList()->selectRow(0);
        c.window->command(Cmd::AddSender);
        c.window->command(Cmd::AddSender);
        QCOMPARE(c.t().contacts.count(), 1);
        QCOMPARE(QString::fromStdString(c.t().contacts.str(0)), QString("bob"));
        QCOMPARE(messages, QStringList({"The sender is added to the contact list.",
                                        "User is already in contact list!"}));
    }

    // The Outbox follows a delivery as it happens: the sent mail shows while it is on its way
    // and leaves the list once bob has it, with nobody clicking.
    void outboxRefreshesWhenADeliveryFinishes() {
        test::TempDir dir;
        test::DirectoryProcess server;
        QVERIFY(server.start(dir.file("directory.sqlite")));
        const std::string address = "127.0.0.1:" + std::to_string(server.port());
        test::ChildProcess bob;
        QVERIFY(test::startHeadlessUser(bob, dir.file("bob"), address, "bob", "pwb", true));

        Client c("", address);
        QVERIFY(c.createAndLogIn("alice", "pwa"));
        c.click(Cmd::ShowOutbox);
        QCOMPARE(c.rows(), 0);
        std::string file = dir.file("report.bin");
        {
            std::ofstream f(file, std::ios::binary);
            f << std::string(300000, 'x');
        }
        ComposeState st;
        ComposeInput in;
        in.from = "alice";
        in.to = "bob";
        in.plainText = "for the outbox";
        in.attachments = {file};
        // However fast bob takes it, every refresh of the list is seen.
        int most = 0;
        connect(&c.window->mailModel(), &QAbstractItemModel::modelReset, this,
                [&] { most = std::max(most, c.rows()); });
        QVERIFY(c.session->mail().send(st, in).ok);
        c.pump->kick();
        QTRY_COMPARE_WITH_TIMEOUT(most, 1, 15000);
        QTRY_COMPARE_WITH_TIMEOUT(c.rows(), 0, 30000);
        QCOMPARE(c.t().mails[c.t().findOutgoing(st.key)].kind, int32_t(MailKind::Sent));
        QCOMPARE(c.window->currentView(), int(View::Outbox));
        c.click(Cmd::ShowSent);
        QCOMPARE(c.rows(), 1);

        bob.writeLine("quit");
        QCOMPARE(bob.wait(15000), 0);
    }

    // A mail to a user that does not exist and to bob: bob has it, the mail stays in the
    // Outbox with the error in its row, the notice names the user once, and the mail opened,
    // corrected and sent again arrives.
    void aMailToNobodyStaysInTheOutboxToBeCorrected() {
        test::TempDir dir;
        test::DirectoryProcess server;
        QVERIFY(server.start(dir.file("directory.sqlite")));
        const std::string address = "127.0.0.1:" + std::to_string(server.port());
        test::ChildProcess bob;
        QVERIFY(test::startHeadlessUser(bob, dir.file("bob"), address, "bob", "pwb", true));

        Client c("", address);
        QStringList notices;
        c.window->showMessage = [&](const QString& m) { notices << m; };
        QVERIFY(c.createAndLogIn("alice", "pwa"));
        c.click(Cmd::ShowOutbox);
        MailWindows mails(*c.session, *c.pump);
        MailWindow* w = mails.newMail({});
        QStringList windowMessages;
        w->showMessage = [&](const QString& m) { windowMessages << m; };
        // An empty To is said, not ignored.
        w->command(ComposeCommand::Send);
        QCOMPARE(windowMessages, QStringList{"Please enter a recipient in To."});
        w->toField()->setText("nosuchuser,bob");
        w->textField()->setPlainText("the quarterly figures");
        w->command(ComposeCommand::Send);
        // bob's lines are read between turns of the event loop, which keeps alice running.
        std::string bobSaid;
        auto bobSays = [&](const std::string& needle) {
            while (auto line = bob.readLine(0))
                bobSaid += *line + "\n";
            return bobSaid.find(needle) != std::string::npos;
        };
        QTRY_VERIFY_WITH_TIMEOUT(bobSays("\"subject\":\"the quarterly figures\""), 30000);

        QTRY_COMPARE_WITH_TIMEOUT(notices.size(), 1, 30000);
        QVERIFY(notices[0].contains("nosuchuser"));
        QTRY_COMPARE_WITH_TIMEOUT(c.rows(), 1, 10000);
        QCOMPARE(c.cell(0, 1), QString("Error:User not exists!!!"));
        QCOMPARE(c.cell(0, 2), QString("the quarterly figures"));
        const uint64_t first = c.window->mailModel().row(0)->key;
        // bob's part is done; the mail stays where the user can mend it.
        const int m = c.t().findOutgoing(first);
        QTRY_VERIFY_WITH_TIMEOUT(deliverySummary(c.t(), m) == DeliverySummary::Running &&
                                     c.t().mails[m].kind == MailKind::Outbox,
                                 5000);
        QCOMPARE(notices.size(), 1);

        // Opened, it says what went wrong and may be sent again once corrected.
        c.window->mailList()->selectRow(0);
        c.window->mailCommand = [&](int id, const MailRef& ref) { mails.mailCommand(id, ref); };
        c.window->command(Cmd::Open);
        MailWindow* again = mails.windows().back();
        QCOMPARE(again->toField()->text(), QString("nosuchuser,bob"));
        QCOMPARE(again->statusText()->text(), QString("Error:User not exists!!!"));
        QVERIFY(again->button(ComposeCommand::Send)->isEnabled());
        again->toField()->setText("bob");
        again->textField()->setPlainText("the quarterly figures, again");
        again->command(ComposeCommand::Send);
        QTRY_VERIFY_WITH_TIMEOUT(bobSays("the quarterly figures, again"), 30000);
        // The old mail reached everyone it could: it is sent, and the Outbox is empty.
        QTRY_COMPARE_WITH_TIMEOUT(c.rows(), 0, 30000);
        QCOMPARE(c.t().mails[c.t().findOutgoing(first)].kind, int32_t(MailKind::Sent));
        QCOMPARE(notices.size(), 1);

        bob.writeLine("quit");
        QCOMPARE(bob.wait(15000), 0);
    }

    void mailFromAnotherClientRefreshesTheInboxAndNotifiesOnce() {
        test::TempDir dir;
        test::DirectoryProcess server;
        QVERIFY(server.start(dir.file("directory.sqlite")));
        const std::string address = "127.0.0.1:" + std::to_string(server.port());

        test::ChildProcess bob;
        QVERIFY(test::startHeadlessUser(bob, dir.file("bob"), address, "bob", "pwb", true));

        Client c("", address);
        c.t().setSettingNumber(Setting::NotifyNewMail, 1);
        int notices = 0;
        c.window->showNewMailNotice = [&](const QString& text) {
            ++notices;
            QCOMPARE(text, QString("New mail has arrived!"));
        };
        QVERIFY(c.createAndLogIn("alice", "pwa"));
        c.window->showView(View::Inbox);
        QCOMPARE(c.rows(), 0);
        // The window sits hidden, as in the tray: the notice brings it back.
        QVERIFY(!c.window->isVisible());

        QVERIFY(bob.writeLine("send to=alice text=hello"));
        QTRY_VERIFY_WITH_TIMEOUT(c.rows() == 1, 30000);
        QCOMPARE(c.cell(0, 2), QString("hello"));
        QCOMPARE(c.cell(0, 0), QString("bob"));
        QTRY_COMPARE_WITH_TIMEOUT(notices, 1, 5000);
        QVERIFY(c.window->isVisible());

        // Away from the Inbox a mail changes nothing until the Inbox is shown again, and then
        // without a notice.
        c.window->hide();
        c.click(Cmd::ShowSent);
        QVERIFY(bob.writeLine("send to=alice text=second"));
        QTRY_VERIFY_WITH_TIMEOUT(c.t().countReceivedFor("alice") == 2, 30000);
        QCOMPARE(c.window->currentView(), int(View::Sent));
        c.click(Cmd::ShowInbox);
        QCOMPARE(c.rows(), 2);
        QCOMPARE(notices, 1);
        QVERIFY(!c.window->isVisible());

        // With the setting off, only the list refreshes.
        c.t().setSettingNumber(Setting::NotifyNewMail, 0);
        QVERIFY(bob.writeLine("send to=alice text=third"));
        QTRY_VERIFY_WITH_TIMEOUT(c.rows() == 3, 30000);
        QCOMPARE(notices, 1);
        QVERIFY(!c.window->isVisible());

        bob.writeLine("quit");
        QCOMPARE(bob.wait(15000), 0);
    }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"

// The mail window over a real client session: writing and sending with its limits, reading
// with its refusals, the guarded page view, and mails exchanged with another client process.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "editor/html_editor.h"
#include "mail/dialogs/choose_users_dialog.h"
#include "mail/dialogs/recipient_chooser.h"
#include "mail/dialogs/send_options_dialog.h"
#include "mail/dialogs/to_completer.h"
#include "mail/recipients.h"
#include "mail/window/mail_windows.h"
#include "server/directory_harness.h"
#include "shell/ui/main_window.h"
#include "support/child_process.h"
#include "support/joined_groups.h"
#include "support/json_line.h"
#include "support/session_client.h"
#include "support/temp_dir.h"

using namespace orv;
namespace fs = std::filesystem;

namespace {

void write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string readAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// A file of `size` bytes without writing them.
void sparse(const std::string& path, int64_t size) {
    std::ofstream(path, std::ios::binary).close();
    fs::resize_file(path, static_cast<uintmax_t>(size));
}

// One client session with its pump and mail windows, for user `user`.
struct Client : test::SessionClient {
    explicit Client(const std::string& user, const std::string& server = {})
        : SessionClient(user, server) {
        mails = std::make_unique<MailWindows>(*session, *pump);
        mails->configure = [this](MailWindow& w) {
            w.showMessage = [this](const QString& text) { messages << text; };
            w.openUrl = [this](const QUrl& url) { opened << url; };
        };
        mails->showMessage = [this](const QString& text) { messages << text; };
    }
    int count(int32_t kind) {
        int n = 0;
        for (int m = 0; m < t().mails.count(); ++m)
            n += t().mails[m].kind == kind;
        return n;
    }
    int received(uint64_t key, const std::string& from, const std::string& subject,
                 int32_t created) {
        MailRecord r{};
        r.key = key;
        r.kind = MailKind::Inbox;
        r.created = created;
        int m = t().appendMail(r, subject);
        t().appendReceivedRecipient(m, session->state().currentUser, from);
        return m;
    }
    void file(int m, const std::string& name, int64_t total, int64_t done) {
        AttachmentRecord a{};
        a.total = total;
        a.done = done;
        t().mails[m].size += total;
        t().appendAttachment(m, name, name, a);
    }

    std::unique_ptr<MailWindows> mails;
    QStringList messages;
    QList<QUrl> opened;
};

// A loopback listener that counts the connections made to it.
struct Listener {
    Listener() {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd, 8);
        socklen_t n = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
        port = ntohs(a.sin_port);
    }
    ~Listener() { ::close(fd); }
    int accepted() {
        int c;
        while ((c = ::accept(fd, nullptr, nullptr)) >= 0) {
            ::close(c);
            ++count;
        }
        return count;
    }
    int fd = -1, port = 0, count = 0;
};

// Waits for a line of the other client while this one keeps running its event loop.
std::optional<std::string> awaitLine(test::ChildProcess& p, const std::string& needle,
                                     int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        if (auto l = p.waitForLine(needle, 20)) return l;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return std::nullopt;
}

}  // namespace

class MailWindowTest : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void composeLimitsAndDrafts() {
        Client c("alice");
        MailWindow* w = c.mails->newMail({});
        QCOMPARE(w->mode(), MailWindow::Mode::Compose);
        QCOMPARE(w->windowTitle(), QString("New Mail"));
        QCOMPARE(w->fromField()->text(), QString("alice"));

        // Ten files chosen at once: the first eight stay.
        QStringList ten;
        for (int i = 0; i < 10; ++i) {
            std::string p = c.dir.file("f" + std::to_string(i) + ".txt");
            write(p, "file " + std::to_string(i));
            ten << QString::fromStdString(p);
        }
        w->attachChosen(ten);
        QCOMPARE(w->attachments(), ten.mid(0, 8));
        // Dropped paths: only existing files, a trailing separator dropped.
        w->attachDropped({ten[8] + "/", QString::fromStdString(c.dir.file("missing")), "rel"});
        QCOMPARE(w->attachments().size(), 9);
        QCOMPARE(w->attachments().last(), ten[8]);
        w->attachmentList()->item(0)->setSelected(true);
        w->attachmentList()->item(8)->setSelected(true);
        w->removeSelectedAttachments();
        QCOMPARE(w->attachments(), ten.mid(1, 7));

        // Empty entries of the address line are dropped: one receiver.
        w->toField()->setText(",,alice,,");
        w->textField()->setPlainText("hello");
        QSignalSpy closed(w, &MailWindow::closed);
        w->button(ComposeCommand::Send)->click();
        QCOMPARE(closed.count(), 1);  // a small mail closes the window
        QCOMPARE(c.count(MailKind::Outbox), 1);
        int m = c.t().findOutgoing(c.t().mails[0].key);
        QCOMPARE(c.t().mailDeliveries(m).size(), size_t(1));
        QCOMPARE(c.t().deliveryRecipients.str(c.t().mailDeliveries(m)[0]), std::string("alice"));
        QCOMPARE(c.t().mails[m].size, int64_t(7 * 6));

        // Six receivers: 10 485 761 bytes are refused and leave nothing, 10 485 760 pass and
        // keep the window open with its progress.
        const std::string big = c.dir.file("big.bin");
        sparse(big, 10485761);
        MailWindow* six = c.mails->newMail({big});
        six->toField()->setText("u1,u2,u3,u4,u5,u6");
        six->command(ComposeCommand::Send);
        QCOMPARE(c.messages.last(),
                 QString("Can't send these files to multiple people due to size exceed limited!"));
        QCOMPARE(c.count(MailKind::Outbox), 1);
        QVERIFY(six->isVisible());
        fs::resize_file(big, 10485760);
        six->command(ComposeCommand::Send);
        QCOMPARE(c.count(MailKind::Outbox), 2);
        QVERIFY(six->isVisible());
        QVERIFY(!six->button(ComposeCommand::Send)->isEnabled());
        QVERIFY(six->statusText()->text() != "Hint:Click \"Send\" Button to send Mail");
        // Sent once: a second Send does nothing.
        six->command(ComposeCommand::Send);
        QCOMPARE(c.count(MailKind::Outbox), 2);
        six->close();

        // A draft: saved, opened from the Drafts list, sent from there once as a new mail.
        MailWindow* d = c.mails->newMail({});
        d->toField()->setText("bob");
        d->textField()->setPlainText("draft text");
        d->command(ComposeCommand::Save);
        QCOMPARE(c.messages.last(), QString("Mail is saved!"));
        QCOMPARE(c.count(MailKind::Draft), 1);
        d->close();
        int draft = -1;
        for (int i = 0; i < c.t().mails.count(); ++i)
            if (c.t().mails[i].kind == MailKind::Draft) draft = i;
        MailRef ref{c.t().mails[draft].key, MailKind::Draft, draft};
        MailWindow* o = c.mails->mailCommand(Cmd::Open, ref);
        QVERIFY(o);
        QCOMPARE(o->toField()->text(), QString("bob"));
        QCOMPARE(o->textField()->toPlainText(), QString("draft text"));
        QCOMPARE(o->statusText()->text(), QString("Hint:Click \"Send\" Button to send Mail"));
        o->command(ComposeCommand::Send);
        QCOMPARE(c.count(MailKind::Outbox), 3);
        QCOMPARE(c.count(MailKind::Draft), 1);

        // An Outbox mail opens with its delivery and cannot be sent again.
        const uint64_t outKey = c.t().mails[m].key;
        MailWindow* out = c.mails->mailCommand(Cmd::Open, {outKey, MailKind::Outbox, m});
        QVERIFY(out);
        QCOMPARE(out->toField()->text(), QString(",,alice,,").section(',', 2, 2));
        out->command(ComposeCommand::Send);
        QCOMPARE(c.count(MailKind::Outbox), 3);
        QVERIFY(!out->button(ComposeCommand::Send)->isEnabled());

        // The compose placement is stored on closing, in 40 to 43.
        out->setGeometry(100, 120, 500, 400);
        out->close();
        QCOMPARE(c.t().settingNumber(42), 500);
        QCOMPARE(c.t().settingNumber(43), 400);
    }

    // The chooser, the user tree, the send options and the completion each put their answer
    // into the window, and the sent mail carries the options.
    void dialogsAnswerIntoTheWindow() {
        Client c("org/dev/alice");
        addContact(c.t(), "carol");
        test::joinGroup(c.t(), "team", "boss", {{"org/dev/bob", 0}, {"org/sales/dan", 0}});
        MailWindow* w = c.mails->newMail({});
        QVERIFY(w->button(ComposeCommand::ChooseUsers)->isVisible());
        w->toField()->setText("bob");

        w->command(ComposeCommand::Contact);
        auto* chooser = w->findChild<RecipientChooserDialog*>();
        QVERIFY(chooser && chooser->isVisible());
        QListWidget* offered = chooser->candidateList();
        QCOMPARE(offered->count(), 2);
        QCOMPARE(offered->item(0)->text(), QString("carol"));
        QCOMPARE(offered->item(1)->text(), QString("[team:boss]"));
        offered->item(0)->setSelected(true);
        chooser->addSelected();
        QTest::mouseClick(chooser->okButton(), Qt::LeftButton);
        QCOMPARE(w->toField()->text(), QString("bob,carol"));
        // Cancelled, the chooser leaves the text alone.
        w->command(ComposeCommand::Contact);
        QTRY_COMPARE(w->findChildren<RecipientChooserDialog*>().size(), qsizetype(1));
        chooser = w->findChild<RecipientChooserDialog*>();
        chooser->recipientList()->item(0)->setSelected(true);
        chooser->removeSelected();
        QTest::mouseClick(chooser->cancelButton(), Qt::LeftButton);
        QCOMPARE(w->toField()->text(), QString("bob,carol"));

        w->command(ComposeCommand::ChooseUsers);
        auto* users = w->findChild<ChooseUsersDialog*>();
        QVERIFY(users);
        users->itemFor("org/sales/dan")->setCheckState(0, Qt::Checked);
        QTest::mouseClick(users->okButton(), Qt::LeftButton);
        QCOMPARE(w->toField()->text(), QString("bob,carol,org/sales/dan"));

        // Typing after the last "," offers the members whose name part starts so.
        auto* completer = w->findChild<ToCompleter*>();
        QVERIFY(completer);
        w->activateWindow();
        w->toField()->setFocus();
        w->toField()->end(false);
        QTest::keyClicks(w->toField(), ",bo");
        QTRY_VERIFY(completer->popupVisible());
        QCOMPARE(completer->popup()->count(), 1);
        completer->choose(completer->popup()->item(0)->text());
        QCOMPARE(w->toField()->text(), QString("bob,carol,org/sales/dan,org/dev/bob,"));

        w->command(ComposeCommand::Option);
        auto* options = w->findChild<SendOptionsDialog*>();
        QVERIFY(options);
        QVERIFY(!options->box(1085)->isChecked());
        options->box(1082)->setChecked(true);
        options->box(1085)->setChecked(true);
        QTest::mouseClick(options->okButton(), Qt::LeftButton);
        QVERIFY(w->options() & MailFlags::urgent);
        QVERIFY(w->options() & MailFlags::signRequired);
        QVERIFY(!(w->options() & MailFlags::bodyIsFirstFile));

        w->toField()->setText("bob");
        w->textField()->setPlainText("urgent");
        w->command(ComposeCommand::Send);
        QCOMPARE(c.count(MailKind::Outbox), 1);
        const MailRecord& sent = c.t().mails[0];
        QVERIFY(sent.flags & MailFlags::urgent);
        QVERIFY(sent.flags & MailFlags::signRequired);
    }

    void readingStepsAndRefusals() {
        Client c("alice");
        c.received(0x11, "bob", "oldest", 1000);
        int mid = c.received(0x22, "bob", "four files", 2000);
        for (int i = 0; i < 4; ++i)
            c.file(mid, "part" + std::to_string(i), 100, i < 3 ? 100 : 0);
        c.t().mails[mid].fetchRequested = 1;
        c.received(0x33, "carol", "newest", 3000);

        MailWindow* w = c.mails->mailCommand(Cmd::Open, {0x11, MailKind::Inbox, 0});
        QVERIFY(w);
        QCOMPARE(w->windowTitle(), QString("Receive Mail"));
        QCOMPARE(w->textField()->toPlainText(), QString("oldest"));
        QVERIFY(w->textField()->isReadOnly());
        // Previous on the oldest mail stays on it.
        w->command(ReadCommand::Previous);
        QCOMPARE(w->key(), uint64_t(0x11));
        w->command(ReadCommand::Next);
        QCOMPARE(w->key(), uint64_t(0x22));
        QCOMPARE(w->attachments(), QStringList({"part0", "part1", "part2", "part3"}));
        QCOMPARE(w->progressBar()->value(), 75);
        // Three of four files: opening one is refused, and so is forwarding.
        w->attachmentList()->setCurrentRow(0);
        w->command(ReadCommand::OpenAttachment);
        QCOMPARE(c.messages.last(), QString("Download not complete!"));
        QVERIFY(c.opened.isEmpty());
        w->command(ReadCommand::Forward);
        QCOMPARE(c.messages.last(), QString("Can't foward mail now!"));
        QCOMPARE(w->mode(), MailWindow::Mode::Read);
        w->command(ReadCommand::Next);
        QCOMPARE(w->key(), uint64_t(0x33));
        // A mail without files is complete and read at once.
        QCOMPARE(w->statusText()->text(), QString("Receive complete"));
        QCOMPARE(w->progressBar()->value(), 100);
        QVERIFY(c.t().mails[2].state & MailState::read);
        w->command(ReadCommand::Next);
        QCOMPARE(w->key(), uint64_t(0x33));

        // Reply turns the window into a new mail to the sender.
        w->command(ReadCommand::Reply);
        QCOMPARE(w->mode(), MailWindow::Mode::Compose);
        QCOMPARE(w->toField()->text(), QString("carol"));
        QVERIFY(w->textField()->toPlainText().endsWith("============================\nnewest") ||
                w->textField()->toPlainText().contains("newest"));
        QVERIFY(w->attachments().isEmpty());
        QVERIFY(!w->composeState().created());
        // The read placement is kept apart from the compose one.
        w->close();
    }

    void receivedPagesRunNothingAndReachNothing() {
        Client c("alice");
        Listener web;
        const std::string secret = c.dir.file("secret.png");
        write(secret, "not for the page");
        const std::string page =
            "<html><head><title>original</title></head><body>"
            "<script>document.title='scripted';</script>"
            "<img src=\"http://127.0.0.1:" +
            std::to_string(web.port) +
            "/remote.png\">"
            "<img src=\"file://" +
            secret +
            "\">"
            "<img src=\"pic.png\">"
            "<p id=t>page text</p></body></html>";
        const std::string store = c.t().mailStoreFolder();
        write(store + "5.htm", page);
        write(store + "pic.png", "png");
        int m = c.received(0x55, "mallory", "a page", 1000);
        c.t().mails[m].flags |= MailFlags::bodyIsFirstFile;
        AttachmentRecord body{};
        body.total = body.done = static_cast<int64_t>(page.size());
        body.attFlags = AttFlags::isBodyPart;
        c.t().appendAttachment(m, store + "5.htm", "5.htm", body);
        AttachmentRecord pic{};
        pic.total = pic.done = 3;
        pic.attFlags = AttFlags::isBodyPart;
        c.t().appendAttachment(m, store + "pic.png", "pic.png", pic);
        c.t().mails[m].size = body.total + 3;

        MailWindow* w = c.mails->mailCommand(Cmd::Open, {0x55, MailKind::Inbox, m});
        QVERIFY(w);
        CHtmlEditor* v = w->htmlView();
        QTRY_COMPARE_WITH_TIMEOUT(v->title(), QString("original"), 20000);
        // Answers may come after the test moved on: they write into shared storage.
        auto text = std::make_shared<QString>();
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                v->page()->toPlainText([text](const QString& t) { *text = t; });
                return text->contains("page text");
            }(),
            20000);
        // A file outside the mail is refused; the web is not even asked.
        QTRY_VERIFY_WITH_TIMEOUT(v->refusedRequests().join(' ').contains("secret.png"), 10000);
        QStringList refused = v->refusedRequests();
        QVERIFY(!refused.join(' ').contains("pic.png"));
        QCOMPARE(v->title(), QString("original"));  // the script never ran
        QCOMPARE(web.accepted(), 0);
    }

    void mailWithAnotherClient() {
        test::TempDir dir;
        test::DirectoryProcess server;
        QVERIFY(server.start(dir.file("directory.sqlite")));
        const std::string address = "127.0.0.1:" + std::to_string(server.port());
        test::ChildProcess bob;
        QVERIFY(test::startHeadlessUser(bob, dir.file("bob"), address, "bob", "pwb", true));
        Client alice("", address);
        QVERIFY(alice.createAndLogIn("alice", "pwa"));

        // Written in the window: a plain mail with two files.
        const std::string one = dir.file("one.txt"), two = dir.file("two.bin");
        write(one, "first file\n");
        std::string blob;
        for (int i = 0; i < 70000; ++i)
            blob += static_cast<char>(i * 7);
        write(two, blob);
        MailWindow* w = alice.mails->newMail({});
        w->toField()->setText("bob");
        w->textField()->setPlainText("two files for you");
        w->attachChosen({QString::fromStdString(one), QString::fromStdString(two)});
        w->command(ComposeCommand::Send);
        auto arrived = awaitLine(bob, "\"event\":\"mail-arrived\"", 30000);
        QVERIFY(arrived);
        const std::string key = test::jsonField(*arrived, "key");
        QVERIFY(bob.writeLine("receive " + key));
        QVERIFY(awaitLine(bob, "\"event\":\"files-complete\"", 30000));
        QCOMPARE(readAll(dir.file("bob") + "/recvfile/one.txt"), readAll(one));
        QCOMPARE(readAll(dir.file("bob") + "/recvfile/two.bin"), blob);

        // From the other client: a mail with files, read in the window and fetched (nothing
        // is fetched without asking).
        alice.t().setSettingNumber(Setting::AutoReceiveMB, 0);
        const std::string a = dir.file("a.txt"), b = dir.file("b.txt");
        write(a, "alpha");
        write(b, std::string(50000, 'b'));
        QVERIFY(bob.writeLine("send to=alice text=see-attached file=" + a + " file=" + b));
        QTRY_VERIFY_WITH_TIMEOUT(alice.t().countReceivedFor("alice") == 1, 30000);
        MailWindow* r = alice.mails->mailCommand(Cmd::Open, {0, MailKind::Inbox, -1});
        QVERIFY(!r);  // no such key
        uint64_t received = 0;
        for (int m = 0; m < alice.t().mails.count(); ++m)
            if (alice.t().mails[m].kind == MailKind::Inbox) received = alice.t().mails[m].key;
        r = alice.mails->mailCommand(Cmd::Open, {received, MailKind::Inbox, -1});
        QVERIFY(r);
        QCOMPARE(r->statusText()->text(), QString("Hint:Click \"Receive\" Button to get file"));
        QCOMPARE(r->textField()->toPlainText(), QString("see-attached"));
        r->command(ReadCommand::Receive);
        QTRY_COMPARE_WITH_TIMEOUT(r->statusText()->text(), QString("Receive complete"), 30000);
        QCOMPARE(r->progressBar()->value(), 100);

        // Forward carries the received files; the mail goes back to bob.
        r->command(ReadCommand::Forward);
        QCOMPARE(r->mode(), MailWindow::Mode::Compose);
        QCOMPARE(r->attachments().size(), 2);
        QCOMPARE(readAll(r->attachments()[1].toStdString()), std::string(50000, 'b'));
        r->toField()->setText("bob");
        r->command(ComposeCommand::Send);
        QVERIFY(awaitLine(bob, "\"event\":\"mail-arrived\"", 30000));

        // Reply from the list: the window loads the mail and answers the sender.
        MailWindow* rep = alice.mails->mailCommand(Cmd::Reply, {received, MailKind::Inbox, -1});
        QVERIFY(rep);
        QCOMPARE(rep->mode(), MailWindow::Mode::Compose);
        QCOMPARE(rep->toField()->text(), QString("bob"));
        rep->command(ComposeCommand::Send);
        QVERIFY(awaitLine(bob, "\"event\":\"mail-arrived\"", 30000));

        bob.writeLine("quit");
        QCOMPARE(bob.wait(15000), 0);
    }
};

QTEST_MAIN(MailWindowTest)
#include "mail_window_test.moc"

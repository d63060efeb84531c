// HTML mail between two client processes: a page with a picture and a table written in the
// window's editor and sent to another client, which receives the page and the picture
// byte for byte; that client's HTML mail answered with a reply typed in the editor.
#include <QCheckBox>
#include <QDeadlineTimer>
#include <QImage>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "editor/editor_panel.h"
#include "editor/html_editor.h"
#include "mail/window/mail_windows.h"
#include "qtkit/command_ids.h"
#include "server/directory_harness.h"
#include "support/child_process.h"
#include "support/json_line.h"
#include "support/session_client.h"
#include "support/temp_dir.h"

using namespace orv;
namespace fs = std::filesystem;

namespace {

std::string readAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

QVariant evalJs(CHtmlEditor* e, const QString& code) {
    auto result = std::make_shared<std::pair<bool, QVariant>>();
    e->runScript(code, [result](const QVariant& v) { *result = {true, v}; });
    if (!QTest::qWaitFor([&] { return result->first; }, 20000)) return {};
    return result->second;
}

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

struct Client : test::SessionClient {
    explicit Client(const std::string& server)
        : SessionClient(server.empty() ? "alice" : "", server) {
        mails = std::make_unique<MailWindows>(*session, *pump);
        mails->configure = [this](MailWindow& w) {
            w.showMessage = [this](const QString& text) { messages << text; };
        };
        mails->showMessage = [this](const QString& text) { messages << text; };
    }
    std::unique_ptr<MailWindows> mails;
    QStringList messages;
};

// Puts the caret at the start or the end of the page's body.
void caretAt(CHtmlEditor* e, bool end) {
    evalJs(e,
           QString("var r = document.createRange(); r.selectNodeContents(document.body);"
                   "r.collapse(%1); getSelection().removeAllRanges(); getSelection().addRange(r);"
                   "true")
               .arg(end ? "false" : "true"));
}

}  // namespace

class HtmlMailTest : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void draftsAndTheHtmlBox() {
        Client alice("");
        alice.session->state().currentUser = "alice";
        MailWindow* w = alice.mails->newMail({});
        // The box and the options' bit follow each other.
        QVERIFY(!w->htmlBox()->isChecked());
        w->setOptions(MailFlags::bodyIsFirstFile | MailFlags::urgent);
        QVERIFY(w->htmlBox()->isChecked());
        w->htmlBox()->setChecked(false);
        QCOMPARE(w->options(), uint32_t(MailFlags::urgent));
        w->textField()->setPlainText("first line");
        w->htmlBox()->setChecked(true);
        QCOMPARE(w->options(), uint32_t(MailFlags::urgent | MailFlags::bodyIsFirstFile));
        CHtmlEditor* e = w->htmlView();
        QTRY_VERIFY_WITH_TIMEOUT(
            evalJs(e, "document.body.innerText").toString().contains("first line"), 20000);
        QVERIFY(QTest::qWaitForWindowActive(w));
        e->setFocus();
        w->toField()->setText("bob");
        w->subjectField()->setText("kept");
        caretAt(e, true);
        QTest::keyClicks(e->focusProxy(), " and more");
        QTRY_VERIFY_WITH_TIMEOUT(
            evalJs(e, "document.body.innerText").toString().contains("and more"), 20000);

        // Ctrl+S in the editor keeps the mail as a draft.
        QTest::keyClick(e->focusProxy(), Qt::Key_S, Qt::ControlModifier);
        QTRY_COMPARE_WITH_TIMEOUT(alice.messages, QStringList{"Mail is saved!"}, 20000);
        CoreTables& t = alice.t();
        int draft = -1;
        for (int m = 0; m < t.mails.count(); ++m)
            if (t.mails[m].kind == MailKind::Draft) draft = m;
        QVERIFY(draft >= 0);
        QVERIFY(t.mails[draft].flags & MailFlags::bodyIsFirstFile);
        w->close();

        // Opened again, the draft is a page in the editor.
        MailWindow* again =
            alice.mails->mailCommand(Cmd::Open, {t.mails[draft].key, MailKind::Draft, draft});
        QVERIFY(again);
        QVERIFY(again->htmlBox()->isChecked());
        QCOMPARE(again->subjectField()->text(), QString("kept"));
        QTRY_VERIFY_WITH_TIMEOUT(
            again->htmlView() && evalJs(again->htmlView(), "document.body.innerText")
                                     .toString()
                                     .contains("first line and more"),
            20000);
        QCOMPARE(evalJs(again->htmlView(), "document.designMode").toString(), QString("on"));
    }

    void htmlMailBetweenClients() {
        test::TempDir dir;
        test::DirectoryProcess server;
        QVERIFY(server.start(dir.file("directory.sqlite")));
        const std::string address = "127.0.0.1:" + std::to_string(server.port());
        test::ChildProcess bob;
        QVERIFY(test::startHeadlessUser(bob, dir.file("bob"), address, "bob", "pwb", true));
        Client alice(address);
        QVERIFY(alice.createAndLogIn("alice", "pwa"));

        // Written in the window: text, a picture and a table.
        const std::string pic = dir.file("photo.png");
        std::string bytes = "\x89PNG\r\n\x1a\n";
        for (int i = 0; i < 40000; ++i)
            bytes += static_cast<char>(i * 13);
        std::ofstream(pic, std::ios::binary) << bytes;
        MailWindow* w = alice.mails->newMail({});
        QVERIFY(w->htmlBox()->isEnabled());
        w->htmlBox()->setChecked(true);
        QVERIFY(w->options() & MailFlags::bodyIsFirstFile);
        CHtmlEditor* e = w->htmlView();
        QVERIFY(e);
        QTRY_VERIFY_WITH_TIMEOUT(e->loads() > 0, 20000);
        QVERIFY(QTest::qWaitForWindowActive(w));
        e->setFocus();
        w->toField()->setText("bob");
        w->subjectField()->setText("picture and table");
        QTRY_VERIFY_WITH_TIMEOUT(evalJs(e, "document.hasFocus()").toBool(), 20000);
        caretAt(e, true);
        QTest::keyClicks(e->focusProxy(), "Hello Bob");
        w->editorPanel()->choosePicture = [&] { return QString::fromStdString(pic); };
        QTRY_VERIFY_WITH_TIMEOUT(evalJs(e, "document.body.innerText").toString().contains("Bob"),
                                 20000);
        w->editorPanel()->insertPicture();
        QTRY_COMPARE_WITH_TIMEOUT(evalJs(e, "document.images.length").toInt(), 1, 20000);
        caretAt(e, true);
        QTest::keyClick(e->focusProxy(), Qt::Key_T, Qt::ControlModifier);
        QTRY_COMPARE_WITH_TIMEOUT(evalJs(e, "document.getElementsByTagName('TD').length").toInt(),
                                  4, 20000);
        w->command(ComposeCommand::Send);
        auto arrived = awaitLine(bob, "\"event\":\"mail-arrived\"", 30000);
        QVERIFY(arrived);
        const std::string key = test::jsonField(*arrived, "key");
        QVERIFY(bob.writeLine("receive " + key));
        QVERIFY(awaitLine(bob, "\"event\":\"files-complete\"", 30000));

        // What alice stored is what bob has: the page and the picture, byte for byte.
        CoreTables& t = alice.t();
        int sent = -1;
        for (int m = 0; m < t.mails.count(); ++m)
            if (t.mails[m].kind != MailKind::Inbox) sent = m;
        QVERIFY(sent >= 0);
        QCOMPARE(t.subjects.str(sent), std::string("picture and table"));
        std::vector<std::string> files;
        for (int a : t.mailFiles(sent))
            files.push_back(t.attachmentPaths.str(a));
        QCOMPARE(files.size(), size_t(2));
        const std::string page = readAll(files[0]);
        const std::string copy = fs::path(files[1]).filename().string();
        QVERIFY2(page.find("src=\"" + copy + "\"") != std::string::npos, page.c_str());
        QVERIFY(page.find("<table border=\"1\" cellpadding=\"3\">") != std::string::npos);
        QVERIFY(page.find("Hello Bob") != std::string::npos);
        QCOMPARE(readAll(files[1]), bytes);
        const std::string bobStore = dir.file("bob") + "/recvfile/";
        QCOMPARE(readAll(bobStore + fs::path(files[0]).filename().string()), page);
        QCOMPARE(readAll(bobStore + copy), bytes);

        // Bob's HTML mail, answered in the editor.
        QVERIFY(
            bob.writeLine("send to=alice subject=question "
                          "\"html=<HTML><BODY><DIV>Is it done?</DIV></BODY></HTML>\""));
        QTRY_VERIFY_WITH_TIMEOUT(t.countReceivedFor("alice") == 1, 30000);
        uint64_t received = 0;
        for (int m = 0; m < t.mails.count(); ++m)
            if (t.mails[m].kind == MailKind::Inbox) received = t.mails[m].key;
        MailWindow* r = alice.mails->mailCommand(Cmd::Open, {received, MailKind::Inbox, -1});
        QVERIFY(r);
        r->command(ReadCommand::Receive);
        CHtmlEditor* shown = r->htmlView();
        QVERIFY(shown);
        QTRY_VERIFY_WITH_TIMEOUT(
            evalJs(shown, "document.body.innerText").toString().contains("Is it done?"), 30000);
        QCOMPARE(evalJs(shown, "document.designMode").toString(), QString("off"));
        QVERIFY(!r->htmlBox()->isEnabled());
        r->command(ReadCommand::Reply);
        QCOMPARE(r->mode(), MailWindow::Mode::Compose);
        QCOMPARE(r->subjectField()->text(), QString("Reply:question"));
        QTRY_COMPARE_WITH_TIMEOUT(evalJs(shown, "document.designMode").toString(), QString("on"),
                                  20000);
        QTRY_VERIFY_WITH_TIMEOUT(
            evalJs(shown, "document.body.innerText").toString().contains("From:bob"), 20000);
        QVERIFY(QTest::qWaitForWindowActive(r));
        shown->setFocus();
        // Keys reach the page only once its document has the focus, which the page's own
        // process learns a moment after the widget has it.
        QTRY_VERIFY_WITH_TIMEOUT(evalJs(shown, "document.hasFocus()").toBool(), 20000);
        caretAt(shown, false);
        QTest::keyClicks(shown->focusProxy(), "Yes, done");
        QTRY_VERIFY_WITH_TIMEOUT(
            evalJs(shown, "document.body.innerText").toString().startsWith("Yes, done"), 20000);
        r->command(ComposeCommand::Send);
        auto answer = awaitLine(bob, "\"event\":\"mail-arrived\"", 30000);
        QVERIFY(answer);
        QCOMPARE(test::jsonField(*answer, "subject"), std::string("Reply:question"));
        const std::string answerKey = test::jsonField(*answer, "key");
        QVERIFY(bob.writeLine("receive " + answerKey));
        QVERIFY(awaitLine(bob, "\"event\":\"files-complete\"", 30000));
        bool found = false;
        for (auto& entry : fs::directory_iterator(bobStore)) {
            const std::string text = readAll(entry.path().string());
            if (text.find("Yes, done") != std::string::npos) {
                found = true;
                QVERIFY(text.find("Is it done?") != std::string::npos);
                QVERIFY(text.find("Yes, done") < text.find("Is it done?"));
            }
        }
        QVERIFY(found);

        // A page of bob's with a picture: shown with the picture found beside the page.
        const std::string png = dir.file("chart.png");
        QImage chart(40, 30, QImage::Format_RGB32);
        chart.fill(Qt::red);
        QVERIFY(chart.save(QString::fromStdString(png)));
        QVERIFY(
            bob.writeLine("send to=alice subject=chart \"html=<HTML><BODY><IMG src=\\\"file://" +
                          png + "\\\"></BODY></HTML>\""));
        QTRY_VERIFY_WITH_TIMEOUT(t.countReceivedFor("alice") == 2, 30000);
        uint64_t withPicture = 0;
        for (int m = 0; m < t.mails.count(); ++m)
            if (t.mails[m].kind == MailKind::Inbox && t.subjects.str(m) == "chart")
                withPicture = t.mails[m].key;
        MailWindow* c = alice.mails->mailCommand(Cmd::Open, {withPicture, MailKind::Inbox, -1});
        QVERIFY(c);
        c->command(ReadCommand::Receive);
        QTRY_COMPARE_WITH_TIMEOUT(
            evalJs(c->htmlView(), "document.images.length ? document.images[0].naturalWidth : 0")
                .toInt(),
            40, 30000);
        QVERIFY(c->htmlView()->refusedRequests().isEmpty());
        QVERIFY(alice.messages.isEmpty());
        bob.writeLine("quit");
        QCOMPARE(bob.wait(15000), 0);
    }
};

QTEST_MAIN(HtmlMailTest)
#include "html_mail_test.moc"

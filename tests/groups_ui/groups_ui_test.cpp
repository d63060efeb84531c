// The Group page, the group dialogs, the group notices of the main window and the sign
// dialogs, over a real client session, the real directory server and headless clients.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <QTreeWidget>

#include <chrono>

#include "groups/ui/group_dialogs.h"
#include "groups/ui/group_page.h"
#include "mail/window/mail_windows.h"
#include "server/directory_harness.h"
#include "shell/ui/main_window.h"
#include "support/child_process.h"
#include "support/json_line.h"
#include "support/session_client.h"
#include "support/temp_dir.h"

using namespace orv;

namespace {

struct Client : test::SessionClient {
    explicit Client(const std::string& server) : SessionClient("", server) {
        window = std::make_unique<MainWindow>(*session, *pump);
        page = new GroupPage(*session, *pump);
        window->setChildPage(View::Group, page);
        QCoreApplication::processEvents();
    }
    ~Client() { window.reset(); }
    std::unique_ptr<MainWindow> window;
    GroupPage* page;
};

QStringList items(QListWidget* l) {
    QStringList out;
    for (int i = 0; i < l->count(); ++i)
        out << l->item(i)->text();
    return out;
}

// Sends a headless command and waits for its answer.
std::string ask(test::ChildProcess& p, const std::string& cmd) {
    p.writeLine(cmd);
    auto l = p.waitForLine("\"cmd\":\"" + cmd.substr(0, cmd.find(' ')) + "\"", 20000);
    return l.value_or("");
}

// A headless client's synchronisation, through.
bool synced(test::ChildProcess& p) {
    if (ask(p, "group-refresh").find("\"ok\":true") == std::string::npos) return false;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
        if (ask(p, "groups").find("\"stage\":3") != std::string::npos) return true;
        p.waitForLine("never", 50);
    }
    return false;
}

}  // namespace

class GroupsUiTest : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void groupPageDialogsAndNotices() {
        test::TempDir dir;
        test::DirectoryProcess server;
        QVERIFY(server.start(dir.file("directory.sqlite")));
        const std::string address = "127.0.0.1:" + std::to_string(server.port());
        test::ChildProcess bob, carol;
        QVERIFY(test::startHeadlessUser(bob, dir.file("bob"), address, "bob", "pwb", true));
        QVERIFY(test::startHeadlessUser(carol, dir.file("carol"), address, "carol", "pwc", true));

        Client c(address);
        QStringList questions, messages;
        std::vector<size_t> pendingWhenAsked;
        c.window->askYesNo = [&](const QString& text) {
            questions << text;
            pendingWhenAsked.push_back(c.session->groups().pendingRequests().size());
            return text.contains("bob");
        };
        c.window->showMessage = [&](const QString& text) { messages << text; };
        QVERIFY(c.createAndLogIn("alice", "pwa"));

        // The visible Group button shows the page.
        QPushButton* groupButton = c.window->button(Cmd::ShowGroup);
        QVERIFY(groupButton);
        QCOMPARE(groupButton->text(), QString("Group"));
        groupButton->click();
        QCOMPARE(c.window->currentView(), int(View::Group));
        QCOMPARE(c.page->tabs()->tabText(0), QString("Group"));
        QCOMPARE(c.page->tabs()->tabText(1), QString("Manage"));

        // Create: an empty name does nothing; then "team".
        GroupDialog* create = c.page->openCreate();
        QCOMPARE(create->windowTitle(), QString("Create Group"));
        QVERIFY(create->publicBox()->isChecked());
        QPointer<GroupDialog> guard(create);
        create->okButton()->click();
        QVERIFY(guard && guard->isVisible());
        create->nameEdit()->setText("team");
        create->introEdit()->setText("ours");
        create->okButton()->click();
        QCOMPARE(items(c.page->ownedList()), QStringList({"team"}));
        c.page->ownedList()->setCurrentRow(0);
        QCOMPARE(items(c.page->ownedMembers()), QStringList({"alice"}));
        // Group info edits the introduction.
        GroupDialog* info = c.page->openInfo();
        QCOMPARE(info->windowTitle(), QString("Group Info"));
        QCOMPARE(info->nameEdit()->text(), QString("team"));
        QCOMPARE(info->introEdit()->text(), QString("ours"));
        info->introEdit()->setText("our team");
        info->okButton()->click();
        QCOMPARE(QString::fromStdString(c.session->groups().ownedGroups()[0].intro),
                 QString("our team"));
        QTRY_COMPARE_WITH_TIMEOUT(items(c.page->joinedList()), QStringList({"team"}), 15000);

        // Two requests: asked one at a time, the first while the second still waits.
        QVERIFY(ask(bob, "group-join alice team").find("\"ok\":true") != std::string::npos);
        QVERIFY(ask(carol, "group-join alice team").find("\"ok\":true") != std::string::npos);
        QVERIFY(synced(bob) && synced(carol));
        c.page->groupButton(1002)->click();
        QTRY_COMPARE_WITH_TIMEOUT(questions.size(), 2, 20000);
        QCOMPARE(questions[0], QString("Would you like to add user bob to group team?"));
        QCOMPARE(questions[1], QString("Would you like to add user carol to group team?"));
        QCOMPARE(pendingWhenAsked[0], size_t(2));
        QCOMPARE(pendingWhenAsked[1], size_t(1));

        // Bob is a member after the next synchronisation; carol is told of the refusal.
        c.page->joinedList()->setCurrentRow(0);
        QTRY_COMPARE_WITH_TIMEOUT(items(c.page->joinedMembers()), QStringList({"alice", "bob"}),
                                  20000);
        QVERIFY(synced(carol));
        QVERIFY(ask(carol, "group-pending").find("\"refused\":[\"team\"]") != std::string::npos);

        // Send mail from the page: the other members of the chosen group.
        std::string composedTo;
        c.page->compose = [&](const std::string& to) { composedTo = to; };
        c.page->tabs()->setCurrentIndex(0);
        c.page->joinedList()->item(0)->setSelected(true);
        c.page->groupButton(32777)->click();
        QCOMPARE(QString::fromStdString(composedTo), QString("bob"));

        // Remove bob, then delete the group; each asks first.
        QStringList asked;
        c.page->ask = [&](const QString& text) {
            asked << text;
            return true;
        };
        c.page->tabs()->setCurrentIndex(1);
        c.page->ownedList()->setCurrentRow(0);
        QTRY_COMPARE_WITH_TIMEOUT(items(c.page->ownedMembers()), QStringList({"alice", "bob"}),
                                  20000);
        c.page->ownedMembers()->setCurrentRow(1);
        c.page->manageButton(1002)->click();
        QCOMPARE(items(c.page->ownedMembers()), QStringList({"alice"}));
        c.page->manageButton(1001)->click();
        QCOMPARE(items(c.page->ownedList()), QStringList());
        QCOMPARE(asked, QStringList({"Are you sure to delete this member from group?",
                                     "Are you sure to delete this group?"}));
        QTRY_COMPARE_WITH_TIMEOUT(items(c.page->joinedList()), QStringList(), 20000);

        // Join through the find dialog: carol's public group, refused; bob's, approved.
        QVERIFY(ask(carol, "group-create club \"intro=card games\"").find("\"ok\":true") !=
                std::string::npos);
        QVERIFY(ask(bob, "group-create band").find("\"ok\":true") != std::string::npos);
        QVERIFY(synced(carol) && synced(bob));
        JoinDialog* join = c.page->openJoin();
        FindGroupsDialog* find = join->openFind();
        QCOMPARE(find->list()->headerItem()->text(0), QString("Group Name"));
        QCOMPARE(find->list()->columnWidth(0), 110);
        QTRY_VERIFY_WITH_TIMEOUT(!find->searching(), 15000);
        QTreeWidgetItem* club = nullptr;
        for (int i = 0; i < find->list()->topLevelItemCount(); ++i)
            if (find->list()->topLevelItem(i)->text(0) == "club")
                club = find->list()->topLevelItem(i);
        QVERIFY(club);
        QCOMPARE(club->text(1), QString("carol"));
        QCOMPARE(club->text(2), QString("1"));
        find->list()->setCurrentItem(club);
        QCOMPARE(find->introBox()->toPlainText(), QString("card games"));
        find->joinButton()->click();
        QCOMPARE(join->creatorEdit()->text(), QString("carol"));
        QCOMPARE(join->groupBox()->currentText(), QString("club"));
        join->okButton()->click();
        join = c.page->openJoin();
        join->creatorEdit()->setText("bob");
        join->groupBox()->setEditText("band");
        join->okButton()->click();
        QTRY_VERIFY_WITH_TIMEOUT(!c.session->groups().requestsPending(), 15000);

        carol.writeLine("group-refresh");
        QVERIFY(carol.waitForLine("\"join-request\"", 20000));
        QVERIFY(ask(carol, "group-refuse club alice").find("\"ok\":true") != std::string::npos);
        bob.writeLine("group-refresh");
        QVERIFY(bob.waitForLine("\"join-request\"", 20000));
        QVERIFY(ask(bob, "group-approve band alice").find("\"ok\":true") != std::string::npos);
        QVERIFY(synced(carol) && synced(bob));
        messages.clear();
        c.page->tabs()->setCurrentIndex(0);
        c.page->groupButton(1002)->click();
        QTRY_COMPARE_WITH_TIMEOUT(messages.size(), 2, 20000);
        QCOMPARE(messages, QStringList({"Fail to join group club!", "Join group band success!"}));
        QTRY_COMPARE_WITH_TIMEOUT(items(c.page->joinedList()), QStringList({"band"}), 20000);

        // Leave asks first.
        c.page->ask = [&](const QString& text) {
            asked << text;
            return true;
        };
        c.page->joinedList()->setCurrentRow(0);
        c.page->groupButton(1001)->click();
        QCOMPARE(asked.last(), QString("Are you sure to exit from group?"));
        QTRY_COMPARE_WITH_TIMEOUT(items(c.page->joinedList()), QStringList(), 20000);
        QCOMPARE(messages.size(), 2);  // each told once

        for (auto* p : {&bob, &carol}) {
            p->writeLine("quit");
            QCOMPARE(p->wait(15000), 0);
        }
    }

    void signDialogs() {
        test::TempDir dir;
        test::DirectoryProcess server;
        QVERIFY(server.start(dir.file("directory.sqlite")));
        const std::string address = "127.0.0.1:" + std::to_string(server.port());
        test::ChildProcess bob, carol;
        QVERIFY(test::startHeadlessUser(bob, dir.file("bob"), address, "bob", "pwb", true));
        QVERIFY(test::startHeadlessUser(carol, dir.file("carol"), address, "carol", "pwc", true));
        Client c(address);
        QVERIFY(c.createAndLogIn("alice", "pwa"));
        MailWindows mails(*c.session, *c.pump);
        QStringList messages, questions;
        mails.showMessage = [&](const QString& t) { messages << t; };
        mails.ask = [&](const QString& t) {
            questions << t;
            return false;
        };

        // Bob asks alice to sign.
        bob.writeLine("send to=alice \"text=please sign\" sign");
        auto sent = bob.waitForLine("\"cmd\":\"send\"", 15000);
        QVERIFY(sent);
        uint64_t key = std::strtoull(test::jsonField(*sent, "key").c_str(), nullptr, 16);
        QVERIFY(bob.waitForLine("\"receipts\"", 20000));
        QTRY_VERIFY_WITH_TIMEOUT(c.t().findReceived(key) >= 0, 20000);
        c.t().setSettingString(SettingString::LastOpinion, "as before");
        // The read window says the mail asks for a signature, and signs from there.
        MailWindow* reading = mails.mailCommand(Cmd::Open, MailRef{key, MailKind::Inbox});
        QVERIFY(reading);
        QVERIFY(reading->signNotice()->isVisible());
        QCOMPARE(reading->signNotice()->text(), QString("This mail asks you to sign it."));

        reading->signNotice()->click();
        SignDialog* d = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* sd = qobject_cast<SignDialog*>(w); sd && sd->isVisible()) d = sd;
        QVERIFY(d);
        QCOMPARE(d->windowTitle(), QString("Sign Mail"));
        QCOMPARE(d->opinionEdit()->toPlainText(), QString("as before"));
        QVERIFY(!d->signTimeField()->text().isEmpty());
        QStringList dialogMessages;
        d->showMessage = [&](const QString& t) { dialogMessages << t; };
        d->opinionEdit()->setPlainText("");
        d->signButton()->click();
        QCOMPARE(dialogMessages, QStringList({"Please input option!"}));
        d->opinionEdit()->setPlainText("agreed");
        QPointer<SignDialog> open(d);
        d->signButton()->click();
        QVERIFY(d->signing());
        QCOMPARE(d->statusLine()->text(), QString("Waiting for the directory server..."));
        QTRY_VERIFY_WITH_TIMEOUT(!open || !open->isVisible(), 20000);
        QCOMPARE(dialogMessages.last(), QString("Sign Mail Successful!"));
        int m = c.t().findReceived(key);
        QVERIFY(c.t().mails[m].state & MailState::signedBit);
        QTRY_VERIFY(!reading->signNotice()->isVisible());
        QCOMPARE(QString::fromStdString(c.t().settingString(SettingString::LastOpinion)),
                 QString("agreed"));
        // Signed already: asked first; No leaves it.
        QVERIFY(!mails.openSign(key));
        QCOMPARE(questions, QStringList({"Email has been signed, continue?"}));

        // Alice's own sign-required mail to bob and carol; bob signs.
        ComposeState st;
        ComposeInput in;
        in.from = "alice";
        in.to = "bob,carol";
        in.plainText = "read this";
        in.options = MailFlags::signRequired;
        bool registered = false;
        connect(c.pump.get(), &SessionPump::sessionEvent, this, [&](const SessionEvent& e) {
            if (e.kind == EventKind::ReceiptsDone && e.value) registered = true;
        });
        QVERIFY(c.session->mail().send(st, in).ok);
        c.pump->kick();
        QTRY_VERIFY_WITH_TIMEOUT(registered, 20000);
        // Alice's session runs from the event loop: wait in it, reading bob's lines briefly.
        std::optional<std::string> arrived;
        for (int i = 0; i < 600 && !arrived; ++i) {
            QTest::qWait(50);
            arrived = bob.waitForLine("\"mail-arrived\"", 10);
        }
        if (!arrived) {
            auto ps = c.session->peerStatus();
            std::string why;
            for (auto& l : ps.links)
                why += "link " + l.user + " " + std::to_string(l.state) + "; ";
            for (auto& a : ps.attempts)
                why += "attempt " + a.user + " " + std::to_string(a.state) + "; ";
            int sentMail = c.t().findOutgoing(st.key);
            for (int d : c.t().mailDeliveries(sentMail))
                why += c.t().deliveryRecipients.str(d) + "=" +
                       std::to_string(c.t().deliveries[d].state) + " ";
            QFAIL(("bob got nothing: " + why).c_str());
        }
        std::string hex = test::jsonField(*arrived, "key");
        QVERIFY(ask(bob, "sign " + hex + " \"fine by me\"").find("\"ok\":true") !=
                std::string::npos);

        SignStatusDialog* status = mails.openSignStatus(st.key);
        QVERIFY(status);
        QCOMPARE(status->windowTitle(), QString("Sign Status"));
        QCOMPARE(status->list()->horizontalHeaderItem(0)->text(), QString("To"));
        QCOMPARE(status->list()->horizontalHeaderItem(6)->text(), QString("Send Time"));
        QTRY_VERIFY_WITH_TIMEOUT(!status->busy(), 20000);
        QCOMPARE(status->list()->rowCount(), 2);
        QCOMPARE(status->list()->item(0, 0)->text(), QString("bob"));
        QCOMPARE(status->list()->item(0, 1)->text(), QString("Signed"));
        QCOMPARE(status->list()->item(0, 2)->text(), QString("fine by me"));
        QVERIFY(!status->list()->item(0, 3)->text().isEmpty());
        QCOMPARE(status->list()->item(1, 0)->text(), QString("carol"));
        QCOMPARE(status->list()->item(1, 1)->text(), QString("Unsigned"));
        QCOMPARE(status->list()->item(1, 3)->text(), QString());

        SignDialog* details = status->openDetails(1);
        QCOMPARE(details->windowTitle(), QString("Sign Mail - Not Signed"));
        QVERIFY(!details->signButton()->isVisible());
        QVERIFY(details->opinionEdit()->isReadOnly());
        details->close();

        status->signedButton()->click();
        QTRY_VERIFY_WITH_TIMEOUT(!status->busy(), 20000);
        QCOMPARE(status->list()->rowCount(), 1);
        QCOMPARE(status->list()->item(0, 0)->text(), QString("bob"));
        status->unsignedButton()->click();
        QTRY_VERIFY_WITH_TIMEOUT(!status->busy(), 20000);
        QCOMPARE(status->list()->rowCount(), 1);
        QCOMPARE(status->list()->item(0, 0)->text(), QString("carol"));

        status->refresh();
        QTRY_VERIFY_WITH_TIMEOUT(!status->busy(), 20000);
        status->list()->selectRow(1);
        status->deleteSelected();
        QTRY_VERIFY_WITH_TIMEOUT(!status->busy() && status->list()->rowCount() == 1, 20000);
        QCOMPARE(status->list()->item(0, 0)->text(), QString("bob"));
        status->close();

        // The directory goes away: the list says so instead of waiting for ever.
        SignStatusDialog* offline = mails.openSignStatus(st.key);
        QTRY_VERIFY_WITH_TIMEOUT(!offline->busy(), 20000);
        QVERIFY(server.stop() == 0);
        offline->refresh();
        QVERIFY(offline->busy());
        QTRY_VERIFY_WITH_TIMEOUT(!offline->busy(), 30000);
        QCOMPARE(offline->statusLine()->text(), QString("The directory server does not answer."));
        offline->close();

        for (auto* p : {&bob, &carol}) {
            p->writeLine("quit");
            QCOMPARE(p->wait(15000), 0);
        }
    }
};

QTEST_MAIN(GroupsUiTest)
#include "groups_ui_test.moc"

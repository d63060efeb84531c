// The compose window's helper dialogs and the To completion, driven like a user would: clicks
// on the buttons, keys typed into the fields.
#include <QApplication>
#include <QLineEdit>
#include <QTest>
#include <QVBoxLayout>

#include <string>
#include <utility>
#include <vector>

#include "core/clock.h"
#include "mail/dialogs/choose_users_dialog.h"
#include "mail/dialogs/recipient_chooser.h"
#include "mail/dialogs/send_options_dialog.h"
#include "mail/dialogs/to_completer.h"
#include "support/joined_groups.h"

using namespace orv;

namespace {

using Names = std::vector<std::string>;

QStringList texts(const QListWidget* list) {
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out << list->item(i)->text();
    return out;
}

void select(QListWidget* list, const QStringList& wanted) {
    list->clearSelection();
    for (int i = 0; i < list->count(); ++i)
        if (wanted.contains(list->item(i)->text())) list->item(i)->setSelected(true);
}

void typeInto(QLineEdit* edit, const QString& text) {
    edit->clear();
    QTest::keyClicks(edit, text);
}

// A window with a To field, as the mail window has it.
struct ToWindow {
    QWidget window;
    QLineEdit* to = new QLineEdit(&window);
    QLineEdit* other = new QLineEdit(&window);
    ToCompleter* completer;
    explicit ToWindow(const CoreTables& t) {
        auto* layout = new QVBoxLayout(&window);
        layout->addWidget(to);
        layout->addWidget(other);
        layout->addStretch();
        window.resize(400, 300);
        completer = new ToCompleter(to, t);
    }
};

}  // namespace

class MailDialogsTest : public QObject {
    Q_OBJECT
  private:
    ManualClock clock_;

  private Q_SLOTS:
    void chooserMovesRecipientsAndEditsContacts() {
        CoreTables t(clock_);
        t.contacts.append("bob");
        t.contacts.append("carol");
        test::joinGroup(t, "team", "boss", {{"x", 0}});

        RecipientChooserDialog d(t, QStringLiteral(",,alice,,"), UiLanguage::Chinese);
        d.open();
        QCOMPARE(d.windowTitle(), QStringLiteral("选择收件人"));
        QCOMPARE(texts(d.candidateList()), (QStringList{"bob", "carol", "[team:boss]"}));
        QCOMPARE(texts(d.recipientList()), QStringList{"alice"});

        select(d.candidateList(), {"bob", "[team:boss]"});
        QTest::mouseClick(d.addButton(), Qt::LeftButton);
        QCOMPARE(texts(d.recipientList()), (QStringList{"alice", "bob", "[team:boss]"}));
        // A recipient is listed once, whatever is selected again.
        select(d.candidateList(), {"bob"});
        QTest::mouseClick(d.addButton(), Qt::LeftButton);
        QCOMPARE(d.recipientList()->count(), 3);

        select(d.recipientList(), {"alice"});
        QTest::mouseClick(d.removeButton(), Qt::LeftButton);
        QCOMPARE(texts(d.recipientList()), (QStringList{"bob", "[team:boss]"}));

        // The contact editor opens beside it; its changes show once it closes.
        QTest::mouseClick(d.editContactsButton(), Qt::LeftButton);
        QPointer<ContactEditorDialog> editor = d.contactEditor();
        QVERIFY(editor);
        QTRY_VERIFY_WITH_TIMEOUT(editor->isVisible(), 5000);
        QCOMPARE(editor->windowTitle(), QStringLiteral("编辑联系人"));
        typeInto(editor->nameEdit(), "dave");
        QTest::mouseClick(editor->addButton(), Qt::LeftButton);
        QTest::mouseClick(editor->exitButton(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(d.candidateList()->count() == 4, 5000);
        QCOMPARE(texts(d.candidateList()), (QStringList{"bob", "carol", "dave", "[team:boss]"}));
        QTRY_VERIFY_WITH_TIMEOUT(!editor, 5000);

        QTest::mouseClick(d.okButton(), Qt::LeftButton);
        QCOMPARE(d.result(), int(QDialog::Accepted));
        QCOMPARE(d.toText(), QStringLiteral("bob,[team:boss]"));
    }

    void contactEditorAddsAndDeletes() {
        CoreTables t(clock_);
        t.contacts.append("bob");
        ContactEditorDialog d(t, UiLanguage::English);
        d.open();
        QCOMPARE(texts(d.contactList()), QStringList{"bob"});

        typeInto(d.nameEdit(), "  carol ");
        QTest::mouseClick(d.addButton(), Qt::LeftButton);
        typeInto(d.nameEdit(), "CAROL");
        QTest::keyClick(d.nameEdit(), Qt::Key_Return);
        typeInto(d.nameEdit(), "erin");
        QTest::mouseClick(d.addButton(), Qt::LeftButton);
        QCOMPARE(t.contacts.toVector(), (Names{"bob", "carol", "erin"}));
        QCOMPARE(texts(d.contactList()), (QStringList{"bob", "carol", "erin"}));

        // The selected entry goes first; without a selection the typed name does.
        typeInto(d.nameEdit(), "erin");
        d.contactList()->setCurrentRow(0);
        QTest::mouseClick(d.deleteButton(), Qt::LeftButton);
        QCOMPARE(t.contacts.toVector(), (Names{"carol", "erin"}));
        d.contactList()->clearSelection();
        QTest::mouseClick(d.deleteButton(), Qt::LeftButton);
        QCOMPARE(t.contacts.toVector(), Names{"carol"});
        QCOMPARE(texts(d.contactList()), QStringList{"carol"});
    }

    void sendOptionsRoundTrip() {
        const uint32_t start =
            MailFlags::bulletin | MailFlags::classified | MailFlags::news | 0x100;
        {
            SendOptionsDialog d(start, UiLanguage::Chinese);
            d.open();
            QCOMPARE(d.windowTitle(), QStringLiteral("发送选项"));
            QCOMPARE(d.box(1085)->text(), QStringLiteral("收件人需要签收文件"));
            QVERIFY(d.box(1081)->isHidden());
            QVERIFY(d.box(1083)->isHidden());
            QVERIFY(d.box(1083)->isChecked());
            QVERIFY(d.box(1082)->isVisible());
            QVERIFY(d.box(1080)->isChecked());
            QVERIFY(!d.box(1084)->isChecked());
            QVERIFY(!d.box(1079));

            d.box(1080)->click();  // bulletin off
            d.box(1082)->click();  // urgent on
            d.box(1084)->click();  // HTML on
            QTest::mouseClick(d.okButton(), Qt::LeftButton);
            QCOMPARE(d.result(), int(QDialog::Accepted));
            QCOMPARE(d.options(), uint32_t(MailFlags::classified | MailFlags::news | 0x100 |
                                           MailFlags::urgent | MailFlags::bodyIsFirstFile));
        }
        {
            SendOptionsDialog d(start, UiLanguage::English);
            d.open();
            d.box(1086)->click();
            QTest::mouseClick(d.cancelButton(), Qt::LeftButton);
            QCOMPARE(d.options(), start);
        }
    }

    void chooseUsersReturnsCheckedNames() {
        CoreTables t(clock_);
        test::joinGroup(t, "g", "boss",
                        {{"org/sales/alice", 0},
                         {"org/dev/bob", 0},
                         {"org/dev/carl", 0},
                         {"org/sales/ghost", 1},
                         {"other/dave", 0}});
        ChooseUsersDialog d(t, "org/dev/bob", UiLanguage::Chinese);
        d.open();
        QCOMPARE(d.windowTitle(), QStringLiteral("请选择用户..."));
        QCOMPARE(d.tree()->topLevelItemCount(), 2);
        QTreeWidgetItem* org = d.tree()->topLevelItem(0);
        QCOMPARE(org->text(0), QStringLiteral("org"));
        QCOMPARE(org->childCount(), 2);
        QVERIFY(org->isExpanded());
        QVERIFY(d.itemFor("org/dev")->isExpanded());
        QVERIFY(!d.itemFor("org/sales")->isExpanded());
        QVERIFY(!d.tree()->topLevelItem(1)->isExpanded());
        QCOMPARE(d.itemFor("org/sales")->childCount(), 1);  // the kind-1 member is left out
        QVERIFY(!d.itemFor("org/sales/ghost"));

        QVERIFY(d.chosenNames().empty());
        d.itemFor("org/dev/carl")->setCheckState(0, Qt::Checked);
        d.itemFor("org/sales")->setCheckState(0, Qt::Checked);
        d.itemFor("other/dave")->setCheckState(0, Qt::Checked);
        QTest::mouseClick(d.okButton(), Qt::LeftButton);
        QCOMPARE(d.result(), int(QDialog::Accepted));
        QCOMPARE(d.chosenNames(), (Names{"org/sales", "org/dev/carl", "other/dave"}));
    }

    void completionOffersAndCompletes() {
        CoreTables t(clock_);
        test::joinGroup(
            t, "g", "boss",
            {{"org/sales/alice", 0}, {"org/ALbert", 0}, {"org/x/alan", 2}, {"alma", 0}});
        ToWindow w(t);
        w.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w.window));
        w.window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w.window));
        w.to->setFocus();
        QTRY_VERIFY_WITH_TIMEOUT(w.to->hasFocus(), 5000);

        QTest::keyClicks(w.to, "bob,al");
        QVERIFY(w.completer->popupVisible());
        QCOMPARE(texts(w.completer->popup()), (QStringList{"org/sales/alice", "org/ALbert"}));
        QVERIFY(w.to->hasFocus());  // typing goes on in the field
        QListWidget* list = w.completer->popup();
        QVERIFY(list->geometry().top() > w.to->geometry().bottom());
        QVERIFY(list->sizeHintForRow(0) >= ToCompleter::kMinRowHeight);

        // Down enters the list and stays within it.
        QTest::keyClick(w.to, Qt::Key_Down);
        QCOMPARE(list->currentRow(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(list->hasFocus(), 5000);
        QTest::keyClick(list, Qt::Key_Down);
        QTest::keyClick(list, Qt::Key_Down);
        QCOMPARE(list->currentRow(), 1);
        QTest::keyClick(list, Qt::Key_Up);
        QTest::keyClick(list, Qt::Key_Up);
        QCOMPARE(list->currentRow(), 0);
        QTest::keyClick(list, Qt::Key_Return);
        QVERIFY(!w.completer->popupVisible());
        QCOMPARE(w.to->text(), QStringLiteral("bob,org/sales/alice,"));
        QCOMPARE(w.to->cursorPosition(), int(w.to->text().size()));
        QTRY_VERIFY_WITH_TIMEOUT(w.to->hasFocus(), 5000);

        // The next entry completes on its own; a double click takes a name too.
        QTest::keyClicks(w.to, "ALB");
        QVERIFY(w.completer->popupVisible());
        QCOMPARE(texts(list), QStringList{"org/ALbert"});
        QListWidgetItem* item = list->item(0);
        const QPoint at = list->visualItemRect(item).center();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
        QVERIFY(w.completer->popupVisible());  // a single click only selects
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
        QTRY_COMPARE_WITH_TIMEOUT(w.to->text(), QStringLiteral("bob,org/sales/alice,org/ALbert,"),
                                  5000);
        QVERIFY(!w.completer->popupVisible());

        // Any other key hides the list.
        typeInto(w.to, "al");
        QVERIFY(w.completer->popupVisible());
        QTest::keyClick(w.to, Qt::Key_Escape);
        QVERIFY(!w.completer->popupVisible());
        typeInto(w.to, "al");
        QTest::keyClick(w.to, Qt::Key_Left);
        QVERIFY(!w.completer->popupVisible());
        // A key typed in the list closes it and reaches the field.
        typeInto(w.to, "al");
        QTest::keyClick(w.to, Qt::Key_Down);
        QTRY_VERIFY_WITH_TIMEOUT(list->hasFocus(), 5000);
        QTest::keyClick(list, Qt::Key_I);
        QTRY_VERIFY_WITH_TIMEOUT(w.to->hasFocus(), 5000);
        QCOMPARE(w.to->text(), QStringLiteral("ali"));
        QVERIFY(w.completer->popupVisible());  // "ali" still matches alice
        QCOMPARE(texts(list), QStringList{"org/sales/alice"});
        QTest::keyClick(w.to, Qt::Key_Down);
        QTRY_VERIFY_WITH_TIMEOUT(list->hasFocus(), 5000);
        QTest::keyClick(list, Qt::Key_Escape);
        QVERIFY(!w.completer->popupVisible());
        QTRY_VERIFY_WITH_TIMEOUT(w.to->hasFocus(), 5000);
        QCOMPARE(w.to->text(), QStringLiteral("ali"));

        // Deleting is not typing at the end; no match, no list.
        typeInto(w.to, "ali");
        QTest::keyClick(w.to, Qt::Key_Backspace);
        QVERIFY(!w.completer->popupVisible());
        typeInto(w.to, "zz");
        QVERIFY(!w.completer->popupVisible());

        // Leaving the field hides the list.
        typeInto(w.to, "al");
        QVERIFY(w.completer->popupVisible());
        w.other->setFocus();
        QTRY_VERIFY_WITH_TIMEOUT(!w.completer->popupVisible(), 5000);
    }

    void completionNeedsOneToNineteenMatches() {
        CoreTables t(clock_);
        std::vector<std::pair<std::string, int>> members;
        for (int i = 0; i < 20; ++i)
            members.push_back({"org/user" + std::to_string(i), 0});
        test::joinGroup(t, "g", "boss", members);
        ToWindow w(t);
        w.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w.window));
        w.to->setFocus();

        typeInto(w.to, "user");
        QVERIFY(!w.completer->popupVisible());  // 20 matches
        QTest::keyClick(w.to, Qt::Key_1);
        QVERIFY(w.completer->popupVisible());  // 11 matches, 8 rows shown
        QListWidget* list = w.completer->popup();
        QCOMPARE(list->count(), 11);
        const int row = list->sizeHintForRow(0);
        QVERIFY(row >= ToCompleter::kMinRowHeight);
        QVERIFY(list->height() <= 8 * row + 2 * list->frameWidth());
        QVERIFY(list->height() >= 8 * row);

        // A pre-filled line is the base for the next keystroke.
        w.to->setText(QStringLiteral("x,"));
        QVERIFY(!w.completer->popupVisible());
        w.to->setCursorPosition(2);
        QTest::keyClicks(w.to, "user19");
        QVERIFY(w.completer->popupVisible());
        QCOMPARE(texts(list), QStringList{"org/user19"});
    }
};

QTEST_MAIN(MailDialogsTest)
#include "mail_dialogs_test.moc"

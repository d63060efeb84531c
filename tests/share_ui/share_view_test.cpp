// The share view over a real client session: the tree synchronised from the store, the file
// list with exact sizes kept in place, the context menus of each branch, adding a folder tree
// from disk, and a click on another user's folder asking once.
#include <QAction>
#include <QMenu>
#include <QTableWidget>
#include <QTest>
#include <QTreeWidget>

#include <filesystem>
#include <fstream>

#include "share/ui/share_view.h"
#include "support/session_client.h"
#include "support/temp_dir.h"

using namespace orv;

namespace {

struct Client : test::SessionClient {
    Client() : SessionClient("alice") {
        session->share().loggedIn();
        view = std::make_unique<ShareView>(*session, *pump);
        view->resize(800, 500);
        view->showMessage = [this](const QString& m) { messages << m; };
    }
    ~Client() { view.reset(); }
    QStringList texts(QMenu* m) {
        QStringList out;
        for (QAction* a : m->actions())
            out << (a->isSeparator() ? "-" : a->text() + (a->isEnabled() ? "" : " (off)"));
        return out;
    }
    QTreeWidgetItem* item(const std::string& path) {
        QTreeWidgetItem* it = view->tree()->topLevelItem(0);
        size_t start = 1;
        while (it && start < path.size()) {
            size_t end = path.find('/', start);
            QString name = QString::fromStdString(path.substr(start, end - start));
            QTreeWidgetItem* next = nullptr;
            for (int i = 0; i < it->childCount(); ++i)
                if (it->child(i)->text(0) == name) next = it->child(i);
            it = next;
            start = end + 1;
        }
        return it;
    }
    void trigger(QMenu* m, const QString& text) {
        for (QAction* a : m->actions())
            if (a->text() == text) a->trigger();
        delete m;
    }
    std::unique_ptr<ShareView> view;
    QStringList messages;
};

}  // namespace

class ShareViewTest : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void treeListAndMenusPerBranch() {
        Client c;
        ShareStore& s = c.t().share;
        s.AddFolder("/bob/", 0);
        s.AddFolder("/alice/b/", 0);
        s.AddFolder("/bob/Music/", 0);
        s.AddFolder("/alice/a/", 0);
        SharedFileRecord r{};
        r.size = 1048576;
        r.added = 1'700'000'000;
        s.AddFile("", "song.mp3", r, "/bob/Music/");
        r.size = 3;
        s.AddFile("", "notes.txt", r, "/bob/Music/");
        c.view->syncChildren(c.view->tree()->topLevelItem(0), true);
        QTreeWidgetItem* top = c.view->tree()->topLevelItem(0);
        QCOMPARE(top->text(0), QString("/"));
        QCOMPARE(top->childCount(), 2);
        QCOMPARE(top->child(0)->text(0), QString("alice"));
        QCOMPARE(top->child(1)->text(0), QString("bob"));
        QCOMPARE(top->child(0)->child(0)->text(0), QString("b"));  // first appearance
        QCOMPARE(top->child(0)->child(1)->text(0), QString("a"));
        QCOMPARE(c.item("/bob/Music/")->childIndicatorPolicy(), QTreeWidgetItem::DontShowIndicator);
        QCOMPARE(c.item("/bob/")->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);

        c.view->select(top);
        QCOMPARE(c.texts(c.view->treeMenu()), QStringList{"Connect User"});
        QVERIFY(c.view->listMenu() == nullptr);
        c.view->select(c.item("/alice/a/"));
        QCOMPARE(c.texts(c.view->treeMenu()),
                 (QStringList{"New Folder", "Delete", "Rename", "Add Folder from Disk"}));
        QCOMPARE(c.texts(c.view->listMenu()), (QStringList{"Add Files", "Delete"}));

        // A click on another user's folder asks its owner once.
        int mails = c.t().mails.count();
        c.view->select(c.item("/bob/Music/"));
        c.view->select(c.item("/bob/Music/"));
        QCOMPARE(c.t().mails.count(), mails + 1);
        QCOMPARE(c.t().mails[mails].kind, MailKind::ListFolder);
        QCOMPARE(QString::fromStdString(c.t().mailSubject(mails)), QString("/bob/Music/"));
        QCOMPARE(c.texts(c.view->treeMenu()),
                 (QStringList{"Download Folder", "Refresh Folder Tree", "-", "Connect User"}));
        QCOMPARE(c.texts(c.view->listMenu()),
                 (QStringList{"Open", "Preview Video", "Save to...", "Refresh"}));

        QTableWidget* list = c.view->list();
        QCOMPARE(list->rowCount(), 2);
        QCOMPARE(list->item(0, 0)->text(), QString("song.mp3"));
        QCOMPARE(list->item(0, 1)->text(), QString("1048576"));
        QCOMPARE(list->horizontalHeaderItem(1)->text(), QString("FileSize"));
        // Updated in place: the selection survives a refresh.
        list->selectRow(1);
        s.RemoveFile("/bob/Music/", "song.mp3");
        s.AddFile("", "song.mp3", r, "/bob/Music/");
        c.view->refreshList();
        QVERIFY(list->item(1, 0)->isSelected());
        QCOMPARE(list->item(1, 0)->text(), QString("song.mp3"));
    }

    void downloadsFromAnotherUsersFolder() {
        Client c;
        test::TempDir disk;
        c.t().setSettingString(SettingString::ReceiveFolder, disk.file("in"));
        ShareStore& s = c.t().share;
        s.AddFolder("/bob/", 0);
        s.AddFolder("/bob/Music/", 0);
        SharedFileRecord r{};
        for (const char* n : {"a.mp3", "b.mp3", "c.mp3"}) {
            r.size += 100;
            s.AddFile("", n, r, "/bob/Music/");
        }
        std::filesystem::create_directories(disk.file("in"));
        std::ofstream(disk.file("in/a.mp3")) << "already here";
        c.view->syncChildren(c.view->tree()->topLevelItem(0), true);
        c.view->select(c.item("/bob/Music/"));
        QTableWidget* list = c.view->list();
        list->selectAll();
        // Open: three downloads into the receive folder, clashes renamed, the first opens.
        c.trigger(c.view->listMenu(), "Open");
        TransferList& tl = c.session->transfers().list();
        QCOMPARE(tl.count(), 3);
        QCOMPARE(QString::fromStdString(tl.entry(0).localPath),
                 QString::fromStdString(disk.file("in/[1]a.mp3")));
        QCOMPARE(QString::fromStdString(tl.entry(2).remotePath), QString("/bob/Music/c.mp3"));
        QCOMPARE(tl.record(0).openWhenComplete, uint8_t{1});
        QCOMPARE(tl.record(1).openWhenComplete, uint8_t{0});
        QCOMPARE(tl.record(2).total, uint64_t{300});
        QCOMPARE(tl.entry(0).owner, std::string("alice"));

        // Save to: names as they are, in the chosen folder; nothing when the picker is cancelled.
        QString chosen;
        c.view->askFolder = [&] { return chosen; };
        c.trigger(c.view->listMenu(), "Save to...");
        QCOMPARE(tl.count(), 3);
        chosen = QString::fromStdString(disk.file("keep"));
        c.trigger(c.view->listMenu(), "Save to...");
        QCOMPARE(tl.count(), 6);
        QCOMPARE(QString::fromStdString(tl.entry(3).localPath),
                 QString::fromStdString(disk.file("keep/a.mp3")));
        QCOMPARE(tl.record(3).openWhenComplete, uint8_t{0});

        c.trigger(c.view->treeMenu(), "Download Folder");
        QCOMPARE(tl.count(), 7);
        QCOMPARE(tl.record(6).kind, TransferKind::Folder);
        QCOMPARE(tl.record(6).total, kTransferSizeUnset);
        QCOMPARE(QString::fromStdString(tl.entry(6).localPath),
                 QString::fromStdString(disk.file("keep/Music/")));
        QVERIFY(c.messages.isEmpty());
    }

    void addFolderFromDiskAndEdit() {
        Client c;
        test::TempDir disk;
        std::string root = disk.file("照片 2024");
        std::filesystem::create_directories(root + "/trip/day1");
        std::ofstream(root + "/a.jpg") << "12345";
        std::ofstream(root + "/trip/day1/b.jpg") << std::string(1048576, 'b');
        std::ofstream(root + "/trip/bad\\name.jpg") << "x";
        c.view->syncChildren(c.view->tree()->topLevelItem(0), true);
        c.view->select(c.item("/alice/"));
        c.view->askFolder = [&] { return QString::fromStdString(root); };
        c.trigger(c.view->treeMenu(), "Add Folder from Disk");
        QVERIFY(c.item("/alice/照片 2024/trip/day1/") != nullptr);
        const ShareStore& s = c.t().share;
        int f = s.FindFile("/alice/照片 2024/trip/day1/b.jpg");
        QVERIFY(f >= 0);
        QCOMPARE(s.file(f).size, uint64_t(1048576));
        QCOMPARE(std::string(s.localPath(f)), root + "/trip/day1/b.jpg");
        QCOMPARE(s.FindFile("/alice/照片 2024/trip/bad\\name.jpg"), -1);

        c.view->select(c.item("/alice/照片 2024/"));
        QCOMPARE(c.view->list()->rowCount(), 1);
        QCOMPARE(c.view->list()->item(0, 1)->text(), QString("5"));
        c.view->askName = [](const QString&) { return QString("旅行"); };
        c.view->select(c.item("/alice/照片 2024/trip/"));
        c.trigger(c.view->treeMenu(), "Rename");
        QVERIFY(c.item("/alice/照片 2024/旅行/day1/") != nullptr);
        QVERIFY(c.item("/alice/照片 2024/trip/") == nullptr);
        c.view->select(c.item("/alice/照片 2024/旅行/"));
        c.trigger(c.view->treeMenu(), "Delete");
        QVERIFY(c.item("/alice/照片 2024/旅行/") == nullptr);
        QCOMPARE(s.FindFile("/alice/照片 2024/a.jpg") >= 0, true);

        // The root folder has no name to start from.
        c.view->select(c.item("/alice/"));
        c.view->askFolder = [] { return QString("/"); };
        c.trigger(c.view->treeMenu(), "Add Folder from Disk");
        QCOMPARE(c.messages.size(), 1);
        QVERIFY(c.messages[0].contains("root folder"));
    }
};

QTEST_MAIN(ShareViewTest)
#include "share_view_test.moc"

// The transfer view over a real client session: rows for downloads (folder progress folded
// from its files), the in-place refresh that keeps the selection, the context menu acting on
// the records its rows still stand for, the timer running only while shown, the Transfer
// button, both languages, and a folder fetched from a headless client that the view sees
// through to the end.
#include <QAction>
#include <QHeaderView>
#include <QMenu>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "server/directory_harness.h"
#include "shell/ui/main_window.h"
#include "support/child_process.h"
#include "support/session_client.h"
#include "support/transfer_records.h"
#include "transfers/ui/transfer_view.h"

using namespace orv;

namespace {

struct Client : test::SessionClient {
    explicit Client(UiLanguage lang = UiLanguage::English) : SessionClient("alice", {}, lang) {
        view = std::make_unique<TransferView>(*session, *pump);
        view->resize(900, 400);
        view->openUrl = [this](const QUrl& u) { opened << u; };
    }
    ~Client() { view.reset(); }

    int add(int32_t kind, int32_t state, std::string_view remote, std::string_view local,
            uint64_t total, uint64_t received = 0, int32_t parent = -1) {
        return test::putTransfer(t(), kind, state, remote, local, total, received, parent);
    }
    QTableWidget* list() { return view->list(); }
    QString cell(int r, int c) {
        QTableWidgetItem* it = list()->item(r, c);
        return it ? it->text() : QString("<none>");
    }
    QStringList column(int c) {
        QStringList out;
        for (int r = 0; r < list()->rowCount(); ++r)
            out << cell(r, c);
        return out;
    }
    QStringList heads() {
        QStringList out;
        for (int c = 0; c < list()->columnCount(); ++c)
            out << list()->horizontalHeaderItem(c)->text();
        return out;
    }
    QStringList menuTexts() {
        QMenu* m = view->buildMenu();
        QStringList out;
        for (QAction* a : m->actions())
            out << (a->isSeparator() ? "-" : a->text());
        delete m;
        return out;
    }
    void select(std::initializer_list<int> rows) {
        list()->clearSelection();
        for (int r : rows)
            list()->selectionModel()->select(
                list()->model()->index(r, 0),
                QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    void trigger(int command) {
        QMenu* m = view->buildMenu();
        int n = 0;
        for (QAction* a : m->actions()) {
            if (a->isSeparator()) continue;
            if (n++ == command) a->trigger();
        }
        delete m;
    }
    QStringList paths() {
        QStringList out;
        for (int i = 0; i < t().transfers.count(); ++i)
            out << QString::fromStdString(t().transferRemotePaths.str(i));
        return out;
    }

    std::unique_ptr<TransferView> view;
    QList<QUrl> opened;
};

}  // namespace

class TransferViewTest : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void rowsFoldFoldersAndShowEveryColumn() {
        Client c;
        QCOMPARE(c.heads(),
                 (QStringList{"FileName", "FileSize", "Progress", "Rate", "State", "Path"}));
        QVERIFY(c.list()->selectionBehavior() == QAbstractItemView::SelectRows);
        c.add(TransferKind::File, TransferState::Done, "/bob/a/song.mp3", "/tmp/d/song.mp3", 1024,
              1024);
        int folder = c.add(TransferKind::Folder, TransferState::FolderBusy, "/bob/music/",
                           "/tmp/d/music/", 200);
        // One of its two files was done and removed already; the other is at 40.
        c.add(TransferKind::FolderFile, TransferState::Receiving, "/bob/music/b.mp3",
              "/tmp/d/music/b.mp3", 100, 40, folder);
        c.add(TransferKind::Preview, TransferState::Paused, "/bob/film.mkv", "/tmp/film.mkv",
              3 * 1048576);
        c.add(TransferKind::File, TransferState::Requested, "/bob/x.bin", "/tmp/d/x.bin", 10);
        c.view->refresh();
        QCOMPARE(c.list()->rowCount(), 4);
        QCOMPARE(c.column(TransferView::NameColumn),
                 (QStringList{"song.mp3", "music", "film.mkv", "x.bin"}));
        QCOMPARE(c.column(TransferView::SizeColumn),
                 (QStringList{"1024 Byte", "200 Byte", "3.0MB", "10 Byte"}));
        QCOMPARE(c.column(TransferView::ProgressColumn),
                 (QStringList{"1024 Byte", "140 Byte", "0 Byte", "0 Byte"}));
        QCOMPARE(c.column(TransferView::RateColumn),
                 (QStringList{"0.0KB/s", "0.0KB/s", "0.0KB/s", "0.0KB/s"}));
        QCOMPARE(c.column(TransferView::StateColumn),
                 (QStringList{"Downloaded", "Downloading", "Pause", "Downloading"}));
        QCOMPARE(c.column(TransferView::PathColumn),
                 (QStringList{"/bob/a/song.mp3", "/bob/music/", "/bob/film.mkv", "/bob/x.bin"}));
        // The bar's fill: done is full, the folder at 140 of 200.
        auto fill = [&](int r) {
            return c.list()
                ->item(r, TransferView::ProgressColumn)
                ->data(TransferProgressDelegate::kPermilleRole)
                .toInt();
        };
        QCOMPARE(fill(0), 1000);
        QCOMPARE(fill(1), 700);
        QCOMPARE(fill(2), 0);
        // The delegate paints without trouble in a shown view.
        c.view->show();
        QVERIFY(QTest::qWaitForWindowExposed(c.view.get()));
        c.list()->viewport()->repaint();

        // The last file done: the folder completes on the next tick, its file record goes.
        c.t().transfers[2].received = 100;
        c.t().transfers[2].state = TransferState::Done;
        c.view->refresh();
        QCOMPARE(c.paths(),
                 (QStringList{"/bob/a/song.mp3", "/bob/music/", "/bob/film.mkv", "/bob/x.bin"}));
        QCOMPARE(c.cell(1, TransferView::StateColumn), QString("Downloaded"));
        QCOMPARE(c.cell(1, TransferView::ProgressColumn), QString("200 Byte"));
    }

    void refreshInPlaceKeepsSelectionAndWidths() {
        Client c;
        for (int w = 0; w < 6; ++w)
            c.t().setSettingNumber(30 + w, 50 + 10 * w);
        c.view = std::make_unique<TransferView>(*c.session, *c.pump);
        QCOMPARE(c.list()->columnWidth(0), 50);
        QCOMPARE(c.list()->columnWidth(5), 100);
        c.add(TransferKind::File, TransferState::Receiving, "/bob/1", "/tmp/1", 100, 10);
        c.add(TransferKind::File, TransferState::Receiving, "/bob/2", "/tmp/2", 100, 20);
        c.add(TransferKind::File, TransferState::Receiving, "/bob/3", "/tmp/3", 100, 30);
        c.view->refresh();
        QTableWidgetItem* kept = c.list()->item(1, 0);
        c.select({1});
        c.list()->setColumnWidth(2, 123);  // the user drags a column wider

        c.t().transfers[1].received = 60;
        c.t().removeTransfer(2);
        c.view->refresh();
        QCOMPARE(c.list()->rowCount(), 2);
        QCOMPARE(c.list()->item(1, 0), kept);  // overwritten, not rebuilt
        QVERIFY(c.list()->item(1, 0)->isSelected());
        QCOMPARE(c.cell(1, TransferView::ProgressColumn), QString("60 Byte"));
        QCOMPARE(c.t().settingNumber(32), 123);
        QCOMPARE(c.t().settingNumber(30), 50);

        c.add(TransferKind::File, TransferState::Paused, "/bob/4", "/tmp/4", 5);
        c.view->refresh();
        QCOMPARE(c.column(TransferView::NameColumn), (QStringList{"1", "2", "4"}));
        QVERIFY(c.list()->item(1, 0)->isSelected());
        QVERIFY(!c.list()->item(2, 0)->isSelected());
    }

    void menuActsOnTheRecordsItsRowsStillShow() {
        Client c;
        QCOMPARE(c.menuTexts(), (QStringList{"Start", "Pause", "Cancel", "-", "Open File",
                                             "Browse Download Folder"}));
        c.add(TransferKind::File, TransferState::Paused, "/bob/a", "/tmp/d/a", 100);
        c.add(TransferKind::File, TransferState::Receiving, "/bob/b", "/tmp/d/b", 100, 5);
        c.add(TransferKind::File, TransferState::Done, "/bob/c", "/tmp/d/c", 100, 100);
        c.add(TransferKind::File, TransferState::Paused, "/bob/d", "/tmp/d/d", 100);
        c.view->refresh();

        // Start acts on each selected row; a receiving file is left alone.
        c.select({0, 1});
        c.trigger(TransferView::Start);
        QCOMPARE(c.t().transfers[0].state, TransferState::Waiting);
        QCOMPARE(c.t().transfers[1].state, TransferState::Receiving);
        QCOMPARE(c.cell(0, TransferView::StateColumn), QString("Downloading"));
        c.trigger(TransferView::Pause);
        QCOMPARE(c.t().transfers[0].state, TransferState::Paused);
        QCOMPARE(c.t().transfers[1].state, TransferState::Paused);

        // Open and browse take the first selected row, and only once it is done.
        c.select({1, 2});
        c.trigger(TransferView::OpenFile);
        QVERIFY(c.opened.isEmpty());
        c.select({2, 3});
        c.trigger(TransferView::OpenFile);
        c.trigger(TransferView::BrowseFolder);
        QCOMPARE(c.opened,
                 (QList<QUrl>{QUrl::fromLocalFile("/tmp/d/c"), QUrl::fromLocalFile("/tmp/d/")}));

        // Cancelling two rows removes both, though the first one moves the other up.
        c.select({0, 2});
        c.trigger(TransferView::Cancel);
        QCOMPARE(c.paths(), (QStringList{"/bob/b", "/bob/d"}));
        QCOMPARE(c.column(TransferView::PathColumn), (QStringList{"/bob/b", "/bob/d"}));

        // The list changed under the rows before they were refreshed: row 0 no longer stands
        // for its record, so nothing happens to it, not even as the first selected row of an
        // open; row 1 still does.
        c.t().transferRemotePaths.replaceAt(0, "/bob/z");
        c.t().transfers[1].state = TransferState::Done;
        c.select({0, 1});
        c.opened.clear();
        c.trigger(TransferView::OpenFile);
        QVERIFY(c.opened.isEmpty());
        c.trigger(TransferView::Cancel);
        QCOMPARE(c.paths(), (QStringList{"/bob/z"}));
        QCOMPARE(c.column(TransferView::PathColumn), (QStringList{"/bob/z"}));
        c.t().transferRemotePaths.replaceAt(0, "/bob/y");
        c.select({0});
        c.trigger(TransferView::Start);
        c.trigger(TransferView::Cancel);
        QCOMPARE(c.paths(), (QStringList{"/bob/y"}));
        QCOMPARE(c.t().transfers[0].state, TransferState::Paused);
    }

    void timerRunsOnlyWhileShownAndEventsRefresh() {
        Client c;
        QVERIFY(!c.view->timer().isActive());
        c.view->show();
        QVERIFY(c.view->timer().isActive());
        c.add(TransferKind::File, TransferState::Receiving, "/bob/1", "/tmp/1", 100, 10);
        // A change is announced: the view follows without waiting for its timer.
        c.session->state().events.push(EventKind::TransferChanged, 0);
        c.pump->kick();
        QVERIFY(QTest::qWaitFor([&] { return c.list()->rowCount() == 1; }, 5000));
        c.t().transfers[0].received = 50;
        QVERIFY(QTest::qWaitFor([&] { return c.cell(0, 2) == "50 Byte"; }, 5000));
        c.view->hide();
        QVERIFY(!c.view->timer().isActive());
    }

    void transferButtonShowsAndRefreshesThePage() {
        Client c;
        MainWindow window(*c.session, *c.pump);
        auto* page = new TransferView(*c.session, *c.pump);
        window.setChildPage(View::Transfer, page);
        QObject::connect(&window, &MainWindow::viewShown, page, [page](int view) {
            if (view == View::Transfer) page->refreshShown();
        });
        window.show();
        c.add(TransferKind::File, TransferState::Paused, "/bob/1", "/tmp/1", 100, 10);
        QVERIFY(!page->isVisible());
        window.button(Cmd::ShowTransfer)->click();
        QCOMPARE(window.currentView(), int(View::Transfer));
        QVERIFY(page->isVisible());
        QVERIFY(page->timer().isActive());
        QCOMPARE(page->list()->rowCount(), 1);
        window.command(Cmd::ShowInbox);
        QVERIFY(!page->isVisible());
        QVERIFY(!page->timer().isActive());
    }

    void folderFromAnotherClientIsDownloadedThroughTheView() {
        test::TempDir dir;
        test::DirectoryProcess server;
        QVERIFY(server.start(dir.file("directory.sqlite")));
        const std::string address = "127.0.0.1:" + std::to_string(server.port());
        namespace fs = std::filesystem;
        const std::string src = dir.file("src/photos");
        fs::create_directories(src + "/2024");
        const std::vector<std::pair<std::string, size_t>> files = {
            {"a.jpg", 70000}, {"2024/b.jpg", 3000}, {"2024/empty.txt", 0}};
        for (const auto& [name, size] : files)
            std::ofstream(src + "/" + name, std::ios::binary) << std::string(size, 'x');
        test::ChildProcess alice;
        QVERIFY(
            test::startHeadlessUser(alice, dir.file("alice"), address, "alice", "pwalice", true));
        alice.writeLine("share add-dir /alice/ \"" + src + "\"");
        QVERIFY(alice.waitForLine("\"cmd\":\"share\"", 20000).has_value());

        test::SessionClient bob("", address);
        QVERIFY(bob.createAndLogIn("bob", "pwbob"));
        TransferView view(*bob.session, *bob.pump);
        view.show();
        const std::string into = dir.file("into");
        TransferResult r = bob.session->transfers().downloadFolder("/alice/photos/", into);
        QVERIFY2(r.ok, r.message.c_str());
        bob.pump->kick();
        view.refresh();
        QCOMPARE(view.list()->rowCount(), 1);
        QCOMPARE(view.list()->item(0, TransferView::NameColumn)->text(), QString("photos"));
        // The view's own tick completes the folder once its files are in.
        QVERIFY(QTest::qWaitFor(
            [&] { return view.list()->item(0, TransferView::StateColumn)->text() == "Downloaded"; },
            60000));
        QCOMPARE(view.list()->rowCount(), 1);
        QCOMPARE(bob.t().transfers.count(), 1);
        QCOMPARE(view.list()->item(0, TransferView::SizeColumn)->text(), QString("71.2KB"));
        QCOMPARE(view.list()->item(0, TransferView::ProgressColumn)->text(), QString("71.2KB"));
        for (const auto& [name, size] : files)
            QCOMPARE(fs::file_size(into + "/photos/" + name), static_cast<uintmax_t>(size));
        view.hide();
        alice.writeLine("quit");
        if (alice.wait(20000) < 0) {
            alice.kill(SIGKILL);
            alice.wait();
        }
    }

    void chineseTexts() {
        Client c(UiLanguage::Chinese);
        QCOMPARE(c.heads(), (QStringList{"文件名", "大小", "已完成", "速度", "状态", "路径"}));
        QCOMPARE(c.menuTexts(),
                 (QStringList{"开始", "暂停", "取消", "-", "打开文件", "浏览下载文件夹"}));
        c.add(TransferKind::File, TransferState::Done, "/bob/1", "/tmp/1", 1, 1);
        c.add(TransferKind::File, TransferState::Paused, "/bob/2", "/tmp/2", 1);
        c.add(TransferKind::File, TransferState::Waiting, "/bob/3", "/tmp/3", 1);
        c.view->refresh();
        QCOMPARE(c.column(TransferView::StateColumn), (QStringList{"下载完成", "暂停", "下载中"}));
    }
};

QTEST_MAIN(TransferViewTest)
#include "transfer_view_test.moc"

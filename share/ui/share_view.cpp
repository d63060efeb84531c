#include "share/ui/share_view.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QHeaderView>
#include <QInputDialog>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QStyle>
#include <QUrl>

#include "core/format.h"
#include "share/ui/preview_dialog.h"

namespace orv {

namespace {

enum Command {
    NewFolder,
    DeleteFolder,
    Rename,
    AddFromDisk,
    DownloadFolder,
    RefreshTree,
    ConnectUser,
    AddFiles,
    RemoveFiles,
    Open,
    PreviewVideo,
    SaveTo,
    Refresh,
};

// Menu captions: Chinese as the menus have always been, English under --lang en.
constexpr TextPair kCaption[] = {
    {"New Folder", "新建目录"},
    {"Delete", "删除"},
    {"Rename", "重命名"},
    {"Add Folder from Disk", "从硬盘添加目录"},
    {"Download Folder", "下载目录"},
    {"Refresh Folder Tree", "刷新目录"},
    {"Connect User", "连接用户"},
    {"Add Files", "添加文件"},
    {"Delete", "删除"},
    {"Open", "打开"},
    {"Preview Video", "预览视频"},
    {"Save to...", "保存到..."},
    {"Refresh", "刷新"},
};
constexpr TextPair kFolderName{"Input Folder Name", "请输入目录名"};
constexpr TextPair kUserName{"Input User Name", "请输入用户名"};
constexpr TextPair kSelectFolder{"Please select folder", "请选择目录"};
constexpr TextPair kNoPlayer{"No player is set for this kind of file: choose one and open it.",
                             "没有播放这种文件的程序：请选择播放器后打开。"};
constexpr TextPair kPlayerFailed{"The player could not be started: ", "无法启动播放器："};
constexpr TextPair kColumns[] = {
    {"FileName", "文件名"}, {"FileSize", "大小"}, {"Time", "创建时间"}};
constexpr int kFirstWidth = 27;  // settings numbers 27-29: the list's column widths

QString qs(std::string_view s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

}  // namespace

ShareView::ShareView(ClientSession& session, SessionPump& pump, QWidget* parent)
    : QWidget(parent), s_(session), lang_(session.state().language) {
    tree_ = new QTreeWidget(this);
    tree_->setHeaderHidden(true);
    tree_->setContextMenuPolicy(Qt::CustomContextMenu);
    list_ = new QTableWidget(0, 3, this);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->verticalHeader()->hide();
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    QStringList heads;
    for (const auto& c : kColumns)
        heads << qs(pick(lang_, c));
    list_->setHorizontalHeaderLabels(heads);
    for (int i = 0; i < 3; ++i)
        list_->setColumnWidth(i, s_.tables().settingNumber(kFirstWidth + i));
    top_ = new QTreeWidgetItem(tree_, QStringList{"/"});
    selected_ = top_;
    syncChildren(top_, true);
    top_->setExpanded(true);

    askName = [this](const QString& title) {
        bool ok = false;
        for (;;) {
            QString t = QInputDialog::getText(this, title, title, QLineEdit::Normal, {}, &ok);
            if (!ok) return QString();
            if (!t.isEmpty()) return t;  // OK with nothing typed keeps the dialog open
        }
    };
    askFolder = [this] {
        return QFileDialog::getExistingDirectory(this, qs(pick(lang_, kSelectFolder)));
    };
    askFiles = [this] { return QFileDialog::getOpenFileNames(this, {}, {}, "All Files (*)"); };
    showMessage = [this](const QString& m) { QMessageBox::information(this, "Orvantel", m); };
    askPlayer = [this](const QString& fileName) -> std::optional<QString> {
        PreviewDialog d(s_, fileName, this);
        if (d.exec() != QDialog::Accepted) return std::nullopt;
        return d.program();
    };
    // The address is the player's one argument: no shell reads it.
    startPlayer = [](const QString& program, const QString& url) {
        return QProcess::startDetached(program, {url});
    };
    // A download asked to be opened when complete opens with the desktop's program for it.
    TransfersFacade& tf = s_.transfers();
    if (!tf.openFile)
        tf.openFile = [](const std::string& path) {
            QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path)));
        };

    connect(tree_, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* it) { select(it); });
    connect(tree_, &QTreeWidget::itemExpanded, this,
            [this](QTreeWidgetItem* it) { syncChildren(it, false); });
    connect(tree_, &QTreeWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        if (QTreeWidgetItem* it = tree_->itemAt(at)) selected_ = it;
        if (QMenu* m = treeMenu()) {
            m->exec(tree_->viewport()->mapToGlobal(at));
            m->deleteLater();
        }
    });
    connect(list_, &QTableWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        if (QMenu* m = listMenu()) {
            m->exec(list_->viewport()->mapToGlobal(at));
            m->deleteLater();
        }
    });
    // A listing that arrived is shown within a second; several in that second show once.
    listingTimer_.setSingleShot(true);
    listingTimer_.setInterval(1000);
    connect(&listingTimer_, &QTimer::timeout, this, [this] {
        syncChildren(selected_, true);
        refreshList();
    });
    connect(&pump, &SessionPump::sessionEvent, this, [this](const SessionEvent& e) { onEvent(e); });
}

void ShareView::onEvent(const SessionEvent& e) {
    if (e.kind == EventKind::ListingArrived) {
        if (!listingTimer_.isActive()) listingTimer_.start();
    } else if (e.kind == EventKind::ShareChanged) {
        syncChildren(top_, true);
        refreshList();
    }
}

void ShareView::refreshShown() {
    syncChildren(selected_, true);
    refreshList();
}

void ShareView::resizeEvent(QResizeEvent*) {
    int treeWidth = std::min(tree_->width() > 0 ? tree_->width() : 200, width() / 2);
    if (treeWidth < 150) treeWidth = std::min(200, width() / 3);
    tree_->setGeometry(0, 0, treeWidth, height());
    list_->setGeometry(treeWidth, 0, std::max(0, width() - treeWidth - 15), height());
}

std::string ShareView::pathOf(const QTreeWidgetItem* item) {
    std::string p;
    for (; item && item->parent(); item = item->parent())
        p = item->text(0).toStdString() + "/" + p;
    return "/" + p;
}

void ShareView::syncChildren(QTreeWidgetItem* item, bool deep) {
    if (!item) return;
    ShareFacade& sh = s_.share();
    std::string path = pathOf(item);
    std::vector<std::string> names = sh.childNames(path);
    QIcon folderIcon = style()->standardIcon(QStyle::SP_DirIcon);
    QIcon leafIcon = style()->standardIcon(QStyle::SP_DirClosedIcon);
    auto mark = [&](QTreeWidgetItem* it) {
        bool sub = sh.hasSubfolders(pathOf(it));
        it->setIcon(0, sub ? folderIcon : leafIcon);
        it->setChildIndicatorPolicy(sub ? QTreeWidgetItem::ShowIndicator
                                        : QTreeWidgetItem::DontShowIndicator);
    };
    for (size_t n = 0; n < names.size(); ++n) {
        QString name = qs(names[n]);
        QTreeWidgetItem* child;
        if (static_cast<int>(n) < item->childCount()) {
            child = item->child(static_cast<int>(n));
            if (child->text(0) != name) {
                child->setText(0, name);
                child->setExpanded(false);
            }
        } else {
            child = new QTreeWidgetItem(item, QStringList{name});
        }
        mark(child);
        if (deep) syncChildren(child, true);
    }
    while (item->childCount() > static_cast<int>(names.size())) {
        QTreeWidgetItem* gone = item->takeChild(item->childCount() - 1);
        for (QTreeWidgetItem* p = selected_; p; p = p->parent())
            if (p == gone) selected_ = item;
        delete gone;
    }
    mark(item);
}

void ShareView::refreshList() {
    if (widthsRead_)
        for (int i = 0; i < 3; ++i)
            s_.tables().setSettingNumber(kFirstWidth + i, list_->columnWidth(i));
    widthsRead_ = true;
    std::vector<ShareFileRow> rows = s_.share().files(pathOf(selected_));
    // Rows are overwritten in place, so the selection survives a refresh.
    list_->setRowCount(static_cast<int>(rows.size()));
    QFileIconProvider icons;
    for (int r = 0; r < static_cast<int>(rows.size()); ++r) {
        const ShareFileRow& row = rows[static_cast<size_t>(r)];
        QString cells[3] = {qs(row.name), QString::number(row.size), qs(FormatTime(row.added))};
        for (int c = 0; c < 3; ++c) {
            QTableWidgetItem* it = list_->item(r, c);
            if (!it) list_->setItem(r, c, it = new QTableWidgetItem);
            if (it->text() != cells[c]) it->setText(cells[c]);
        }
        list_->item(r, 0)->setIcon(icons.icon(QFileInfo(qs(row.name))));
    }
}

void ShareView::select(QTreeWidgetItem* item) {
    if (!item) return;
    selected_ = item;
    tree_->setCurrentItem(item);
    refreshList();
    std::string path = pathOf(item);
    if (s_.share().branchOf(path) == ShareBranch::Other) s_.share().requestListing(path, false);
}

QMenu* ShareView::treeMenu() {
    ShareBranch b = s_.share().branchOf(pathOf(selected_));
    auto* m = new QMenu(this);
    auto add = [&](int id) {
        connect(m->addAction(qs(pick(lang_, kCaption[id]))), &QAction::triggered, this,
                [this, id] { runCommand(id); });
    };
    if (b == ShareBranch::Top) {
        add(ConnectUser);
    } else if (b == ShareBranch::Own) {
        add(NewFolder), add(DeleteFolder), add(Rename), add(AddFromDisk);
    } else {
        add(DownloadFolder);
        add(RefreshTree);
        m->addSeparator();
        add(ConnectUser);
    }
    return m;
}

QMenu* ShareView::listMenu() {
    ShareBranch b = s_.share().branchOf(pathOf(selected_));
    if (b == ShareBranch::Top) return nullptr;
    auto* m = new QMenu(this);
    auto add = [&](int id, bool enabled = true) {
        QAction* a = m->addAction(qs(pick(lang_, kCaption[id])));
        a->setEnabled(enabled);
        connect(a, &QAction::triggered, this, [this, id] { runCommand(id); });
    };
    if (b == ShareBranch::Own) {
        add(AddFiles), add(RemoveFiles);
    } else {
        add(Open), add(PreviewVideo), add(SaveTo), add(Refresh);
    }
    return m;
}

std::vector<std::string> ShareView::selectedNames() const {
    std::vector<std::string> names;
    for (int r = 0; r < list_->rowCount(); ++r)
        if (list_->item(r, 0) && list_->item(r, 0)->isSelected())
            names.push_back(list_->item(r, 0)->text().toStdString());
    return names;
}

void ShareView::report(const ShareResult& r) {
    if (!r.ok && !r.message.empty() && showMessage) showMessage(qs(r.message));
}

void ShareView::transferReport(const TransferResult& r) {
    // Some names left out is said even when the rest started.
    if (!r.message.empty() && showMessage) showMessage(qs(r.message));
}

void ShareView::runCommand(int id) {
    ShareFacade& sh = s_.share();
    std::string p = pathOf(selected_);
    QTreeWidgetItem* parent = selected_->parent() ? selected_->parent() : top_;
    switch (id) {
        case NewFolder: {
            QString name = askName(qs(pick(lang_, kFolderName)));
            if (name.isEmpty()) return;
            report(sh.newFolder(p, name.toStdString()));
            syncChildren(selected_, false);
            return;
        }
        case DeleteFolder:
            report(sh.deleteFolder(p));
            syncChildren(parent, true);
            return;
        case Rename: {
            QString name = askName(qs(pick(lang_, kFolderName)));
            if (name.isEmpty()) return;
            report(sh.renameFolder(p, name.toStdString()));
            syncChildren(parent, true);
            return;
        }
        case AddFromDisk: {
            QString d = askFolder();
            if (d.isEmpty()) return;
            report(sh.addFolderFromDisk(p, d.toStdString()));
            syncChildren(selected_, true);
            return;
        }
        case AddFiles: {
            std::vector<std::string> files;
            for (const QString& f : askFiles())
                files.push_back(f.toStdString());
            if (files.empty()) return;
            report(sh.addFiles(p, files));
            refreshList();
            return;
        }
        case RemoveFiles:
            report(sh.removeFiles(p, selectedNames()));
            syncChildren(selected_, true);
            refreshList();
            return;
        case Open: {
            std::vector<std::string> names = selectedNames();
            if (names.empty()) return;
            transferReport(s_.transfers().open(p, names));
            return;
        }
        case SaveTo: {
            std::vector<std::string> names = selectedNames();
            if (names.empty()) return;
            QString d = askFolder();
            if (d.isEmpty()) return;
            transferReport(s_.transfers().saveTo(p, names, d.toStdString()));
            return;
        }
        case DownloadFolder: {
            QString d = askFolder();
            if (d.isEmpty()) return;
            transferReport(s_.transfers().downloadFolder(p, d.toStdString()));
            return;
        }
        case RefreshTree:
            sh.requestListing(p, true);
            return;
        case Refresh:
            sh.refresh(p);
            refreshList();
            return;
        case ConnectUser: {
            QString name = askName(qs(pick(lang_, kUserName)));
            if (!name.isEmpty()) sh.connectUser(name.toStdString());
            return;
        }
        case PreviewVideo:
            previewVideo(p);
            return;
        default:
            return;
    }
}

void ShareView::previewVideo(const std::string& folder) {
    // The first selected file only.
    std::vector<std::string> names = selectedNames();
    if (names.empty()) return;
    std::optional<QString> program = askPlayer(qs(names.front()));
    if (!program) return;
    std::string url;
    TransferResult r = s_.transfers().preview(folder + names.front(), url);
    if (!r.ok) {
        if (showMessage) showMessage(qs(r.message));
        return;
    }
    if (program->isEmpty()) {
        if (showMessage) showMessage(qs(pick(lang_, kNoPlayer)));
        return;
    }
    if (!startPlayer(*program, qs(url)) && showMessage)
        showMessage(qs(pick(lang_, kPlayerFailed)) + *program);
}

}  // namespace orv

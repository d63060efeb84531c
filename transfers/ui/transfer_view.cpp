#include "transfers/ui/transfer_view.h"

#include <QApplication>
#include <QDesktopServices>
#include <QHeaderView>
#include <QMenu>
#include <QPainter>
#include <QVBoxLayout>

#include <algorithm>

#include "core/format.h"
#include "qtkit/notice.h"
#include "transfers/transfer_tick.h"

namespace orv {

namespace {

constexpr TextPair kColumns[] = {{"FileName", "文件名"}, {"FileSize", "大小"},
                                 {"Progress", "已完成"}, {"Rate", "速度"},
                                 {"State", "状态"},      {"Path", "路径"}};
constexpr int kTransferColumns = 6;
constexpr int kFirstWidth = 30;  // settings numbers 30-35: the column widths
// Widths for columns the settings hold none for yet.
constexpr int kDefaultWidths[kTransferColumns] = {160, 80, 140, 80, 90, 260};

constexpr TextPair kDone{"Downloaded", "下载完成"};
constexpr TextPair kPaused{"Pause", "暂停"};
constexpr TextPair kBusy{"Downloading", "下载中"};

// Menu captions: Chinese as the menu has always been, English under --lang en.
constexpr TextPair kCaption[] = {
    {"Start", "开始"},
    {"Pause", "暂停"},
    {"Cancel", "取消"},
    {"Open File", "打开文件"},
    {"Browse Download Folder", "浏览下载文件夹"},
};

int permille(uint64_t received, uint64_t total, int32_t state) {
    if (state == TransferState::Done) return 1000;
    if (total == 0 || total == kTransferSizeUnset) return 0;
    double part = static_cast<double>(received) / static_cast<double>(total);
    return static_cast<int>(std::clamp(part, 0.0, 1.0) * 1000.0);
}

}  // namespace

void TransferProgressDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                     const QModelIndex& index) const {
    QStyleOptionViewItem item = option;
    initStyleOption(&item, index);
    const QWidget* widget = option.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    // The cell's own background (the selection) first, the bar inside it.
    item.text.clear();
    style->drawControl(QStyle::CE_ItemViewItem, &item, painter, widget);
    QStyleOptionProgressBar bar;
    bar.rect = option.rect.adjusted(1, 1, -1, -1);
    bar.minimum = 0;
    bar.maximum = 1000;
    bar.progress = index.data(kPermilleRole).toInt();
    bar.text = index.data(Qt::DisplayRole).toString();
    bar.textVisible = true;
    bar.textAlignment = Qt::AlignCenter;
    bar.state = option.state | QStyle::State_Horizontal;
    bar.fontMetrics = option.fontMetrics;
    bar.palette = option.palette;
    style->drawControl(QStyle::CE_ProgressBar, &bar, painter, widget);
}

TransferView::TransferView(ClientSession& session, SessionPump& pump, QWidget* parent)
    : QWidget(parent), s_(session), pump_(pump), lang_(session.state().language) {
    list_ = new QTableWidget(0, kTransferColumns, this);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->verticalHeader()->hide();
    list_->setShowGrid(false);
    list_->setWordWrap(false);
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    list_->setItemDelegateForColumn(ProgressColumn, new TransferProgressDelegate(list_));
    QStringList heads;
    for (const auto& c : kColumns)
        heads << qtext(lang_, c);
    list_->setHorizontalHeaderLabels(heads);
    for (int i = 0; i < kTransferColumns; ++i) {
        int w = s_.tables().settingNumber(kFirstWidth + i);
        list_->setColumnWidth(i, w > 0 ? w : kDefaultWidths[i]);
    }
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(list_);

    openUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };

    connect(list_, &QTableWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        QMenu* m = buildMenu();
        m->exec(list_->viewport()->mapToGlobal(at));
        m->deleteLater();
    });
    // The rate changes every second while anything moves; the timer runs only while the view
    // is shown.
    timer_.setInterval(1000);
    connect(&timer_, &QTimer::timeout, this, [this] { refresh(); });
    // Many changes in one service (a folder expanding into its files) refresh once, after it.
    connect(&pump, &SessionPump::sessionEvent, this, [this](const SessionEvent& e) {
        if (e.kind == EventKind::TransferChanged) stale_ = true;
    });
    connect(&pump, &SessionPump::serviced, this, [this] {
        if (stale_) refresh();
    });
}

void TransferView::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    timer_.start();
}

void TransferView::hideEvent(QHideEvent* e) {
    QWidget::hideEvent(e);
    timer_.stop();
}

void TransferView::refresh() {
    // Written only when moved: every write marks the state for saving.
    if (widthsRead_)
        for (int i = 0; i < kTransferColumns; ++i)
            if (s_.tables().settingNumber(kFirstWidth + i) != list_->columnWidth(i))
                s_.tables().setSettingNumber(kFirstWidth + i, list_->columnWidth(i));
    widthsRead_ = true;
    stale_ = false;
    std::vector<TransferRow> rows = s_.transfers().tick();
    // A folder the tick completed is announced to every window, not only this one.
    if (!s_.state().events.empty()) pump_.kick();
    // Rows are overwritten in place, so the selection survives a refresh.
    list_->setRowCount(static_cast<int>(rows.size()));
    for (int r = 0; r < static_cast<int>(rows.size()); ++r) {
        const TransferRow& row = rows[static_cast<size_t>(r)];
        TextPair state = row.state == TransferState::Done     ? kDone
                         : row.state == TransferState::Paused ? kPaused
                                                              : kBusy;
        QString cells[kTransferColumns] = {qtext(row.name),
                                           qtext(FormatSize(row.total)),
                                           qtext(FormatSize(row.received)),
                                           qtext(FormatRate(row.rate)),
                                           qtext(lang_, state),
                                           qtext(row.remotePath)};
        for (int c = 0; c < kTransferColumns; ++c) {
            QTableWidgetItem* it = list_->item(r, c);
            if (!it) list_->setItem(r, c, it = new QTableWidgetItem);
            if (it->text() != cells[c]) it->setText(cells[c]);
        }
        QTableWidgetItem* bar = list_->item(r, ProgressColumn);
        int fill = permille(row.received, row.total, row.state);
        if (bar->data(TransferProgressDelegate::kPermilleRole) != QVariant(fill))
            bar->setData(TransferProgressDelegate::kPermilleRole, fill);
    }
}

QMenu* TransferView::buildMenu() {
    auto* m = new QMenu(this);
    auto add = [&](int id) {
        connect(m->addAction(qtext(lang_, kCaption[id])), &QAction::triggered, this,
                [this, id] { runCommand(id); });
    };
    add(Start), add(Pause), add(Cancel);
    m->addSeparator();
    add(OpenFile), add(BrowseFolder);
    return m;
}

std::vector<int> TransferView::selectedRecords() const {
    std::vector<int> out;
    const TransferList& tl = s_.transfers().list();
    for (int r = 0; r < list_->rowCount(); ++r) {
        QTableWidgetItem* path = list_->item(r, PathColumn);
        if (!path || !path->isSelected()) continue;
        out.push_back(transferOfRow(tl, r, path->text().toStdString()));
    }
    return out;
}

void TransferView::runCommand(int id) {
    TransfersFacade& tf = s_.transfers();
    std::vector<int> records = selectedRecords();
    if (id == OpenFile || id == BrowseFolder) {
        // The first selected row only, once it is complete.
        if (records.empty() || records.front() < 0) return;
        TransferEntry e = tf.list().entry(records.front());
        if (e.record.state != TransferState::Done || e.localPath.empty()) return;
        std::string target = e.localPath;
        if (id == BrowseFolder) target.erase(target.rfind('/') + 1);
        if (!target.empty()) openUrl(QUrl::fromLocalFile(qtext(target)));
        return;
    }
    // Paths are taken before anything changes: cancelling a row moves the ones below it.
    std::vector<std::string> paths;
    for (int rec : records)
        if (rec >= 0) paths.push_back(tf.list().entry(rec).remotePath);
    for (const std::string& p : paths) {
        if (id == Start)
            tf.start(p);
        else if (id == Pause)
            tf.pause(p);
        else if (id == Cancel)
            tf.cancel(p);
    }
    if (paths.empty()) return;
    refresh();
    pump_.kick();
}

}  // namespace orv

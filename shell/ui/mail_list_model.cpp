#include "shell/ui/mail_list_model.h"

#include <QFont>
#include <QPainter>
#include <QPixmap>

namespace orv {
namespace {

// A small envelope: closed and bold-coloured when unread, pale when read, an arrow when sent.
QIcon markerIcon(int marker) {
    QPixmap p(16, 16);
    p.fill(Qt::white);
    QPainter g(&p);
    g.setRenderHint(QPainter::Antialiasing);
    QColor body = marker == 0   ? QColor(250, 210, 80)
                  : marker == 1 ? QColor(225, 225, 225)
                                : QColor(140, 190, 240);
    g.setPen(QColor(90, 90, 90));
    g.setBrush(body);
    g.drawRect(1, 3, 14, 10);
    if (marker == 2) {
        g.drawLine(4, 8, 12, 8);
        g.drawLine(9, 5, 12, 8);
        g.drawLine(9, 11, 12, 8);
    } else {
        g.drawLine(1, 3, 8, 9);
        g.drawLine(15, 3, 8, 9);
    }
    return QIcon(p);
}

}  // namespace

MailListModel::MailListModel(UiLanguage lang, QObject* parent)
    : QAbstractTableModel(parent), lang_(lang) {
    for (int i = 0; i < 3; ++i)
        markers_[i] = markerIcon(i);
}

void MailListModel::reset(int view, std::vector<MailRow> rows) {
    beginResetModel();
    view_ = view;
    rows_ = std::move(rows);
    endResetModel();
}

const MailRow* MailListModel::row(int r) const {
    if (r < 0 || static_cast<size_t>(r) >= rows_.size()) return nullptr;
    return &rows_[static_cast<size_t>(r)];
}

QString MailListModel::cellText(int r, int columnPos) const {
    const MailRow* row = this->row(r);
    auto cols = viewColumns(view_);
    if (!row || columnPos < 0 || static_cast<size_t>(columnPos) >= cols.size()) return {};
    return QString::fromStdString(row->cell(cols[static_cast<size_t>(columnPos)].column));
}

int MailListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int MailListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(viewColumns(view_).size());
}

QVariant MailListModel::data(const QModelIndex& index, int role) const {
    const MailRow* r = row(index.row());
    if (!r) return {};
    switch (role) {
        case Qt::DisplayRole:
        case Qt::ToolTipRole:
            return cellText(index.row(), index.column());
        case Qt::DecorationRole:
            if (index.column() == 0 && r->marker >= 0 && r->marker < 3) return markers_[r->marker];
            return {};
        case Qt::FontRole:
            if (r->marker == 0) {
                QFont f;
                f.setBold(true);
                return f;
            }
            return {};
        default:
            return {};
    }
}

QVariant MailListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    auto cols = viewColumns(view_);
    if (section < 0 || static_cast<size_t>(section) >= cols.size()) return {};
    std::string_view t = pick(lang_, cols[static_cast<size_t>(section)].title);
    return QString::fromUtf8(t.data(), static_cast<qsizetype>(t.size()));
}

}  // namespace orv

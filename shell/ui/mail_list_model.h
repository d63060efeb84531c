#pragma once
// The rows of one mail view as a Qt table model. The rows are built by the mail folder logic;
// this only shows them, with the row marker as the icon of the first cell.
#include <QAbstractTableModel>
#include <QIcon>

#include <vector>

#include "mail/mail_view.h"

namespace orv {

class MailListModel : public QAbstractTableModel {
    Q_OBJECT
  public:
    explicit MailListModel(UiLanguage lang, QObject* parent = nullptr);

    // Replaces the view and its rows.
    void reset(int view, std::vector<MailRow> rows);
    int view() const { return view_; }
    const std::vector<MailRow>& rows() const { return rows_; }
    const MailRow* row(int r) const;
    // The displayed text of a cell, for the caller that needs it without a role.
    QString cellText(int row, int columnPos) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  private:
    UiLanguage lang_;
    int view_ = View::Inbox;
    std::vector<MailRow> rows_;
    QIcon markers_[3];  // unread, read, outgoing
};

}  // namespace orv

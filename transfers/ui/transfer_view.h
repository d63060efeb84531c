#pragma once
// The transfer view: every download with its size, progress, rate and state, refreshed in
// place once a second while it is shown (a rate changes continuously; hidden, it costs
// nothing) and whenever a transfer changes. Its context menu starts, pauses and cancels the
// selected downloads and opens a finished one or its folder. Everything goes through the
// transfers façade.
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QTimer>
#include <QUrl>
#include <QWidget>

#include <functional>
#include <string>
#include <vector>

#include "core/events.h"
#include "session/client_session.h"
#include "session/pump/session_pump.h"

class QMenu;

namespace orv {

// The Progress cell: a bar filled to received of total, with the size received on it.
class TransferProgressDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    // The role that holds the bar's fill, 0 to 1000.
    static constexpr int kPermilleRole = Qt::UserRole + 1;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
};

class TransferView : public QWidget {
  public:
    enum Command { Start, Pause, Cancel, OpenFile, BrowseFolder };
    enum ColumnIndex {
        NameColumn,
        SizeColumn,
        ProgressColumn,
        RateColumn,
        StateColumn,
        PathColumn
    };

    TransferView(ClientSession& session, SessionPump& pump, QWidget* parent = nullptr);

    // One tick: the counters and folders brought up to date and the rows overwritten in place.
    void refresh();
    // The main window shows the view: refreshed at once, without waiting for the timer.
    void refreshShown() { refresh(); }
    QTableWidget* list() const { return list_; }
    const QTimer& timer() const { return timer_; }
    // The context menu (the caller owns it).
    QMenu* buildMenu();
    void runCommand(int id);

    // Opens a local file or folder with the desktop; replaceable by tests.
    std::function<void(const QUrl&)> openUrl;

  protected:
    void showEvent(QShowEvent* e) override;
    void hideEvent(QHideEvent* e) override;

  private:
    // For each selected row, in row order: the record it still stands for, or -1.
    std::vector<int> selectedRecords() const;

    ClientSession& s_;
    SessionPump& pump_;
    UiLanguage lang_;
    QTableWidget* list_;
    QTimer timer_;
    bool widthsRead_ = false;
    bool stale_ = false;  // a transfer changed since the last refresh
};

}  // namespace orv

#pragma once
// The share view: the folder tree ("/" at the top, every user's branch below it) beside the
// files of the selected folder. The own branch is edited through its context menus; clicking a
// folder of another user asks its owner for a listing once. Everything goes through the share
// façade; the view follows ShareChanged and ListingArrived.
#include <QTableWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QWidget>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/events.h"
#include "session/client_session.h"
#include "session/pump/session_pump.h"

class QMenu;

namespace orv {

class ShareView : public QWidget {
  public:
    ShareView(ClientSession& session, SessionPump& pump, QWidget* parent = nullptr);

    // The main window shows the view: the selected folder's subtree and the list are renewed.
    void refreshShown();
    // The path of an item: "/" and the texts from the top down, each followed by "/".
    static std::string pathOf(const QTreeWidgetItem* item);
    QTreeWidget* tree() const { return tree_; }
    QTableWidget* list() const { return list_; }
    QTreeWidgetItem* selectedFolder() const { return selected_; }
    // Selects the folder as a left click does.
    void select(QTreeWidgetItem* item);
    // The context menus for the selected folder (nullptr where there is none).
    QMenu* treeMenu();
    QMenu* listMenu();
    // Synchronises the children of item with the store, and their subtrees when deep.
    void syncChildren(QTreeWidgetItem* item, bool deep);
    void refreshList();

    // The dialogs, replaceable by tests: a name (empty when cancelled), a folder on disk, files.
    std::function<QString(const QString& title)> askName;
    std::function<QString()> askFolder;
    std::function<QStringList()> askFiles;
    std::function<void(const QString&)> showMessage;
    // The player for a preview of the file (the preview dialog): nothing when cancelled.
    std::function<std::optional<QString>(const QString& fileName)> askPlayer;
    // Starts the player with the address as its one argument; false when it cannot start.
    std::function<bool(const QString& program, const QString& url)> startPlayer;

  protected:
    void resizeEvent(QResizeEvent*) override;

  private:
    void onEvent(const SessionEvent& e);
    void runCommand(int id);
    void previewVideo(const std::string& folder);
    void report(const ShareResult& r);
    void transferReport(const TransferResult& r);
    std::vector<std::string> selectedNames() const;

    ClientSession& s_;
    UiLanguage lang_;
    QTreeWidget* tree_;
    QTableWidget* list_;
    QTreeWidgetItem* top_;
    QTreeWidgetItem* selected_;
    QTimer listingTimer_;
    bool widthsRead_ = false;
};

}  // namespace orv

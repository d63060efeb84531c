#pragma once
// The one top-level window: toolbar, folder column, caption bar, the mail list of the current
// view or one of the child pages, the tray icon, and the dispatch of every main command. Its
// per-tick duties (logged-in-elsewhere, new-mail notice) run after each service of the session.
#include <QMainWindow>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mail/mail_view.h"
#include "qtkit/command_ids.h"
#include "session/client_session.h"
#include "session/pump/session_pump.h"

class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;
class QSystemTrayIcon;
class QTableView;

namespace orv {

class MailListModel;

class MainWindow : public QMainWindow {
    Q_OBJECT
  public:
    MainWindow(ClientSession& session, SessionPump& pump, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Applies the stored placement (maximized, a usable rectangle, or the built-in one) and
    // shows the window.
    void showPlaced();
    // Runs one command by its id; unknown ids do nothing.
    void command(int id);
    // Saves the widths of the view being left, then shows `view`.
    void showView(int view);

    int currentView() const { return view_; }
    int inboxFilter() const { return filter_; }
    bool searchRunning() const { return static_cast<bool>(search_); }
    int sortColumn() const { return sortColumn_; }
    bool sortDescending() const { return descending_; }
    MailListModel& mailModel() { return *model_; }
    QTableView* mailList() { return list_; }
    QWidget* childPage(int view) const;
    // Puts the real page of view 4, 6 or 7 in place of its placeholder (the window owns it).
    void setChildPage(int view, QWidget* page);
    QPushButton* button(int commandId) const;
    QSystemTrayIcon* trayIcon() { return tray_; }
    QProgressBar* searchProgress() { return progress_; }
    QString captionText() const;
    // The menu the mail list offers for its current view (the caller owns it).
    std::unique_ptr<QMenu> buildListMenu();
    // The Inbox category menu of the filter button (the caller owns it).
    std::unique_ptr<QMenu> buildFilterMenu();
    QMenu* trayMenu() { return trayMenu_; }
    // The home page setting; empty means none (the HomePage commands do nothing, hidden).
    QString homePage() const;
    // Shows or hides what opens the home page after the setting changed.
    void refreshHomePage();
    // What double-clicking the tray icon does.
    void toggleFromTray();

    // ---- hooks filled by the executable (dialogs and mail windows live elsewhere) ----
    std::function<void()> openLoginDialog;
    std::function<void()> openSettingsDialog;
    // New Mail (no files) and the Send-files command.
    std::function<void(const std::vector<std::string>& files)> openCompose;
    // Open, reply, reply to all, forward, sign status and sign mail on the selected mail.
    std::function<void(int commandId, const MailRef& mail)> mailCommand;
    // Questions and messages; the defaults are modal boxes, tests answer them directly.
    std::function<bool()> askDeleteFiles;
    std::function<bool(const QString& text)> askYesNo;
    std::function<std::optional<QString>()> askKeyword;
    std::function<void(const QString& text)> showMessage;
    std::function<void(const QString& text)> showNewMailNotice;
    std::function<void(const QUrl& url)> openUrl;

  Q_SIGNALS:
    void viewShown(int view);
    void searchFinished();
    // The window was closed (Exit, tray Exit or the close box): the run ends.
    void closed();

  protected:
    void closeEvent(QCloseEvent* e) override;
    void changeEvent(QEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

  private:
    void buildWidgets();
    void buildTray();
    void buildShortcuts();
    void layoutWindow();
    void retitle();
    void fillList();
    void saveWidths();
    void applyWidths();
    void onSessionEvent(const SessionEvent& e);
    void onServiced();
    void announceNewMail();
    // Join requests for the user's groups, refusals and joins, told one at a time.
    void groupNotices();
    std::vector<MailRef> selectedRefs() const;
    const MailRow* currentRow() const;
    void moveCommand(int id);
    void startSearch(const QString& text);
    void searchSlice();
    void addSender();
    void setFilter(int filter);
    QString tr2(TextPair t) const;

    ClientSession& s_;
    SessionPump& pump_;
    UiLanguage lang_;
    int view_ = View::Inbox;
    int filter_ = InboxCategory::All;
    int sortColumn_ = -1;
    bool descending_ = false;
    bool shuttingDown_ = false;
    bool inDuties_ = false;
    std::optional<std::string> elsewhereMessage_;
    std::vector<std::string> refusedUsers_;  // recipients that do not exist, to be told once
    bool widthsApplied_ = false;
    bool listStale_ = false;  // an event changed what the shown list holds
    bool newMail_ = false;    // a mail arrived while the Inbox was shown
    std::string shownUser_;

    QWidget* central_ = nullptr;
    QLabel* userField_ = nullptr;
    QLabel* folderCaption_ = nullptr;
    QLabel* caption_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QTableView* list_ = nullptr;
    MailListModel* model_ = nullptr;
    QWidget* pages_[3] = {nullptr, nullptr, nullptr};  // views 4, 6, 7
    struct Button {
        int id;
        QPushButton* widget;
    };
    std::vector<Button> toolbar_, folders_;
    QPushButton* filterButton_ = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
    QMenu* trayMenu_ = nullptr;
    QAction* trayHomePage_ = nullptr;

    std::unique_ptr<MailSearch> search_;
    MailMatch searchMatch_;
    QString searchText_;
};

}  // namespace orv

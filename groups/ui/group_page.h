#pragma once
// The Group page of the main window (template 138): the Group tab with the groups the user
// belongs to and their members, and the Manage tab with the groups the user created. Both are
// refilled when the group data changes, keeping the chosen group chosen by name.
#include <QString>
#include <QWidget>

#include <functional>
#include <string>

#include "core/events.h"
#include "session/client_session.h"
#include "session/pump/session_pump.h"

class QListWidget;
class QPushButton;
class QTabWidget;

namespace orv {

class GroupDialog;
class JoinDialog;

class GroupPage : public QWidget {
    Q_OBJECT
  public:
    GroupPage(ClientSession& session, SessionPump& pump, QWidget* parent = nullptr);

    // Refills every list from the group data.
    void refill();
    // Button ids of the tabs: 1000..1002 on each; Send mail is 32777.
    QPushButton* groupButton(int id) const;
    QPushButton* manageButton(int id) const;
    QTabWidget* tabs() const { return tabs_; }
    QListWidget* joinedList() const { return joined_; }
    QListWidget* joinedMembers() const { return joinedMembers_; }
    QListWidget* ownedList() const { return owned_; }
    QListWidget* ownedMembers() const { return ownedMembers_; }

    // Dialogs opened by the buttons (for the window tests); they delete themselves.
    GroupDialog* openCreate();
    GroupDialog* openInfo();
    JoinDialog* openJoin();
    // Send mail: the chosen members, or every member of the chosen groups, in To.
    void sendMail();

    // The questions, each answered with Yes/OK; the default is a modal box.
    std::function<bool(const QString& text)> ask;
    // Opens a compose window with this To text.
    std::function<void(const std::string& to)> compose;

  private:
    void onEvent(const SessionEvent& e);
    void fillMembers(QListWidget* groups, QListWidget* members, bool owned);
    void runButton(bool manage, int id);
    QString tr2(TextPair t) const;

    ClientSession& s_;
    SessionPump& pump_;
    UiLanguage lang_;
    QTabWidget* tabs_;
    QListWidget *joined_, *joinedMembers_, *owned_, *ownedMembers_;
    QPushButton* groupButtons_[4] = {};
    QPushButton* manageButtons_[3] = {};
};

}  // namespace orv

#pragma once
// The group dialogs: create or edit a group (its name, introduction and public flag), join a
// group by creator and name, and find the public groups the directory lists. None of them
// waits on the directory: the find dialog shows a busy line while the list is on its way.
#include <QDialog>
#include <QString>

#include <vector>

#include "core/text.h"
#include "directory/replies.h"
#include "groups/groups_facade.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTreeWidget;

namespace orv {

namespace grouptexts {
inline constexpr TextPair kCreateTitle{"Create Group", "创建群组"};
inline constexpr TextPair kInfoTitle{"Group Info", "群组信息"};
inline constexpr TextPair kGroupName{"Group name", "群组名称"};
inline constexpr TextPair kIntro{"Introduction", "群组介绍"};
inline constexpr TextPair kPublic{"Make this group public", "是否公开该组"};
inline constexpr TextPair kJoinTitle{"Join Group", "加入群组"};
inline constexpr TextPair kCreator{"Creator", "创建者"};
inline constexpr TextPair kGroupToJoin{"Group to join", "要加入的群"};
inline constexpr TextPair kFind{"Find", "查找"};
inline constexpr TextPair kFindTitle{"Find Group", "查找群组"};
inline constexpr TextPair kColName{"Group Name", "群组名称"};
inline constexpr TextPair kColCreator{"Create Man", "创建者"};
inline constexpr TextPair kColNumber{"Number", "成员数"};
inline constexpr TextPair kJoin{"Join", "加入"};
inline constexpr TextPair kClose{"Close", "关闭"};
inline constexpr TextPair kSearch{"Search", "随机搜索"};
inline constexpr TextPair kSearching{"Searching...", "正在搜索..."};
inline constexpr TextPair kTabGroup{"Group", "群组"};
inline constexpr TextPair kTabManage{"Manage", "管理"};
inline constexpr TextPair kFindJoin{"Find and Join", "查找加入"};
inline constexpr TextPair kLeave{"Leave Group", "退出群组"};
inline constexpr TextPair kRefresh{"Refresh", "刷新"};
inline constexpr TextPair kCreateGroup{"Create Group", "创建群组"};
inline constexpr TextPair kDeleteGroup{"Delete Group", "删除群组"};
inline constexpr TextPair kDeleteMember{"Delete Member", "删除成员"};
inline constexpr TextPair kSendMail{"Send mail", "发送邮件"};
inline constexpr TextPair kGroups{"Groups", "群组"};
inline constexpr TextPair kMembers{"Members", "成员"};
}  // namespace grouptexts

// Template 171: create (empty, public ticked) or group info (filled).
class GroupDialog : public QDialog {
    Q_OBJECT
  public:
    GroupDialog(UiLanguage lang, bool create, QWidget* parent = nullptr);
    void setValues(const QString& name, const QString& intro, bool isPublic);
    QString name() const;
    QString intro() const;
    bool isPublic() const;
    // Does nothing while the name is empty.
    void accept() override;

    QLineEdit* nameEdit() const { return name_; }
    QLineEdit* introEdit() const { return intro_; }
    QCheckBox* publicBox() const { return public_; }
    QPushButton* okButton() const { return ok_; }

  private:
    QLineEdit *name_, *intro_;
    QCheckBox* public_;
    QPushButton* ok_;
};

// Template 145: the public groups, searched as soon as it opens.
class FindGroupsDialog : public QDialog {
    Q_OBJECT
  public:
    FindGroupsDialog(GroupsFacade& groups, UiLanguage lang, QWidget* parent = nullptr);
    // Asks the directory for the list again.
    void search();
    bool searching() const { return searching_; }
    // The chosen row (after Join or a double click).
    QString creator() const { return creator_; }
    QString group() const { return group_; }

    QTreeWidget* list() const { return list_; }
    QPlainTextEdit* introBox() const { return intro_; }
    QLabel* statusLine() const { return status_; }
    QPushButton* joinButton() const { return join_; }
    QPushButton* searchButton() const { return search_; }

  private:
    void choose();
    GroupsFacade& groups_;
    UiLanguage lang_;
    QTreeWidget* list_;
    QPlainTextEdit* intro_;
    QLabel* status_;
    QPushButton *join_, *close_, *search_;
    std::vector<PublicGroup> found_;
    QString creator_, group_;
    bool searching_ = false;
};

// Template 141: OK asks to join the group (membership state 0).
class JoinDialog : public QDialog {
    Q_OBJECT
  public:
    JoinDialog(GroupsFacade& groups, UiLanguage lang, QWidget* parent = nullptr);
    void accept() override;
    // Opens the find dialog; its choice fills the two fields.
    FindGroupsDialog* openFind();

    QLineEdit* creatorEdit() const { return creator_; }
    QComboBox* groupBox() const { return group_; }
    QPushButton* findButton() const { return find_; }
    QPushButton* okButton() const { return ok_; }

  private:
    GroupsFacade& groups_;
    UiLanguage lang_;
    QLineEdit* creator_;
    QComboBox* group_;
    QPushButton *find_, *ok_;
};

}  // namespace orv

#pragma once
// The main window's own texts, as (English, Chinese) pairs.
#include "core/text.h"

namespace orv::ui {

inline constexpr TextPair kLogin{"Login", "登录"};
inline constexpr TextPair kNewMail{"New Mail", "写邮件"};
inline constexpr TextPair kReply{"Reply", "回复"};
inline constexpr TextPair kFind{"Find", "查找"};
inline constexpr TextPair kSetting{"Setting", "设置"};
inline constexpr TextPair kExit{"Exit", "退出"};
inline constexpr TextPair kHomePage{"HomePage", "访问主页"};
inline constexpr TextPair kMailFolder{"Mail Folder", "邮件夹"};

inline constexpr TextPair kFolderIn{"In", "收件箱"};
inline constexpr TextPair kFolderOut{"Out", "发件箱"};
inline constexpr TextPair kFolderSent{"Sent", "已发送"};
inline constexpr TextPair kFolderTrash{"Trash", "废件箱"};
inline constexpr TextPair kFolderEdit{"Drafts", "草稿箱"};
inline constexpr TextPair kFolderShare{"Share", "共享文件"};
inline constexpr TextPair kFolderTransfer{"Transfer", "传输"};
// The original offered no control for the Group page; users need one.
inline constexpr TextPair kFolderGroup{"Group", "群组"};

inline constexpr TextPair kFilterAll{"All Mail", "所有邮件"};
inline constexpr TextPair kFilterPrivate{"Private Mail", "个人邮件"};
inline constexpr TextPair kFilterBulletin{"Bulletin", "公告通知"};
inline constexpr TextPair kFilterNews{"News", "新闻"};

inline constexpr TextPair kLoggedInElsewhere{"This user login on another machine!",
                                             "该用户已在其它机器登陆!"};
inline constexpr TextPair kTrayTip{"Orvantel", "Orvantel"};
inline constexpr TextPair kAboutTitle{"About Orvantel", "关于Orvantel"};
inline constexpr TextPair kAboutText{"Orvantel messaging client, version %1",
                                     "Orvantel 邮件客户端，版本 %1"};
inline constexpr TextPair kNoSuchUserNotice{
    "User %1 does not exist! The mail stays in the Outbox: open it, correct the recipient and "
    "send it again.",
    "用户%1不存在！邮件保留在发件箱中：打开它，修改收件人后重新发送。"};
inline constexpr TextPair kLoginFirst{"Please log in first.", "请先登录。"};
inline constexpr TextPair kContactAdded{"The sender is added to the contact list.",
                                        "已将发件人添加到联系人列表。"};

// The mail-list menu, the Trash menu, the filter menu and the tray menu.
inline constexpr TextPair kMenuOpen{"&Open", "打开(&O)"};
inline constexpr TextPair kMenuReply{"&Reply to Sender", "答复发件人(&R)"};
inline constexpr TextPair kMenuReplyAll{"Reply &All", "全部答复(&A)"};
inline constexpr TextPair kMenuForward{"&Forward", "转发(&F)"};
inline constexpr TextPair kMenuDelete{"&Delete", "删除(&D)"};
inline constexpr TextPair kMenuAddSender{"Add Sender to Contacts", "发件人添加到联系人列表"};
inline constexpr TextPair kMenuSignStatus{"&View Sign Status", "察看签收状态(&V)"};
inline constexpr TextPair kMenuSignMail{"&Sign Mail", "签收邮件(&S)"};
inline constexpr TextPair kTrashDelete{"Delete", "删除"};
inline constexpr TextPair kTrashRestore{"Restore", "恢复"};
inline constexpr TextPair kTrashDeleteAll{"Delete All", "全部删除"};
inline constexpr TextPair kTrashRestoreAll{"Restore All", "全部恢复"};
inline constexpr TextPair kTrayAbout{"&About Orvantel...", "关于Orvantel(&A)..."};
inline constexpr TextPair kTrayOpen{"Open Orvantel", "打开Orvantel"};
inline constexpr TextPair kTrayHomePage{"Visit Home Page", "访问主页"};
inline constexpr TextPair kTrayExit{"E&xit", "退出(&X)"};

// Dialog 196.
inline constexpr TextPair kNewMailNotice{"New mail has arrived!", "提示：有新邮件到达！！！"};
// Dialog 192.
inline constexpr TextPair kFindTitle{"Find Mail", "查找邮件"};
inline constexpr TextPair kFindLabel{"Search keyword", "搜索关键字"};

}  // namespace orv::ui

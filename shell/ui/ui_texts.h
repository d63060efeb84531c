#pragma once
// The main window's own texts, as (English, Chinese) pairs; menus are Chinese in both.
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
inline constexpr TextPair kFolderEdit{"Edit", "草稿箱"};
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
inline constexpr TextPair kTrayTip{"Tavermon", "Zelkor"};
inline constexpr TextPair kAboutTitle{"About", "关于"};
inline constexpr TextPair kAboutText{"Orvantel messaging client", "Orvantel 邮件客户端"};
inline constexpr TextPair kHomePageUrl{"https://www.orvantel.net/", "https://www.orvantel.net/cn/"};

// Dialog 196 exists in Chinese only.
inline constexpr const char* kNewMailNotice = "提示：有新邮件到达！！！";
// Dialog 192.
inline constexpr const char* kFindTitle = "查找邮件";
inline constexpr const char* kFindLabel = "搜索关键字";

}  // namespace orv::ui

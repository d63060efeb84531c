#pragma once
// Captions of the compose window's dialogs, English and Chinese; OK and Cancel are the
// account dialogs' own (qtkit/dialog_texts.h).
#include "core/text.h"

namespace orv::mailtexts {
// Recipient chooser
inline constexpr TextPair kChooserTitle{"Choose Recipients", "选择收件人"};
inline constexpr TextPair kContactList{"Contacts", "联系人列表"};
inline constexpr TextPair kRecipientList{"Recipients", "收件人"};
inline constexpr TextPair kEditContacts{"Edit Contacts", "编辑联系人"};
// Contact editor
inline constexpr TextPair kEditorTitle{"Edit Contacts", "编辑联系人"};
inline constexpr TextPair kAdd{"Add", "添加"};
inline constexpr TextPair kDelete{"Delete", "删除"};
inline constexpr TextPair kCurrentContacts{"Current contacts", "当前联系人列表"};
inline constexpr TextPair kExit{"Exit", "退出"};
// Send options
inline constexpr TextPair kOptionsTitle{"Send Options", "发送选项"};
inline constexpr TextPair kMailType{"Mail type", "邮件类型"};
// Choose users
inline constexpr TextPair kChooseUsersTitle{"Choose Users", "请选择用户..."};
}  // namespace orv::mailtexts

#pragma once
// The labels of the account and settings dialogs, English and Chinese. Messages of the
// account flows themselves live with the flows (directory/account.h).
#include "core/text.h"

namespace orv::texts {
// Login
inline constexpr TextPair kLoginTitle{"Login...", "登录..."};
inline constexpr TextPair kUserName{"User name", "用户名"};
inline constexpr TextPair kPassword{"Password", "密码"};
inline constexpr TextPair kConfirmPassword{"Confirm password", "确认密码"};
inline constexpr TextPair kRemember{"Remember user name and password", "记住用户名和密码"};
inline constexpr TextPair kLogIn{"Log in", "登录"};
inline constexpr TextPair kCancel{"Cancel", "取消"};
inline constexpr TextPair kNewUser{"New user", "新建用户"};
inline constexpr TextPair kSettingsButton{"Settings", "设置"};
inline constexpr TextPair kWorking{"Contacting the server...", "正在连接服务器..."};
// Server settings
inline constexpr TextPair kSettingsTitle{"Settings", "设置"};
inline constexpr TextPair kServerGroup{"Server settings", "服务器设置"};
inline constexpr TextPair kServerHost{"Server IP address", "服务器IP地址"};
inline constexpr TextPair kServerPort{"Server port", "服务器端口"};
inline constexpr TextPair kChangePassword{"Change password", "修改密码"};
inline constexpr TextPair kOk{"OK", "确定"};
inline constexpr TextPair kEnterPort{"Please enter an integer between 1 and 65535.",
                                     "请输入 1 到 65535 之间的整数。"};
inline constexpr TextPair kEnterInteger{"Please enter an integer.", "请输入一个整数。"};
// Settings dialog
inline constexpr TextPair kOkAccel{"&OK", "确定(&O)"};
inline constexpr TextPair kCancelAccel{"&Cancel", "取消(&C)"};
inline constexpr TextPair kTabGeneral{"General", "普通"};
inline constexpr TextPair kTabNetwork{"Network", "网络"};
inline constexpr TextPair kTabEdit{"Edit", "编辑"};
inline constexpr TextPair kReceiveFolder{"Default folder for received files", "接收文件的默认目录"};
inline constexpr TextPair kBrowse{"Browse...", "浏览..."};
inline constexpr TextPair kSelectFolder{"Please select folder", "请选择目录"};
inline constexpr TextPair kMaxSendPerTransfer{"Maximum send rate per transfer (kB/s)",
                                              "每个传输的最大发送速度(kB/s)"};
inline constexpr TextPair kMaxRecvPerTransfer{"Maximum receive rate per transfer (kB/s)",
                                              "每个传输的最大接收速度(kB/s)"};
inline constexpr TextPair kAutoReceive{"Receive files automatically below (MB)",
                                       "自动接收小于此大小的文件(MB)"};
inline constexpr TextPair kNotifyNewMail{"Notify when new mail arrives", "新邮件到达时提示"};
inline constexpr TextPair kHomePage{"Home page", "主页"};
inline constexpr TextPair kHomePageNone{"none", "无"};
inline constexpr TextPair kMaxSendTotal{"Overall maximum send rate (kB/s)",
                                        "总的最大发送速度(kB/s)"};
inline constexpr TextPair kMaxRecvTotal{"Overall maximum receive rate (kB/s)",
                                        "总的最大接收速度(kB/s)"};
inline constexpr TextPair kUseFixedAddress{"Use a fixed network address", "使用固定网络地址"};
inline constexpr TextPair kReachThroughRelay{"Reach me through a relay", "通过中转服务器联系我"};
inline constexpr TextPair kReachThroughRelayHint{
    "Takes effect at the next login. For a computer that others cannot connect to.",
    "下次登录时生效。适用于其他人无法直接连接的计算机。"};
inline constexpr TextPair kFixedAddress{"Fixed network address", "固定网络地址"};
inline constexpr TextPair kEditorFont{"Default font", "默认字体"};
inline constexpr TextPair kEditorFontSize{"Default font size", "默认字号"};
}  // namespace orv::texts

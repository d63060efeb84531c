#pragma once
// The command ids of the toolbar, the folder buttons and the menus, shared by every window that
// dispatches or raises one.

namespace orv {

// Command ids of the toolbar, folder buttons and menus.
namespace Cmd {
enum : int {
    Restore = 1000,
    NewMail = 1001,
    Delete = 1005,
    ReplyHidden = 1006,
    Find = 1008,
    Sort = 1009,
    Login = 1010,
    Exit = 1011,
    Setting = 1012,
    HomePage = 1014,
    ShowInbox = 1021,
    ShowOutbox = 1022,
    ShowTrash = 1023,
    ShowGroup = 1024,
    ShowSent = 1025,
    ShowShare = 1026,
    ShowTransfer = 1027,
    ShowDrafts = 1028,
    FilterButton = 1034,
    SendFiles = 1035,
    TrayOpen = 32773,
    About = 32776,
    HomePageTray = 32778,
    Open = 32779,
    Reply = 32780,
    ReplyAll = 32781,
    Forward = 32782,
    AddSender = 32784,
    SignStatus = 32809,
    SignMail = 32810,
    FilterAll = 32811,
    FilterPrivate = 32812,
    FilterBulletin = 32813,
    FilterNotice = 32814,
    FilterNews = 32815,
    DeleteAll = 32820,
    RestoreAll = 32821,
};
}

}  // namespace orv

#pragma once
// Who is logged in and how, for one client session. An empty user name means nobody is
// logged in: the engine's steps then do nothing.
#include <string>

#include "core/text.h"

namespace orv {

struct SessionState {
    std::string currentUser;
    std::string currentPassword;
    int connectMode = 0;             // 1 when the login put this client into relay mode
    bool loggedInElsewhere = false;  // raised by the engine, cleared by whoever tells the user
    UiLanguage language = defaultUiLanguage();
    std::string directoryServerAddress;  // "host" or "host:port"
    bool loggedIn() const { return !currentUser.empty(); }
};

}  // namespace orv

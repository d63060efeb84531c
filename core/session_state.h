#pragma once
// Who is logged in and how, for one client session. An empty user name means nobody is
// logged in: the engine's steps then do nothing.
#include <string>

#include "core/text.h"

namespace orv {

// The built-in directory host: the server used when none is configured, the target of relayed
// "GET " connections, and the "Host:" header of every directory request.
inline constexpr const char* kBuiltInDirectoryHost = "directory.orvantel.net";

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

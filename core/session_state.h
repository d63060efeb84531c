#pragma once
// Who is logged in and how, for one client session, and what happened in it lately. An empty user
// name means nobody is logged in: the engine's steps then do nothing.
#include <string>

#include "core/events.h"
#include "core/text.h"

namespace orv {

// The built-in directory host: the server used when none is configured, the target of relayed
// "GET " connections, and the "Host:" header of every directory request.
inline constexpr const char* kBuiltInDirectoryHost = "directory.orvantel.net";

struct SessionState {
    std::string currentUser;
    std::string currentPassword;
    int connectMode = 0;  // 1 when the login put this client into relay mode
    // Raised by the engine when the directory says so; the session announces it and clears
    // the current user.
    bool loggedInElsewhere = false;
    UiLanguage language = defaultUiLanguage();
    std::string directoryServerAddress;  // "host" or "host:port"
    // What happened since the session last handed its events out.
    EventQueue events;
    bool loggedIn() const { return !currentUser.empty(); }
};

}  // namespace orv

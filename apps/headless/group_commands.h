#pragma once
// The headless client's commands for groups and signing, each answered with one JSON line
// (some once the directory has answered).
#include <functional>
#include <string>
#include <vector>

#include "session/client_session.h"

namespace orv {

inline constexpr const char* kGroupCommandsUsage =
    "and: groups | group-refresh | group-create NAME [intro=T] [private] |\n"
    "  group-edit NAME [name=NEW] [intro=T] [private] | group-delete NAME |\n"
    "  group-remove GROUP MEMBER | group-find | group-join CREATOR GROUP |\n"
    "  group-leave GROUP CREATOR | group-pending | group-approve GROUP USER |\n"
    "  group-refuse GROUP USER | sign KEY OPINION |\n"
    "  receipts KEY|all [signed|unsigned] | receipts-delete KEY USER...\n";

// Runs the command when it is one of these; false when it is not.
bool runGroupCommand(ClientSession& s, const std::vector<std::string>& w,
                     const std::function<void(const std::string&)>& emit);

}  // namespace orv

#pragma once
// The headless client's commands for downloads, each answered with one JSON line.
#include <functional>
#include <string>
#include <vector>

#include "session/client_session.h"

namespace orv {

inline constexpr const char* kTransferCommandsUsage =
    "and: download VPATH DIR | download-open VPATH... | transfers |\n"
    "  pause VPATH | resume VPATH | cancel VPATH\n";

// Runs the command when it is one of these; false when it is not.
bool runTransferCommand(ClientSession& s, const std::vector<std::string>& w,
                        const std::function<void(const std::string&)>& emit);

}  // namespace orv

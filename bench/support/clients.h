#pragma once
// The options a benchmark's headless client starts with: its own data folder under the
// benchmark's work folder, a free instance port, an account made on the spot, English.
#include <string>
#include <vector>

#include "support/child_process.h"

namespace orv::bench {

inline std::vector<std::string> headlessArgs(const std::string& work, const std::string& server,
                                             const std::string& user) {
    return {"--data-dir",
            work + "/" + user,
            "--instance-port",
            std::to_string(test::freeLoopbackPort()),
            "--server",
            server,
            "--user",
            user,
            "--password",
            "pw",
            "--create-account",
            "--lang",
            "en"};
}

}  // namespace orv::bench

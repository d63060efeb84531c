#pragma once
// The start-up pieces that do not need a window: the command line as one text, the quoted
// string reader, where cfg.dat lives, and which directory server requests go to.
#include <string>
#include <string_view>
#include <vector>

#include "core/core_tables.h"
#include "core/session_state.h"

namespace orv {

inline constexpr int kDefaultInstancePort = 19999;

// Finds the next pair of double quotes at `cursor`, copies what is between them into out and
// moves the cursor past the closing quote. False (cursor unchanged) when there is no pair.
bool readQuotedString(std::string_view text, size_t& cursor, std::string& out);

// The program path in double quotes, then each argument: "/o" as it is, anything else quoted.
std::string buildCommandLine(const std::string& programPath, const std::vector<std::string>& args);
bool allowsFurtherInstance(std::string_view commandLine);
// The quoted strings after the first (the program path).
std::vector<std::string> filesOfCommandLine(std::string_view commandLine);

// Folder of the running program (the target of /proc/self/exe).
std::string programFolder();

struct DataPaths {
    std::string folder;      // holds cfg.dat and recvfile/
    std::string configPath;  // folder + "/cfg.dat"
    std::string mailStore;   // folder + "/recvfile/"
};
// cfg.dat and recvfile beside the program, or in dataDir when one is given.
DataPaths dataPathsFor(const std::string& dataDir);

// "%s:%d" of settings string 7 and number 60 when string 7 is set, else the built-in host.
std::string directoryServerAddress(const CoreTables& t);

}  // namespace orv

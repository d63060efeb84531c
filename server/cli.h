#pragma once
// The orvantel-directory command line: "serve" runs the directory, "admin" changes accounts in
// its database, "copy" moves a community from one database to another (SQLite or PostgreSQL).
// Returns the process exit code.
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace orv::server {

int runDirectoryCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The administrator's commands on a database (args after "admin --db DB").
int runAdminCommand(const std::string& db, const std::vector<std::string>& args,
                    uint32_t hashMemoryKib, uint32_t hashIterations, std::ostream& out,
                    std::ostream& err);

}  // namespace orv::server

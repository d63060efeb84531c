#pragma once
// The headless client's event lines: each event of the session becomes one JSON line,
// {"event":NAME,...}, printed as it is handed out.
#include <cstdint>
#include <string>

#include "core/core_tables.h"
#include "core/events.h"

namespace orv {

std::string hexKey(uint64_t key);

// The line for an event; the tables add what a line names (a new mail's sender and subject).
std::string eventLine(const SessionEvent& e, const CoreTables& t);

}  // namespace orv

#pragma once
// cfg.dat: every persisted table of CoreTables as a header and 40 blocks (pools and record
// arrays, 32-bit little-endian counts). One list of blocks drives both directions, so the
// order written is the order read. The layout is documented in docs/cfg-dat.md.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/core_tables.h"

namespace orv {

constexpr int32_t kStateMagic = 0x1321AFD;
constexpr int kStateBlockCount = 40;

struct LoadReport {
    bool present = false;       // a file was given
    int blocksRead = 0;         // complete blocks taken from the file
    bool mailsDropped = false;  // the mail tables did not agree and were emptied
};

// Loads a stored image into empty tables and applies the load-time fix-ups. Every count is
// bounded by the bytes that remain; a block that does not fit ends the reading, and the
// fix-ups still run. `data` may be null (no file): the defaults are installed.
LoadReport loadState(CoreTables& t, const uint8_t* data, size_t size);
// Reads path (absent or unreadable: defaults) and loads it.
LoadReport loadStateFile(CoreTables& t, const std::string& path);

// The bytes of cfg.dat for the tables as they are.
std::vector<uint8_t> serializeState(const CoreTables& t);
// Writes bytes to path atomically: a temporary file in the same folder, flushed to disk,
// renamed over path, and the folder flushed. False when any step failed (path untouched).
bool writeFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes);
inline bool saveStateFile(const CoreTables& t, const std::string& path) {
    return writeFileAtomically(path, serializeState(t));
}

}  // namespace orv

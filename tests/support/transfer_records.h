#pragma once
// A download record put straight into the transfer tables, in whatever state a test needs
// (the list's own operations only ever create waiting or paused ones).
#include <string_view>

#include "core/core_tables.h"
#include "core/records.h"

namespace orv::test {

inline int putTransfer(CoreTables& t, int32_t kind, int32_t state, std::string_view remote,
                       std::string_view local, uint64_t total, uint64_t received = 0,
                       int32_t parent = -1, std::string_view owner = "alice") {
    t.transferRemotePaths.append(remote);
    t.transferOwners.append(owner);
    t.transferLocalPaths.append(local);
    TransferRecord r{};
    r.kind = kind;
    r.state = state;
    r.total = total;
    r.received = received;
    r.parent = parent;
    return t.transfers.append(r);
}

}  // namespace orv::test

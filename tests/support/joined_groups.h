#pragma once
// Puts a joined group with its members into a client's tables, as a group listing would.
#include <string>
#include <utility>
#include <vector>

#include "core/core_tables.h"

namespace orv::test {

// members: name and member kind (0 an ordinary member).
inline void joinGroup(CoreTables& t, const std::string& name, const std::string& creator,
                      const std::vector<std::pair<std::string, int>>& members) {
    const int g = t.joinedGroupNames.count();
    t.joinedGroupNames.append(name);
    t.joinedGroupCreators.append(creator);
    for (const auto& [n, kind] : members) {
        GroupMemberRecord r{};
        r.group = g;
        r.memberKind = kind;
        t.joinedMemberNames.append(n);
        t.joinedMembers.append(r);
    }
}

}  // namespace orv::test

#include "mail/recipients.h"

#include <algorithm>
#include <unordered_set>

#include "mail/compose.h"

namespace orv {

namespace {

std::string_view trimBlanks(std::string_view s) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

}  // namespace

std::vector<std::string> joinedMemberNames(const CoreTables& t) {
    std::vector<std::string> out;
    std::unordered_set<std::string> seen;
    const int n = std::min(t.joinedMembers.count(), t.joinedMemberNames.count());
    for (int k = 0; k < n; ++k) {
        if (t.joinedMembers[k].memberKind != 0) continue;
        std::string_view name = t.joinedMemberNames.view(k);
        if (name.empty()) continue;
        if (seen.insert(toLowerAscii(name)).second) out.emplace_back(name);
    }
    return out;
}

std::vector<std::string> completionMatches(const CoreTables& t, std::string_view typedEntry) {
    const std::string needle = "/" + toLowerAscii(typedEntry);
    std::vector<std::string> out;
    for (auto& name : joinedMemberNames(t)) {
        if (toLowerAscii(name).find(needle) != std::string::npos) out.push_back(std::move(name));
    }
    return out;
}

std::string_view lastEntry(std::string_view toText) {
    size_t comma = toText.rfind(',');
    return comma == std::string_view::npos ? toText : toText.substr(comma + 1);
}

std::string completeToText(std::string_view toText, std::string_view chosen) {
    size_t comma = toText.rfind(',');
    std::string out(comma == std::string_view::npos ? std::string_view{}
                                                    : toText.substr(0, comma + 1));
    out.append(chosen);
    out.push_back(',');
    return out;
}

bool extendsPrevious(std::string_view previous, std::string_view now) {
    return now.size() > previous.size() && now.substr(0, previous.size()) == previous;
}

std::vector<std::string> chooserCandidates(const CoreTables& t) {
    std::vector<std::string> out;
    for (int i = 0; i < t.contacts.count(); ++i) {
        if (!t.contacts.view(i).empty()) out.push_back(t.contacts.str(i));
    }
    for (int g = 0; g < t.joinedGroupNames.count(); ++g) {
        out.push_back("[" + t.joinedGroupNames.str(g) + ":" + t.joinedGroupCreators.str(g) + "]");
    }
    return out;
}

std::vector<std::string> chooserRecipients(std::string_view toText) {
    return splitAddressLine(toText);
}

std::string joinRecipients(const std::vector<std::string>& names) {
    std::string out;
    for (const auto& n : names) {
        if (!out.empty()) out.push_back(',');
        out += n;
    }
    return out;
}

bool addContact(CoreTables& t, std::string_view name) {
    name = trimBlanks(name);
    if (name.empty() || t.contacts.find(name) >= 0) return false;
    t.contacts.append(name);
    t.noteChange();
    return true;
}

bool removeContact(CoreTables& t, std::string_view name) {
    name = trimBlanks(name);
    if (name.empty() || t.contacts.remove(name) < 0) return false;
    t.noteChange();
    return true;
}

uint32_t rebuildOptions(uint32_t old, const bool checked[kSendOptionCount]) {
    uint32_t out = old;
    for (int i = 0; i < kSendOptionCount; ++i) {
        const uint32_t bit = kSendOptionBoxes[static_cast<size_t>(i)].bit;
        out = checked[i] ? (out | bit) : (out & ~bit);
    }
    return out;
}

std::vector<std::string> splitName(std::string_view name) {
    std::vector<std::string> out;
    size_t start = 0;
    while (true) {
        size_t slash = name.find('/', start);
        if (slash == std::string_view::npos) {
            out.emplace_back(name.substr(start));
            return out;
        }
        out.emplace_back(name.substr(start, slash - start));
        start = slash + 1;
    }
}

std::string rebuildName(const std::vector<std::string>& components) {
    std::string out;
    for (size_t i = 0; i < components.size(); ++i) {
        if (i) out.push_back('/');
        out += components[i];
    }
    return out;
}

UserTreeNode buildUserTree(const std::vector<std::string>& names, std::string_view user) {
    UserTreeNode root;
    root.onOwnPath = true;
    const std::vector<std::string> own =
        user.empty() ? std::vector<std::string>{} : splitName(user);
    for (const auto& name : names) {
        if (name.empty()) continue;
        const std::vector<std::string> parts = splitName(name);
        UserTreeNode* node = &root;
        for (size_t depth = 0; depth < parts.size(); ++depth) {
            UserTreeNode* next = nullptr;
            for (auto& c : node->children) {
                if (equalsIgnoreCase(c.component, parts[depth])) {
                    next = &c;
                    break;
                }
            }
            if (!next) {
                UserTreeNode child;
                child.component = parts[depth];
                // Rebuilt from the tree's own components: the first spelling of each level.
                child.fullName = depth == 0 ? parts[0] : node->fullName + "/" + parts[depth];
                child.onOwnPath = node->onOwnPath && depth < own.size() &&
                                  equalsIgnoreCase(own[depth], parts[depth]);
                node->children.push_back(std::move(child));
                next = &node->children.back();
            }
            node = next;
        }
    }
    return root;
}

UserTreeNode buildUserTree(const CoreTables& t, std::string_view user) {
    return buildUserTree(joinedMemberNames(t), user);
}

}  // namespace orv

#include "directory/replies.h"

#include <cstdlib>

namespace orv {

namespace {
bool contains(std::string_view s, std::string_view w) {
    return s.find(w) != std::string_view::npos;
}

int decimal(std::string_view s) {
    long v = 0;
    size_t i = 0;
    bool neg = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        v = v * 10 + (s[i] - '0');
        if (v > 2147483647L) return neg ? -2147483647 : 2147483647;
    }
    return static_cast<int>(neg ? -v : v);
}
}  // namespace

bool replyBody(std::string_view reply, std::string& body) {
    size_t p = reply.find("\r\n\r\n");
    if (p == std::string_view::npos) {
        body.clear();
        return false;
    }
    body.assign(reply.substr(p + 4));
    return true;
}

bool onStatusLine(std::string_view reply, std::string_view word) {
    size_t eol = reply.find("\r\n");
    std::string_view line = eol == std::string_view::npos ? reply : reply.substr(0, eol);
    return contains(line, word);
}

LoginAnswer judgeLogin(std::string_view reply) {
    if (contains(reply, "Login Error")) return LoginAnswer::Refused;
    if (contains(reply, "Login OK")) return LoginAnswer::Accepted;
    if (contains(reply, "Login Warn")) return LoginAnswer::AcceptedWarn;
    if (contains(reply, "Connect OK")) return LoginAnswer::AcceptedRelay;
    return LoginAnswer::NoAnswer;
}

bool judgeLogout(std::string_view reply) {
    return contains(reply, "Logout OK");
}

Outcome judgeAccount(std::string_view reply) {
    if (reply.empty()) return Outcome::NoAnswer;
    return contains(reply, "Reg OK") ? Outcome::Success : Outcome::Refused;
}

Outcome judgeGroupPublish(std::string_view reply) {
    if (reply.empty()) return Outcome::NoAnswer;
    return onStatusLine(reply, " OK") ? Outcome::Success : Outcome::Refused;
}

Outcome judgeMembership(std::string_view reply) {
    if (reply.empty()) return Outcome::NoAnswer;
    return onStatusLine(reply, "New OK") ? Outcome::Success : Outcome::Refused;
}

bool judgeDelete(std::string_view reply) {
    return contains(reply, "Del OK");
}
bool judgeSignInsert(std::string_view reply) {
    return contains(reply, "Insert OK");
}
bool judgeSignUpdate(std::string_view reply) {
    return contains(reply, "Update OK");
}

LookupAnswer judgeLookup(std::string_view reply, std::string& body) {
    std::string b;
    if (!onStatusLine(reply, " OK") || !replyBody(reply, b)) {
        body.clear();
        return LookupAnswer::Pending;
    }
    if (b == "0") {
        body.clear();
        return LookupAnswer::NoSuchUser;
    }
    if (b.empty()) {
        body.clear();
        return LookupAnswer::Empty;
    }
    body = std::move(b);
    return LookupAnswer::Found;
}

RelayAnswer judgeRelay(std::string_view reply) {
    RelayAnswer a;
    std::string b;
    if (!onStatusLine(reply, " OK") || !replyBody(reply, b)) return a;
    if (b == "0") {
        a.kind = RelayAnswer::NoSuchUser;
    } else if (b.empty()) {
        a.kind = RelayAnswer::Direct;
    } else if (b == "none") {
        a.kind = RelayAnswer::NoRelay;
    } else {
        std::vector<std::string> lines = splitListBody(b, '\n');
        if (lines.size() >= 2 && !lines[0].empty() && !lines[1].empty()) {
            a.kind = RelayAnswer::Found;
            a.address = lines[0];
            a.user = lines[1];
        }
    }
    return a;
}

std::vector<std::string> splitListBody(std::string_view body, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t i = 0; i < body.size(); ++i) {
        if (body[i] == sep) {
            out.emplace_back(body.substr(start, i - start));
            start = i + 1;
        }
    }
    return out;
}

std::vector<GroupListRecord> readGroupList(const std::vector<std::string>& lines) {
    std::vector<GroupListRecord> recs;
    for (size_t r = 0; r + 2 < lines.size(); r += 3)
        recs.push_back({lines[r], lines[r + 1], lines[r + 2]});
    return recs;
}

std::vector<PublicGroup> readPublicGroups(std::string_view body) {
    std::vector<std::string_view> fields;
    size_t start = 0;
    for (size_t i = 0; i <= body.size(); ++i) {
        if (i == body.size() || body[i] == '|') {
            fields.push_back(body.substr(start, i - start));
            start = i + 1;
        }
    }
    std::vector<PublicGroup> out;
    if (fields.empty()) return out;
    size_t n = (fields.size() - 1) / 5;
    for (size_t r = 0; r < n; ++r) {
        PublicGroup g;
        g.creator = fields[5 * r];
        g.name = fields[5 * r + 1];
        g.intro = fields[5 * r + 2];
        g.members = decimal(fields[5 * r + 4]);
        out.push_back(std::move(g));
    }
    return out;
}

std::vector<SignRecord> readSignList(const std::vector<std::string>& f) {
    std::vector<SignRecord> out;
    for (size_t r = 0; r + 7 < f.size(); r += 8) {
        SignRecord s;
        s.recipient = f[r + 1];
        s.attachments = f[r + 2];
        s.message = f[r + 3];
        s.opinion = f[r + 4];
        s.mailTime = decimal(f[r + 6]);
        s.signTime = decimal(f[r + 7]);
        out.push_back(std::move(s));
    }
    return out;
}

MemberState readMemberState(std::string_view field) {
    if (field.empty()) return MemberState::Other;
    switch (field[0]) {
        case '0':
            return MemberState::Pending;
        case '1':
            return MemberState::Member;
        case '6':
            return MemberState::Refused;
        default:
            return MemberState::Other;
    }
}

OrgMemberState readOrgMemberState(std::string_view field) {
    OrgMemberState s;
    s.number = decimal(field);
    size_t blank = field.find(' ');
    if (blank != std::string_view::npos && blank + 1 < field.size()) {
        char c = field[blank + 1];
        if (c >= 's' && c <= 'z') s.kind = c - 114;
    }
    return s;
}

}  // namespace orv

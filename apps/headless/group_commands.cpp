#include "apps/headless/group_commands.h"

#include <cstdlib>

#include "apps/headless/event_lines.h"
#include "apps/headless/json.h"

namespace orv {

namespace {

std::string answer(const std::string& cmd, bool ok, const std::string& rest = "") {
    return "{\"cmd\":" + json::quote(cmd) + ",\"ok\":" + (ok ? "true" : "false") +
           (rest.empty() ? "" : "," + rest) + "}";
}

std::string groupsJson(const std::vector<GroupInfo>& groups, bool owned) {
    std::string o = "[";
    for (size_t i = 0; i < groups.size(); ++i) {
        const GroupInfo& g = groups[i];
        o += std::string(i ? "," : "") + "{\"name\":" + json::quote(g.name) +
             ",\"creator\":" + json::quote(g.creator);
        if (owned)
            o += ",\"intro\":" + json::quote(g.intro) +
                 ",\"public\":" + (g.isPublic ? "true" : "false");
        o += ",\"members\":[";
        for (size_t k = 0; k < g.members.size(); ++k)
            o += std::string(k ? "," : "") + "{\"name\":" + json::quote(g.members[k].name) +
                 ",\"number\":" + std::to_string(g.members[k].number) +
                 ",\"kind\":" + std::to_string(g.members[k].kind) + "}";
        o += "]}";
    }
    return o + "]";
}

std::string receiptsJson(const std::vector<SignRecord>& rows) {
    std::string o = "[";
    for (size_t i = 0; i < rows.size(); ++i) {
        const SignRecord& r = rows[i];
        o += std::string(i ? "," : "") + "{\"to\":" + json::quote(r.recipient) +
             ",\"signed\":" + (r.signTime ? "true" : "false") +
             ",\"opinion\":" + json::quote(r.opinion) +
             ",\"signTime\":" + std::to_string(r.signTime) +
             ",\"message\":" + json::quote(r.message) +
             ",\"attachments\":" + json::quote(r.attachments) +
             ",\"sendTime\":" + std::to_string(r.mailTime) + "}";
    }
    return o + "]";
}

// The send time of the user's outgoing mail with the key, or -1.
int32_t sentMailTime(ClientSession& s, const std::string& hex) {
    uint64_t key = std::strtoull(hex.c_str(), nullptr, 16);
    int m = s.tables().findOutgoing(key);
    return m < 0 ? -1 : s.tables().mails[m].created;
}

// "k=v" words after the first `skip`, and the flag words.
struct Fields {
    std::string name, intro;
    bool hasName = false, hasIntro = false, isPrivate = false;
};
Fields readFields(const std::vector<std::string>& w, size_t skip) {
    Fields f;
    for (size_t i = skip; i < w.size(); ++i) {
        if (w[i] == "private")
            f.isPrivate = true;
        else if (w[i].rfind("intro=", 0) == 0)
            f.intro = w[i].substr(6), f.hasIntro = true;
        else if (w[i].rfind("name=", 0) == 0)
            f.name = w[i].substr(5), f.hasName = true;
    }
    return f;
}

}  // namespace

bool runGroupCommand(ClientSession& s, const std::vector<std::string>& w,
                     const std::function<void(const std::string&)>& emit) {
    const std::string c = w[0];
    GroupsFacade& g = s.groups();
    auto need = [&](size_t n) {
        if (w.size() >= n + 1) return true;
        emit(answer(c, false, "\"error\":\"missing arguments\""));
        return false;
    };
    auto done = [&](bool ok) { emit(answer(c, ok)); };
    if (c == "groups") {
        emit(answer(c, true,
                    "\"stage\":" + std::to_string(g.stage()) +
                        ",\"owned\":" + groupsJson(g.ownedGroups(), true) +
                        ",\"joined\":" + groupsJson(g.joinedGroups(), false)));
    } else if (c == "group-refresh") {
        g.requestSync();
        done(s.state().loggedIn());
    } else if (c == "group-create") {
        if (!need(1)) return true;
        Fields f = readFields(w, 2);
        done(g.createGroup(w[1], f.intro, !f.isPrivate));
    } else if (c == "group-edit") {
        if (!need(1)) return true;
        Fields f = readFields(w, 2);
        std::string intro = f.intro;
        if (!f.hasIntro)
            for (const auto& o : g.ownedGroups())
                if (equalsIgnoreCase(o.name, w[1])) intro = o.intro;
        done(g.editGroup(w[1], f.hasName ? f.name : w[1], intro, !f.isPrivate));
    } else if (c == "group-delete") {
        if (!need(1)) return true;
        done(g.deleteGroup(w[1]));
    } else if (c == "group-remove") {
        if (!need(2)) return true;
        done(g.removeMember(w[1], w[2]));
    } else if (c == "group-join") {
        if (!need(2)) return true;
        done(g.join(w[1], w[2]));
    } else if (c == "group-leave") {
        if (!need(2)) return true;
        done(g.leaveGroup(w[1], w[2]));
    } else if (c == "group-approve" || c == "group-refuse") {
        if (!need(2)) return true;
        done(g.answerJoin(w[1], w[2], c == "group-approve"));
    } else if (c == "group-pending") {
        std::string reqs = "[";
        const auto& p = g.pendingRequests();
        for (size_t i = 0; i < p.size(); ++i)
            reqs += std::string(i ? "," : "") + "{\"group\":" + json::quote(p[i].group) +
                    ",\"user\":" + json::quote(p[i].applicant) +
                    ",\"creator\":" + json::quote(p[i].creator) + "}";
        emit(
            answer(c, true, "\"requests\":" + reqs + "],\"refused\":" + json::array(g.refusals())));
    } else if (c == "group-find") {
        g.findPublicGroups([c, emit](bool answered, const std::vector<PublicGroup>& groups) {
            std::string o = "[";
            for (size_t i = 0; i < groups.size(); ++i)
                o += std::string(i ? "," : "") + "{\"name\":" + json::quote(groups[i].name) +
                     ",\"creator\":" + json::quote(groups[i].creator) +
                     ",\"intro\":" + json::quote(groups[i].intro) +
                     ",\"members\":" + std::to_string(groups[i].members) + "}";
            emit(answer(c, answered, "\"groups\":" + o + "]"));
        });
    } else if (c == "sign") {
        if (!need(2)) return true;
        uint64_t key = std::strtoull(w[1].c_str(), nullptr, 16);
        std::string refusal;
        bool started = s.signing().sign(
            key, w[2],
            [c, emit, key](bool ok, const std::string& m) {
                emit(
                    answer(c, ok, "\"key\":\"" + hexKey(key) + "\",\"message\":" + json::quote(m)));
            },
            &refusal);
        if (!started) emit(answer(c, false, "\"message\":" + json::quote(refusal)));
    } else if (c == "receipts") {
        if (!need(1)) return true;
        int32_t time = w[1] == "all" ? 0 : sentMailTime(s, w[1]);
        if (time < 0) {
            emit(answer(c, false, "\"error\":\"no such mail\""));
            return true;
        }
        ReceiptFilter filter = ReceiptFilter::All;
        if (w.size() > 2 && w[2] == "signed") filter = ReceiptFilter::Signed;
        if (w.size() > 2 && w[2] == "unsigned") filter = ReceiptFilter::Unsigned;
        s.signing().listReceipts(time, filter,
                                 [c, emit](bool answered, const std::vector<SignRecord>& rows) {
                                     emit(answer(c, answered, "\"rows\":" + receiptsJson(rows)));
                                 });
    } else if (c == "receipts-delete") {
        if (!need(2)) return true;
        int32_t time = sentMailTime(s, w[1]);
        if (time < 0) {
            emit(answer(c, false, "\"error\":\"no such mail\""));
            return true;
        }
        std::vector<SignRecord> rows;
        for (size_t i = 2; i < w.size(); ++i) {
            SignRecord r;
            r.recipient = w[i];
            r.mailTime = time;
            rows.push_back(r);
        }
        s.signing().deleteReceipts(rows, [c, emit](bool answered) { emit(answer(c, answered)); });
    } else {
        return false;
    }
    return true;
}

}  // namespace orv

// The headless client: one client session without windows. It reads commands one per line
// on standard input, answers each with one JSON line on standard output, and prints event
// lines as things happen. It runs until "quit", SIGINT or SIGTERM.
#include <fcntl.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "apps/headless/commands.h"
#include "apps/headless/event_lines.h"
#include "apps/headless/group_commands.h"
#include "apps/headless/json.h"
#include "apps/headless/transfer_commands.h"
#include "core/clock.h"
#include "core/journal.h"
#include "core/state_saver.h"
#include "mail/mail_facade.h"
#include "session/client_session.h"
#include "share/share_facade.h"

namespace orv {
namespace {

void emit(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

const char* usageText =
    "usage: orvantel-headless [options] [/o] [FILE...]\n"
    "  --data-dir DIR        where cfg.dat and recvfile/ live (default: beside the program)\n"
    "  --instance-port N     port of the single-instance channel (default 19999)\n"
    "  --server HOST:PORT    directory server to use (remembered in cfg.dat)\n"
    "  --user U --password P log in at start\n"
    "  --create-account      create the account --user/--password first\n"
    "  --peer-port N         first port the peer listener tries\n"
    "  --listen ADDR         address the peer listener binds to\n"
    "  --http-port N         first port the preview server tries (default 39998)\n"
    "  --through-relay on|off  be reached through a relay (the Network settings' option)\n"
    "  --refuse-listener     listen nowhere, so nobody can connect (tests)\n"
    "  --relay-limit KB      as a relay, pass on at most KB kB/s for others (0: no cap)\n"
    "  --lang en|zh          language of the messages\n"
    "commands on standard input: login USER PASSWORD [remember] | logout |\n"
    "  create-account USER PASSWORD [CONFIRM] | change-password USER OLD NEW CONFIRM |\n"
    "  send to=NAMES [subject=S] [text=T] [html=DOC] [flags=N] [sign] [file=PATH]... |\n"
    "  list in|out|trash|drafts|sent [category] | show KEY | receive KEY |\n  set NUMBER VALUE | "
    "preview VPATH | status | quit\n";

const char* loginResultName(LoginFlow::Result r) {
    switch (r) {
        case LoginFlow::Result::LoggedIn:
            return "logged-in";
        case LoginFlow::Result::Refused:
            return "refused";
        case LoginFlow::Result::NoAnswer:
            return "no-answer";
        case LoginFlow::Result::Ignored:
            return "ignored";
        case LoginFlow::Result::Running:
            return "running";
    }
    return "?";
}

std::string answer(const std::string& cmd, bool ok, const std::string& rest = "") {
    return "{\"cmd\":" + json::quote(cmd) + ",\"ok\":" + (ok ? "true" : "false") +
           (rest.empty() ? "" : "," + rest) + "}";
}

class Headless {
  public:
    explicit Headless(ClientSession& s) : s_(s) {}

    // Runs one command; false for quit.
    bool run(const std::vector<std::string>& w) {
        if (w.empty()) return true;
        const std::string& c = w[0];
        auto need = [&](size_t n) {
            if (w.size() >= n + 1) return true;
            emit(answer(c, false, "\"error\":\"missing arguments\""));
            return false;
        };
        if (c == "quit" || c == "exit") {
            emit(answer(c, true));
            return false;
        } else if (c == "login") {
            if (!need(2)) return true;
            bool remember = w.size() > 3 && w[3] == "remember";
            s_.login(w[1], w[2], remember, [c](const LoginOutcome& o) {
                emit(answer(c, o.result == LoginFlow::Result::LoggedIn,
                            "\"result\":" + json::quote(loginResultName(o.result)) +
                                ",\"messages\":" + json::array(o.messages)));
            });
        } else if (c == "logout") {
            if (!s_.state().loggedIn()) {
                emit(answer(c, false, "\"error\":\"nobody is logged in\""));
                return true;
            }
            s_.logout([c](bool ack) {
                emit(answer(c, true, std::string("\"acknowledged\":") + (ack ? "true" : "false")));
            });
        } else if (c == "create-account") {
            if (!need(2)) return true;
            s_.createAccount(w[1], w[2], w.size() > 3 ? w[3] : w[2],
                             [c](bool ok, const std::string& m) {
                                 emit(answer(c, ok, "\"message\":" + json::quote(m)));
                             });
        } else if (c == "change-password") {
            if (!need(4)) return true;
            s_.changePassword(w[1], w[2], w[3], w[4], [c](bool ok, const std::string& m) {
                emit(answer(c, ok, "\"message\":" + json::quote(m)));
            });
        } else if (c == "send") {
            sendCommand(w);
        } else if (c == "list") {
            listCommand(w);
        } else if (c == "show" || c == "receive") {
            mailCommand(w);
        } else if (c == "share") {
            shareCommand(w);
        } else if (c == "preview") {
            // preview VPATH: a preview of another user's file; a player plays the address.
            if (!need(1)) return true;
            std::string url;
            TransferResult r = s_.transfers().preview(w[1], url);
            emit(answer(
                c, r.ok,
                r.ok ? "\"url\":" + json::quote(url) : "\"error\":" + json::quote(r.message)));
        } else if (c == "set") {
            // set N V: settings number N (13-16 rate limits in kB/s, 18 auto-receive MB, ...)
            if (!need(2)) return true;
            int n = std::atoi(w[1].c_str());
            bool ok = n >= 0 && n < 128;
            if (ok) s_.tables().setSettingNumber(n, std::atoi(w[2].c_str()));
            emit(answer(c, ok));
        } else if (c == "status") {
            const SessionState& st = s_.state();
            // The peers this client has links to and is connecting to, for watching a delivery.
            ClientSession::PeerStatus ps = s_.peerStatus();
            std::string links = "[", attempts = "[";
            for (size_t i = 0; i < ps.links.size(); ++i)
                links += std::string(i ? "," : "") + "{\"user\":" + json::quote(ps.links[i].user) +
                         ",\"state\":" + std::to_string(ps.links[i].state) + "}";
            for (size_t i = 0; i < ps.attempts.size(); ++i)
                attempts += std::string(i ? "," : "") +
                            "{\"user\":" + json::quote(ps.attempts[i].user) +
                            ",\"state\":" + std::to_string(ps.attempts[i].state) +
                            ",\"time\":" + std::to_string(ps.attempts[i].time) + "}";
            links += "]";
            attempts += "]";
            RelayClient::Status rs = s_.relayLinkStatus();
            static constexpr const char* kinds[] = {"off",      "asking",     "direct",
                                                    "no-relay", "connecting", "linked"};
            std::string relayLink = std::string("{\"state\":\"") + kinds[rs.kind] +
                                    "\",\"relay\":" + json::quote(rs.relayUser) +
                                    ",\"address\":" + json::quote(rs.relayAddress) +
                                    ",\"failures\":" + std::to_string(rs.failures) + "}";
            // As a relay: what waits to be passed on, the mails' routes back to their senders
            // and the receivers that asked for files.
            RelayStatus relay = s_.relayStatus();
            std::string relayMode = std::string("{\"mode\":") +
                                    (relay.relayMode ? "true" : "false") +
                                    ",\"entries\":" + std::to_string(relay.entries) +
                                    ",\"queuedBytes\":" + std::to_string(relay.bytes) +
                                    ",\"routes\":" + std::to_string(relay.routes) +
                                    ",\"receivers\":" + std::to_string(relay.receivers) + "}";
            emit(answer(
                c, true,
                "\"user\":" + json::quote(st.currentUser) +
                    ",\"connectMode\":" + std::to_string(st.connectMode) +
                    ",\"peerPort\":" + std::to_string(ps.peerPort) +
                    ",\"directory\":" + json::quote(st.directoryServerAddress) +
                    ",\"mails\":" + std::to_string(s_.tables().mails.count()) +
                    // Syncs so far: the journal's (one per pump that changed mails)
                    // and the saves of cfg.dat (a file and a folder sync each).
                    ",\"journalSyncs\":" +
                    std::to_string(s_.journal() ? s_.journal()->syncCount() : 0) +
                    ",\"saves\":" + std::to_string(s_.saver() ? s_.saver()->savesCompleted() : 0) +
                    ",\"links\":" + links + ",\"attempts\":" + attempts +
                    ",\"relay\":" + relayMode + ",\"relayLink\":" + relayLink));
        } else if (!runGroupCommand(s_, w, emit) && !runTransferCommand(s_, w, emit)) {
            emit(answer(c, false, "\"error\":\"unknown command\""));
        }
        return true;
    }

  private:
    // send to=NAMES [subject=TEXT] [text=TEXT] [html=DOCUMENT] [flags=N] [sign] [file=PATH]...
    // ("sign" or "sign=1" asks the receivers to sign: the same as the flags bit 0x20)
    void sendCommand(const std::vector<std::string>& w) {
        const std::string c = w[0];
        if (!s_.state().loggedIn()) {
            emit(answer(c, false, "\"error\":\"nobody is logged in\""));
            return;
        }
        ComposeInput in;
        in.from = s_.state().currentUser;
        bool sign = false;
        for (size_t i = 1; i < w.size(); ++i) {
            size_t eq = w[i].find('=');
            std::string k = w[i].substr(0, eq),
                        v = eq == std::string::npos ? "" : w[i].substr(eq + 1);
            if (k == "to")
                in.to = v;
            else if (k == "text")
                in.plainText = v;
            else if (k == "subject")
                in.subjectLine = v;
            else if (k == "html")
                in.html = true, in.htmlDocument = v;
            else if (k == "flags")
                in.options = static_cast<uint32_t>(std::strtoul(v.c_str(), nullptr, 0));
            else if (k == "file")
                in.attachments.push_back(v);
            else if (k == "sign")
                sign = v != "0";
            else {
                emit(answer(c, false, "\"error\":" + json::quote("unknown field " + k)));
                return;
            }
        }
        if (sign) in.options |= MailFlags::signRequired;
        ComposeState st;
        ComposeResult r = s_.mail().send(st, in);
        emit(answer(c, r.ok,
                    "\"key\":\"" + hexKey(r.key) + "\",\"message\":" + json::quote(r.message)));
    }

    // list in|out|trash|drafts|sent [category]
    void listCommand(const std::vector<std::string>& w) {
        const std::string c = w[0];
        static const std::pair<const char*, int> views[] = {{"in", View::Inbox},
                                                            {"out", View::Outbox},
                                                            {"trash", View::Trash},
                                                            {"drafts", View::Drafts},
                                                            {"sent", View::Sent}};
        int view = -1;
        for (auto& [name, v] : views)
            if (w.size() > 1 && w[1] == name) view = v;
        if (view < 0) {
            emit(answer(c, false, "\"error\":\"list in|out|trash|drafts|sent\""));
            return;
        }
        int category = w.size() > 2 ? std::atoi(w[2].c_str()) : InboxCategory::All;
        auto rows = s_.mail().view(view, category);
        auto cols = viewColumns(view);
        std::string out = "\"rows\":[";
        for (size_t r = 0; r < rows.size(); ++r) {
            out += (r ? ",{" : "{") + std::string("\"key\":\"") + hexKey(rows[r].key) +
                   "\",\"kind\":" + std::to_string(rows[r].kind);
            for (const auto& col : cols)
                out += "," + json::quote(std::string(col.title.en)) + ":" +
                       json::quote(rows[r].cell(col.column));
            out += "}";
        }
        emit(answer(c, true, out + "]"));
    }

    // show KEY: the mail, its files and progress; receive KEY: fetch its files.
    void mailCommand(const std::vector<std::string>& w) {
        const std::string c = w[0];
        CoreTables& t = s_.tables();
        uint64_t key = w.size() > 1 ? std::strtoull(w[1].c_str(), nullptr, 16) : 0;
        MailProgress p = s_.mail().progress(key);
        int m = p.mail;
        bool received = p.received;
        if (m < 0) {
            emit(answer(c, false, "\"error\":\"no such mail\""));
            return;
        }
        if (c == "receive") {
            bool ok = received && s_.mail().requestFiles(key);
            emit(answer(c, ok, "\"key\":\"" + hexKey(key) + "\""));
            return;
        }
        const MailRecord& r = t.mails[m];
        StringPool from, to;
        t.mailSenders(m, from);
        if (received)
            t.receivedAddressLine(m, to);
        else
            for (int e : t.mailOutAddress(m))
                to.append(t.outAddressEntries.view(e));
        int percent = p.percent;
        std::string status = statusName(p.status);
        std::string files = "[";
        const auto& rows = t.mailFiles(m);
        for (size_t j = 0; j < rows.size(); ++j) {
            const AttachmentRecord& a = t.attachments[rows[j]];
            files += (j ? ",{" : "{") + std::string("\"name\":") +
                     json::quote(t.attachmentNames.view(rows[j])) +
                     ",\"path\":" + json::quote(t.attachmentPaths.view(rows[j])) +
                     ",\"total\":" + std::to_string(a.total) +
                     ",\"done\":" + std::to_string(a.done) +
                     ",\"body\":" + ((a.attFlags & AttFlags::isBodyPart) ? "true" : "false") + "}";
        }
        files += "]";
        std::string deliveries;
        if (!received) {
            deliveries = ",\"deliveries\":[";
            const auto& ds = t.mailDeliveries(m);
            for (size_t j = 0; j < ds.size(); ++j) {
                const DeliveryRecord& d = t.deliveries[ds[j]];
                deliveries += (j ? ",{" : "{") + std::string("\"to\":") +
                              json::quote(t.deliveryRecipients.view(ds[j])) +
                              ",\"state\":" + std::to_string(d.state) +
                              ",\"file\":" + std::to_string(d.fileIndex) +
                              ",\"offset\":" + std::to_string(d.fileOffset) + "}";
            }
            deliveries += "]";
        }
        emit(answer(c, true,
                    "\"key\":\"" + hexKey(key) + "\",\"kind\":" + std::to_string(r.kind) +
                        ",\"from\":" + json::array(from.toVector()) +
                        ",\"to\":" + json::array(to.toVector()) + ",\"subject\":" +
                        json::quote(t.subjects.view(m)) + ",\"flags\":" + std::to_string(r.flags) +
                        ",\"size\":" + std::to_string(r.size) + ",\"status\":\"" + status +
                        "\",\"percent\":" + std::to_string(percent) + ",\"files\":" + files +
                        deliveries));
    }

    // share VERB ...: the shared folders (see the usage text).
    void shareCommand(const std::vector<std::string>& w) {
        const std::string c = w[0];
        std::string verb = w.size() > 1 ? w[1] : "";
        ShareFacade& sh = s_.share();
        auto arg = [&](size_t i) { return i < w.size() ? w[i] : std::string(); };
        auto rest = [&](size_t from) {
            return std::vector<std::string>(w.begin() + static_cast<long>(std::min(from, w.size())),
                                            w.end());
        };
        auto result = [&](const ShareResult& r) {
            emit(answer(c, r.ok,
                        "\"verb\":" + json::quote(verb) + ",\"added\":" + std::to_string(r.added) +
                            ",\"skipped\":" + std::to_string(r.skipped) +
                            (r.message.empty() ? "" : ",\"message\":" + json::quote(r.message))));
        };
        auto sent = [&](bool ok) { emit(answer(c, ok, "\"verb\":" + json::quote(verb))); };
        if (verb == "mkdir") {
            result(sh.newFolder(arg(2), arg(3)));
        } else if (verb == "rmdir") {
            result(sh.deleteFolder(arg(2)));
        } else if (verb == "rename") {
            result(sh.renameFolder(arg(2), arg(3)));
        } else if (verb == "add-dir") {
            result(sh.addFolderFromDisk(arg(2), arg(3)));
        } else if (verb == "add") {
            result(sh.addFiles(arg(2), rest(3)));
        } else if (verb == "remove") {
            result(sh.removeFiles(arg(2), rest(3)));
        } else if (verb == "connect") {
            sent(sh.connectUser(arg(2)));
        } else if (verb == "request") {
            sent(sh.requestListing(arg(2), arg(3) == "tree"));
        } else if (verb == "refresh") {
            sent(sh.refresh(arg(2)));
        } else if (verb == "list") {
            shareList(arg(2).empty() ? sh.ownRoot() : arg(2), arg(3) == "tree");
        } else {
            emit(answer(c, false,
                        "\"error\":\"share mkdir|rmdir|rename|add-dir|add|remove|list|"
                        "connect|request|refresh\""));
        }
    }

    // The folders under path (one level, or the whole subtree) with their files.
    void shareList(const std::string& path, bool tree) {
        const ShareStore& st = s_.share().store();
        std::string folders = "[", files = "[";
        bool firstFile = true;
        int n = 0;
        for (int32_t f : st.foldersUnder(path)) {
            std::string_view p = st.folderPath(f);
            std::string_view restOf = p.substr(path.size());
            if (!tree && std::count(restOf.begin(), restOf.end(), '/') > 1) continue;
            folders += (n++ ? "," : "") + json::quote(p);
            if (!tree && p.size() != path.size()) continue;
            for (int32_t x : st.folderFiles(f)) {
                files += std::string(firstFile ? "" : ",") + "{\"folder\":" + json::quote(p) +
                         ",\"name\":" + json::quote(st.fileName(x)) +
                         ",\"size\":" + std::to_string(st.file(x).size) +
                         ",\"time\":" + std::to_string(st.file(x).added) + "}";
                firstFile = false;
            }
        }
        emit(answer("share", true,
                    "\"verb\":\"list\",\"path\":" + json::quote(path) + ",\"folders\":" + folders +
                        "],\"files\":" + files + "]"));
    }

    ClientSession& s_;
};

}  // namespace
}  // namespace orv

int main(int argc, char** argv) {
    using namespace orv;
    ClientOptions opt;
    opt.programPath = argv[0];
    std::string user, password;
    bool create = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n%s", a.c_str(), usageText);
                std::exit(2);
            }
            return argv[++i];
        };
        if (readClientOption(a, value, opt, user, password)) continue;
        if (a == "--create-account")
            create = true;
        else if (a == "--help" || a == "-h") {
            std::fputs(usageText, stdout);
            std::fputs(kGroupCommandsUsage, stdout);
            std::fputs(kTransferCommandsUsage, stdout);
            return 0;
        } else if (a.rfind("--", 0) == 0) {
            std::fprintf(stderr, "unknown option %s\n%s", a.c_str(), usageText);
            return 2;
        } else {
            opt.args.push_back(a);
        }
    }

    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    int sigfd = signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
    signal(SIGPIPE, SIG_IGN);

    SystemClock clock;
    ClientSession session(clock, opt);
    if (session.start() == StartOutcome::OtherRunning) {
        emit("{\"event\":\"other-instance\"}");
        return 0;
    }
    session.onForwardIgnored = [](const std::string& line) {
        emit("{\"event\":\"forwarded\",\"acted\":false,\"files\":" +
             json::array(filesOfCommandLine(line)) + "}");
    };
    session.onSendFiles = [](const std::vector<std::string>& files) {
        emit("{\"event\":\"forwarded\",\"acted\":true,\"files\":" + json::array(files) + "}");
    };
    // Every event of a service is printed as it is handed out.
    session.onEvent = [&session](const SessionEvent& e) { emit(eventLine(e, session.tables())); };
    // A download asked to be opened when complete: there is no desktop to open it with.
    session.transfers().openFile = [](const std::string& path) {
        emit("{\"event\":\"open\",\"path\":" + json::quote(path) + "}");
    };
    const auto& rep = session.loadReport();
    emit("{\"event\":\"started\",\"data\":" + json::quote(session.paths().folder) +
         ",\"state\":" + (rep.present ? "\"loaded\"" : "\"new\"") +
         ",\"mails\":" + std::to_string(session.tables().mails.count()) +
         ",\"directory\":" + json::quote(session.state().directoryServerAddress) +
         ",\"instance\":" + (session.instanceChannelValid() ? "true" : "false") + "}");

    Headless tool(session);
    std::deque<std::vector<std::string>> queue;
    if (create && !user.empty()) queue.push_back({"create-account", user, password});
    if (!user.empty()) queue.push_back({"login", user, password});

    bool running = true, inputOpen = true;
    std::string pending;
    while (running) {
        while (running && !session.accountBusy() && !queue.empty()) {
            auto cmd = std::move(queue.front());
            queue.pop_front();
            running = tool.run(cmd);
        }
        if (!running) break;
        std::vector<PollEntry> extra;
        extra.push_back({sigfd, kWaitRead, 0});
        if (inputOpen) extra.push_back({0, kWaitRead, 0});
        session.runOnce(60000, &extra);
        if (extra[0].revents) {
            signalfd_siginfo si;
            while (::read(sigfd, &si, sizeof si) == sizeof si)
                running = false;
        }
        if (inputOpen && extra.size() > 1 && extra[1].revents) {
            // One read per readiness, so a blocking standard input never holds the loop.
            char buf[65536];
            ssize_t n = ::read(0, buf, sizeof buf);
            if (n > 0)
                pending.append(buf, static_cast<size_t>(n));
            else if (n == 0 || errno != EINTR)
                inputOpen = false;  // no more commands; run on until quit or a signal
            size_t nl;
            while ((nl = pending.find('\n')) != std::string::npos) {
                queue.push_back(splitCommandLine(std::string_view(pending).substr(0, nl)));
                pending.erase(0, nl + 1);
            }
        }
    }
    bool saved = session.shutdown();
    emit(std::string("{\"event\":\"stopped\",\"saved\":") + (saved ? "true" : "false") + "}");
    return saved ? 0 : 1;
}

// Many senders, one receiver: SENDERS headless clients each send MAILS small mails to one
// receiver at the same moment, on loopback with the real directory server. Every process runs
// as the product does: journal on, every Send synced before it is answered, every received mail
// synced before it is acknowledged. Timed from the first send command to the receiver's last
// "mail-arrived" event, and to the last sender's last "delivery-done". The receiver's Inbox is
// then compared with the keys the senders were given, and every subject must have arrived once.
// Prints the times, the receiver's syncs (journal, cfg.dat saves) per 1 000 mails, and the
// machine's load when the run began.
//   bench_mail_burst [SENDERS=50] [MAILS=20] [WORK_DIR=a new folder under /tmp]
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "bench/support/clients.h"
#include "server/directory_harness.h"
#include "support/child_process.h"
#include "support/json_line.h"

namespace {

using namespace orv;
using Steady = std::chrono::steady_clock;

double seconds(Steady::time_point a, Steady::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

int msUntil(Steady::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

long long intField(const std::string& line, const std::string& name) {
    size_t at = line.find("\"" + name + "\":");
    return at == std::string::npos ? -1 : std::atoll(line.c_str() + at + name.size() + 3);
}

std::string loadAverage() {
    std::ifstream f("/proc/loadavg");
    std::string a, b, c;
    f >> a >> b >> c;
    return a + " " + b + " " + c;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    int senders = argc > 1 ? std::atoi(argv[1]) : 50;
    int mails = argc > 2 ? std::atoi(argv[2]) : 20;
    std::string work;
    if (argc > 3) {
        work = argv[3];
        std::filesystem::create_directories(work);
    } else {
        char tmpl[] = "/tmp/orv-bench-burst-XXXXXX";
        if (!mkdtemp(tmpl)) return 2;
        work = tmpl;
    }
    const int total = senders * mails;
    std::printf("%d senders x %d mails = %d mails to one receiver, data in %s\n", senders, mails,
                total, work.c_str());

    test::DirectoryProcess server;
    if (!server.start(work + "/directory.sqlite")) {
        std::fprintf(stderr, "directory server did not start\n");
        return 2;
    }
    std::string address = "127.0.0.1:" + std::to_string(server.port());
    auto start = [&](test::ChildProcess& p, const std::string& user) {
        std::vector<std::string> args = bench::headlessArgs(work, address, user);
        return p.start(ORV_HEADLESS_EXE, args, true);
    };
    // True once the client is logged in; what it said otherwise goes to stderr.
    auto loggedIn = [](test::ChildProcess& p) {
        auto deadline = Steady::now() + std::chrono::seconds(60);
        std::string said;
        while (auto line = p.readLine(msUntil(deadline))) {
            if (line->find("\"result\":\"logged-in\"") != std::string::npos) return true;
            said += *line + "\n";
        }
        std::fprintf(stderr, "%s", said.c_str());
        return false;
    };
    auto status = [](test::ChildProcess& p) {
        p.writeLine("status");
        auto line = p.waitForLine("\"cmd\":\"status\"");
        return line ? *line : std::string();
    };

    test::ChildProcess receiver;
    if (!start(receiver, "rcv") || !loggedIn(receiver)) {
        std::fprintf(stderr, "the receiver did not log in\n");
        return 2;
    }
    // One after the other: fifty accounts created at the same moment sometimes end in a
    // refused login, which is not what is measured here.
    std::vector<std::unique_ptr<test::ChildProcess>> from;
    for (int s = 0; s < senders; ++s) {
        from.push_back(std::make_unique<test::ChildProcess>());
        if (!start(*from.back(), "s" + std::to_string(s)) || !loggedIn(*from.back())) {
            std::fprintf(stderr, "sender s%d did not log in\n", s);
            return 2;
        }
    }
    std::string before = status(receiver);
    std::string load = loadAverage();

    auto t0 = Steady::now();
    for (int s = 0; s < senders; ++s) {
        std::string lines;
        for (int i = 0; i < mails; ++i)
            lines += "send to=rcv text=s" + std::to_string(s) + "-" + std::to_string(i) + "\n";
        lines.pop_back();
        from[static_cast<size_t>(s)]->writeLine(lines);
    }
    // The receiver's lines are read as they come, so its output never blocks it.
    std::set<std::string> subjects, arrivedKeys;
    int duplicates = 0;
    auto deadline = t0 + std::chrono::seconds(120);
    while (static_cast<int>(arrivedKeys.size()) < total) {
        auto line = receiver.waitForLine("\"mail-arrived\"", msUntil(deadline));
        if (!line) break;
        if (!arrivedKeys.insert(test::jsonField(*line, "key")).second) ++duplicates;
        subjects.insert(test::jsonField(*line, "subject"));
    }
    auto t1 = Steady::now();
    if (static_cast<int>(arrivedKeys.size()) < total) {
        std::fprintf(stderr, "only %zu of %d mails arrived\n", arrivedKeys.size(), total);
        for (auto& p : from)
            p->kill(SIGKILL);
        return 1;
    }
    std::set<std::string> sentKeys;
    int done = 0;
    for (auto& p : from) {
        int mine = 0;
        while (mine < mails) {
            auto line = p->readLine(msUntil(deadline));
            if (!line) break;
            if (line->find("\"cmd\":\"send\"") != std::string::npos)
                sentKeys.insert(test::jsonField(*line, "key"));
            if (line->find("\"delivery-done\"") != std::string::npos) ++mine;
        }
        done += mine;
    }
    auto t2 = Steady::now();
    std::string after = status(receiver);
    long long senderSyncs = 0;
    for (auto& p : from)
        senderSyncs += intField(status(*p), "journalSyncs");

    // The receiver's Inbox holds exactly the mails the senders were told are sent.
    receiver.writeLine("list in");
    auto list = receiver.waitForLine("\"cmd\":\"list\"", 30000);
    std::set<std::string> inbox;
    for (size_t at = list ? list->find("\"key\":\"") : std::string::npos; at != std::string::npos;
         at = list->find("\"key\":\"", at + 1))
        inbox.insert(list->substr(at + 7, list->find('"', at + 7) - at - 7));
    // The subject is the mail's text: "s<sender>-<number>", each one once.
    std::set<std::string> expected;
    for (int s = 0; s < senders; ++s)
        for (int i = 0; i < mails; ++i)
            expected.insert("s" + std::to_string(s) + "-" + std::to_string(i));
    bool verified = subjects == expected && inbox == sentKeys && arrivedKeys == sentKeys &&
                    static_cast<int>(sentKeys.size()) == total && duplicates == 0 && done == total;

    long long journal = intField(after, "journalSyncs") - intField(before, "journalSyncs");
    long long saves = intField(after, "saves") - intField(before, "saves");
    double per1000 = 1000.0 / total;
    std::printf("load average when the sends began: %s (%ld cores)\n", load.c_str(),
                sysconf(_SC_NPROCESSORS_ONLN));
    std::printf("all %d received: %.2f s (target < 10 s); all Sent on the senders: %.2f s\n", total,
                seconds(t0, t1), seconds(t0, t2));
    std::printf(
        "receiver syncs: %lld journal syncs, %lld cfg.dat saves (2 syncs each): %.0f syncs per "
        "1 000 mails\n",
        journal, saves,
        (static_cast<double>(journal) + 2.0 * static_cast<double>(saves)) * per1000);
    std::printf(
        "sender syncs: %lld in all (each Send is synced before it is answered, then the finished "
        "deliveries): %.0f per 1 000 mails\n",
        senderSyncs, static_cast<double>(senderSyncs) * per1000);
    std::printf("content: %s (inbox %zu, sent %zu, arrived %zu, duplicates %d, done %d)\n",
                verified ? "verified" : "MISMATCH", inbox.size(), sentKeys.size(),
                arrivedKeys.size(), duplicates, done);

    for (auto& p : from)
        p->writeLine("quit");
    receiver.writeLine("quit");
    for (auto& p : from)
        p->wait();
    receiver.wait();
    return verified ? 0 : 1;
}

// A large attachment through a relay against the same attachment sent directly, in the same
// run: one sender, one receiver reached directly and one reached through the relay (its user
// chose "Reach me through a relay"), all headless clients on loopback with the real directory
// server. Every copy starts from the same state (destination removed, sync, source in the page
// cache), rounds alternate which copy goes first, and every received file is compared with the
// source. Prints each round, both medians, their paired ratio, and the CPU time of the relay
// (and of both ends) per GiB passed through.
//   bench_relay [MiB=256] [ROUNDS=4] [WORK_DIR=a new folder under /tmp]
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "server/directory_harness.h"
#include "support/child_process.h"
#include "support/json_line.h"
#include "transfer/copy_measure.h"

namespace {

using namespace orv;
using namespace orv::bench;

// Rows of the relay's own Inbox: what passes through must not land there.
int inboxRows(test::ChildProcess& p) {
    p.writeLine("list in");
    auto l = p.waitForLine("\"cmd\":\"list\"", 20000);
    if (!l) return -1;
    int n = 0;
    for (size_t at = l->find("\"key\""); at != std::string::npos; at = l->find("\"key\"", at + 1))
        ++n;
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 4;
    std::string work;
    if (argc > 3) {
        work = argv[3];
        std::filesystem::create_directories(work);
    } else {
        char tmpl[] = "/tmp/orv-bench-relay-XXXXXX";
        if (!mkdtemp(tmpl)) return 2;
        work = tmpl;
    }
    std::string src = work + "/payload.bin";
    std::printf("payload: %zu MiB in %s\n", mib, work.c_str());
    bench::printConditions(
        {"both copies: the destination removed first; loopback TCP; rounds "
         "alternate which copy goes first",
         bench::pageCacheCondition(),
         "every received file compared with the source byte for byte"});
    if (!makeFile(src, mib)) return 2;

    test::DirectoryProcess server;
    std::string db = work + "/directory.sqlite";
    if (!server.start(db, {"--reach-timeout-ms", "2000"})) {
        std::fprintf(stderr, "directory server did not start\n");
        return 2;
    }
    for (const char* u : {"hub", "alice", "bob", "ray"}) {
        auto a = test::get(server.port(), std::string("insert.asp?name=") + u +
                                              "&leibie=0&passwd=pw&main=e&oldpasswd=");
        if (a.body != "Reg OK") return 2;
    }
    if (test::DirectoryProcess::admin(db, {"set-mode", "hub", "relay"}) != 0) return 2;
    std::string address = "127.0.0.1:" + std::to_string(server.port());
    auto startClient = [&](test::ChildProcess& p, const std::string& user,
                           std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {
            "--data-dir",      work + "/" + user,
            "--instance-port", std::to_string(test::freeLoopbackPort()),
            "--server",        address,
            "--user",          user,
            "--password",      "pw",
            "--lang",          "en"};
        args.insert(args.end(), extra.begin(), extra.end());
        return p.start(ORV_HEADLESS_EXE, args, true) &&
               p.waitForLine("\"result\":\"logged-in\"", 20000).has_value();
    };
    test::ChildProcess hub, alice, bob, ray;
    if (!startClient(hub, "hub") || !startClient(bob, "bob") ||
        !startClient(ray, "ray", {"--through-relay", "on"}) || !startClient(alice, "alice")) {
        std::fprintf(stderr, "clients did not log in\n");
        return 2;
    }
    if (!ray.waitForLine("\"event\":\"relay-link\",\"linked\":true", 30000)) {
        std::fprintf(stderr, "the relayed receiver found no relay\n");
        return 2;
    }
    for (auto* p : {&bob, &ray}) {
        p->writeLine("set 18 1000000");  // whatever its size, a mail's files are fetched at once
        p->waitForLine("\"cmd\":\"set\"");
    }
    int hubInbox = inboxRows(hub);
    // A first small mail to each opens the links, so that the rounds time the transfer.
    for (const char* to : {"bob", "ray"}) {
        alice.writeLine(std::string("send to=") + to + " text=hello");
        if (!alice.waitForLine("\"delivery-done\"", 60000)) {
            std::fprintf(stderr, "the first mail to %s was not delivered\n", to);
            return 2;
        }
    }

    const double bytes = static_cast<double>(mib) * 1048576.0;
    const double gib = bytes / 1073741824.0;
    std::vector<double> direct, relayed, ratio, cpuHub, cpuSend, cpuRecv, cpuSendD, cpuRecvD;
    bool allSame = true;
    auto run = [&](test::ChildProcess& receiver, const std::string& user, bool viaRelay) {
        std::string recv = work + "/" + user + "/recvfile/payload.bin";
        prepare(src, recv);
        double a0 = cpuSeconds(alice.pid()), r0 = cpuSeconds(receiver.pid());
        double h0 = cpuSeconds(hub.pid());
        auto t0 = Steady::now();
        alice.writeLine("send to=" + user + " text=payload file=" + src);
        auto sent = alice.waitForLine("\"cmd\":\"send\"", 20000);
        std::string key = sent ? test::jsonField(*sent, "key") : "";
        bool done = false;
        while (!done) {
            auto l = receiver.waitForLine("\"files-complete\"", 600000);
            if (!l) break;
            done = test::jsonField(*l, "key") == key;
        }
        auto t1 = Steady::now();
        if (!done) return -1.0;
        (viaRelay ? cpuSend : cpuSendD).push_back(cpuSeconds(alice.pid()) - a0);
        (viaRelay ? cpuRecv : cpuRecvD).push_back(cpuSeconds(receiver.pid()) - r0);
        if (viaRelay) cpuHub.push_back(cpuSeconds(hub.pid()) - h0);
        allSame = allSame && sameContent(src, recv);
        std::filesystem::remove(recv);
        return seconds(t0, t1);
    };
    for (int r = 0; r < rounds; ++r) {
        double d = 0, v = 0;
        if (r % 2 == 0) {
            d = run(bob, "bob", false);
            v = run(ray, "ray", true);
        } else {
            v = run(ray, "ray", true);
            d = run(bob, "bob", false);
        }
        if (d <= 0 || v <= 0) {
            std::fprintf(stderr, "round %d: the files did not complete\n", r + 1);
            return 1;
        }
        direct.push_back(bytes / d / 1e6);
        relayed.push_back(bytes / v / 1e6);
        ratio.push_back(relayed.back() / direct.back());
        std::printf(
            "round %d (%s first): direct %.0f MB/s (%s)   through the relay %.0f MB/s "
            "(%s, relay CPU %s)%s\n",
            r + 1, r % 2 == 0 ? "direct" : "relay", direct.back(), duration(d).c_str(),
            relayed.back(), duration(v).c_str(), duration(cpuHub.back()).c_str(),
            allSame ? "" : "   CONTENT DIFFERS");
        std::fflush(stdout);
    }
    std::printf("median: direct %.0f MB/s, through the relay %.0f MB/s, paired ratio %.2f%s\n",
                median(direct), median(relayed), median(ratio),
                allSame ? ", every copy verified" : ", CONTENT DIFFERS");
    std::printf(
        "median CPU per GiB: relay %.2f s; through the relay: sender %.2f s, receiver "
        "%.2f s; direct: sender %.2f s, receiver %.2f s\n",
        median(cpuHub) / gib, median(cpuSend) / gib, median(cpuRecv) / gib, median(cpuSendD) / gib,
        median(cpuRecvD) / gib);
    int after = inboxRows(hub);
    std::printf("relay's Inbox: %d rows before, %d after%s\n", hubInbox, after,
                after == hubInbox ? "" : "   CHANGED");
    for (auto* p : {&alice, &bob, &ray, &hub}) {
        p->writeLine("quit");
        p->wait();
    }
    server.stop();
    if (argc <= 3) std::filesystem::remove_all(work);
    return allSame && after == hubInbox ? 0 : 1;
}

// A large attachment from one headless client to another on loopback, timed from the send
// command to the receiver's files-complete event, against nc copying the same file into a file
// in the same run. Both copies start from the same state: the previous destination removed,
// `sync` run, and the source read once so that its page cache is warm for both. Rounds
// alternate which copy goes first; every received file is compared with the source by content.
// Prints each round, both medians, their paired ratio (the median of the per-round ratios),
// the CPU time of both clients (and of nc), and iperf3 memory to memory as the ceiling when it
// is installed. The receiving client syncs the file before it reports it complete, so nc's copy
// is synced too and that sync counted for the like-for-like ratio (the same durability); the
// ratio against nc without its sync is printed beside it.
//   bench_transfer [MiB=1024] [ROUNDS=5] [WORK_DIR=a new folder under /tmp]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench/support/clients.h"
#include "bench/support/conditions.h"
#include "bench/support/shell_copy.h"
#include "server/directory_harness.h"
#include "support/child_process.h"
#include "support/json_line.h"
#include "transfer/copy_measure.h"

namespace {

using namespace orv;
using namespace orv::bench;

double childCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// iperf3 memory to memory over loopback for three seconds, MB/s; 0 when it is not installed.
double iperfRate() {
    if (std::system("command -v iperf3 >/dev/null 2>&1") != 0) return 0;
    int port = test::freeLoopbackPort();
    pid_t server = fork();
    if (server == 0) {
        std::string p = std::to_string(port);
        int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        execlp("iperf3", "iperf3", "-s", "-1", "-B", "127.0.0.1", "-p", p.c_str(), nullptr);
        _exit(127);
    }
    std::string cmd = "iperf3 -c 127.0.0.1 -p " + std::to_string(port) + " -t 3 -f m 2>/dev/null";
    double rate = 0;
    for (int i = 0; i < 100 && rate == 0; ++i) {
        if (i) usleep(20000);
        FILE* out = popen(cmd.c_str(), "r");
        if (!out) break;
        char line[512];
        while (fgets(line, sizeof line, out)) {
            // "[  5]   0.00-3.00   sec  5.00 GBytes  14300 Mbits/sec   receiver"
            std::string l = line;
            size_t mb = l.find("Mbits/sec");
            if (mb == std::string::npos || l.find("receiver") == std::string::npos) continue;
            size_t start = l.rfind(' ', mb - 2);
            rate = std::atof(l.substr(start + 1, mb - start - 1).c_str()) / 8.0 * 1e6 / 1e6;
        }
        pclose(out);
    }
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    return rate;
}

// nc copying src into dst over loopback; seconds, or a negative number on failure.
double ncCopy(const std::string& src, const std::string& dst) {
    int port = test::freeLoopbackPort();
    std::string receive = "exec nc -l 127.0.0.1 " + std::to_string(port) + " > '" + dst + "'";
    std::string send = "nc -N 127.0.0.1 " + std::to_string(port) + " < '" + src + "' 2>/dev/null";
    return timedShellCopy(receive, send);
}

}  // namespace

int main(int argc, char** argv) {
    size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1024;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    std::string work;
    if (argc > 3) {
        work = argv[3];
        std::filesystem::create_directories(work);
    } else {
        char tmpl[] = "/tmp/orv-bench-transfer-XXXXXX";
        if (!mkdtemp(tmpl)) return 2;
        work = tmpl;
    }
    if (std::system("command -v nc >/dev/null") != 0) {
        std::fprintf(stderr, "nc is missing: apt-get install netcat-openbsd\n");
        return 2;
    }
    std::string src = work + "/payload.bin";
    std::printf("payload: %zu MiB in %s\n", mib, work.c_str());
    bench::printConditions(
        {"both copies: the destination file removed first; loopback TCP; rounds alternate "
         "which copy goes first",
         bench::pageCacheCondition(),
         "orvantel: timed from the send command to the receiver's files-complete event, which "
         "follows the file's sync",
         "nc: timed from starting the sender to the listener's exit (its file written), then "
         "its file's fsync timed on its own; the like-for-like figure counts both",
         "every received file compared with the source byte for byte"});
    if (!makeFile(src, mib)) return 2;

    test::DirectoryProcess server;
    if (!server.start(work + "/directory.sqlite")) {
        std::fprintf(stderr, "directory server did not start\n");
        return 2;
    }
    std::string address = "127.0.0.1:" + std::to_string(server.port());
    auto startClient = [&](test::ChildProcess& p, const std::string& user) {
        std::vector<std::string> args = bench::headlessArgs(work, address, user);
        return p.start(ORV_HEADLESS_EXE, args, true) &&
               p.waitForLine("\"result\":\"logged-in\"", 20000).has_value();
    };
    test::ChildProcess alice, bob;
    if (!startClient(bob, "bob") || !startClient(alice, "alice")) {
        std::fprintf(stderr, "clients did not log in\n");
        return 2;
    }
    // Whatever its size, the mail's files are fetched at once.
    bob.writeLine("set 18 1000000");
    bob.waitForLine("\"cmd\":\"set\"");

    // A first small mail opens the link, so the rounds time the transfer, not the address
    // lookup and the connect spacing.
    alice.writeLine("send to=bob text=hello");
    if (!alice.waitForLine("\"delivery-done\"", 60000)) {
        std::fprintf(stderr, "the first mail was not delivered\n");
        return 2;
    }

    const double bytes = static_cast<double>(mib) * 1048576.0;
    std::vector<double> orv, nc, ratio, syncedRatio, cpuA, cpuB, cpuNc, ncSync;
    std::string recv = work + "/bob/recvfile/payload.bin";
    std::string ncDst = work + "/nc-copy.bin";
    bool allSame = true;
    auto runNc = [&]() {
        prepare(src, ncDst);
        double c0 = childCpuSeconds();
        double n = ncCopy(src, ncDst);
        cpuNc.push_back(childCpuSeconds() - c0);
        if (n > 0) {
            auto s0 = Steady::now();
            int fd = ::open(ncDst.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd >= 0) {
                ::fsync(fd);
                ::close(fd);
            }
            ncSync.push_back(seconds(s0, Steady::now()));
        }
        bool same = n > 0 && sameContent(src, ncDst);
        allSame = allSame && same;
        std::filesystem::remove(ncDst);
        return n > 0 ? n : 0.0;
    };
    auto runOrv = [&]() -> double {
        prepare(src, recv);
        double a0 = cpuSeconds(alice.pid()), b0 = cpuSeconds(bob.pid());
        auto t0 = Steady::now();
        alice.writeLine("send to=bob text=payload file=" + src);
        auto sent = alice.waitForLine("\"cmd\":\"send\"", 20000);
        std::string key = sent ? test::jsonField(*sent, "key") : "";
        bool done = false;
        while (!done) {
            auto l = bob.waitForLine("\"files-complete\"", 600000);
            if (!l) break;
            done = test::jsonField(*l, "key") == key;
        }
        auto t1 = Steady::now();
        if (!done) return -1;
        cpuA.push_back(cpuSeconds(alice.pid()) - a0);
        cpuB.push_back(cpuSeconds(bob.pid()) - b0);
        bool same = sameContent(src, recv);
        allSame = allSame && same;
        std::filesystem::remove(recv);
        return seconds(t0, t1);
    };
    for (int r = 0; r < rounds; ++r) {
        // Alternating, so neither copy always runs on the other's leftovers.
        double n = 0, o = 0;
        if (r % 2 == 0) {
            n = runNc();
            o = runOrv();
        } else {
            o = runOrv();
            n = runNc();
        }
        if (o <= 0) {
            std::fprintf(stderr, "round %d: the files did not complete\n", r + 1);
            return 1;
        }
        orv.push_back(bytes / o / 1e6);
        if (n > 0) {
            nc.push_back(bytes / n / 1e6);
            ratio.push_back(nc.back() > 0 ? orv.back() / nc.back() : 0);
            syncedRatio.push_back((n + ncSync.back()) / o);
        }
        std::printf(
            "round %d (%s first): orvantel %.0f MB/s (%s, sender CPU %s, receiver CPU %s)"
            "   nc %.0f MB/s (%s, CPU %s, then its sync %s)%s\n",
            r + 1, r % 2 == 0 ? "nc" : "orvantel", orv.back(), duration(o).c_str(),
            duration(cpuA.back()).c_str(), duration(cpuB.back()).c_str(),
            n > 0 ? bytes / n / 1e6 : 0.0, duration(n).c_str(), duration(cpuNc.back()).c_str(),
            duration(n > 0 ? ncSync.back() : 0).c_str(), allSame ? "" : "   CONTENT DIFFERS");
        std::fflush(stdout);
    }
    double mo = median(orv), mn = median(nc);
    double gib = bytes / 1073741824.0;
    std::printf("median: orvantel %.0f MB/s, nc %.0f MB/s (%.0f MB/s with its sync)%s\n", mo, mn,
                bytes / (bytes / mn / 1e6 + median(ncSync)) / 1e6,
                allSame ? ", every copy verified" : ", CONTENT DIFFERS");
    std::printf("paired ratio, both copies synced: %.2f (target >= 1.80)\n", median(syncedRatio));
    std::printf("paired ratio against nc without its sync: %.2f\n", median(ratio));
    std::printf(
        "median CPU per GiB: orvantel sender %.2f s, receiver %.2f s; nc both ends %.2f s\n",
        median(cpuA) / gib, median(cpuB) / gib, median(cpuNc) / gib);
    bench::printLoadAtEnd();
    double ip = iperfRate();
    if (ip > 0)
        std::printf("iperf3 memory to memory (the ceiling): %.0f MB/s\n", ip);
    else
        std::printf("iperf3 not installed: no ceiling measured\n");
    for (auto* p : {&alice, &bob}) {
        p->writeLine("quit");
        p->wait();
    }
    server.stop();
    if (argc <= 3) std::filesystem::remove_all(work);
    return 0;
}

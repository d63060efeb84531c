// A large attachment from one headless client to another on loopback, timed from the send
// command to the receiver's files-complete event, against nc copying the same file into a file
// in the same run (alternating rounds, medians; a first small mail opens the link). Prints both
// rates, their ratio and the CPU time both clients used for the transfer.
//   bench_transfer [MiB=1024] [ROUNDS=3] [WORK_DIR=a new folder under /tmp]
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "server/directory_harness.h"
#include "support/child_process.h"
#include "support/json_line.h"

namespace {

using namespace orv;
using Steady = std::chrono::steady_clock;

double seconds(Steady::time_point a, Steady::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// User plus system CPU seconds of a process so far.
double cpuSeconds(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    size_t p = s.rfind(')');
    if (p == std::string::npos) return 0;
    std::vector<std::string> fields;
    std::string cur;
    for (size_t i = p + 2; i < s.size(); ++i) {
        if (s[i] == ' ') {
            fields.push_back(cur);
            cur.clear();
        } else {
            cur += s[i];
        }
    }
    // Fields 14 and 15 of the file (utime, stime) are 12 and 13 after the command name.
    if (fields.size() < 13) return 0;
    double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    return (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) / ticks;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

bool makeFile(const std::string& path, size_t mib) {
    std::ofstream f(path, std::ios::binary);
    std::mt19937_64 g(42);
    std::vector<uint64_t> block(1 << 17);  // 1 MiB
    for (size_t i = 0; i < mib; ++i) {
        for (auto& x : block)
            x = g();
        f.write(reinterpret_cast<const char*>(block.data()), block.size() * 8);
    }
    return static_cast<bool>(f);
}

// nc copying src into dst over loopback; seconds, or a negative number on failure.
double ncCopy(const std::string& src, const std::string& dst) {
    int port = test::freeLoopbackPort();
    Steady::time_point t0;
    pid_t listener = fork();
    if (listener == 0) {
        std::string cmd = "exec nc -l 127.0.0.1 " + std::to_string(port) + " > '" + dst + "'";
        execl("/bin/sh", "sh", "-c", cmd.c_str(), nullptr);
        _exit(127);
    }
    // The sender is tried again until the listener is up (a refused connect reads nothing).
    std::string send = "nc -N 127.0.0.1 " + std::to_string(port) + " < '" + src + "' 2>/dev/null";
    int rc = -1;
    for (int i = 0; i < 400 && rc != 0; ++i) {
        if (i) usleep(5000);
        t0 = Steady::now();
        rc = std::system(send.c_str());
    }
    int status = 0;
    waitpid(listener, &status, 0);
    auto t1 = Steady::now();
    return rc == 0 ? seconds(t0, t1) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1024;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
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
    if (!makeFile(src, mib)) return 2;

    test::DirectoryProcess server;
    if (!server.start(work + "/directory.sqlite")) {
        std::fprintf(stderr, "directory server did not start\n");
        return 2;
    }
    std::string address = "127.0.0.1:" + std::to_string(server.port());
    auto startClient = [&](test::ChildProcess& p, const std::string& user) {
        std::vector<std::string> args = {"--data-dir",
                                         work + "/" + user,
                                         "--instance-port",
                                         std::to_string(test::freeLoopbackPort()),
                                         "--server",
                                         address,
                                         "--user",
                                         user,
                                         "--password",
                                         "pw",
                                         "--create-account",
                                         "--lang",
                                         "en"};
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
    std::vector<double> orv, nc, cpuA, cpuB;
    std::string recv = work + "/bob/recvfile/payload.bin";
    for (int r = 0; r < rounds; ++r) {
        double n = ncCopy(src, work + "/nc-copy.bin");
        std::filesystem::remove(work + "/nc-copy.bin");
        if (n > 0) nc.push_back(bytes / n / 1e6);

        std::filesystem::remove(recv);
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
        if (!done) {
            std::fprintf(stderr, "round %d: the files did not complete\n", r + 1);
            return 1;
        }
        double s = seconds(t0, t1);
        orv.push_back(bytes / s / 1e6);
        cpuA.push_back(cpuSeconds(alice.pid()) - a0);
        cpuB.push_back(cpuSeconds(bob.pid()) - b0);
        struct stat st {};
        bool same = ::stat(recv.c_str(), &st) == 0 && static_cast<double>(st.st_size) == bytes;
        std::printf(
            "round %d: orvantel %.0f MB/s (%.2f s, sender CPU %.2f s, receiver CPU %.2f s%s)"
            "   nc %.0f MB/s\n",
            r + 1, orv.back(), s, cpuA.back(), cpuB.back(), same ? "" : ", SIZE DIFFERS",
            nc.empty() ? 0.0 : nc.back());
        std::fflush(stdout);
    }
    std::filesystem::remove(recv);
    double mo = median(orv), mn = median(nc);
    std::printf("median: orvantel %.0f MB/s, nc %.0f MB/s, ratio %.2f (target >= 1.00)\n", mo, mn,
                mn > 0 ? mo / mn : 0.0);
    std::printf("median CPU for one transfer: sender %.2f s, receiver %.2f s\n", median(cpuA),
                median(cpuB));
    for (auto* p : {&alice, &bob}) {
        p->writeLine("quit");
        p->wait();
    }
    server.stop();
    if (argc <= 3) std::filesystem::remove_all(work);
    return 0;
}

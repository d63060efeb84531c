// Downloads from a shared branch between two headless clients on loopback: one large file and a
// folder of 1 000 files (Chinese and English names, empty to 8 MiB, most a few kilobytes), each
// timed from the download command to its last file done, against `tar c | nc` into
// `nc | tar x` carrying the same file or folder in the same run. Every timed copy starts alike:
// the previous destination removed, `sync` run, the source read once so its page cache is warm.
// Rounds alternate which copy goes first; every copy is compared with the source by content.
// Prints each round, the medians and the paired ratios (the median of the per-round ratios).
//   bench_downloads [MiB=1024] [ROUNDS=3] [WORK_DIR=a new folder under /tmp]
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "bench/support/clients.h"
#include "bench/support/conditions.h"
#include "bench/support/copy_state.h"
#include "bench/support/shell_copy.h"
#include "server/directory_harness.h"
#include "support/child_process.h"
#include "support/json_line.h"

namespace {

using namespace orv;
namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;

double seconds(Steady::time_point a, Steady::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

bool writeRandom(const std::string& path, uint64_t bytes, uint64_t seed) {
    std::ofstream f(path, std::ios::binary);
    std::mt19937_64 g(seed);
    std::vector<uint64_t> block(1 << 17);  // 1 MiB
    for (uint64_t done = 0; done < bytes;) {
        for (auto& x : block)
            x = g();
        size_t n = static_cast<size_t>(std::min<uint64_t>(block.size() * 8, bytes - done));
        f.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
        done += n;
    }
    return static_cast<bool>(f);
}

// 1 000 files below 111 folders: every fiftieth empty, every hundredth 8 MiB, every tenth
// 150 kB to 1 MiB, the rest under 20 kB. Returns the bytes written.
uint64_t makeTree(const std::string& top) {
    auto size = [](int i) -> uint64_t {
        if (i % 50 == 1) return 0;
        if (i % 100 == 0) return 8u << 20;
        if (i % 10 == 0) return static_cast<uint64_t>(i % 7 + 1) * 150000;
        return static_cast<uint64_t>((i * 7919) % 20000);
    };
    uint64_t total = 0;
    int n = 0;
    fs::create_directories(top);
    for (int i = 0; i < 100; ++i, ++n) {
        writeRandom(top + "/top " + std::to_string(i) + ".txt", size(n), n);
        total += size(n);
    }
    for (int a = 0; a < 10; ++a) {
        std::string da = top + "/" + (a % 2 ? "音乐 " : "music ") + std::to_string(a);
        for (int b = 0; b < 10; ++b) {
            std::string db = da + "/" + (b % 2 ? "现场" : "Live") + std::to_string(b);
            fs::create_directories(db);
            for (int f = 0; f < 9; ++f, ++n) {
                writeRandom(db + "/" + (f % 2 ? "歌曲 " : "Song ") + std::to_string(f) + ".mp3",
                            size(n), n);
                total += size(n);
            }
        }
    }
    return total;
}

// Every file below src (a file or a folder) has its twin below dst.
bool sameTree(const std::string& src, const std::string& dst) {
    if (fs::is_regular_file(src)) return bench::sameContent(src, dst);
    int n = 0;
    for (auto& e : fs::recursive_directory_iterator(src)) {
        if (!e.is_regular_file()) continue;
        if (!bench::sameContent(e.path().string(),
                                dst + "/" + fs::relative(e.path(), src).string()))
            return false;
        ++n;
    }
    return n > 0;
}

// tar c of `name` in `dir` through nc into nc | tar x in `into`; seconds, negative on failure.
double tarNc(const std::string& dir, const std::string& name, const std::string& into) {
    fs::create_directories(into);
    int port = test::freeLoopbackPort();
    std::string receive = "nc -l 127.0.0.1 " + std::to_string(port) + " | tar x -C '" + into + "'";
    std::string send = "tar c -C '" + dir + "' '" + name + "' | nc -N 127.0.0.1 " +
                       std::to_string(port) + " 2>/dev/null";
    return bench::timedShellCopy(receive, send);
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    std::string work;
    if (argc > 3) {
        work = argv[3];
        fs::create_directories(work);
    } else {
        char tmpl[] = "/tmp/orv-bench-downloads-XXXXXX";
        if (!mkdtemp(tmpl)) return 2;
        work = tmpl;
    }
    if (std::system("command -v nc >/dev/null && command -v tar >/dev/null") != 0) {
        std::fprintf(stderr, "nc or tar is missing: apt-get install netcat-openbsd tar\n");
        return 2;
    }
    std::string shareDir = work + "/share";
    std::string bigDir = shareDir + "/big", folder = shareDir + "/共享 files";
    fs::create_directories(bigDir);
    std::string big = bigDir + "/large.bin";
    if (!writeRandom(big, mib << 20, 42)) return 2;
    uint64_t treeBytes = makeTree(folder);
    std::printf("file: %llu MiB; folder: 1000 files, %.1f MB; in %s\n",
                static_cast<unsigned long long>(mib), static_cast<double>(treeBytes) / 1e6,
                work.c_str());
    bench::printConditions(
        {"every copy: the destination removed first; loopback TCP; rounds "
         "alternate which copy goes first",
         bench::pageCacheCondition(),
         "orvantel: timed from the download command to its last file done "
         "(each file synced before it is done); tar|nc: to the receiving "
         "tar's exit, not synced",
         "every copy compared with the source by content"});

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
    if (!startClient(alice, "alice") || !startClient(bob, "bob")) {
        std::fprintf(stderr, "clients did not log in\n");
        return 2;
    }
    for (const std::string& d : {bigDir, folder}) {
        alice.writeLine("share add-dir /alice/ \"" + d + "\"");
        alice.waitForLine("\"cmd\":\"share\"", 60000);
        std::string v = "/alice/" + fs::path(d).filename().string() + "/";
        bob.writeLine("share request \"" + v + "\" tree");
        if (!bob.waitForLine("\"listing-arrived\",\"path\":\"" + v + "\"", 60000)) {
            std::fprintf(stderr, "no listing of %s\n", v.c_str());
            return 2;
        }
    }

    std::string into = work + "/into";
    bool allSame = true;
    // One download through the clients: path is the file or folder (ending in "/"), files how
    // many files end it. Seconds, or negative when it did not complete.
    auto runOrv = [&](const std::string& path, const std::string& src, const std::string& dst,
                      size_t files) -> double {
        bench::prepare(src, dst);
        fs::create_directories(into);
        auto t0 = Steady::now();
        bob.writeLine("download \"" + path + "\" \"" + into + "\"");
        std::set<std::string> done;
        while (done.size() < files) {
            auto l = bob.waitForLine("\"transfer-changed\"", 600000);
            if (!l) return -1;
            std::string p = test::jsonField(*l, "path");
            if (l->find("\"state\":4") != std::string::npos && p.rfind(path, 0) == 0)
                done.insert(p);
        }
        auto t1 = Steady::now();
        allSame = sameTree(src, dst) && allSame;
        bob.writeLine("cancel \"" + path + "\"");
        bob.waitForLine("\"cmd\":\"cancel\"", 20000);
        fs::remove_all(dst);
        return seconds(t0, t1);
    };
    auto runNc = [&](const std::string& src, const std::string& dst) -> double {
        bench::prepare(src, dst);
        double s =
            tarNc(fs::path(src).parent_path().string(), fs::path(src).filename().string(), into);
        allSame = s > 0 && sameTree(src, dst) && allSame;
        fs::remove_all(dst);
        return s;
    };

    struct Case {
        const char* name;
        std::string path, src, dst;
        size_t files;
        double bytes;
        std::vector<double> orv, nc, ratio;
    };
    std::vector<Case> cases = {{"1 file",
                                "/alice/big/large.bin",
                                big,
                                into + "/large.bin",
                                1,
                                static_cast<double>(mib << 20),
                                {},
                                {},
                                {}},
                               {"folder",
                                "/alice/共享 files/",
                                folder,
                                into + "/共享 files",
                                1000,
                                static_cast<double>(treeBytes),
                                {},
                                {},
                                {}}};
    for (int r = 0; r < rounds; ++r) {
        for (Case& c : cases) {
            double o = 0, n = 0;
            if (r % 2 == 0) {
                n = runNc(c.src, c.dst);
                o = runOrv(c.path, c.src, c.dst, c.files);
            } else {
                o = runOrv(c.path, c.src, c.dst, c.files);
                n = runNc(c.src, c.dst);
            }
            if (o <= 0 || n <= 0) {
                std::fprintf(stderr, "round %d, %s: a copy did not complete\n", r + 1, c.name);
                return 1;
            }
            c.orv.push_back(o);
            c.nc.push_back(n);
            c.ratio.push_back(o / n);
            std::printf(
                "round %d (%s first) %s: orvantel %.2f s (%.0f MB/s)   tar|nc %.2f s "
                "(%.0f MB/s)%s\n",
                r + 1, r % 2 == 0 ? "tar|nc" : "orvantel", c.name, o, c.bytes / o / 1e6, n,
                c.bytes / n / 1e6, allSame ? "" : "   CONTENT DIFFERS");
            std::fflush(stdout);
        }
    }
    const Case& f = cases[0];
    const Case& d = cases[1];
    std::printf(
        "median 1 file: orvantel %.0f MB/s, tar|nc %.0f MB/s, paired rate ratio %.2f "
        "(target >= 1.0)\n",
        f.bytes / median(f.orv) / 1e6, f.bytes / median(f.nc) / 1e6, 1.0 / median(f.ratio));
    std::printf(
        "median folder: orvantel %.2f s, tar|nc %.2f s, paired time ratio %.2f "
        "(target <= 3.0)%s\n",
        median(d.orv), median(d.nc), median(d.ratio),
        allSame ? ", every copy verified" : ", CONTENT DIFFERS");
    for (auto* p : {&alice, &bob}) {
        p->writeLine("quit");
        p->wait(60000);
    }
    server.stop();
    if (argc <= 3) fs::remove_all(work);
    return allSame ? 0 : 1;
}

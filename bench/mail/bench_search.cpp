// Times are the CPU time of the work (the machine may be busy with other programs), the first
// search after a start also in wall time, since it waits for the disk.
// Find over N mails (10 000, 50 000 and 100 000 unless one N is given), each with a small HTML
// body file in the mail store, in slices as the main window runs it. Prints, per N:
//   - the full scan that reads every body file (no index), warm;
//   - the first search after a start: the index file opened, brought up to date, searched;
//     "cold" drops the page cache first (root only), as after a reboot;
//   - later (warm) searches through the index, a long keyword and a two-character one;
//   - the Inbox build, first and later.
// Both sides search the same files with the same keywords and must find the same mails. The
// index is built once before the timed runs (its build time is printed too). Each size starts
// from a folder removed and written anew, synced before anything is timed; with --cold the
// full scan is also timed once after the page cache is dropped, like the first search.
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/mail/mailbox.h"
#include "bench/support/conditions.h"
#include "core/clock.h"
#include "core/core_tables.h"
#include "mail/mail_index.h"
#include "mail/mail_view.h"

namespace {

using namespace orv;
using Ms = std::chrono::duration<double, std::milli>;

double threadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// The CPU time f took on this thread, in ms. On a loaded machine the wall time also counts the
// time other programs ran; the CPU time is what the work itself costs.
template <typename F>
double timeMs(F&& f) {
    double a = threadCpuMs();
    f();
    return threadCpuMs() - a;
}

template <typename F>
double wallMs(F&& f) {
    auto a = std::chrono::steady_clock::now();
    f();
    return Ms(std::chrono::steady_clock::now() - a).count();
}

std::vector<int> search(const CoreTables& t, const std::string& k, MailIndex* index) {
    MailSearch s(t, k, index);
    while (!s.step(500).finished) {
    }
    return s.matches();
}

bool dropCaches() {
    ::sync();
    std::ofstream f("/proc/sys/vm/drop_caches");
    if (!f) return false;
    f << "3\n";
    return static_cast<bool>(f.flush());
}

void run(int n, const std::string& root, bool cold) {
    std::filesystem::remove_all(root);
    std::string store = root + "/recvfile/";
    std::filesystem::create_directories(store);
    ManualClock clock;
    CoreTables t(clock, store);
    bench::fillMailbox(t, n, store);
    std::string indexPath = root + "/search.db";

    const char* kLong = "zebracrossing";  // in one mail of 1000
    const char* kShort = "\xE4\xBC\x9A";  // 会: one character, written as a reference
    double build = 0;
    {
        MailIndex index(t, indexPath);
        build = timeMs([&] { index.syncAll(); });
    }
    // Nothing written is still on its way to the disk while the searches are timed.
    ::sync();
    std::vector<int> fullLong, fullShort;
    double fullMs = 1e9;
    for (int i = 0; i < 2; ++i)
        fullMs = std::min(fullMs, timeMs([&] { fullLong = search(t, kLong, nullptr); }));
    fullShort = search(t, kShort, nullptr);
    // The yardstick under the first search's conditions: the page cache dropped.
    double fullCold = -1, fullColdCpu = 0;
    bool coldSame = true;
    if (cold && dropCaches()) {
        std::vector<int> got;
        fullCold = wallMs([&] {
            double c0 = threadCpuMs();
            got = search(t, kLong, nullptr);
            fullColdCpu = threadCpuMs() - c0;
        });
        coldSame = got == fullLong;
    }

    bool dropped = cold && dropCaches();
    std::vector<int> got;
    double firstCpu = 0;
    double first = wallMs([&] {
        double c0 = threadCpuMs();
        MailIndex index(t, indexPath);
        got = search(t, kLong, &index);
        firstCpu = threadCpuMs() - c0;
    });
    bool same = got == fullLong;
    MailIndex index(t, indexPath);
    double warmLong = 1e9, warmShort = 1e9;
    for (int i = 0; i < 3; ++i) {
        warmLong = std::min(warmLong, timeMs([&] { got = search(t, kLong, &index); }));
        same = same && got == fullLong;
        warmShort = std::min(warmShort, timeMs([&] { got = search(t, kShort, &index); }));
        same = same && got == fullShort;
    }
    double inboxFirst = timeMs([&] { buildView(t, View::Inbox, "user0", 0, UiLanguage::Chinese); });
    double inboxLater = 1e9;
    for (int i = 0; i < 3; ++i)
        inboxLater =
            std::min(inboxLater,
                     timeMs([&] { buildView(t, View::Inbox, "user0", 0, UiLanguage::Chinese); }));
    std::printf("%d mails (CPU time unless said):\n", n);
    std::printf("  index built from nothing        %8.0f ms\n", build);
    std::printf("  full scan, every body read      %8.1f ms (page cache warm)\n", fullMs);
    if (fullCold >= 0)
        std::printf("  full scan, page cache dropped   %8.1f ms wall, %.1f ms CPU%s\n", fullCold,
                    fullColdCpu, coldSame ? "" : " (DIFFERENT MAILS)");
    std::printf("  first search after a start     %8.1f ms wall, %.1f ms CPU (%s)\n", first,
                firstCpu, dropped ? "page cache dropped" : "page cache warm");
    std::printf("  warm, \"%s\"             %8.1f ms (%zu mails)\n", kLong, warmLong,
                fullLong.size());
    std::printf("  warm, one Chinese character     %8.1f ms (%zu mails)\n", warmShort,
                fullShort.size());
    std::printf("  same mails as the full scan     %s\n", same ? "yes" : "NO");
    std::printf("  Inbox build                     %8.1f ms first, %.1f ms later\n", inboxFirst,
                inboxLater);
    std::filesystem::remove_all(root);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes = {10000, 50000, 100000};
    bool cold = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--cold")
            cold = true;
        else
            sizes = {std::atoi(argv[i])};
    }
    std::string root = std::filesystem::temp_directory_path().string() + "/orv-bench-search-" +
                       std::to_string(::getpid());
    bench::printConditions(
        {"each size: its folder removed, the mails and their body files written anew, the index "
         "built, then sync before anything is timed",
         "product and yardstick (the full scan, no index) search the same files for the same "
         "keywords and must find the same mails",
         std::string("page cache: warm for the later searches and the warm full scan; ") +
             (cold ? "dropped before the first search after a start and before a full scan "
                     "timed alike"
                   : "warm for the first search too (--cold drops it, as root)"),
         "CPU time of this thread unless wall time is said"});
    for (int n : sizes)
        run(n, root, cold);
    bench::printLoadAtEnd();
    return 0;
}

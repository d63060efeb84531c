// Building and applying listings: one folder of 10 000 files (one-level listing) and a subtree
// of 1 000 folders with 10 files each (whole-subtree listing), through the wire codec both ways,
// with the listing applied into a store that already holds the previous listing (the refresh
// case). Prints milliseconds per step and checks the result against the source.
#include <chrono>
#include <cstdio>
#include <string>

#include "bench/support/conditions.h"
#include "core/clock.h"
#include "core/core_tables.h"
#include "share/listing_codec.h"

using namespace orv;
using Ms = std::chrono::duration<double, std::milli>;

namespace {

double since(std::chrono::steady_clock::time_point t) {
    return Ms(std::chrono::steady_clock::now() - t).count();
}

void run(const char* what, CoreTables& owner, const std::string& path, bool tree) {
    ManualClock clock{1'700'000'000};
    CoreTables viewer(clock);
    WireCodec codec;
    for (int round = 0; round < 2; ++round) {
        auto t0 = std::chrono::steady_clock::now();
        ShareListing l = owner.share.BuildListing(path, tree);
        double build = since(t0);
        t0 = std::chrono::steady_clock::now();
        WireWriter w(0);
        encodeListingTail(w, l, codec);
        const auto& bytes = w.finish();
        double encode = since(t0);
        t0 = std::chrono::steady_clock::now();
        ShareListing back;
        WireReader rd(std::span<const uint8_t>(bytes).subspan(kHeaderSize));
        bool ok = decodeListingTail(rd, back, codec);
        double decode = since(t0);
        t0 = std::chrono::steady_clock::now();
        std::string why = viewer.share.ApplyListing(path, tree, back, "viewer");
        double apply = since(t0);
        bool same =
            ok && why.empty() && viewer.share.fileCount() == static_cast<int>(l.names.size());
        std::printf(
            "%-34s round %d: %zu folders, %zu files, %zu bytes | build %.2f ms, encode %.2f ms, "
            "decode %.2f ms, apply %.2f ms%s\n",
            what, round + 1, l.folders.size(), l.names.size(), bytes.size(), build, encode, decode,
            apply, same ? "" : "  MISMATCH");
    }
}

}  // namespace

int main() {
    bench::printConditions(
        {"stores built in memory before timing; no file is read or written",
         "round 1 applies the listing into an empty viewer store, round 2 over the previous "
         "listing (the refresh case)",
         "wall time; no yardstick",
         "checked: the decoded listing applies cleanly and the viewer holds as many files as "
         "the owner listed"});
    ManualClock clock{1'700'000'000};
    {
        CoreTables t(clock);
        t.share.AddFolder("/alice/", 0);
        t.share.AddFolder("/alice/music/", 0);
        auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < 10000; ++i) {
            SharedFileRecord r{};
            r.size = static_cast<uint64_t>(i) * 1000;
            r.added = 1'700'000'000;
            t.share.AddFile("/home/alice/music/track " + std::to_string(i) + ".mp3",
                            "track " + std::to_string(i) + ".mp3", r, "/alice/music/");
        }
        std::printf("adding 10 000 files to one folder: %.2f ms\n", since(t0));
        run("one folder, 10 000 files", t, "/alice/music/", false);
    }
    {
        CoreTables t(clock);
        t.share.AddFolder("/alice/", 0);
        t.share.AddFolder("/alice/tree/", 0);
        for (int a = 0; a < 1000; ++a) {
            std::string f =
                "/alice/tree/d" + std::to_string(a / 100) + "/sub " + std::to_string(a) + "/";
            if (a % 100 == 0) t.share.AddFolder("/alice/tree/d" + std::to_string(a / 100) + "/", 0);
            t.share.AddFolder(f, 0);
            for (int i = 0; i < 10; ++i) {
                SharedFileRecord r{};
                r.size = 1;
                t.share.AddFile("/x", "f" + std::to_string(i), r, f);
            }
        }
        run("subtree, 1 010 folders, 10 000 files", t, "/alice/tree/", true);
    }
    bench::printLoadAtEnd();
    return 0;
}

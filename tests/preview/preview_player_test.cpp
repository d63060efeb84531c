// A real media player on a preview: bob previews a video that alice shares (the real directory
// server, two headless clients); ffprobe reads its duration through the preview address and
// ffmpeg decodes frames from the start and after a seek, while the download runs under a
// receive limit.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "server/directory_harness.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace orv {
namespace {

// A program on PATH, or "".
std::string findProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string d;
    while (std::getline(dirs, d, ':')) {
        std::string p = d + "/" + name;
        if (!d.empty() && ::access(p.c_str(), X_OK) == 0) return p;
    }
    return {};
}

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs a program to its end: its standard output, and its exit code (-1 when it did not end
// in time).
struct Finished {
    std::string out;
    int code = -1;
};
Finished run(const std::string& program, const std::vector<std::string>& args, int timeoutMs) {
    test::ChildProcess p;
    Finished r;
    if (!p.start(program, args)) return r;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (auto line = p.readLine(static_cast<int>(
               std::max<int64_t>(1, std::chrono::duration_cast<std::chrono::milliseconds>(
                                        end - std::chrono::steady_clock::now())
                                        .count()))))
        r.out += *line + "\n";
    r.code = p.wait(1000);
    return r;
}

// The md5 of every frame ffmpeg decodes (its framemd5 lines without the timestamps, which a
// seek may number differently).
std::vector<std::string> frameHashes(const std::string& framemd5) {
    std::vector<std::string> out;
    std::stringstream in(framemd5);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty() && line[0] != '#') out.push_back(line.substr(line.rfind(',') + 1));
    return out;
}

TEST(PreviewPlayer, FfmpegPlaysAndSeeksAPreviewWhileItDownloads) {
    std::string ffmpeg = findProgram("ffmpeg"), ffprobe = findProgram("ffprobe");
    if (ffmpeg.empty() || ffprobe.empty()) GTEST_SKIP() << "ffmpeg and ffprobe are not installed";
    test::TempDir dir;
    std::filesystem::create_directories(dir.file("shared"));
    // Thirty seconds with a key frame every second, its index in front so that a player can
    // start before the end has arrived.
    std::string video = dir.file("shared/my clip.mp4");
    Finished made =
        run(ffmpeg,
            {"-v", "error", "-f", "lavfi", "-i", "testsrc=duration=30:size=640x480:rate=25", "-c:v",
             "mpeg4", "-q:v", "2", "-g", "25", "-movflags", "+faststart", video},
            120000);
    ASSERT_EQ(made.code, 0) << made.out;
    int64_t size = static_cast<int64_t>(std::filesystem::file_size(video));
    ASSERT_GT(size, 1 << 20);  // several times the preview window

    test::DirectoryProcess server;
    ASSERT_TRUE(server.start(dir.file("directory.sqlite")));
    std::string address = "127.0.0.1:" + std::to_string(server.port());
    test::ChildProcess alice, bob;
    ASSERT_TRUE(test::startHeadlessUser(alice, dir.file("alice"), address, "alice", "pwa", true));
    ASSERT_TRUE(test::startHeadlessUser(bob, dir.file("bob"), address, "bob", "pwb", true));
    alice.writeLine("share add /alice/ \"" + video + "\"");
    ASSERT_TRUE(alice.waitForLine("\"cmd\":\"share\",\"ok\":true", 10000));
    bob.writeLine("share connect alice");
    ASSERT_TRUE(bob.waitForLine("\"listing-arrived\",\"path\":\"/alice/\"", 30000));
    // 100 kB/s: the whole file takes about twelve seconds, so the player reads while it
    // arrives.
    bob.writeLine("set 14 100");
    ASSERT_TRUE(bob.waitForLine("\"cmd\":\"set\",\"ok\":true"));

    bob.writeLine("preview \"/alice/my clip.mp4\"");
    auto answer = bob.waitForLine("\"cmd\":\"preview\"", 10000);
    ASSERT_TRUE(answer);
    size_t u = answer->find("\"url\":\"");
    ASSERT_NE(u, std::string::npos) << *answer;
    std::string url = answer->substr(u + 7, answer->find('"', u + 7) - u - 7);
    EXPECT_EQ(url.rfind("http://localhost:", 0), 0u) << url;
    EXPECT_NE(url.find("/alice/my%20clip.mp4"), std::string::npos) << url;

    Finished probe = run(ffprobe,
                         {"-v", "error", "-show_entries", "format=duration", "-of",
                          "default=noprint_wrappers=1:nokey=1", url},
                         120000);
    ASSERT_EQ(probe.code, 0) << probe.out;
    EXPECT_NEAR(std::atof(probe.out.c_str()), 30.0, 0.1) << probe.out;

    // The first second, and one second from second 20 on (a seek: a request with a range),
    // decode to the frames of the file itself.
    auto frames = [&](const std::string& input, const std::vector<std::string>& before) {
        std::vector<std::string> args = {"-v", "error"};
        args.insert(args.end(), before.begin(), before.end());
        args.insert(args.end(), {"-i", input, "-frames:v", "25", "-f", "framemd5", "-"});
        return run(ffmpeg, args, 180000);
    };
    Finished start = frames(url, {});
    ASSERT_EQ(start.code, 0) << start.out;
    EXPECT_EQ(frameHashes(start.out).size(), 25u);
    EXPECT_EQ(frameHashes(start.out), frameHashes(frames(video, {}).out));
    bob.writeLine("transfers");
    auto list = bob.waitForLine("\"cmd\":\"transfers\"");
    ASSERT_TRUE(list);
    const std::string preview = "\"kind\":3,\"state\":";
    size_t k = list->find(preview);
    ASSERT_NE(k, std::string::npos) << *list;
    EXPECT_NE(list->substr(k + preview.size(), 1), "4")
        << "the download is still under way: " << *list;

    std::string log = dir.file("seek.log");
    ::setenv("FFREPORT", ("file=" + log + ":level=56").c_str(), 1);
    Finished seek = frames(url, {"-ss", "20"});
    ::unsetenv("FFREPORT");
    ASSERT_EQ(seek.code, 0) << seek.out;
    EXPECT_EQ(frameHashes(seek.out).size(), 25u);
    EXPECT_EQ(frameHashes(seek.out), frameHashes(frames(video, {"-ss", "20"}).out));
    std::string report = readAll(log);
    EXPECT_NE(report.find("206 Partial Content"), std::string::npos) << report.substr(0, 4000);

    for (auto* p : {&alice, &bob}) {
        p->writeLine("quit");
        EXPECT_EQ(p->wait(), 0);
    }
}

}  // namespace
}  // namespace orv

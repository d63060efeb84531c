#include <gtest/gtest.h>

#include "core/clock.h"
#include "core/core_tables.h"
#include "session/startup.h"

namespace orv {
namespace {

TEST(QuotedStrings, ReadsPairsAndLeavesTheCursorOnFailure) {
    std::string_view line = R"("/usr/bin/orvantel" "/tmp/a b.txt" x "c")";
    size_t cur = 0;
    std::string s;
    ASSERT_TRUE(readQuotedString(line, cur, s));
    EXPECT_EQ(s, "/usr/bin/orvantel");
    ASSERT_TRUE(readQuotedString(line, cur, s));
    EXPECT_EQ(s, "/tmp/a b.txt");
    ASSERT_TRUE(readQuotedString(line, cur, s));
    EXPECT_EQ(s, "c");
    size_t before = cur;
    EXPECT_FALSE(readQuotedString(line, cur, s));
    EXPECT_EQ(cur, before);

    size_t c2 = 0;
    EXPECT_FALSE(readQuotedString(R"(no "closing)", c2, s));
    EXPECT_EQ(c2, 0u);
    EXPECT_TRUE(readQuotedString(R"("")", c2, s));
    EXPECT_EQ(s, "");
}

TEST(CommandLine, FilesFollowTheProgramPathAndSlashOAllowsAnotherInstance) {
    std::string line = buildCommandLine("/opt/o/orvantel", {"/tmp/f 1", "/tmp/f2"});
    EXPECT_EQ(line, R"("/opt/o/orvantel" "/tmp/f 1" "/tmp/f2")");
    EXPECT_EQ(filesOfCommandLine(line), (std::vector<std::string>{"/tmp/f 1", "/tmp/f2"}));
    EXPECT_FALSE(allowsFurtherInstance(line));
    EXPECT_TRUE(filesOfCommandLine(buildCommandLine("/p", {})).empty());

    std::string other = buildCommandLine("/p", {"/o"});
    EXPECT_EQ(other, R"("/p" /o)");
    EXPECT_TRUE(allowsFurtherInstance(other));
    // A file whose path holds " /o" is a file, not the switch.
    EXPECT_FALSE(allowsFurtherInstance(buildCommandLine("/p", {"/home/a /o"})));
}

TEST(DirectoryAddress, SettingsStringAndPortOrTheBuiltInHost) {
    ManualClock clock;
    CoreTables t(clock);
    EXPECT_EQ(directoryServerAddress(t), kBuiltInDirectoryHost);
    t.setSettingString(SettingString::ServerHost, "dir.example.org");
    t.setSettingNumber(Setting::ServerPort, 8080);
    EXPECT_EQ(directoryServerAddress(t), "dir.example.org:8080");
    t.setSettingNumber(Setting::ServerPort, 0);
    EXPECT_EQ(directoryServerAddress(t), "dir.example.org:0");
}

TEST(DataPaths, DataDirHoldsConfigAndMailStore) {
    DataPaths p = dataPathsFor("/tmp/some/dir/");
    EXPECT_EQ(p.folder, "/tmp/some/dir");
    EXPECT_EQ(p.configPath, "/tmp/some/dir/cfg.dat");
    EXPECT_EQ(p.mailStore, "/tmp/some/dir/recvfile/");
    DataPaths beside = dataPathsFor("");
    EXPECT_EQ(beside.configPath, beside.folder + "/cfg.dat");
}

}  // namespace
}  // namespace orv

// The headless client as a process: an account created and logged in from its command line,
// then commands on standard input, against the real directory server.
#include <gtest/gtest.h>

#include "server/directory_harness.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace orv {
namespace {

TEST(HeadlessLogin, CreatesAnAccountLogsInAndOutAndSavesTheRememberedServer) {
    test::TempDir dir;
    test::DirectoryProcess server;
    ASSERT_TRUE(server.start(dir.file("directory.sqlite")));
    std::string address = "127.0.0.1:" + std::to_string(server.port());
    std::string port = std::to_string(test::freeLoopbackPort());

    test::ChildProcess c;
    ASSERT_TRUE(
        c.start(test::headlessProgram(),
                {"--data-dir", dir.file("alice"), "--instance-port", port, "--lang", "en",
                 "--server", address, "--user", "alice", "--password", "pw1", "--create-account"},
                /*pipeStdin=*/true));
    auto started = c.waitForLine("\"started\"");
    ASSERT_TRUE(started);
    EXPECT_NE(started->find("\"directory\":\"" + address + "\""), std::string::npos);
    auto created = c.waitForLine("\"cmd\":\"create-account\"");
    ASSERT_TRUE(created);
    EXPECT_NE(created->find("\"ok\":true,\"message\":\"Register success!\""), std::string::npos);
    auto login = c.waitForLine("\"cmd\":\"login\"");
    ASSERT_TRUE(login);
    EXPECT_NE(login->find("\"ok\":true,\"result\":\"logged-in\""), std::string::npos);

    c.writeLine("status");
    auto status = c.waitForLine("\"cmd\":\"status\"");
    ASSERT_TRUE(status);
    EXPECT_NE(status->find("\"user\":\"alice\""), std::string::npos);

    // The directory now knows where alice listens.
    auto where = test::get(server.port(), "gethost.asp?url=%61%6c%69%63%65");
    EXPECT_NE(where.body.find(':'), std::string::npos);

    c.writeLine("send to=,,bob,, \"text=hello bob\" flags=8");
    auto sent = c.waitForLine("\"cmd\":\"send\"");
    ASSERT_TRUE(sent);
    EXPECT_NE(sent->find("\"ok\":true"), std::string::npos);
    c.writeLine("list out");
    auto out1 = c.waitForLine("\"cmd\":\"list\"");
    ASSERT_TRUE(out1);
    // Bob has no account: by now the directory may have said so, and the row shows the refusal
    // instead of the urgent mark.
    EXPECT_TRUE(
        out1->find("\"To\":\"bob\",\"Type\":\"Urgent\",\"Message\":\"hello bob\"") !=
            std::string::npos ||
        out1->find("\"To\":\"bob\",\"Type\":\"Error:User not exists!!!\",\"Message\":\"hello "
                   "bob\"") != std::string::npos)
        << *out1;

    c.writeLine("create-account bad_name x");
    auto bad = c.waitForLine("\"cmd\":\"create-account\"");
    ASSERT_TRUE(bad);
    EXPECT_NE(bad->find("\"ok\":false,\"message\":\"Wrong user name!\""), std::string::npos);

    c.writeLine("logout");
    auto out = c.waitForLine("\"cmd\":\"logout\"");
    ASSERT_TRUE(out);
    EXPECT_NE(out->find("\"acknowledged\":true"), std::string::npos);
    EXPECT_EQ(test::get(server.port(), "gethost.asp?url=%61%6c%69%63%65").body, "");

    c.writeLine("login alice wrong");
    auto refused = c.waitForLine("\"cmd\":\"login\"");
    ASSERT_TRUE(refused);
    EXPECT_NE(
        refused->find("\"result\":\"refused\",\"messages\":[\"Error username or password!\"]"),
        std::string::npos);

    c.writeLine("login alice pw1 remember");
    ASSERT_TRUE(c.waitForLine("\"result\":\"logged-in\""));
    c.writeLine("quit");
    ASSERT_TRUE(c.waitForLine("\"stopped\",\"saved\":true"));
    EXPECT_EQ(c.wait(), 0);
    // Quitting while logged in logs out.
    EXPECT_EQ(test::get(server.port(), "gethost.asp?url=%61%6c%69%63%65").body, "");

    // The server stays remembered for the next start.
    test::ChildProcess again;
    ASSERT_TRUE(again.start(test::headlessProgram(),
                            {"--data-dir", dir.file("alice"), "--instance-port", port}, true));
    auto s2 = again.waitForLine("\"started\"");
    ASSERT_TRUE(s2);
    EXPECT_NE(s2->find("\"directory\":\"" + address + "\""), std::string::npos);
    again.writeLine("quit");
    EXPECT_EQ(again.wait(), 0);
}

}  // namespace
}  // namespace orv

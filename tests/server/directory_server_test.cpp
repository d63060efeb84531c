// The directory server as a real process: every page end to end over loopback sockets, the
// administrator's commands, restarts on the same database, concurrent clients and bad requests.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "server/directory_harness.h"

namespace orv::test {
namespace {

class DirectoryServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (std::filesystem::temp_directory_path() / "orv-dir-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        db_ = dir_ + "/directory.sqlite";
        ASSERT_TRUE(server_.start(db_)) << server_.output();
    }
    void TearDown() override {
        server_.kill(SIGKILL);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    Answer page(const std::string& q) { return get(server_.port(), q); }

    void createUser(const std::string& name, const std::string& password) {
        auto a = page("insert.asp?name=" + enc(name) + "&leibie=0&passwd=" + password +
                      "&main=c&oldpasswd=");
        ASSERT_EQ(a.body, "Reg OK") << a.raw;
    }
    Answer login(const std::string& name, const std::string& password, const std::string& ip) {
        return page("login.asp?name=" + enc(name) + "&leibie=0&passwd=" + password + "&ip=" + ip +
                    "&testf=");
    }
    Answer membership(const std::string& creator, const std::string& password,
                      const std::string& group, const std::string& member, int state) {
        return page("insertgroupman.asp?cruser=" + enc(creator) + "&passwd=" + password +
                    "&group=" + enc(group) + "&gmuser=" + enc(member) +
                    "&state=" + std::to_string(state));
    }

    std::string dir_;
    std::string db_;
    DirectoryProcess server_;
};

TEST_F(DirectoryServerTest, AccountsLoginLookupAndLogout) {
    createUser("alice", "pw1");
    // Taken names, in any case, and organisation names are refused.
    EXPECT_EQ(page("insert.asp?name=" + enc("ALICE") + "&leibie=0&passwd=x&main=c&oldpasswd=").body,
              "Reg Error");
    auto org = page("insert.asp?name=" + enc("acme/x") + "&leibie=0&passwd=x&main=c&oldpasswd=");
    EXPECT_EQ(org.status, 403);
    EXPECT_EQ(org.body.find("Reg OK"), std::string::npos);

    EXPECT_EQ(page("gethost.asp?url=" + enc("alice")).body, "");  // exists, not logged in
    EXPECT_EQ(page("gethost.asp?url=" + enc("nobody")).body, "0");

    auto refused = login("alice", "wrong", "10.0.0.1:29998");
    EXPECT_NE(refused.body.find("Login Error"), std::string::npos);
    EXPECT_EQ(refused.body.find("Login OK"), std::string::npos);
    EXPECT_EQ(login("nobody", "pw1", "10.0.0.1:29998").body, "Login Error");
    EXPECT_EQ(page("gethost.asp?url=" + enc("alice")).body, "");

    auto ok = login("Alice", "pw1", "10.0.0.1:29998");
    EXPECT_EQ(ok.body, "Login OK");
    auto found = page("gethost.asp?url=" + enc("ALICE"));
    EXPECT_EQ(found.statusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(found.body, "10.0.0.1:29998");

    // Password change needs the old password.
    EXPECT_EQ(page("insert.asp?name=alice&leibie=0&passwd=pw2&main=c&oldpasswd=bad").body,
              "Reg Error");
    EXPECT_EQ(page("insert.asp?name=alice&leibie=0&passwd=pw2&main=c&oldpasswd=pw1").body,
              "Reg OK");
    EXPECT_EQ(login("alice", "pw1", "10.0.0.1:1").body, "Login Error");
    EXPECT_EQ(login("alice", "pw2", "10.0.0.2:29999").body, "Login OK");
    EXPECT_EQ(page("gethost.asp?url=" + enc("alice")).body, "10.0.0.2:29999");

    EXPECT_EQ(page("exit.asp?name=" + enc("alice") + "&passwd=bad").body.find("Logout OK"),
              std::string::npos);
    EXPECT_EQ(page("gethost.asp?url=" + enc("alice")).body, "10.0.0.2:29999");
    EXPECT_EQ(page("exit.asp?name=" + enc("alice") + "&passwd=pw2").body, "Logout OK");
    EXPECT_EQ(page("gethost.asp?url=" + enc("alice")).body, "");
}

TEST_F(DirectoryServerTest, AdministratorModesAndOrganisations) {
    createUser("carol", "pw");
    createUser("bob", "pw");
    EXPECT_EQ(DirectoryProcess::admin(db_, {"set-mode", "carol", "relay"}), 0);
    EXPECT_EQ(login("carol", "pw", "1.1.1.1:29998").body, "Connect OK");
    EXPECT_EQ(DirectoryProcess::admin(db_, {"set-mode", "carol", "warn"}), 0);
    EXPECT_EQ(login("carol", "pw", "1.1.1.1:29998").body, "Login Warn");
    EXPECT_EQ(DirectoryProcess::admin(db_, {"set-mode", "carol", "normal"}), 0);
    EXPECT_EQ(login("carol", "pw", "1.1.1.1:29998").body, "Login OK");
    EXPECT_NE(DirectoryProcess::admin(db_, {"set-mode", "nobody", "relay"}), 0);
    EXPECT_NE(DirectoryProcess::admin(db_, {"set-mode", "carol", "sideways"}), 0);

    EXPECT_EQ(DirectoryProcess::admin(
                  db_, {"create-org", "acme/sales", "--password", "op", "--member", "bob",
                        "--number", "3", "--kind", "3", "--member", "carol", "--number", "7"}),
              0);
    EXPECT_NE(DirectoryProcess::admin(db_, {"create-org", "nosuffix", "--password", "op"}), 0);
    EXPECT_NE(DirectoryProcess::admin(db_, {"add-member", "acme/", "--member", "ghost"}), 0);
    EXPECT_EQ(DirectoryProcess::admin(db_, {"create-org", "acme/hr", "--password", "hp", "--member",
                                            "acme/sales", "--kind", "8"}),
              0);

    EXPECT_EQ(login("acme/sales", "op", "2.2.2.2:29998").body, "Login OK");
    EXPECT_EQ(page("gethost.asp?url=" + enc("ACME/Sales")).body, "2.2.2.2:29998");

    // The co-member list of an organisation: records of three, the state with number and kind.
    auto co = page("listcoman.asp?cruser=" + enc("acme/") + "&group=" + enc("acme/") + "&pro=Y");
    EXPECT_EQ(co.body, "acme/\nacme/sales\n0 z\nacme/\nbob\n3 u\nacme/\ncarol\n7\n");
    EXPECT_EQ(page("listcoman.asp?cruser=" + enc("other/") + "&group=&pro=Y").body, "");

    std::string listing;
    EXPECT_EQ(DirectoryProcess::admin(db_, {"remove-member", "acme/", "--member", "bob"}), 0);
    EXPECT_EQ(DirectoryProcess::admin(db_, {"list-members", "acme/"}, &listing), 0);
    EXPECT_EQ(listing.find("bob"), std::string::npos);
    EXPECT_NE(listing.find("carol number 7 kind 0"), std::string::npos);
}

TEST_F(DirectoryServerTest, GroupLifecycle) {
    createUser("owner", "op");
    createUser("joe", "jp");
    const std::string group = "\xb2\xe2\xca\xd4team";  // GB18030 bytes travel unchanged

    auto bad =
        page("insertgroup.asp?user=owner&passwd=no&group=" + enc(group) + "&intro=x&type=c&num=1");
    EXPECT_EQ(bad.statusLine.find(" OK"), std::string::npos);
    auto pub = page("insertgroup.asp?user=" + enc("owner") + "&passwd=op&group=" + enc(group) +
                    "&intro=" + enc("our intro") + "&type=c&num=1");
    EXPECT_NE(pub.statusLine.find(" OK"), std::string::npos) << pub.raw;
    EXPECT_EQ(membership("owner", "op", group, "owner", 1).statusLine, "HTTP/1.1 200 New OK");

    EXPECT_EQ(page("listgroup.asp?main=c").body, "owner|" + group + "|our intro|c|1|");
    EXPECT_EQ(page("listgroup.asp?main=e").body, "");

    // Joe asks to join; the creator sees the request among all his groups.
    EXPECT_EQ(membership("owner", "", group, "joe", 0).statusLine, "HTTP/1.1 200 New OK");
    EXPECT_EQ(page("listgroupman.asp?cruser=owner&group=&pro=N").body,
              group + "\njoe\n0\n" + group + "\nowner\n1\n");
    EXPECT_EQ(page("listgroup1.asp?gmuser=joe").body, "owner\n" + group + "\n0\n");

    // Approving needs the creator's password; the member cannot approve himself.
    EXPECT_EQ(membership("owner", "", group, "joe", 1).status, 403);
    EXPECT_EQ(membership("owner", "wrong", group, "joe", 1).statusLine.find("New OK"),
              std::string::npos);
    EXPECT_EQ(membership("owner", "op", group, "joe", 1).statusLine, "HTTP/1.1 200 New OK");
    EXPECT_EQ(page("listgroup.asp?main=c").body, "owner|" + group + "|our intro|c|2|");
    // A repeated join request leaves a member a member; an acknowledgement without a refusal
    // changes nothing.
    EXPECT_EQ(membership("owner", "", group, "joe", 0).statusLine, "HTTP/1.1 200 New OK");
    EXPECT_EQ(membership("owner", "", group, "joe", 7).status, 403);
    EXPECT_EQ(page("listgroupman.asp?cruser=owner&group=" + enc(group) + "&pro=N").body,
              group + "\njoe\n1\n" + group + "\nowner\n1\n");

    // Leave, ask again, get refused, acknowledge.
    EXPECT_EQ(membership("owner", "", group, "joe", 5).status, 200);
    EXPECT_EQ(page("listgroup1.asp?gmuser=joe").body, "owner\n" + group + "\n5\n");
    EXPECT_EQ(membership("owner", "", group, "joe", 0).status, 200);
    EXPECT_EQ(membership("owner", "op", group, "joe", 6).status, 200);
    EXPECT_EQ(page("listgroup1.asp?gmuser=joe").body, "owner\n" + group + "\n6\n");
    EXPECT_EQ(membership("owner", "", group, "joe", 7).status, 200);
    EXPECT_EQ(page("listgroup1.asp?gmuser=joe").body, "owner\n" + group + "\n7\n");
    EXPECT_EQ(membership("owner", "", group, "ghost", 0).status, 403);
    EXPECT_EQ(membership("owner", "op", group, "joe", 9).status, 403);

    // Deleting: the group name travels raw in this request.
    EXPECT_EQ(page("delgroup.asp?user=owner&passwd=bad&group=" + group).body.find("Del OK"),
              std::string::npos);
    EXPECT_EQ(page("delgroup.asp?user=" + enc("owner") + "&passwd=op&group=" + group).body,
              "Del OK");
    EXPECT_EQ(page("delgroupman.asp?user=" + enc("owner") + "&passwd=op").body, "Del OK");
    EXPECT_EQ(page("delgroupman.asp?user=" + enc("owner") + "&passwd=x").status, 403);
    EXPECT_EQ(page("listgroup.asp?main=c").body, "");
    EXPECT_EQ(page("listgroup1.asp?gmuser=joe").body, "");
    EXPECT_EQ(page("listgroupman.asp?cruser=owner&group=&pro=N").body, "");
}

TEST_F(DirectoryServerTest, PublicListFitsTheFirstChunk) {
    createUser("maker", "mp");
    std::string intro(150, 'i');
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(page("insertgroup.asp?user=maker&passwd=mp&group=" +
                       enc("group" + std::to_string(i)) + "&intro=" + enc(intro) + "&type=c&num=1")
                      .status,
                  200);
    }
    auto list = page("listgroup.asp?main=c");
    EXPECT_LE(list.raw.size(), 2047u);
    auto fields = splitFields(list.body, '|');
    EXPECT_GT(fields.size(), 5u);
    EXPECT_EQ(fields.size() % 5, 0u);  // whole records only
    EXPECT_EQ(list.body.back(), '|');
    // A "|" would break every reader's records, so such texts are refused.
    EXPECT_EQ(page("insertgroup.asp?user=maker&passwd=mp&group=a%7cb&intro=&type=c&num=1").status,
              403);
}

TEST_F(DirectoryServerTest, SignRecords) {
    createUser("sender", "sp");
    createUser("reader", "rp");
    createUser("other", "xp");
    auto insert = [&](const std::string& to, int64_t sdt, const std::string& pw) {
        return page("insertsign.asp?fn=" + enc("sender") + "&fnpasswd=" + pw + "&jn=" + enc(to) +
                    "&sf=" + enc("a.doc,b.txt") + "&sds=" + enc("subject\r\nline") +
                    "&fh=&sdt=" + std::to_string(sdt));
    };
    EXPECT_EQ(insert("reader", 1000, "sp").body, "Insert OK");
    EXPECT_EQ(insert("other", 1000, "sp").body, "Insert OK");
    EXPECT_EQ(insert("reader", 2000, "sp").body, "Insert OK");
    EXPECT_EQ(insert("reader", 1000, "bad").body.find("Insert OK"), std::string::npos);
    EXPECT_EQ(insert("ghost", 1000, "sp").status, 403);

    auto all = page("getsignlist.asp?fn=" + enc("sender") + "&sdt=1000&sign=N");
    auto f = splitFields(all.body, '|');
    ASSERT_EQ(f.size(), 16u) << all.body;
    EXPECT_EQ(f[1], "reader");
    EXPECT_EQ(f[2], "a.doc,b.txt");
    EXPECT_EQ(f[3], "subject\r\nline");
    EXPECT_EQ(f[6], "1000");
    EXPECT_EQ(f[7], "0");

    auto sign = [&](const std::string& who, const std::string& pw, const std::string& opinion) {
        return page("updatesign.asp?fn=" + enc("sender") + "&fnp=&jn=" + enc(who) + "&jnp=" + pw +
                    "&sdt=1000&sgt=1234&sgs=" + enc(opinion) + "&op=");
    };
    EXPECT_EQ(sign("reader", "wrong", "ok").body.find("Update OK"), std::string::npos);
    EXPECT_EQ(sign("reader", "rp", "\xcd\xac\xd2\xe2").body, "Update OK");
    EXPECT_EQ(sign("ghost", "rp", "x").status, 403);

    auto signedOnly = splitFields(page("getsignlist.asp?fn=sender&sdt=0&sign=Y").body, '|');
    ASSERT_EQ(signedOnly.size(), 8u);
    EXPECT_EQ(signedOnly[4], "\xcd\xac\xd2\xe2");
    EXPECT_EQ(signedOnly[7], "1234");
    // The unsigned filter still lists every record, so a signer finds his own signed one.
    EXPECT_EQ(splitFields(page("getsignlist.asp?fn=sender&sdt=0&sign=N").body, '|').size(), 24u);

    // Deleting is the sender's.
    auto del = [&](const std::string& pw) {
        return page("updatesign.asp?fn=sender&fnp=" + pw +
                    "&jn=reader&jnp=&sdt=1000&sgt=0&sgs=&op=d");
    };
    EXPECT_EQ(del("rp").status, 403);
    EXPECT_EQ(del("sp").body, "Update OK");
    EXPECT_EQ(splitFields(page("getsignlist.asp?fn=sender&sdt=1000&sign=N").body, '|').size(), 8u);
}

TEST_F(DirectoryServerTest, DataSurvivesRestartAndCrash) {
    createUser("dora", "dp");
    ASSERT_EQ(login("dora", "dp", "3.3.3.3:29998").body, "Login OK");
    ASSERT_EQ(page("insertgroup.asp?user=dora&passwd=dp&group=keep&intro=i&type=e&num=1").status,
              200);
    EXPECT_EQ(server_.stop(SIGTERM), 0);
    EXPECT_NE(server_.output().find("stopped"), std::string::npos);

    ASSERT_TRUE(server_.start(db_));
    EXPECT_EQ(page("gethost.asp?url=dora").body, "3.3.3.3:29998");
    EXPECT_EQ(page("listgroup.asp?main=e").body, "dora|keep|i|e|1|");
    ASSERT_EQ(page("insert.asp?name=dora&leibie=0&passwd=new&main=c&oldpasswd=dp").body, "Reg OK");

    // A killed server loses nothing it had answered.
    server_.kill(SIGKILL);
    ASSERT_TRUE(server_.start(db_));
    EXPECT_EQ(login("dora", "new", "4.4.4.4:1").body, "Login OK");
    EXPECT_EQ(login("dora", "dp", "4.4.4.4:1").body, "Login Error");
}

TEST_F(DirectoryServerTest, ConcurrentLogins) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 15;
    for (int t = 0; t < kThreads; ++t)
        createUser("u" + std::to_string(t), "p");
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::string name = "u" + std::to_string(t);
            for (int r = 0; r < kRounds; ++r) {
                std::string ip = "10.1." + std::to_string(t) + "." + std::to_string(r) + ":29998";
                if (get(server_.port(),
                        "login.asp?name=" + enc(name) + "&leibie=0&passwd=p&ip=" + ip + "&testf=")
                            .body == "Login OK" &&
                    get(server_.port(), "gethost.asp?url=" + enc(name)).body == ip) {
                    ++good;
                }
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(good.load(), kThreads * kRounds);
}

TEST_F(DirectoryServerTest, MalformedRequestsChangeNothing) {
    const int port = server_.port();
    auto raw = [&](const std::string& r) { return exchangeRaw(port, r); };
    const std::string tail = " HTTP/1.1\r\nHost: x\r\nConnection: Close\r\n\r\n";
    const std::string create = "/chat/insert.asp?name=mallory&leibie=0&passwd=p&main=c&oldpasswd=";

    EXPECT_EQ(raw("POST " + create + tail).status, 405);
    EXPECT_EQ(raw("PUT " + create + tail).status, 405);
    EXPECT_EQ(raw("GET " + create + " HTTP/1.1 extra\r\n\r\n").status, 400);
    EXPECT_EQ(raw("nonsense\r\n\r\n").status, 400);
    EXPECT_EQ(raw("GET " + create + "%4" + tail).status, 400);
    EXPECT_EQ(raw("GET " + create + "%zz" + tail).status, 400);
    EXPECT_EQ(raw("GET /chat/insert.asp?name=mal%00lory&passwd=p&oldpasswd=" + tail).status, 400);
    EXPECT_EQ(raw("GET /chat/nosuch.asp?name=mallory" + tail).status, 404);
    EXPECT_EQ(raw("GET /other/insert.asp?name=mallory&passwd=p&oldpasswd=" + tail).status, 404);
    EXPECT_EQ(raw("GET " + create + "&pad=" + std::string(5000, 'a') + tail).status, 414);
    EXPECT_EQ(raw("GET " + create + "&pad=" + std::string(20000, 'a') + tail).status, 414);
    std::string manyHeaders;
    for (int i = 0; i < 1000; ++i)
        manyHeaders += "X-Filler-" + std::to_string(i) + ": value\r\n";
    EXPECT_EQ(raw("GET " + create + " HTTP/1.1\r\n" + manyHeaders + "\r\n").status, 431);
    EXPECT_EQ(raw("GET " + create + " HTTP/1.1\r\nContent-Length: 4\r\n\r\nbody").status, 413);
    EXPECT_EQ(raw("GET /chat/login.asp?leibie=0&passwd=p" + tail).status, 400);  // no name
    EXPECT_EQ(raw("GET /chat/insertsign.asp?fn=a&fnpasswd=b&jn=c&sdt=soon" + tail).status, 400);

    EXPECT_EQ(page("gethost.asp?url=mallory").body, "0");
    // The server is still there and answers well-formed requests.
    EXPECT_EQ(page("insert.asp?name=mallory&leibie=0&passwd=p&main=c&oldpasswd=").body, "Reg OK");
}

TEST_F(DirectoryServerTest, KeepAliveAnswersEachRequest) {
    // Connection: Close is what the desktop client sends; persistent connections also work.
    int fd = connectLoopback(server_.port());
    ASSERT_GE(fd, 0);
    std::string two =
        "GET /chat/gethost.asp?url=x HTTP/1.1\r\nHost: a\r\n\r\n"
        "GET /chat/gethost.asp?url=y HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n";
    ASSERT_EQ(::send(fd, two.data(), two.size(), MSG_NOSIGNAL), static_cast<ssize_t>(two.size()));
    std::string raw;
    EXPECT_TRUE(readAll(fd, &raw, Clock::now() + std::chrono::seconds(10)));
    ::close(fd);
    std::size_t first = raw.find("Connection: keep-alive\r\n\r\n0");
    ASSERT_NE(first, std::string::npos) << raw;
    EXPECT_NE(raw.find("HTTP/1.1 200 OK", first), std::string::npos);
    EXPECT_NE(raw.find("Connection: close\r\n\r\n0", first), std::string::npos);
}

}  // namespace
}  // namespace orv::test

// The directory server as a real process, on each store (SQLite and PostgreSQL): every page end
// to end over loopback sockets, the administrator's commands, restarts on the same database,
// concurrent clients, bad requests, floods of password checks and requests from other machines
// (other loopback addresses).
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "server/directory_harness.h"
#include "server/pg_cluster.h"

namespace orv::test {
namespace {

enum class StoreKind { Sqlite, Postgres };

std::string storeName(const ::testing::TestParamInfo<StoreKind>& info) {
    return info.param == StoreKind::Sqlite ? "Sqlite" : "Postgres";
}

// A fresh database of the kind: a file in `dir`, or a new database in the test cluster ("" when
// there is none, after marking the test skipped or failed).
std::string freshDatabase(StoreKind kind, const std::string& dir) {
    if (kind == StoreKind::Sqlite) return dir + "/directory.sqlite";
    auto& pg = PgCluster::shared();
    if (!pg.available()) {
        if (PgCluster::required()) ADD_FAILURE() << pg.error();
        return {};
    }
    std::string uri = pg.createDatabase();
    if (uri.empty()) ADD_FAILURE() << "createdb failed";
    return uri;
}

std::string makeTempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "orv-dir-XXXXXX").string();
    return ::mkdtemp(tmpl.data()) ? tmpl : std::string{};
}

class DirectoryServerTest : public ::testing::TestWithParam<StoreKind> {
  protected:
    void SetUp() override {
        dir_ = makeTempDir();
        ASSERT_FALSE(dir_.empty());
        db_ = freshDatabase(GetParam(), dir_);
        if (db_.empty()) GTEST_SKIP() << PgCluster::shared().error();
        ASSERT_TRUE(server_.start(db_, serverOptions())) << server_.output();
    }
    virtual std::vector<std::string> serverOptions() { return {}; }
    void TearDown() override {
        server_.kill(SIGKILL);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    Answer page(const std::string& q, const char* from = nullptr) {
        return get(server_.port(), q, from);
    }

    void createUser(const std::string& name, const std::string& password) {
        auto a = page("insert.asp?name=" + enc(name) + "&leibie=0&passwd=" + password +
                      "&main=c&oldpasswd=");
        ASSERT_EQ(a.body, "Reg OK") << a.raw;
    }
    Answer login(const std::string& name, const std::string& password, const std::string& ip,
                 const char* from = nullptr) {
        return page("login.asp?name=" + enc(name) + "&leibie=0&passwd=" + password + "&ip=" + ip +
                        "&testf=",
                    from);
    }
    Answer membership(const std::string& creator, const std::string& password,
                      const std::string& group, const std::string& member, int state,
                      const char* from = nullptr) {
        return page("insertgroupman.asp?cruser=" + enc(creator) + "&passwd=" + password +
                        "&group=" + enc(group) + "&gmuser=" + enc(member) +
                        "&state=" + std::to_string(state),
                    from);
    }

    std::string dir_;
    std::string db_;
    DirectoryProcess server_;
};

TEST_P(DirectoryServerTest, AccountsLoginLookupAndLogout) {
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

TEST_P(DirectoryServerTest, AdministratorModesAndOrganisations) {
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

TEST_P(DirectoryServerTest, GroupLifecycle) {
    createUser("owner", "op");
    createUser("joe", "jp");
    // Joe's own requests without a password come from the machine he is logged in from.
    ASSERT_EQ(login("joe", "jp", "10.0.0.9:29998").body, "Login OK");
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

TEST_P(DirectoryServerTest, PublicListFitsTheFirstChunk) {
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

TEST_P(DirectoryServerTest, SignRecords) {
    createUser("sender", "sp");
    createUser("reader", "rp");
    createUser("other", "xp");
    auto insert = [&](const std::string& to, int64_t sdt, const std::string& pw) {
        return page("insertsign.asp?fn=" + enc("sender") + "&fnpasswd=" + pw + "&jn=" + enc(to) +
                    "&sf=" + enc("a.doc,b.txt") + "&sds=" + enc("subject\r\nline") +
                    "&fh=&sdt=" + std::to_string(sdt));
    };
    // The whole list goes to the sender's machine only.
    ASSERT_EQ(login("sender", "sp", "10.0.0.5:29998").body, "Login OK");
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

TEST_P(DirectoryServerTest, DataSurvivesRestartAndCrash) {
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

TEST_P(DirectoryServerTest, ConcurrentLogins) {
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

TEST_P(DirectoryServerTest, MalformedRequestsChangeNothing) {
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

TEST_P(DirectoryServerTest, KeepAliveAnswersEachRequest) {
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

TEST_P(DirectoryServerTest, PasswordlessStatesComeOnlyFromTheMembersMachine) {
    // 127.0.0.2 is Joe's machine, 127.0.0.3 a stranger's. The announced address plays no part.
    const char* joeMachine = "127.0.0.2";
    const char* stranger = "127.0.0.3";
    createUser("owner", "op");
    createUser("joe", "jp");
    ASSERT_EQ(page("insertgroup.asp?user=owner&passwd=op&group=g&intro=&type=c&num=1").status, 200);
    // Not logged in: nobody speaks for Joe without his password.
    EXPECT_EQ(membership("owner", "", "g", "joe", 0, joeMachine).status, 403);
    ASSERT_EQ(login("joe", "jp", "192.0.2.7:29998", joeMachine).body, "Login OK");
    EXPECT_EQ(membership("owner", "", "g", "joe", 0, stranger).status, 403);
    EXPECT_EQ(page("listgroup1.asp?gmuser=joe").body, "");
    EXPECT_EQ(membership("owner", "", "g", "joe", 0, joeMachine).statusLine, "HTTP/1.1 200 New OK");
    // The creator's decisions carry his password and may come from anywhere.
    EXPECT_EQ(membership("owner", "op", "g", "joe", 1, stranger).status, 200);

    // A stranger cannot make Joe leave.
    EXPECT_EQ(membership("owner", "", "g", "joe", 5, stranger).status, 403);
    EXPECT_EQ(page("listgroup1.asp?gmuser=joe").body, "owner\ng\n1\n");
    EXPECT_EQ(membership("owner", "", "g", "joe", 5, joeMachine).status, 200);
    EXPECT_EQ(page("listgroup1.asp?gmuser=joe").body, "owner\ng\n5\n");

    // After logging out, Joe's machine no longer speaks for him either.
    ASSERT_EQ(page("exit.asp?name=joe&passwd=jp", joeMachine).body, "Logout OK");
    EXPECT_EQ(membership("owner", "", "g", "joe", 0, joeMachine).status, 403);
    // Logged in again from another machine, the new one counts and the old one does not.
    ASSERT_EQ(login("joe", "jp", "192.0.2.7:29998", stranger).body, "Login OK");
    EXPECT_EQ(membership("owner", "", "g", "joe", 0, joeMachine).status, 403);
    EXPECT_EQ(membership("owner", "", "g", "joe", 0, stranger).status, 200);
    EXPECT_EQ(membership("owner", "op", "g", "joe", 6).status, 200);
    EXPECT_EQ(membership("owner", "", "g", "joe", 7, joeMachine).status, 403);
    EXPECT_EQ(membership("owner", "", "g", "joe", 7, stranger).status, 200);
    EXPECT_EQ(page("listgroup1.asp?gmuser=joe").body, "owner\ng\n7\n");
}

TEST_P(DirectoryServerTest, ReceiptsGoOnlyToTheSenderAndTheSigners) {
    const char* senderMachine = "127.0.0.2";
    const char* stranger = "127.0.0.3";
    const char* readerMachine = "127.0.0.4";
    createUser("sender", "sp");
    createUser("reader", "rp");
    createUser("other", "xp");
    for (const char* to : {"reader", "other"}) {
        ASSERT_EQ(page(std::string("insertsign.asp?fn=sender&fnpasswd=sp&jn=") + to +
                       "&sf=&sds=" + enc("secret text") + "&fh=&sdt=500")
                      .body,
                  "Insert OK");
    }
    const std::string list = "getsignlist.asp?fn=sender&sdt=0&sign=N";
    // Nobody is logged in: nobody reads the texts.
    EXPECT_EQ(page(list, senderMachine).body, "");
    ASSERT_EQ(login("sender", "sp", "10.9.9.9:29998", senderMachine).body, "Login OK");
    ASSERT_EQ(login("reader", "rp", "10.9.9.9:29998", readerMachine).body, "Login OK");

    EXPECT_EQ(page(list, stranger).body, "");
    EXPECT_EQ(splitFields(page(list, senderMachine).body, '|').size(), 16u);
    // The signer sees his own record, before and after signing.
    auto mine = splitFields(page(list, readerMachine).body, '|');
    ASSERT_EQ(mine.size(), 8u);
    EXPECT_EQ(mine[1], "reader");
    ASSERT_EQ(page("updatesign.asp?fn=sender&fnp=&jn=reader&jnp=rp&sdt=500&sgt=9&sgs=ok&op=",
                   readerMachine)
                  .body,
              "Update OK");
    mine = splitFields(page("getsignlist.asp?fn=sender&sdt=500&sign=N", readerMachine).body, '|');
    ASSERT_EQ(mine.size(), 8u);
    EXPECT_EQ(mine[7], "9");
    EXPECT_EQ(page("getsignlist.asp?fn=sender&sdt=500&sign=Y", stranger).body, "");

    ASSERT_EQ(page("exit.asp?name=sender&passwd=sp", senderMachine).body, "Logout OK");
    EXPECT_EQ(splitFields(page(list, senderMachine).body, '|').size(), 0u);
}

TEST_P(DirectoryServerTest, ChineseTextWhoseSecondByteIsABar) {
    // 億 is 0x83 0x7C in GB18030: the second byte is the code of "|", the character is not.
    const std::string yi = "\x83\x7c";
    const std::string oneYiYuan = "\xd2\xbb\x83\x7c\xd4\xaa";  // 一億元
    createUser("maker", "mp");
    createUser("reader", "rp");
    createUser(yi + "\xc8\xcb", "yp");  // 億人
    EXPECT_EQ(page("gethost.asp?url=" + enc(yi + "\xc8\xcb")).body, "");

    auto group = page("insertgroup.asp?user=maker&passwd=mp&group=" + enc(yi) +
                      "&intro=" + enc(oneYiYuan) + "&type=c&num=1");
    EXPECT_EQ(group.body, "Group OK");
    EXPECT_EQ(page("listgroup.asp?main=c").body, "maker|" + yi + "|" + oneYiYuan + "|c|1|");
    ASSERT_EQ(login("reader", "rp", "10.0.0.1:29998").body, "Login OK");
    EXPECT_EQ(membership("maker", "", yi, "reader", 0).statusLine, "HTTP/1.1 200 New OK");

    ASSERT_EQ(login("maker", "mp", "10.0.0.2:29998").body, "Login OK");
    EXPECT_EQ(page("insertsign.asp?fn=maker&fnpasswd=mp&jn=reader&sf=&sds=" + enc(oneYiYuan) +
                   "&fh=&sdt=1")
                  .body,
              "Insert OK");
    EXPECT_EQ(page("getsignlist.asp?fn=maker&sdt=1&sign=N").body,
              "maker|reader||" + oneYiYuan + "|||1|0|");

    // A real bar, also right after a Chinese character, is still refused.
    EXPECT_EQ(page("insertgroup.asp?user=maker&passwd=mp&group=" + enc("\xd2\xbb|") +
                   "&intro=&type=c&num=1")
                  .status,
              403);
    EXPECT_EQ(
        page("insertsign.asp?fn=maker&fnpasswd=mp&jn=reader&sf=&sds=" + enc("a|b") + "&fh=&sdt=2")
            .status,
        403);
    EXPECT_EQ(page("insert.asp?name=" + enc("x|y") + "&leibie=0&passwd=p&main=c&oldpasswd=").status,
              403);
}

TEST_P(DirectoryServerTest, HealthAndReadinessPages) {
    auto health = exchangeRaw(server_.port(),
                              "GET /health HTTP/1.1\r\nHost: lb\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(health.statusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(health.body, "OK");
    auto ready = exchangeRaw(server_.port(), "GET /ready HTTP/1.1\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(ready.statusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(ready.body, "Ready");
    EXPECT_EQ(page("health").status, 404);  // the clients' pages stay apart
}

// Logins whose listener the directory cannot reach are marked, and senders are sent to a relay.
class DirectoryReachTest : public DirectoryServerTest {
  protected:
    std::vector<std::string> serverOptions() override { return {"--reach-timeout-ms", "2000"}; }

    // A loopback listener that accepts (the backlog does), or a port nobody listens on.
    static int listenOn(uint16_t* port) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd, 16) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            ::close(fd);
            return -1;
        }
        *port = ntohs(a.sin_port);
        return fd;
    }
    static std::string closedPort() {
        uint16_t port = 0;
        int fd = listenOn(&port);
        ::close(fd);
        return "127.0.0.1:" + std::to_string(port);
    }
    Answer loginAsking(const std::string& name, const std::string& password,
                       const std::string& ip) {
        return page("login.asp?name=" + enc(name) + "&leibie=0&passwd=" + password + "&ip=" + ip +
                    "&testf=&relay=1");
    }
    std::string host(const std::string& user) { return page("gethost.asp?url=" + enc(user)).body; }
    std::string relayOf(const std::string& user) {
        return page("getrelay.asp?name=" + enc(user)).body;
    }
};

TEST_P(DirectoryReachTest, UnreachableListenersAndTheOptionMarkTheLogin) {
    for (const char* u : {"open", "closed", "asking", "relay1", "relay2"})
        createUser(u, "pw");
    ASSERT_EQ(DirectoryProcess::admin(db_, {"set-mode", "relay1", "relay"}), 0);
    ASSERT_EQ(DirectoryProcess::admin(db_, {"set-mode", "relay2", "relay"}), 0);
    uint16_t port = 0;
    int listener = listenOn(&port);
    ASSERT_GE(listener, 0);
    std::string open = "127.0.0.1:" + std::to_string(port);
    std::string closed = closedPort();

    // A listener that accepts: reached directly.
    EXPECT_EQ(login("open", "pw", open).body, "Login OK");
    EXPECT_EQ(host("open"), open);
    EXPECT_EQ(relayOf("open"), "");
    // A port that refuses, and a user who asked for a relay although reachable: both marked.
    // With no relay logged in they count as logged out to senders.
    EXPECT_EQ(login("closed", "pw", closed).body, "Login OK");
    EXPECT_EQ(loginAsking("asking", "pw", open).body, "Login OK");
    for (const char* u : {"closed", "asking"}) {
        EXPECT_EQ(host(u), "") << u;
        EXPECT_EQ(relayOf(u), "none") << u;
    }
    EXPECT_EQ(relayOf("nobody"), "0");

    // A relay logs in (its own listener is never tested): marked users are sent to it.
    EXPECT_EQ(login("relay1", "pw", closedPort()).body, "Connect OK");
    std::string relay1 = host("relay1");
    EXPECT_EQ(relayOf("relay1"), "");
    for (const char* u : {"closed", "asking"}) {
        EXPECT_EQ(host(u), relay1) << u;
        EXPECT_EQ(relayOf(u), relay1 + "\nrelay1\n") << u;
    }
    EXPECT_EQ(host("open"), open);

    // With two relays, lookups and the relay page still agree on one for each user.
    EXPECT_EQ(login("relay2", "pw", "127.0.0.1:1").body, "Connect OK");
    for (const char* u : {"closed", "asking"}) {
        std::string r = relayOf(u);
        ASSERT_NE(r.find('\n'), std::string::npos) << r;
        EXPECT_EQ(host(u), r.substr(0, r.find('\n'))) << u;
    }
    EXPECT_EQ(page("exit.asp?name=relay1&passwd=pw").body, "Logout OK");
    EXPECT_EQ(page("exit.asp?name=relay2&passwd=pw").body, "Logout OK");
    EXPECT_EQ(host("closed"), "");

    // A later login from a reachable listener clears the mark; logging out leaves none behind.
    EXPECT_EQ(login("closed", "pw", open).body, "Login OK");
    EXPECT_EQ(host("closed"), open);
    EXPECT_EQ(relayOf("closed"), "");
    EXPECT_EQ(page("exit.asp?name=asking&passwd=pw").body, "Logout OK");
    EXPECT_EQ(relayOf("asking"), "");
    // A host name is not looked up: such a login counts as reachable.
    EXPECT_EQ(login("open", "pw", "client.example:29998").body, "Login OK");
    EXPECT_EQ(relayOf("open"), "");
    ::close(listener);
}

// The production password cost, so that a flood of checks takes real time.
class DirectoryFloodTest : public DirectoryServerTest {
  protected:
    std::vector<std::string> serverOptions() override {
        return {"--hash-memory-kib",    "65536", "--hash-iterations", "3",
                "--checks-per-address", "4"};
    }
};

TEST_P(DirectoryFloodTest, BogusLoginsNeitherDelayALoginNorLookups) {
    createUser("real", "pw");
    ASSERT_EQ(login("real", "pw", "10.0.0.1:29998").body, "Login OK");
    // 500 logins with a wrong password from one machine, all sent before any answer is read.
    const std::string bogus =
        pageRequest("login.asp?name=real&leibie=0&passwd=guess&ip=6.6.6.6:1&testf=");
    std::vector<int> flood;
    for (int i = 0; i < 500; ++i) {
        int fd = connectLoopback(server_.port(), "127.0.0.2");
        ASSERT_GE(fd, 0) << i;
        ASSERT_EQ(::send(fd, bogus.data(), bogus.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bogus.size()));
        flood.push_back(fd);
    }
    auto started = Clock::now();
    auto real = login("real", "pw", "10.0.0.3:29998", "127.0.0.3");
    auto loginTime = Clock::now() - started;
    EXPECT_EQ(real.body, "Login OK");
    started = Clock::now();
    int found = 0;
    for (int i = 0; i < 1000; ++i) {
        if (page("gethost.asp?url=real", "127.0.0.3").body == "10.0.0.3:29998") ++found;
    }
    auto lookupTime = Clock::now() - started;
    EXPECT_EQ(found, 1000);
    // Unbounded, the real login waited for all 500 checks, a minute or more at this cost; now it
    // waits for at most one check per thread before its own.
    EXPECT_LT(loginTime, std::chrono::seconds(8));
    EXPECT_LT(lookupTime, std::chrono::seconds(20));

    int busy = 0;
    for (int fd : flood) {
        std::string raw;
        EXPECT_TRUE(readAll(fd, &raw, Clock::now() + std::chrono::seconds(60)));
        ::close(fd);
        auto a = parseAnswer(raw);
        EXPECT_EQ(a.body.find("Login OK"), std::string::npos);
        EXPECT_TRUE(a.status == 403 || a.status == 503) << a.statusLine;
        if (a.status == 503) ++busy;
    }
    EXPECT_GE(busy, 490);
    std::printf("real login %.0f ms, 1000 lookups %.0f ms, %d of 500 bogus logins refused busy\n",
                std::chrono::duration<double, std::milli>(loginTime).count(),
                std::chrono::duration<double, std::milli>(lookupTime).count(), busy);
}

INSTANTIATE_TEST_SUITE_P(Stores, DirectoryReachTest,
                         ::testing::Values(StoreKind::Sqlite, StoreKind::Postgres), storeName);
INSTANTIATE_TEST_SUITE_P(Stores, DirectoryFloodTest,
                         ::testing::Values(StoreKind::Sqlite, StoreKind::Postgres), storeName);

// A balancer in TCP mode (127.0.0.5 here) names each client in a PROXY protocol line; the named
// address is the one that logins record and that the passwordless states are checked against.
class DirectoryBehindBalancerTest : public DirectoryServerTest {
  protected:
    std::vector<std::string> serverOptions() override { return {"--proxy-from", "127.0.0.5"}; }
    Answer viaBalancer(const std::string& client, const std::string& q) {
        return exchangeRaw(server_.port(),
                           "PROXY TCP4 " + client + " 127.0.0.1 40000 8080\r\n" + pageRequest(q),
                           "127.0.0.5");
    }
};

TEST_P(DirectoryBehindBalancerTest, TheNamedClientIsTheRequestsAddress) {
    createUser("owner", "op");
    createUser("joe", "jp");
    ASSERT_EQ(
        viaBalancer("127.0.0.2", "login.asp?name=joe&leibie=0&passwd=jp&ip=1.2.3.4:5&testf=").body,
        "Login OK");
    EXPECT_EQ(membership("owner", "", "g", "joe", 0, "127.0.0.2").statusLine,
              "HTTP/1.1 200 New OK");
    EXPECT_EQ(membership("owner", "op", "g", "joe", 1).status, 200);
    EXPECT_EQ(viaBalancer("127.0.0.3",
                          "insertgroupman.asp?cruser=owner&passwd=&group=g&gmuser=joe&state=5")
                  .status,
              403);
    EXPECT_EQ(viaBalancer("127.0.0.2",
                          "insertgroupman.asp?cruser=owner&passwd=&group=g&gmuser=joe&state=5")
                  .status,
              200);
    // Only the balancer may name a client, and it must.
    EXPECT_EQ(exchangeRaw(server_.port(),
                          "PROXY TCP4 127.0.0.2 127.0.0.1 40000 8080\r\n" +
                              pageRequest("gethost.asp?url=joe"),
                          "127.0.0.3")
                  .status,
              400);
    EXPECT_EQ(get(server_.port(), "gethost.asp?url=joe", "127.0.0.5").status, 400);
    EXPECT_EQ(exchangeRaw(server_.port(), "PROXY TCP4 nonsense\r\n" + pageRequest("gethost.asp"),
                          "127.0.0.5")
                  .status,
              400);
    // Its readiness checks come the same way.
    auto ready = exchangeRaw(server_.port(),
                             "PROXY TCP4 127.0.0.5 127.0.0.1 1 1\r\nGET /ready HTTP/1.1\r\n"
                             "Connection: close\r\n\r\n",
                             "127.0.0.5");
    EXPECT_EQ(ready.body, "Ready");
}

INSTANTIATE_TEST_SUITE_P(Stores, DirectoryBehindBalancerTest, ::testing::Values(StoreKind::Sqlite),
                         storeName);

// Tests that need the PostgreSQL cluster beside SQLite.
class StoresTogetherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = makeTempDir();
        ASSERT_FALSE(dir_.empty());
        auto& pg = PgCluster::shared();
        if (!pg.available()) {
            if (PgCluster::required()) FAIL() << pg.error();
            GTEST_SKIP() << pg.error();
        }
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string postgres() {
        std::string uri = PgCluster::shared().createDatabase();
        EXPECT_FALSE(uri.empty());
        return uri;
    }
    std::string dir_;
};

// The requests of a small community's life: accounts, logins, groups and their members, sign
// records, organisations, refusals and lookups.
std::vector<std::string> communityScript() {
    std::vector<std::string> r;
    for (const char* u : {"ann", "Bob", "cy", "\xb2\xe2\xca\xd4"}) {
        r.push_back("insert.asp?name=" + enc(u) + "&leibie=0&passwd=pw&main=c&oldpasswd=");
        r.push_back("login.asp?name=" + enc(u) + "&leibie=0&passwd=pw&ip=10.0.0.1:29998&testf=");
    }
    r.push_back("insert.asp?name=BOB&leibie=0&passwd=pw&main=c&oldpasswd=");
    r.push_back("login.asp?name=ann&leibie=0&passwd=bad&ip=1.1.1.1:1&testf=");
    r.push_back("gethost.asp?url=" + enc("BOB"));
    r.push_back("gethost.asp?url=nobody");
    r.push_back("insertgroup.asp?user=ann&passwd=pw&group=" + enc("\x83\x7c") +
                "&intro=" + enc("two\r\nlines") + "&type=c&num=3");
    r.push_back("insertgroup.asp?user=ann&passwd=pw&group=Zeta&intro=z&type=e&num=1");
    r.push_back("insertgroup.asp?user=Bob&passwd=pw&group=alpha&intro=a&type=e&num=1");
    r.push_back("insertgroupman.asp?cruser=ann&passwd=&group=zeta&gmuser=bob&state=0");
    r.push_back("insertgroupman.asp?cruser=ANN&passwd=&group=" + enc("\x83\x7c") +
                "&gmuser=cy&state=0");
    r.push_back("insertgroupman.asp?cruser=ann&passwd=pw&group=ZETA&gmuser=BOB&state=1");
    r.push_back("insertgroupman.asp?cruser=ann&passwd=pw&group=" + enc("\x83\x7c") +
                "&gmuser=cy&state=6");
    r.push_back("insertgroupman.asp?cruser=ann&passwd=&group=" + enc("\x83\x7c") +
                "&gmuser=cy&state=7");
    r.push_back("insertgroupman.asp?cruser=ann&passwd=&group=nopub&gmuser=" +
                enc("\xb2\xe2\xca\xd4") + "&state=0");
    r.push_back("insertgroupman.asp?cruser=ann&passwd=&group=zeta&gmuser=cy&state=5");
    r.push_back("listgroup.asp?main=c");
    r.push_back("listgroup1.asp?gmuser=BOB");
    r.push_back("listgroup1.asp?gmuser=cy");
    r.push_back("listgroupman.asp?cruser=ann&group=&pro=N");
    r.push_back("listgroupman.asp?cruser=Ann&group=zeta&pro=N");
    for (int t : {300, 100, 200}) {
        for (const char* to : {"cy", "Bob"}) {
            r.push_back(std::string("insertsign.asp?fn=ann&fnpasswd=pw&jn=") + to +
                        "&sf=" + enc("a.doc") + "&sds=" + enc("\xd2\xbb\x83\x7c\xd4\xaa") +
                        "&fh=x&sdt=" + std::to_string(t));
        }
    }
    r.push_back("insertsign.asp?fn=ann&fnpasswd=pw&jn=cy&sf=&sds=again&fh=&sdt=100");
    r.push_back("updatesign.asp?fn=ANN&fnp=&jn=bob&jnp=pw&sdt=200&sgt=77&sgs=" + enc("fine") +
                "&op=");
    r.push_back("updatesign.asp?fn=ann&fnp=&jn=bob&jnp=pw&sdt=999&sgt=77&sgs=x&op=");
    r.push_back("updatesign.asp?fn=ann&fnp=pw&jn=cy&jnp=&sdt=300&sgt=0&sgs=&op=d");
    r.push_back("getsignlist.asp?fn=ann&sdt=0&sign=N");
    r.push_back("getsignlist.asp?fn=ann&sdt=200&sign=Y");
    r.push_back("listcoman.asp?cruser=" + enc("acme/") + "&group=" + enc("acme/") + "&pro=Y");
    r.push_back("insert.asp?name=cy&leibie=0&passwd=new&main=c&oldpasswd=pw");
    r.push_back("login.asp?name=cy&leibie=0&passwd=pw&ip=1.1.1.1:1&testf=");
    r.push_back("exit.asp?name=Bob&passwd=pw");
    r.push_back("gethost.asp?url=bob");
    r.push_back("delgroup.asp?user=ann&passwd=pw&group=zeta");
    r.push_back("delgroupman.asp?user=ann&passwd=pw");
    r.push_back("listgroupman.asp?cruser=ann&group=&pro=N");
    return r;
}

void organise(const std::string& db) {
    ASSERT_EQ(
        DirectoryProcess::admin(db, {"create-org", "acme/x", "--password", "op", "--member", "cy",
                                     "--number", "2", "--kind", "3", "--member", "ann"}),
        0);
}

TEST_F(StoresTogetherTest, BothStoresAnswerByteForByteAlike) {
    DirectoryProcess lite;
    DirectoryProcess pg;
    ASSERT_TRUE(lite.start(dir_ + "/d.sqlite"));
    std::string uri = postgres();
    ASSERT_TRUE(pg.start(uri));
    auto script = communityScript();
    for (std::size_t i = 0; i < script.size(); ++i) {
        if (script[i].rfind("listcoman", 0) == 0) {
            organise(dir_ + "/d.sqlite");
            organise(uri);
        }
        auto a = get(lite.port(), script[i]);
        auto b = get(pg.port(), script[i]);
        EXPECT_NE(a.status, 0) << script[i];
        EXPECT_EQ(a.raw, b.raw) << "request " << i << ": " << script[i];
    }
    std::string usersA, usersB;
    EXPECT_EQ(DirectoryProcess::admin(dir_ + "/d.sqlite", {"list-users"}, &usersA), 0);
    EXPECT_EQ(DirectoryProcess::admin(uri, {"list-users"}, &usersB), 0);
    EXPECT_EQ(usersA, usersB);
    EXPECT_NE(usersA.find("acme/x normal"), std::string::npos);
}

// Export and import: a community moves from SQLite to PostgreSQL and back, and every answer of
// every copy is the original's.
TEST_F(StoresTogetherTest, CommunityMovesBetweenStores) {
    std::string original = dir_ + "/original.sqlite";
    std::vector<std::string> reads;
    {
        DirectoryProcess server;
        ASSERT_TRUE(server.start(original));
        for (const auto& q : communityScript()) {
            if (q.rfind("listcoman", 0) == 0) organise(original);
            if (q.find("list") != std::string::npos || q.find("gethost") != std::string::npos ||
                q.find("getsign") != std::string::npos) {
                reads.push_back(q);
            }
            get(server.port(), q);
        }
        ASSERT_EQ(server.stop(), 0);
    }
    reads.push_back("gethost.asp?url=ann");
    std::string uri = postgres();
    std::string back = dir_ + "/back.sqlite";
    auto copy = [](const std::string& from, const std::string& to, std::string* out) {
        return DirectoryProcess::run({"copy", "--db", from, "--to", to}, out);
    };
    std::string said;
    ASSERT_EQ(copy(original, uri, &said), 0) << said;
    EXPECT_NE(said.find("copied 5 accounts"), std::string::npos) << said;
    ASSERT_EQ(copy(uri, "sqlite:" + back, &said), 0) << said;
    // A copy never mixes two communities.
    EXPECT_NE(copy(original, uri, &said), 0);

    DirectoryProcess a, b, c;
    ASSERT_TRUE(a.start(original));
    ASSERT_TRUE(b.start(uri));
    ASSERT_TRUE(c.start("sqlite:" + back));
    for (const auto& q : reads) {
        auto first = get(a.port(), q);
        EXPECT_EQ(first.raw, get(b.port(), q).raw) << q;
        EXPECT_EQ(first.raw, get(c.port(), q).raw) << q;
    }
    // Passwords moved with their hashes.
    for (DirectoryProcess* p : {&a, &b, &c}) {
        EXPECT_EQ(get(p->port(), "login.asp?name=cy&leibie=0&passwd=new&ip=2.2.2.2:1&testf=").body,
                  "Login OK");
        EXPECT_EQ(
            get(p->port(), "login.asp?name=acme/x&leibie=0&passwd=op&ip=2.2.2.2:1&testf=").body,
            "Login OK");
    }
}

// Two server processes on one database, as behind a load balancer: whichever process a client
// reaches, it sees what the other one was told.
TEST_F(StoresTogetherTest, TwoServersShareOneDatabase) {
    std::string uri = postgres();
    DirectoryProcess one, two;
    ASSERT_TRUE(one.start(uri));
    ASSERT_TRUE(two.start(uri));
    const int p1 = one.port(), p2 = two.port();
    ASSERT_EQ(get(p1, "insert.asp?name=ann&leibie=0&passwd=a&main=c&oldpasswd=").body, "Reg OK");
    ASSERT_EQ(get(p2, "insert.asp?name=bob&leibie=0&passwd=b&main=c&oldpasswd=").body, "Reg OK");
    EXPECT_EQ(get(p1, "insert.asp?name=BOB&leibie=0&passwd=x&main=c&oldpasswd=").body, "Reg Error");

    // A login through one is seen by a lookup through the other within a second, also when both
    // have just answered the old address (each process may keep the addresses it looked up).
    auto seenWithinASecond = [](int port, const std::string& expected) {
        auto deadline = Clock::now() + std::chrono::seconds(1);
        std::string seen;
        while ((seen = get(port, "gethost.asp?url=ann").body) != expected &&
               Clock::now() < deadline) {
        }
        return seen;
    };
    std::string previous = "";
    for (int round = 0; round < 6; ++round) {
        std::string ip = "10.0.0." + std::to_string(round) + ":29998";
        int in = round % 2 ? p2 : p1;
        int out = round % 2 ? p1 : p2;
        for (int port : {p1, p2})
            ASSERT_EQ(get(port, "gethost.asp?url=ann").body, previous);
        ASSERT_EQ(
            get(in, "login.asp?name=ann&leibie=0&passwd=a&ip=" + ip + "&testf=", "127.0.0.2").body,
            "Login OK");
        EXPECT_EQ(get(in, "gethost.asp?url=ann").body, ip);
        EXPECT_EQ(seenWithinASecond(out, ip), ip) << "round " << round;
        previous = ip;
    }
    // Logging out through one empties the address for the other.
    ASSERT_EQ(get(p2, "exit.asp?name=ann&passwd=a").body, "Logout OK");
    EXPECT_EQ(seenWithinASecond(p1, ""), "");
    ASSERT_EQ(
        get(p1, "login.asp?name=ann&leibie=0&passwd=a&ip=10.0.0.9:1&testf=", "127.0.0.2").body,
        "Login OK");
    EXPECT_EQ(seenWithinASecond(p2, "10.0.0.9:1"), "10.0.0.9:1");
    ASSERT_EQ(
        get(p1, "login.asp?name=bob&leibie=0&passwd=b&ip=10.1.1.1:29998&testf=", "127.0.0.3").body,
        "Login OK");

    // Group flow, each step through the other process.
    EXPECT_EQ(get(p1, "insertgroup.asp?user=ann&passwd=a&group=g&intro=i&type=c&num=1").body,
              "Group OK");
    EXPECT_EQ(
        get(p2, "insertgroupman.asp?cruser=ann&passwd=&group=g&gmuser=bob&state=0", "127.0.0.3")
            .statusLine,
        "HTTP/1.1 200 New OK");
    EXPECT_EQ(
        get(p2, "insertgroupman.asp?cruser=ann&passwd=&group=g&gmuser=bob&state=5", "127.0.0.2")
            .status,
        403);  // ann's machine does not speak for bob, whichever process it reaches
    EXPECT_EQ(get(p1, "listgroupman.asp?cruser=ann&group=g&pro=N").body, "g\nann\n1\ng\nbob\n0\n");
    EXPECT_EQ(get(p2, "insertgroupman.asp?cruser=ann&passwd=a&group=g&gmuser=bob&state=1").status,
              200);
    EXPECT_EQ(get(p1, "listgroup1.asp?gmuser=bob").body, "ann\ng\n1\n");
    EXPECT_EQ(get(p2, "listgroup.asp?main=c").body, "ann|g|i|c|2|");
    EXPECT_EQ(
        get(p1, "insertgroupman.asp?cruser=ann&passwd=&group=g&gmuser=bob&state=5", "127.0.0.3")
            .status,
        200);
    EXPECT_EQ(get(p2, "listgroup1.asp?gmuser=bob").body, "ann\ng\n5\n");

    // Receipt flow: recorded through one, signed through the other, read through both.
    EXPECT_EQ(get(p2, "insertsign.asp?fn=ann&fnpasswd=a&jn=bob&sf=&sds=s&fh=&sdt=5").body,
              "Insert OK");
    EXPECT_EQ(
        get(p1, "updatesign.asp?fn=ann&fnp=&jn=bob&jnp=b&sdt=5&sgt=6&sgs=ok&op=", "127.0.0.3").body,
        "Update OK");
    const std::string expected = "ann|bob||s|ok||5|6|";
    EXPECT_EQ(get(p2, "getsignlist.asp?fn=ann&sdt=5&sign=Y", "127.0.0.3").body, expected);
    EXPECT_EQ(get(p1, "getsignlist.asp?fn=ann&sdt=0&sign=N", "127.0.0.2").body, expected);
    EXPECT_EQ(get(p2, "getsignlist.asp?fn=ann&sdt=0&sign=N", "127.0.0.4").body, "");
    EXPECT_EQ(get(p1, "updatesign.asp?fn=ann&fnp=a&jn=bob&jnp=&sdt=5&sgt=0&sgs=&op=d").body,
              "Update OK");
    EXPECT_EQ(get(p2, "getsignlist.asp?fn=ann&sdt=0&sign=N", "127.0.0.2").body, "");

    // The administrator's change through either store reaches both processes.
    EXPECT_EQ(DirectoryProcess::admin(uri, {"set-mode", "bob", "relay"}), 0);
    EXPECT_EQ(get(p2, "login.asp?name=bob&leibie=0&passwd=b&ip=1.1.1.1:1&testf=").body,
              "Connect OK");
    // One process stopping leaves the other serving.
    EXPECT_EQ(one.stop(), 0);
    EXPECT_EQ(get(p2, "gethost.asp?url=bob").body, "1.1.1.1:1");
}

INSTANTIATE_TEST_SUITE_P(Stores, DirectoryServerTest,
                         ::testing::Values(StoreKind::Sqlite, StoreKind::Postgres), storeName);

}  // namespace
}  // namespace orv::test

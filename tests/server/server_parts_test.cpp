// The server's parts in one process: value decoding, the pages called directly with a manual
// clock, and the HTTP front's promise that every answer leaves in a single write.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>

#include "server/check_queue.h"
#include "server/directory_harness.h"
#include "server/http_server.h"
#include "server/pg_cluster.h"
#include "server/query.h"
#include "server/service.h"

namespace orv::server {
namespace {

TEST(QueryTest, DecodesEncodedAndRawValues) {
    EXPECT_EQ(percentDecode("%61%20%62%2f%e9"), std::string("a b/\xe9"));
    EXPECT_EQ(percentDecode("%2F%E9"), std::string("/\xe9"));
    EXPECT_EQ(percentDecode("pass+word1"), std::string("pass+word1"));  // raw values stay raw
    EXPECT_EQ(percentDecode("\xb2\xe2"), std::string("\xb2\xe2"));
    EXPECT_FALSE(percentDecode("%"));
    EXPECT_FALSE(percentDecode("%6"));
    EXPECT_FALSE(percentDecode("%g1"));
    EXPECT_FALSE(percentDecode("a%00b"));
    EXPECT_EQ(percentEncode("a b/\xe9"), "%61%20%62%2f%e9");

    auto q = parseQuery("name=%61%62&leibie=0&passwd=x&testf=&&flag");
    ASSERT_TRUE(q);
    EXPECT_EQ(*q->find("NAME"), "ab");
    EXPECT_EQ(*q->find("testf"), "");
    EXPECT_EQ(*q->find("flag"), "");
    EXPECT_EQ(q->find("missing"), nullptr);
    EXPECT_FALSE(parseQuery("name=%zz"));

    EXPECT_EQ(splitTarget("/CHAT/Login.ASP?x=1").page, "login.asp");
    EXPECT_EQ(splitTarget("/CHAT/Login.ASP?x=1").query, "x=1");
    EXPECT_EQ(splitTarget("/chat/").page, "");
    EXPECT_EQ(splitTarget("/chat/a/login.asp").page, "");
    EXPECT_EQ(splitTarget("/login.asp").page, "");
}

TEST(QueryTest, StoredTextRules) {
    EXPECT_TRUE(isValidUserName("alice42", false));
    EXPECT_FALSE(isValidUserName("acme/sales", false));
    EXPECT_TRUE(isValidUserName("acme/sales", true));
    EXPECT_FALSE(isValidUserName("acme", true));
    EXPECT_FALSE(isValidUserName("/sales", true));
    EXPECT_FALSE(isValidUserName("a|b", false));
    EXPECT_FALSE(isValidUserName("a b", false));
    EXPECT_FALSE(isValidUserName("", false));
    EXPECT_TRUE(isValidListText("two\r\nlines", 100, true));
    EXPECT_FALSE(isValidListText("two\nlines", 100, false));
    EXPECT_FALSE(isValidListText("a|b", 100, true));
    // 億 is 0x83 0x7C: its second byte is the code of "|", the character is not.
    EXPECT_TRUE(isValidListText("\xd2\xbb\x83\x7c\xd4\xaa", 100, false));
    EXPECT_TRUE(isValidUserName("\x83\x7c", false));
    EXPECT_FALSE(isValidListText("\xd2\xbb|", 100, false));
    EXPECT_FALSE(isValidListText("\xff|", 100, false));
    EXPECT_EQ(organisationOf("acme/sales/x"), "acme/");
    EXPECT_EQ(organisationOf("plain"), "");
}

TEST(StoreLocationTest, NamesEitherStore) {
    EXPECT_EQ(parseStoreLocation("data/d.sqlite")->target, "data/d.sqlite");
    EXPECT_EQ(parseStoreLocation("data/d.sqlite")->kind, StoreLocation::Kind::Sqlite);
    EXPECT_EQ(parseStoreLocation("sqlite:/x/d.db")->target, "/x/d.db");
    EXPECT_FALSE(parseStoreLocation("sqlite:"));
    EXPECT_FALSE(parseStoreLocation(""));
    auto pg = parseStoreLocation("postgresql://orv@db:5432/directory");
    EXPECT_EQ(pg->kind, StoreLocation::Kind::Postgres);
    EXPECT_EQ(pg->target, "postgresql://orv@db:5432/directory");
    EXPECT_EQ(parseStoreLocation("postgres://h/d")->kind, StoreLocation::Kind::Postgres);
}

// One thread, held by a gate, so that the order of the waiting jobs shows.
TEST(CheckQueueTest, BoundsEachAddressAndTakesTurns) {
    CheckQueue queue(CheckQueueLimits{1, 3, 6});
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    bool held = false;
    std::vector<std::string> order;
    auto gate = [&] {
        std::unique_lock lock(mutex);
        held = true;
        changed.notify_all();
        changed.wait(lock, [&] { return open; });
    };
    auto job = [&](std::string name) {
        return [&, name] {
            std::lock_guard lock(mutex);
            order.push_back(name);
            changed.notify_all();
        };
    };
    ASSERT_TRUE(queue.submit("flood", gate));
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return held; }));
    }
    ASSERT_TRUE(queue.submit("flood", job("f1")));
    ASSERT_TRUE(queue.submit("flood", job("f2")));
    EXPECT_FALSE(queue.submit("flood", job("f3")));  // three waiting or running from there
    ASSERT_TRUE(queue.submit("a", job("a1")));
    ASSERT_TRUE(queue.submit("a", job("a2")));
    ASSERT_TRUE(queue.submit("b", job("b1")));
    EXPECT_FALSE(queue.submit("c", job("c1")));  // six in all
    {
        std::unique_lock lock(mutex);
        open = true;
        changed.notify_all();
        ASSERT_TRUE(
            changed.wait_for(lock, std::chrono::seconds(10), [&] { return order.size() == 5; }));
    }
    EXPECT_EQ(order, (std::vector<std::string>{"f1", "a1", "b1", "f2", "a2"}));
    EXPECT_TRUE(queue.submit("flood", job("f4")));  // room again
    queue.stop();
    EXPECT_FALSE(queue.submit("a", job("late")));
}

enum class StoreKind { Sqlite, Postgres };

class InProcessTest : public ::testing::TestWithParam<StoreKind> {
  protected:
    void SetUp() override {
        std::string tmpl = (std::filesystem::temp_directory_path() / "orv-srv-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        StoreLocation where{StoreLocation::Kind::Sqlite, dir_ + "/d.sqlite"};
        if (GetParam() == StoreKind::Postgres) {
            auto& pg = orv::test::PgCluster::shared();
            if (!pg.available()) {
                if (orv::test::PgCluster::required()) FAIL() << pg.error();
                GTEST_SKIP() << pg.error();
            }
            where = StoreLocation{StoreLocation::Kind::Postgres, pg.createDatabase()};
        }
        std::string error;
        stores_ = StorePool::open(where, 4, &error);
        ASSERT_TRUE(stores_) << error;
        service_ = std::make_unique<DirectoryService>(*stores_, hasher_, clock_);
    }
    void TearDown() override {
        server_.reset();
        service_.reset();
        stores_.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    Reply call(const std::string& page, const std::string& query) {
        auto params = parseQuery(query);
        EXPECT_TRUE(params) << query;
        return service_->handle(page, params ? *params : QueryParams{}, peer_);
    }

    std::string dir_;
    PasswordHasher hasher_{HashCost{8, 1}};
    ManualClock clock_{1'700'000'000};
    std::unique_ptr<StorePool> stores_;
    std::unique_ptr<DirectoryService> service_;
    std::unique_ptr<HttpServer> server_;
    std::string peer_ = "127.0.0.1";
};

TEST_P(InProcessTest, SignatureWithoutTimeTakesTheServersClock) {
    ASSERT_EQ(call("insert.asp", "name=s&passwd=1&oldpasswd=").body, "Reg OK");
    ASSERT_EQ(call("insert.asp", "name=r&passwd=2&oldpasswd=").body, "Reg OK");
    ASSERT_EQ(call("login.asp", "name=s&passwd=1&ip=9.9.9.9:1").body, "Login OK");
    ASSERT_EQ(call("insertsign.asp", "fn=s&fnpasswd=1&jn=r&sf=&sds=m&fh=&sdt=77").body,
              "Insert OK");
    clock_.advanceSeconds(3600);
    ASSERT_EQ(call("updatesign.asp", "fn=s&fnp=&jn=r&jnp=2&sdt=77&sgt=0&sgs=fine&op=").body,
              "Update OK");
    auto fields = orv::test::splitFields(call("getsignlist.asp", "fn=s&sdt=77&sign=Y").body, '|');
    ASSERT_EQ(fields.size(), 8u);
    EXPECT_EQ(fields[7], std::to_string(1'700'003'600));
    // Signing a record that was never requested is refused, not reported as done.
    EXPECT_EQ(call("updatesign.asp", "fn=s&fnp=&jn=r&jnp=2&sdt=78&sgt=5&sgs=x&op=").status, 403);
}

TEST_P(InProcessTest, EveryAnswerIsOneWrite) {
    std::mutex mutex;
    std::vector<std::pair<std::size_t, int>> writes;
    HttpServerOptions options;
    options.networkThreads = 2;
    options.workerThreads = 1;
    options.onReplyWritten = [&](std::size_t bytes, int calls) {
        std::lock_guard lock(mutex);
        writes.emplace_back(bytes, calls);
    };
    std::string error;
    server_ = HttpServer::start(*service_, options, &error);
    ASSERT_TRUE(server_) << error;
    const int port = server_->port();

    ASSERT_EQ(call("insert.asp", "name=w&passwd=p&oldpasswd=").body, "Reg OK");
    for (int i = 0; i < 60; ++i) {
        ASSERT_EQ(call("insertsign.asp", "fn=w&fnpasswd=p&jn=w&sf=" + std::string(100, 'f') +
                                             "&sds=s&fh=&sdt=" + std::to_string(i))
                      .status,
                  200);
    }
    std::vector<orv::test::Answer> answers = {
        orv::test::get(port, "login.asp?name=w&leibie=0&passwd=p&ip=9.9.9.9:1&testf="),
        orv::test::get(port, "gethost.asp?url=w"),
        orv::test::get(port, "gethost.asp?url=nobody"),
        orv::test::get(port, "insertgroupman.asp?cruser=w&passwd=p&group=g&gmuser=w&state=1"),
        orv::test::get(port, "getsignlist.asp?fn=w&sdt=0&sign=N"),  // about 7 KB
        orv::test::get(port, "nosuch.asp"),
        orv::test::exchangeRaw(port, "DELETE /chat/gethost.asp HTTP/1.1\r\n\r\n"),
    };
    EXPECT_EQ(answers[0].body, "Login OK");
    EXPECT_EQ(answers[3].statusLine, "HTTP/1.1 200 New OK");
    EXPECT_GT(answers[4].body.size(), 6000u);

    std::lock_guard lock(mutex);
    ASSERT_EQ(writes.size(), answers.size());
    for (std::size_t i = 0; i < answers.size(); ++i) {
        EXPECT_EQ(writes[i].second, 1) << "answer " << i;
        EXPECT_EQ(writes[i].first, answers[i].raw.size()) << "answer " << i;
    }
}

TEST(SqliteSchemaTest, UpgradesAndRefusesANewerOne) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "orv-srv-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    // A database of the first version, as the earlier program made it.
    std::string old = tmpl + "/v1.sqlite";
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(old.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE accounts(name TEXT NOT NULL PRIMARY KEY COLLATE NOCASE, "
                           "hash TEXT NOT NULL, mode INTEGER NOT NULL DEFAULT 0, language TEXT "
                           "NOT NULL DEFAULT '', address TEXT NOT NULL DEFAULT '', created "
                           "INTEGER NOT NULL DEFAULT 0);"
                           "CREATE TABLE dir_groups(x); CREATE TABLE memberships(x);"
                           "CREATE TABLE org_members(x); CREATE TABLE signs(x);"
                           "INSERT INTO accounts(name, hash, address) VALUES('Old', 'h', "
                           "'1.2.3.4:5'); PRAGMA user_version = 1;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    std::string error;
    auto store = openSqliteStore(old, &error);
    ASSERT_TRUE(store) << error;
    std::optional<Account> a;
    ASSERT_TRUE(store->findAccount("old", &a));
    ASSERT_TRUE(a);
    EXPECT_EQ(a->address, "1.2.3.4:5");
    EXPECT_EQ(a->loginPeer, "");
    store.reset();
    ASSERT_TRUE(openSqliteStore(old, &error));  // opening again changes nothing

    ASSERT_EQ(sqlite3_open(old.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version = 99", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    EXPECT_FALSE(openSqliteStore(old, &error));
    std::error_code ec;
    std::filesystem::remove_all(tmpl, ec);
}

TEST(PostgresSchemaTest, CreatedOnceAndANewerOneRefused) {
    auto& pg = orv::test::PgCluster::shared();
    if (!pg.available()) {
        if (orv::test::PgCluster::required()) FAIL() << pg.error();
        GTEST_SKIP() << pg.error();
    }
    std::string uri = pg.createDatabase();
    std::string error;
    ASSERT_TRUE(openPostgresStore(uri, &error)) << error;
    ASSERT_TRUE(openPostgresStore(uri, &error)) << error;  // found, not made again
    PGconn* conn = PQconnectdb(uri.c_str());
    ASSERT_EQ(PQstatus(conn), CONNECTION_OK);
    PGresult* r = PQexec(conn, "SELECT version FROM orv_schema");
    ASSERT_EQ(PQntuples(r), 1);
    EXPECT_EQ(std::string(PQgetvalue(r, 0, 0)), std::to_string(kSchemaVersion));
    PQclear(r);
    PQclear(PQexec(conn, "UPDATE orv_schema SET version = 99"));
    PQfinish(conn);
    EXPECT_FALSE(openPostgresStore(uri, &error));
    EXPECT_NE(error.find("newer"), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(Stores, InProcessTest,
                         ::testing::Values(StoreKind::Sqlite, StoreKind::Postgres),
                         [](const auto& info) {
                             return info.param == StoreKind::Sqlite ? "Sqlite" : "Postgres";
                         });

}  // namespace
}  // namespace orv::server

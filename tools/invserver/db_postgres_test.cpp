// The PostgreSQL backend against a real PostgreSQL server (started for the
// test in a temporary folder).
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/pgserver/pg_server.h"
#include "tools/invserver/db.h"
#include "tools/invserver/db_postgres.h"

namespace qv::invserver {
namespace {

TEST(PostgresText, PlaceholdersAndPasswords) {
    const struct {
        const char* in;
        const char* out;
    } numbered[] = {
        {"SELECT ? + ?", "SELECT $1 + $2"},
        {"SELECT '?', \"a?\", ? -- ?\n, ?", "SELECT '?', \"a?\", $1 -- ?\n, $2"},
        {"SELECT 'it''s ?', E'\\' ?', ? /* ? */", "SELECT 'it''s ?', E'\\' ?', $1 /* ? */"},
    };
    for (const auto& c : numbered) EXPECT_EQ(NumberPlaceholders(c.in), c.out) << c.in;
    const struct {
        const char* in;
        const char* out;
    } hidden[] = {
        {"postgresql://inv:secret@db:5432/store", "postgresql://inv@db:5432/store"},
        {"postgresql://db/store?user=inv&password=secret&sslmode=off",
         "postgresql://db/store?user=inv&password=***&sslmode=off"},
        {"host=db password=secret dbname=store", "host=db password=*** dbname=store"},
        {"postgresql://db:5432/store", "postgresql://db:5432/store"},
    };
    for (const auto& c : hidden) EXPECT_EQ(HidePassword(c.in), c.out) << c.in;
}

class Postgres : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server_ = new pgtest::PostgresServer(); }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(server_->ok()) << server_->error(); }
    std::unique_ptr<Database> Open(const std::string& name) {
        EXPECT_TRUE(server_->CreateDatabase(name));
        std::string err;
        auto db = OpenDatabase(server_->Uri(name), &err);
        EXPECT_TRUE(db) << err;
        return db;
    }
    static pgtest::PostgresServer* server_;
};
pgtest::PostgresServer* Postgres::server_ = nullptr;

// Bytes of any code page and blobs with zeros come back as they went in;
// numbers, NULLs and the row callback's early stop behave as with SQLite.
TEST_F(Postgres, ValuesRoundTrip) {
    auto db = Open("values");
    ASSERT_TRUE(db);
    EXPECT_EQ(db->backend(), DbBackend::Postgres);
    ASSERT_TRUE(db->Exec(std::string("CREATE TABLE t (id BIGINT, n INTEGER, s TEXT, b ") + db->BlobType() + ")"))
        << db->error();
    std::string ansi;
    for (int c = 1; c < 256; ++c) ansi += static_cast<char>(c);
    const std::string blob("a\0b\xff\r\n", 6);
    ASSERT_TRUE(db->Exec("INSERT INTO t VALUES (?, ?, ?, ?)",
                         {DbValue::Int(-(1LL << 40)), DbValue::Int(-7), DbValue::Text(ansi), DbValue::Blob(blob)}))
        << db->error();
    ASSERT_TRUE(db->Exec("INSERT INTO t VALUES (?, ?, ?, ?)",
                         {DbValue::Int(2), DbValue::Null(), DbValue::Text("x?'"), DbValue::Null()}));
    std::vector<DbRow> rows;
    ASSERT_TRUE(db->QueryRows("SELECT id, n, s, b, COUNT(*) OVER () FROM t WHERE s <> '?' ORDER BY id", {}, &rows));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][0].AsInt(), -(1LL << 40));
    EXPECT_EQ(rows[0][1].AsInt(), -7);
    EXPECT_EQ(rows[0][2].AsText(), ansi);
    EXPECT_EQ(rows[0][3].type, DbValue::Type::Blob);
    EXPECT_EQ(rows[0][3].AsText(), blob);
    EXPECT_EQ(rows[0][4].AsInt(), 2);
    EXPECT_TRUE(rows[1][1].is_null());
    EXPECT_TRUE(rows[1][3].is_null());
    EXPECT_EQ(rows[1][2].AsText(), "x?'");
    std::int64_t id = 0;
    ASSERT_TRUE(db->QueryInt("SELECT id FROM t WHERE LOWER(s) LIKE LOWER(?) ESCAPE '\\'", {DbValue::Text("X%")}, &id));
    EXPECT_EQ(id, 2);
    int seen = 0;
    EXPECT_TRUE(db->Query("SELECT id FROM t", {}, [&](const DbRow&) { return ++seen < 1; }));
    EXPECT_EQ(seen, 1);
    EXPECT_FALSE(db->Exec("SELECT nosuchcolumn FROM t"));
    EXPECT_NE(db->error().find("nosuchcolumn"), std::string::npos) << db->error();
}

// A transaction in which a statement failed is not committed, and the
// commit says so; a database that went away and came back is reconnected
// to between transactions.
TEST_F(Postgres, FailedTransactionsAndRestarts) {
    auto db = Open("tx");
    ASSERT_TRUE(db);
    ASSERT_TRUE(db->Exec("CREATE TABLE t (id BIGINT PRIMARY KEY)"));
    // Statements of a transaction are sent ahead: a failure shows at the
    // next query or at the commit at the latest.
    ASSERT_TRUE(db->Begin());
    ASSERT_TRUE(db->Exec("INSERT INTO t VALUES (1)"));
    db->Exec("INSERT INTO t VALUES (1)");
    std::int64_t n = -1;
    EXPECT_FALSE(db->QueryInt("SELECT COUNT(*) FROM t", {}, &n));
    EXPECT_FALSE(db->Commit());
    EXPECT_NE(db->error().find("duplicate key"), std::string::npos) << db->error();
    EXPECT_TRUE(db->Rollback());
    ASSERT_TRUE(db->Begin());
    db->Exec("INSERT INTO t VALUES (1)");
    db->Exec("INSERT INTO t VALUES (1)");
    EXPECT_FALSE(db->Commit());
    db->Rollback();
    ASSERT_TRUE(db->QueryInt("SELECT COUNT(*) FROM t", {}, &n));
    EXPECT_EQ(n, 0);

    // Statements of many rows are prepared once per connection; one whose
    // preparation a failure skipped is prepared again by the next transaction.
    std::string many = "INSERT INTO t VALUES (?)";
    for (int i = 1; i < 50; ++i) many += ", (?)";
    auto rows_from = [](int base) {
        DbParams p;
        for (int i = 0; i < 50; ++i) p.push_back(DbValue::Int(base + i));
        return p;
    };
    ASSERT_TRUE(db->Begin());
    db->Exec("INSERT INTO t VALUES (1)");
    db->Exec("INSERT INTO t VALUES (1)");
    db->Exec(many, rows_from(100));
    EXPECT_FALSE(db->Commit());
    db->Rollback();
    for (int base : {200, 300}) {
        ASSERT_TRUE(db->Begin());
        EXPECT_TRUE(db->Exec(many, rows_from(base)));
        EXPECT_TRUE(db->Commit()) << db->error();
    }
    ASSERT_TRUE(db->QueryInt("SELECT COUNT(*) FROM t", {}, &n));
    EXPECT_EQ(n, 100);
    ASSERT_TRUE(db->Exec("DELETE FROM t"));

    ASSERT_TRUE(db->Begin());
    ASSERT_TRUE(db->Exec("INSERT INTO t VALUES (2)"));
    ASSERT_TRUE(server_->Stop());
    db->Exec("INSERT INTO t VALUES (3)");
    EXPECT_FALSE(db->Commit());
    EXPECT_FALSE(db->error().empty());
    db->Rollback();
    EXPECT_FALSE(db->Exec("INSERT INTO t VALUES (5)"));
    EXPECT_EQ(db->error().find('\n'), std::string::npos) << db->error();   // one log line
    ASSERT_TRUE(server_->Start()) << server_->error();
    ASSERT_TRUE(db->Exec("INSERT INTO t VALUES (4)")) << db->error();
    std::vector<DbRow> rows;
    ASSERT_TRUE(db->QueryRows("SELECT id FROM t ORDER BY id", {}, &rows));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0].AsInt(), 4);
}

// Servers starting together on a new store all find its tables made: none
// fails on another's CREATE ... IF NOT EXISTS.
TEST_F(Postgres, ServersCreateTheSchemaTogether) {
    ASSERT_TRUE(server_->CreateDatabase("together"));
    constexpr int kServers = 8;
    for (int round = 0; round < 4; ++round) {
        std::vector<std::unique_ptr<Database>> dbs;
        std::string err;
        for (int i = 0; i < kServers; ++i) {
            dbs.push_back(OpenDatabase(server_->Uri("together"), &err));
            ASSERT_TRUE(dbs.back()) << err;
        }
        std::vector<std::thread> threads;
        std::vector<std::string> errors(kServers);
        const std::string table = "t" + std::to_string(round);
        for (int i = 0; i < kServers; ++i)
            threads.emplace_back([&, i] {
                if (!dbs[i]->Exec("CREATE TABLE IF NOT EXISTS " + table + " (id BIGINT)") ||
                    !dbs[i]->Exec("CREATE INDEX IF NOT EXISTS " + table + "_id ON " + table + " (id)"))
                    errors[i] = dbs[i]->error();
            });
        for (auto& t : threads) t.join();
        for (const std::string& e : errors) EXPECT_EQ(e, "");
    }
}

// A database whose encoding would reject some of the scanners' texts is
// refused at once, with what to do instead.
TEST_F(Postgres, RefusesDatabaseOfAnotherEncoding) {
    ASSERT_TRUE(server_->CreateDatabase("utf8db", "UTF8"));
    std::string err;
    EXPECT_FALSE(OpenDatabase(server_->Uri("utf8db"), &err));
    EXPECT_NE(err.find("SQL_ASCII"), std::string::npos) << err;
    EXPECT_FALSE(OpenDatabase(server_->Uri("nosuchdb"), &err));
    EXPECT_NE(err.find("nosuchdb"), std::string::npos) << err;
}

}  // namespace
}  // namespace qv::invserver

// The SQLite backend of the store's connection (db.h).
#include <sqlite3.h>

#include <unordered_map>

#include "tools/invserver/db.h"

namespace qv::invserver {
namespace {

// How long a statement waits for another process's write lock (a query run
// while the server stores) before it fails with "database is locked".
constexpr int kBusyTimeoutMs = 2000;
// Prepared statements kept for reuse (the store runs the same few again and
// again); beyond this many, a statement is prepared for its one use.
constexpr std::size_t kStatementCacheMax = 64;

class SqliteDatabase final : public Database {
public:
    SqliteDatabase(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}
    ~SqliteDatabase() override {
        for (auto& [sql, cached] : cache_) sqlite3_finalize(cached.st);
        sqlite3_close_v2(db_);
    }

    DbBackend backend() const override { return DbBackend::Sqlite; }
    const char* BlobType() const override { return "BLOB"; }
    std::string where() const override { return path_; }

    bool Exec(const std::string& sql, const DbParams& params) override {
        return Query(sql, params, [](const DbRow&) { return true; });
    }

    bool Query(const std::string& sql, const DbParams& params,
               const std::function<bool(const DbRow&)>& on_row) override {
        // A cached statement, unless it is running already (a query made
        // from another's row callback).
        sqlite3_stmt* st = nullptr;
        Cached* cached = nullptr;
        auto it = cache_.find(sql);
        if (it != cache_.end() && !it->second.busy) {
            cached = &it->second;
            st = cached->st;
        } else {
            if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &st, nullptr) != SQLITE_OK)
                return Fail();
            if (it == cache_.end() && cache_.size() < kStatementCacheMax) cached = &(cache_[sql] = Cached{st, false});
        }
        struct Release {
            sqlite3_stmt* st;
            Cached* cached;
            ~Release() {
                if (!cached) {
                    sqlite3_finalize(st);
                    return;
                }
                sqlite3_reset(st);
                sqlite3_clear_bindings(st);
                cached->busy = false;
            }
        } guard{st, cached};
        if (cached) cached->busy = true;
        if (static_cast<std::size_t>(sqlite3_bind_parameter_count(st)) != params.size()) {
            error_ = "statement takes " + std::to_string(sqlite3_bind_parameter_count(st)) +
                     " parameter(s), given " + std::to_string(params.size());
            return false;
        }
        for (std::size_t k = 0; k < params.size(); ++k) {
            const DbValue& v = params[k];
            const int at = static_cast<int>(k + 1);
            int rc = SQLITE_OK;
            switch (v.type) {
            case DbValue::Type::Null: rc = sqlite3_bind_null(st, at); break;
            case DbValue::Type::Int: rc = sqlite3_bind_int64(st, at, v.i); break;
            case DbValue::Type::Text:
                rc = sqlite3_bind_text64(st, at, v.s.data(), v.s.size(), SQLITE_STATIC, SQLITE_UTF8);
                break;
            case DbValue::Type::Blob:
                // A zero-length blob is bound as one, not as NULL.
                rc = v.s.empty() ? sqlite3_bind_zeroblob(st, at, 0)
                                 : sqlite3_bind_blob64(st, at, v.s.data(), v.s.size(), SQLITE_STATIC);
                break;
            }
            if (rc != SQLITE_OK) return Fail();
        }
        DbRow row;
        for (;;) {
            const int rc = sqlite3_step(st);
            if (rc == SQLITE_DONE) return true;
            if (rc != SQLITE_ROW) return Fail();
            const int n = sqlite3_column_count(st);
            row.assign(static_cast<std::size_t>(n), DbValue{});
            for (int c = 0; c < n; ++c) {
                DbValue& v = row[static_cast<std::size_t>(c)];
                switch (sqlite3_column_type(st, c)) {
                case SQLITE_NULL: break;
                case SQLITE_INTEGER: v = DbValue::Int(sqlite3_column_int64(st, c)); break;
                case SQLITE_BLOB: {
                    const void* p = sqlite3_column_blob(st, c);
                    v = DbValue::Blob(p ? std::string(static_cast<const char*>(p),
                                                      static_cast<std::size_t>(sqlite3_column_bytes(st, c)))
                                        : std::string());
                    break;
                }
                default: {
                    const unsigned char* p = sqlite3_column_text(st, c);
                    v = DbValue::Text(p ? std::string(reinterpret_cast<const char*>(p),
                                                      static_cast<std::size_t>(sqlite3_column_bytes(st, c)))
                                        : std::string());
                }
                }
            }
            if (!on_row(row)) return true;
        }
    }

    // IMMEDIATE: the write lock is taken at once, so two writers wait for
    // each other at the start instead of one failing midway.
    bool Begin() override { return Exec("BEGIN IMMEDIATE", {}); }
    bool Commit() override { return Exec("COMMIT", {}); }
    bool Rollback() override { return Exec("ROLLBACK", {}); }
    const std::string& error() const override { return error_; }

private:
    bool Fail() {
        error_ = sqlite3_errmsg(db_);
        return false;
    }

    struct Cached {
        sqlite3_stmt* st;
        bool busy;
    };
    sqlite3* db_;
    std::unordered_map<std::string, Cached> cache_;
    std::string path_;
    std::string error_;
};

}  // namespace

std::unique_ptr<Database> OpenSqlite(const std::string& path, std::string* err) {
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        *err = "cannot open " + path + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close_v2(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    auto out = std::make_unique<SqliteDatabase>(db, path);
    // Write-ahead log: queries read while the server writes; a commit is
    // on disk before the last packet is acknowledged (synchronous FULL).
    if (!out->Exec("PRAGMA foreign_keys = ON", {}) || !out->Exec("PRAGMA journal_mode = WAL", {}) ||
        !out->Exec("PRAGMA synchronous = FULL", {})) {
        *err = "cannot open " + path + ": " + out->error();
        return nullptr;
    }
    return out;
}

}  // namespace qv::invserver

// The inventory store's database connection: one small interface that the
// SQLite backend (the default, a file) and the PostgreSQL backend (a
// "postgresql://" connection string, for several servers sharing one store)
// both implement, so the schema, the storing and the queries are written once.
//
// SQL written for it stays portable between the two: INTEGER/BIGINT, TEXT and
// the blob type the connection names (BlobType()); "INSERT ... RETURNING id"
// for new keys; LOWER(x) LIKE LOWER(?) ESCAPE '\' for case-blind matching.
// Parameters are written "?" and numbered by position (the PostgreSQL
// backend rewrites them to $1..$n, skipping quoted literals).
//
// Texts are byte strings, stored and returned unchanged: the scanner's items
// are in the Windows code page of its machine, not necessarily UTF-8, and the
// flat inventory must be rebuilt byte for byte. (A PostgreSQL store therefore
// lives in a SQL_ASCII database, which keeps any byte but zero; item texts
// never hold a zero byte, and captured file contents go into blobs.)
//
// No call throws. A call that fails returns false and leaves the database's
// own message in error(); after a failed statement inside a transaction the
// caller rolls back.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qv::invserver {

// A parameter or a column of a result row.
struct DbValue {
    enum class Type { Null, Int, Text, Blob };
    Type type = Type::Null;
    std::int64_t i = 0;
    std::string s;                     // the text or the blob's bytes

    static DbValue Null() { return {}; }
    static DbValue Int(std::int64_t v) { return {Type::Int, v, {}}; }
    static DbValue Text(std::string v) { return {Type::Text, 0, std::move(v)}; }
    static DbValue Blob(std::string v) { return {Type::Blob, 0, std::move(v)}; }

    bool is_null() const { return type == Type::Null; }
    // The value as a number: an Int as it is, a Text by its decimal digits
    // (backends that return every column as text), 0 for NULL.
    std::int64_t AsInt() const;
    // The value as bytes: a Text or Blob as it is, an Int in decimal, "" for NULL.
    std::string AsText() const;
};

using DbParams = std::vector<DbValue>;
using DbRow = std::vector<DbValue>;

enum class DbBackend { Sqlite, Postgres };

class Database {
public:
    virtual ~Database() = default;

    virtual DbBackend backend() const = 0;
    // The column type for raw bytes: "BLOB" (SQLite) or "BYTEA" (PostgreSQL).
    virtual const char* BlobType() const = 0;
    // Where it was opened (a path, or the connection string without its password).
    virtual std::string where() const = 0;

    // One statement, its "?" parameters bound by position.
    virtual bool Exec(const std::string& sql, const DbParams& params = {}) = 0;
    // One query: on_row is called for each result row, in order, and stops
    // the query by returning false (that is not a failure).
    virtual bool Query(const std::string& sql, const DbParams& params,
                       const std::function<bool(const DbRow&)>& on_row) = 0;
    // The same, collecting every row.
    bool QueryRows(const std::string& sql, const DbParams& params, std::vector<DbRow>* rows);
    // The first column of the first row; false when the query fails or
    // returns no row.
    bool QueryInt(const std::string& sql, const DbParams& params, std::int64_t* out);

    virtual bool Begin() = 0;
    virtual bool Commit() = 0;
    virtual bool Rollback() = 0;

    // The last failure's message (the database's own words), "" before any.
    virtual const std::string& error() const = 0;
};

// Opens the store named by `where`: a "postgresql://" or "postgres://"
// connection string selects PostgreSQL, anything else is the path of a SQLite
// file (created when missing). Null, with the reason in *err, when it cannot
// be opened.
std::unique_ptr<Database> OpenDatabase(const std::string& where, std::string* err);

// The SQLite backend itself (OpenDatabase picks it for a path).
std::unique_ptr<Database> OpenSqlite(const std::string& path, std::string* err);

// True when `where` names a PostgreSQL store rather than a file.
bool IsPostgresLocation(const std::string& where);

}  // namespace qv::invserver

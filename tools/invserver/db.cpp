// What both database backends share, and the choice between them (db.h).
#include "tools/invserver/db.h"

#include <cstdlib>

#include "tools/invserver/db_postgres.h"

namespace qv::invserver {

std::int64_t DbValue::AsInt() const {
    if (type == Type::Int) return i;
    if (type == Type::Text) return std::strtoll(s.c_str(), nullptr, 10);
    return 0;
}

std::string DbValue::AsText() const {
    if (type == Type::Int) return std::to_string(i);
    return s;
}

bool Database::QueryRows(const std::string& sql, const DbParams& params, std::vector<DbRow>* rows) {
    return Query(sql, params, [rows](const DbRow& row) {
        rows->push_back(row);
        return true;
    });
}

bool Database::QueryInt(const std::string& sql, const DbParams& params, std::int64_t* out) {
    bool found = false;
    const bool ok = Query(sql, params, [&](const DbRow& row) {
        found = !row.empty();
        if (found) *out = row[0].AsInt();
        return false;
    });
    return ok && found;
}

bool IsPostgresLocation(const std::string& where) {
    return where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0;
}

std::unique_ptr<Database> OpenDatabase(const std::string& where, std::string* err) {
    if (IsPostgresLocation(where)) return OpenPostgres(where, err);
    return OpenSqlite(where, err);
}

}  // namespace qv::invserver

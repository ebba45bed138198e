// The PostgreSQL backend of the inventory store (db.h), over libpq.
//
// Several inventory servers may share one PostgreSQL store, each with its own
// connection. Texts are bytes: the connection speaks SQL_ASCII, and a store
// whose database has another encoding is refused when it is opened (such a
// database would reject item texts that are not valid in its encoding, and an
// inventory would be lost at the first one), with the command that makes a
// suitable database.
//
// A connection that breaks (the database restarted, or went down and came
// back) is re-established at the next statement outside a transaction; a
// statement inside a transaction fails instead, so that its caller rolls back
// and stores the inventory again later, whole.
#pragma once

#include <memory>
#include <string>

#include "tools/invserver/db.h"

namespace qv::invserver {

// Opens a connection from a "postgresql://" (or "postgres://") URI or a
// libpq "key=value" string. Null, with the reason in *err, when it fails.
std::unique_ptr<Database> OpenPostgres(const std::string& where, std::string* err);

// "?" placeholders numbered "$1", "$2", ... in order; those inside quoted
// literals, quoted identifiers and comments are left alone.
std::string NumberPlaceholders(const std::string& sql);

// The connection text without its password, for log lines and messages.
std::string HidePassword(const std::string& where);

}  // namespace qv::invserver

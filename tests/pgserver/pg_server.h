// A throw-away PostgreSQL server for tests and benchmarks.
//
// Runs Debian's PostgreSQL binaries (/usr/lib/postgresql/<version>/bin, or
// the folder in QV_PG_BIN): a new cluster in a temporary folder (its unix
// socket there too), SQL_ASCII and the C locale like the stores the inventory
// server makes, trusting local connections, listening on 127.0.0.1 at a free
// port. The server refuses to run as root, so when the test runs as root the
// cluster belongs to the unprivileged user "nobody" and every PostgreSQL
// program is started as that user (setpriv). Stop() and Start() let a test
// take the database away and bring it back; the destructor stops it and
// removes the folder.
#pragma once

#include <string>
#include <vector>

namespace qv::pgtest {

class PostgresServer {
public:
    // `durable`: keep PostgreSQL's own writes to disk (fsync) for measurements;
    // tests run without them.
    explicit PostgresServer(bool durable = false);
    ~PostgresServer();
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    // False (with the reason in error()) when the server could not be set up,
    // for instance because PostgreSQL is not installed.
    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    int port() const { return port_; }

    // A new, empty database (of the cluster's encoding SQL_ASCII, or the one
    // given); false when it cannot be made.
    bool CreateDatabase(const std::string& name, const std::string& encoding = "");
    // The connection string of a database of this server.
    std::string Uri(const std::string& database) const;
    // Stops the server (fast shutdown: sessions are ended) or starts it again.
    bool Stop();
    bool Start();
    // The server's own log, for failure messages.
    std::string Log() const;

private:
    // Runs a PostgreSQL program as the cluster's owner; false unless it exits 0.
    bool Run(const std::string& program, const std::vector<std::string>& args);

    bool ok_ = false, running_ = false, durable_;
    bool as_nobody_ = false;
    int port_ = 0;
    std::string bin_, dir_, error_;
};

}  // namespace qv::pgtest

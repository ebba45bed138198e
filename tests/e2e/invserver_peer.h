// The inventory server (tools/invserver) as a peer of the end-to-end tests.
//
// Starts the server on a free loopback UDP port with storage of its own,
// waits until its store is there, and stops it at the end, keeping what it
// logged. What it stored is read from its store (tools/invserver/store.h). Extra options inject faults (dropped acknowledgements, another
// version, disagreeing copies).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/wine_run.h"
#include "tools/invserver/store.h"

namespace qv::e2e {

class InventoryServer {
public:
    explicit InventoryServer(std::vector<std::string> extra = {}, int port = 0);
    ~InventoryServer();
    InventoryServer(const InventoryServer&) = delete;
    InventoryServer& operator=(const InventoryServer&) = delete;

    int port() const { return port_; }
    const std::string& storage() const { return storage_; }
    // A connection of the test's own to the server's store.
    std::unique_ptr<invserver::Store> OpenStore() const;
    // The latest inventory of one device ("dev-000000000001", ...) as the
    // scanner's flat file, rebuilt from the store (empty when none).
    std::string Stored(const std::string& device) const;
    // The latest inventory stored for any device (empty when none).
    std::string StoredInventory() const;
    // Stops the server and returns what it logged.
    std::string Log();

private:
    int port_;
    std::string storage_, log_;
    std::string where_;   // the store: --database when given, else the file in the storage folder
    std::unique_ptr<Process> proc_;
};

}  // namespace qv::e2e

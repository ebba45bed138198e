#include "tests/e2e/invserver_peer.h"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace qv::e2e {

InventoryServer::InventoryServer(std::vector<std::string> extra, int port) {
    port_ = port ? port : FreeUdpPort();
    storage_ = "/tmp/qv-invserver-" + std::to_string(::getpid()) + "-" + std::to_string(port_);
    RemoveTree(storage_);
    std::vector<std::string> argv = {HostBinDir() + "/invserver", "--address=127.0.0.1",
                                     "--port=" + std::to_string(port_), "--storage=" + storage_, "--seed=11"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    where_ = storage_ + "/" + invserver::kDefaultDatabaseName;
    for (const std::string& e : extra)
        if (e.rfind("--database=", 0) == 0) where_ = e.substr(11);
    proc_ = Spawn(argv);
    // The store is made once the socket is bound; opening it waits for the
    // server to finish making it. A database server's store has no file to
    // wait for: the bound socket keeps what arrives while the store is made.
    const bool file = !invserver::IsPostgresLocation(where_);
    for (int i = 0; i < 250 && (file ? !FileExists(where_) : PortFree(SOCK_DGRAM, static_cast<uint16_t>(port_))); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (file) OpenStore();
}

std::unique_ptr<invserver::Store> InventoryServer::OpenStore() const {
    std::string err;
    return invserver::Store::Open(where_, &err);
}

std::string InventoryServer::Stored(const std::string& device) const {
    std::string flat;
    if (auto store = OpenStore())
        if (const std::int64_t id = store->LatestInventory(device)) store->RebuildFlat(id, &flat);
    return flat;
}

InventoryServer::~InventoryServer() {
    if (proc_) proc_->Stop();
    RemoveTree(storage_);
}

std::string InventoryServer::StoredInventory() const {
    std::string flat;
    std::int64_t id = 0;
    if (auto store = OpenStore())
        if (store->db().QueryInt("SELECT MAX(id) FROM inventories", {}, &id) && id) store->RebuildFlat(id, &flat);
    return flat;
}

std::string InventoryServer::Log() {
    if (proc_) {
        log_ = proc_->Stop().out;
        proc_.reset();
    }
    return log_;
}

}  // namespace qv::e2e

#include "tests/e2e/invserver_peer.h"

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace qv::e2e {

InventoryServer::InventoryServer(std::vector<std::string> extra, int port) {
    port_ = port ? port : FreeUdpPort();
    storage_ = "/tmp/qv-invserver-" + std::to_string(::getpid()) + "-" + std::to_string(port_);
    RemoveTree(storage_);
    std::vector<std::string> argv = {HostBinDir() + "/invserver", "--address=127.0.0.1",
                                     "--port=" + std::to_string(port_), "--storage=" + storage_, "--seed=11"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    proc_ = Spawn(argv);
    // The storage folder appears once the socket is bound.
    for (int i = 0; i < 100 && !FileExists(storage_); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

InventoryServer::~InventoryServer() {
    if (proc_) proc_->Stop();
    RemoveTree(storage_);
}

std::string InventoryServer::StoredInventory() const {
    std::error_code ec;
    for (const auto& dev : std::filesystem::directory_iterator(storage_, ec)) {
        std::string file = dev.path().string() + "/inventory.txt";
        if (FileExists(file)) return ReadFile(file);
    }
    return {};
}

std::string InventoryServer::Log() {
    if (proc_) {
        log_ = proc_->Stop().out;
        proc_.reset();
    }
    return log_;
}

}  // namespace qv::e2e

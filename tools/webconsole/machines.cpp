#include "tools/webconsole/machines.h"

namespace qv::web {

AgentSession::AgentSession(std::string address, const ConsoleSettings& settings)
    : address_(std::move(address)), settings_(settings) {}
AgentSession::~AgentSession() { End(); }
bool AgentSession::Ensure(Failure* f) { return Connected(f); }
bool AgentSession::Allowed(uint32_t, const std::string&, Failure* f) { return Ensure(f); }
bool AgentSession::Exec(const std::string&, const std::string&, bool, Failure* f) { return Ensure(f); }
std::unique_ptr<link::Client> AgentSession::Connect(uint16_t, Failure* f) {
    *f = {"failed", "Not yet available."};
    return nullptr;
}
Failure AgentSession::FromOutcome(const std::string& what, const rcc::Outcome& o) { return {"failed", what + ": " + o.error}; }
rcc::RcClient* AgentSession::client() { return rc_.get(); }
bool AgentSession::Connected(Failure* f) {
    *f = {"failed", "Not yet available."};
    return false;
}
void AgentSession::End() { established_ = false; }
unsigned AgentSession::SessionSeconds() const { return 0; }
bool AgentSession::KeepAlive(Failure*) { return true; }
void AgentSession::Drop() { rc_.reset(); link_.reset(); verify_.reset(); established_ = false; }

Machine::Machine(std::string address, std::string label, const ConsoleSettings& settings)
    : address_(address), label_(std::move(label)), session_(address, settings), worker_([this] { Run(); }) {}
Machine::~Machine() { Shutdown(); }
std::string Machine::label() const { std::lock_guard<std::mutex> l(mu_); return label_; }
void Machine::Post(std::function<void(AgentSession&)> job) {
    std::lock_guard<std::mutex> l(mu_);
    if (!stop_) jobs_.push_back(std::move(job));
    cv_.notify_all();
}
nlohmann::json Machine::Describe() const { std::lock_guard<std::mutex> l(mu_); return described_; }
void Machine::SetDescription(nlohmann::json d) { std::lock_guard<std::mutex> l(mu_); described_ = std::move(d); }
void Machine::Shutdown() {
    { std::lock_guard<std::mutex> l(mu_); stop_ = true; jobs_.clear(); }
    cv_.notify_all();
    if (worker_.joinable()) worker_.join();
}
void Machine::Run() {
    std::unique_lock<std::mutex> l(mu_);
    while (true) {
        cv_.wait(l, [this] { return stop_ || !jobs_.empty(); });
        if (stop_) break;
        auto job = std::move(jobs_.front());
        jobs_.pop_front();
        l.unlock();
        job(session_);
        l.lock();
    }
}

std::shared_ptr<Machine> MachineList::Find(const std::string& address) {
    std::lock_guard<std::mutex> l(mu_);
    for (auto& m : machines_) if (m->address() == address) return m;
    return nullptr;
}
bool MachineList::Add(const std::string& address, const std::string& label, std::string*) {
    std::lock_guard<std::mutex> l(mu_);
    machines_.push_back(std::make_shared<Machine>(address, label, settings_));
    return true;
}
bool MachineList::Remove(const std::string&) { return false; }
std::vector<std::shared_ptr<Machine>> MachineList::All() const { std::lock_guard<std::mutex> l(mu_); return machines_; }
nlohmann::json MachineList::Describe() const { return nlohmann::json::array(); }
void MachineList::Clear() { std::lock_guard<std::mutex> l(mu_); machines_.clear(); }

bool ParseMachinesFile(const std::string&, const std::string&, std::vector<MachineEntry>*, std::string*) { return true; }
bool ValidAddress(const std::string& address) { return !address.empty(); }

}  // namespace qv::web

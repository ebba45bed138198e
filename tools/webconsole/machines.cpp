#include "tools/webconsole/machines.h"

#include <arpa/inet.h>

#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <iostream>
#include <sstream>

#include "libs/linkcore/internal.h"
#include "tools/ftconsole/console_key.h"
#include "tools/rcconsole/agent_ops.h"
#include "tools/rcconsole/rcproto.h"
#include "tools/webconsole/web_server.h"

namespace qv::web {
namespace {

using Clock = std::chrono::steady_clock;

// How often an idle worker looks whether its session needs validating.
constexpr auto kIdleCheck = std::chrono::milliseconds(100);
// How long a keep-alive validation waits for the agent's (failure) answer.
constexpr int kKeepAliveQuietMs = 500;
constexpr std::size_t kMaxAddress = 253;
constexpr std::size_t kMaxLabel = 100;

// Runs a job; one that throws (a malformed field it did not check, say) is
// reported here instead of ending the program.
void RunJob(const std::function<void(AgentSession&)>& job, AgentSession& s) {
    try {
        job(s);
    } catch (const std::exception& e) {
        std::cerr << "webconsole: a request for " << s.address() << " failed: " << e.what() << "\n";
    }
}

}  // namespace

// ---- AgentSession ----

AgentSession::AgentSession(std::string address, const ConsoleSettings& settings)
    : address_(std::move(address)), settings_(settings) {}

AgentSession::~AgentSession() { End(); }

std::unique_ptr<link::Client> AgentSession::Connect(uint16_t tcp_port, Failure* f) {
    if (Stopping()) {
        *f = {"failed", "The console no longer serves the machine at " + address_ + "."};
        return nullptr;
    }
    uint16_t real = 0;
    if (!link::OffsetPort(tcp_port, &real)) {
        *f = {"failed", "Port " + std::to_string(tcp_port) + " plus LINKCORE_PORT_OFFSET is out of range."};
        return nullptr;
    }
    std::string err;
    std::unique_ptr<link::Client> c = link::Client::ConnectTcp(address_, tcp_port, settings_.timeout_ms, &err);  // adds the offset itself
    if (c) return c;
    const int e = link::net::LastError();
    std::string why = err;
    if (err.rfind("connect failed", 0) == 0)
        why = e == ECONNREFUSED ? std::string("the connection was refused") : std::string(std::strerror(e));
    *f = {"no_reply", "The machine at " + address_ + " does not answer on port " + std::to_string(real) + " (" +
                          why + "); " + ftc::NoAnswerHint(!settings_.key_file.empty()) + "."};
    return nullptr;
}

bool AgentSession::Connected(Failure* f) {
    if (rc_) return true;
    verify_ = Connect(static_cast<uint16_t>(rc::kVerifyTcpPort), f);
    if (!verify_) return false;
    link_ = std::make_unique<ftc::ClientLink>(*verify_);
    rc_ = std::make_unique<rcc::RcClient>(*link_, settings_.timeout_ms);
    return true;
}

rcc::RcClient* AgentSession::client() { return rc_.get(); }

void AgentSession::Drop() {
    rc_.reset();
    link_.reset();
    verify_.reset();
    established_ = false;
    have_flags_ = false;
}

Failure AgentSession::FromOutcome(const std::string& what, const rcc::Outcome& o) {
    const rcc::Trouble t = rcc::TroubleOf(o);
    Failure f{rcc::TroubleName(t), rcc::FailureSentence(what, address_, o, settings_.timeout_ms,
                                                        !settings_.key_file.empty())};
    if (t == rcc::Trouble::kExpired) {
        established_ = false;
        have_flags_ = false;
    }
    if (!o.no_reply && t == rcc::Trouble::kNoReply) Drop();  // the connection broke
    return f;
}

bool AgentSession::Ensure(Failure* f) {
    if (!Connected(f)) return false;
    if (established_) return true;
    rcc::EstablishReply flags;
    const rcc::Outcome o = rc_->Establish(&flags);
    if (!o.ok) {
        *f = FromOutcome("establishing a session", o);
        return false;
    }
    established_ = true;
    established_at_ = last_validated_ = Clock::now();
    // "Already established" carries no flags: the ones read before stay.
    if (flags.status != rc::kStatusAlreadyEstablished) {
        flags_ = flags;
        have_flags_ = true;
    }
    return true;
}

bool AgentSession::flags(rcc::EstablishReply* out) const {
    if (!established_ || !have_flags_) return false;
    *out = flags_;
    return true;
}

bool AgentSession::Allowed(uint32_t permission_bit, const std::string& what, Failure* f) {
    if (!Ensure(f)) return false;
    last_validated_ = Clock::now();  // the command that follows validates the session
    if (!have_flags_ || (flags_.permissions & permission_bit)) return true;
    *f = {"refused", "The user of the machine at " + address_ + " does not allow " + what + "."};
    return false;
}

bool AgentSession::Exec(const std::string& program, const std::string& args, bool k_prefix, Failure* f) {
    // The agent takes the first word of "program arguments" as the program:
    // a path with blanks goes in quotes.
    const std::string quoted = rcc::QuotedWord(program);
    const std::string shown = (k_prefix ? "K" : "") + quoted;
    if (!Allowed(rcc::ExecPermission(shown), "starting " + shown, f)) return false;
    bool started = false;
    std::string why;
    const rcc::Outcome o =
        rcc::StartProgram(*rc_, quoted, args, k_prefix ? rc::kExecOptionKPrefix : uint8_t{0}, &started, &why);
    if (!o.ok) {
        *f = FromOutcome("starting " + shown, o);
        return false;
    }
    if (!started) {
        *f = {"failed", shown + " was not started on the machine at " + address_ + ": " + why + "."};
        return false;
    }
    return true;
}

void AgentSession::End() {
    if (!established_ || !rc_) return;
    rc_->End();  // answered only when the session was valid: silence is no failure
    established_ = false;
    have_flags_ = false;
}

unsigned AgentSession::SessionSeconds() const {
    if (!established_) return 0;
    return static_cast<unsigned>(
        std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - established_at_).count());
}

bool AgentSession::KeepAliveDue() const {
    return established_ && Clock::now() - last_validated_ >= std::chrono::milliseconds(settings_.keepalive_ms);
}

bool AgentSession::KeepAlive(Failure* f) {
    if (!established_ || !rc_) return true;
    const rcc::Outcome o = rc_->Validate(std::min(settings_.timeout_ms, kKeepAliveQuietMs));
    if (o.ok) {
        last_validated_ = Clock::now();
        return true;
    }
    const bool broken = rcc::TroubleOf(o) == rcc::Trouble::kNoReply;
    established_ = false;
    have_flags_ = false;
    *f = {"expired", "The session with the machine at " + address_ + " was lost (" + o.error +
                         "); the next request establishes a new one."};
    if (broken) Drop();
    return false;
}

// ---- Machine ----

struct Machine::State {
    State(std::string address, std::string label, const ConsoleSettings& settings)
        : label(std::move(label)), session(std::move(address), settings) {}
    mutable std::mutex mu;
    std::condition_variable cv;
    std::string label;
    nlohmann::json facts = nlohmann::json::object();
    std::deque<std::function<void(AgentSession&)>> jobs;
    bool stop = false;
    bool finished = false;
    AgentSession session;  // touched only by the worker (and its stop flag by anyone)

    void Run();
};

void Machine::State::Run() {
    std::unique_lock<std::mutex> l(mu);
    bool ended = false;
    for (;;) {
        if (jobs.empty() && stop) {
            if (ended) break;
            l.unlock();
            session.End();
            l.lock();
            ended = true;  // jobs posted meanwhile still run
            continue;
        }
        if (jobs.empty()) {
            cv.wait_for(l, kIdleCheck, [this] { return stop || !jobs.empty(); });
            if (jobs.empty() && !stop && session.KeepAliveDue()) {
                l.unlock();
                Failure f;
                if (!session.KeepAlive(&f))
                    SendToAllPages({{"ev", "session"}, {"address", session.address()}, {"state", "lost"},
                                    {"message", f.message}});
                l.lock();
            }
            continue;
        }
        std::function<void(AgentSession&)> job = std::move(jobs.front());
        jobs.pop_front();
        l.unlock();
        RunJob(job, session);
        job = nullptr;  // what it holds goes now, outside the lock
        l.lock();
    }
    finished = true;
}

Machine::Machine(std::string address, std::string label, const ConsoleSettings& settings)
    : address_(address), state_(std::make_shared<State>(std::move(address), std::move(label), settings)) {
    // The thread keeps the state alive: a job may hold the last reference to this Machine.
    worker_ = std::thread([s = state_] { s->Run(); });
}

Machine::~Machine() {
    RequestStop();
    if (worker_.joinable() && worker_.get_id() == std::this_thread::get_id())
        worker_.detach();
    else
        Join();
}

std::string Machine::label() const {
    std::lock_guard<std::mutex> l(state_->mu);
    return state_->label;
}

void Machine::set_label(const std::string& label) {
    std::lock_guard<std::mutex> l(state_->mu);
    state_->label = label;
}

void Machine::Post(std::function<void(AgentSession&)> job) {
    {
        std::lock_guard<std::mutex> l(state_->mu);
        if (!state_->finished) {
            state_->jobs.push_back(std::move(job));
            state_->cv.notify_all();
            return;
        }
    }
    // The worker has left: the session refuses every connection now, so the
    // job fails at once and its page still gets its answer.
    RunJob(job, state_->session);
}

nlohmann::json Machine::Describe() const {
    std::lock_guard<std::mutex> l(state_->mu);
    nlohmann::json d = {{"address", address_},    {"label", state_->label}, {"state", "unknown"},
                        {"os_version", ""},       {"product", ""},          {"transport", ""},
                        {"session", ""},          {"viewer", ""},           {"permissions", nullptr},
                        {"signals", nullptr}};
    for (auto it = state_->facts.begin(); it != state_->facts.end(); ++it)
        if (it.key() != "address" && it.key() != "label") d[it.key()] = it.value();
    return d;
}

void Machine::SetDescription(nlohmann::json d) {
    std::lock_guard<std::mutex> l(state_->mu);
    state_->facts = std::move(d);
}

void Machine::RequestStop() {
    std::lock_guard<std::mutex> l(state_->mu);
    state_->stop = true;
    state_->session.RequestStop();
    state_->cv.notify_all();
}

void Machine::Join() {
    if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) worker_.join();
}

bool Machine::finished() const {
    std::lock_guard<std::mutex> l(state_->mu);
    return state_->finished;
}

// ---- MachineList ----

std::shared_ptr<Machine> MachineList::Find(const std::string& address) {
    std::lock_guard<std::mutex> l(mu_);
    for (auto& m : machines_)
        if (m->address() == address) return m;
    return nullptr;
}

bool MachineList::Add(const std::string& address, const std::string& label, std::string* error) {
    if (!ValidAddress(address)) {
        *error = "\"" + address + "\" is not a machine address (a host name or an IPv4 address).";
        return false;
    }
    if (label.size() > kMaxLabel) {
        *error = "The label is longer than " + std::to_string(kMaxLabel) + " characters.";
        return false;
    }
    for (const char ch : label)
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) {
            *error = "The label holds a control character.";
            return false;
        }
    std::lock_guard<std::mutex> l(mu_);
    for (auto& m : machines_)
        if (m->address() == address) {
            if (!label.empty()) m->set_label(label);
            return true;
        }
    machines_.push_back(std::make_shared<Machine>(address, label, settings_));
    return true;
}

bool MachineList::Remove(const std::string& address) {
    std::lock_guard<std::mutex> l(mu_);
    // Workers of machines removed before, now done, are joined here.
    for (auto it = retired_.begin(); it != retired_.end();)
        it = (*it)->finished() ? retired_.erase(it) : it + 1;
    for (auto it = machines_.begin(); it != machines_.end(); ++it)
        if ((*it)->address() == address) {
            (*it)->RequestStop();
            retired_.push_back(*it);
            machines_.erase(it);
            return true;
        }
    return false;
}

std::vector<std::shared_ptr<Machine>> MachineList::All() const {
    std::lock_guard<std::mutex> l(mu_);
    return machines_;
}

nlohmann::json MachineList::Describe() const {
    nlohmann::json out = nlohmann::json::array();
    for (const auto& m : All()) out.push_back(m->Describe());
    return out;
}

void MachineList::Clear() {
    std::vector<std::shared_ptr<Machine>> all;
    {
        std::lock_guard<std::mutex> l(mu_);
        all.swap(machines_);
        all.insert(all.end(), retired_.begin(), retired_.end());
        retired_.clear();
    }
    for (auto& m : all) m->RequestStop();
    for (auto& m : all) m->Join();
}

// ---- Addresses and the machines file ----

bool ValidAddress(const std::string& address) {
    if (address.empty() || address.size() > kMaxAddress) return false;
    unsigned char buf[4];
    if (inet_pton(AF_INET, address.c_str(), buf) == 1) return true;  // linkcore speaks IPv4
    // A host name: labels of letters, digits and hyphens, not starting or ending with a hyphen.
    std::size_t label_len = 0;
    char prev = '.';
    for (const char ch : address) {
        if (ch == '.') {
            if (label_len == 0 || prev == '-') return false;
            label_len = 0;
        } else if (std::isalnum(static_cast<unsigned char>(ch)) || ch == '-') {
            if (label_len == 0 && ch == '-') return false;
            if (++label_len > 63) return false;
        } else {
            return false;
        }
        prev = ch;
    }
    return label_len > 0 && prev != '-';
}

bool ParseMachinesFile(const std::string& text, const std::string& file_name, std::vector<MachineEntry>* out,
                       std::string* error) {
    std::istringstream in(text);
    std::string line;
    std::vector<std::pair<std::string, int>> seen;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        std::istringstream words(line);
        MachineEntry e;
        if (!(words >> e.address)) continue;  // blank or only a comment
        const std::string where = file_name + ":" + std::to_string(number) + ": ";
        for (std::string w; words >> w;) e.label += (e.label.empty() ? "" : " ") + w;
        if (!ValidAddress(e.address)) {
            *error = where + "\"" + e.address + "\" is not a machine address (a host name or an IPv4 address)";
            return false;
        }
        if (e.label.size() > kMaxLabel) {
            *error = where + "the label is longer than " + std::to_string(kMaxLabel) + " characters";
            return false;
        }
        for (const auto& [address, first] : seen)
            if (address == e.address) {
                *error = where + e.address + " is listed already on line " + std::to_string(first);
                return false;
            }
        for (const char ch : e.label)
            if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) {
                *error = where + "the label holds a control character";
                return false;
            }
        seen.emplace_back(e.address, number);
        out->push_back(std::move(e));
    }
    return true;
}

}  // namespace qv::web

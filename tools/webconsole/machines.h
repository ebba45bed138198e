// The machines the console knows and its conversation with each one's agent.
//
// Every machine has its own worker thread: the jobs posted for it run there
// one after another, so one slow or silent agent holds up only its own
// requests. The worker owns the AgentSession (the verify endpoint link and
// the session state); nothing else touches it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "libs/linkcore/client.h"
#include "tools/ftconsole/client_link.h"
#include "tools/rcconsole/rcclient.h"

namespace qv::web {

struct Failure {
    std::string kind;  // no_reply, busy, refused, expired, failed
    std::string message;
};

struct ConsoleSettings {
    std::string key_file;
    int timeout_ms = 2000;
    std::string name = "webconsole";
};

// The console's conversation with one machine's agent (verify endpoint). Used ONLY on the machine's worker
// thread, inside Machine::Post jobs.
class AgentSession {
public:
    AgentSession(std::string address, const ConsoleSettings& settings);
    ~AgentSession();  // ends a session this console holds

    const std::string& address() const { return address_; }
    const ConsoleSettings& settings() const { return settings_; }

    bool Ensure(Failure* f);  // this console's session, established if needed
    bool Allowed(uint32_t permission_bit, const std::string& what, Failure* f);  // rc::kAllow...; refused -> f
    // Remote execute and wait for the agent's start result (as rcconsole's exec does, incl. -k).
    bool Exec(const std::string& program, const std::string& args, bool k_prefix, Failure* f);
    // A linkcore client to another endpoint of the machine (data endpoint, slave), honouring
    // LINKCORE_PORT_OFFSET and the site key; null with f filled when it cannot connect.
    std::unique_ptr<link::Client> Connect(uint16_t tcp_port, Failure* f);
    // Turns an RcClient outcome into the page's failure (busy with owner and age, no reply, expired...).
    Failure FromOutcome(const std::string& what, const rcc::Outcome& o);
    rcc::RcClient* client();  // null when not connected

    // The verify endpoint connected (no session needed); false with f filled.
    bool Connected(Failure* f);
    // Ends this console's session, if it holds one.
    void End();
    bool established() const { return established_; }
    // The user's flags from the establish reply (valid while established()).
    const rcc::EstablishReply& flags() const { return flags_; }
    // Seconds since this console established its session.
    unsigned SessionSeconds() const;
    // Checks a held session is still valid (keep-alive); false with f filled when it was lost.
    bool KeepAlive(Failure* f);
    // Forgets the link (after it broke); the next request connects again.
    void Drop();

private:
    std::string address_;
    ConsoleSettings settings_;
    std::unique_ptr<link::Client> verify_;
    std::unique_ptr<ftc::ClientLink> link_;
    std::unique_ptr<rcc::RcClient> rc_;
    bool established_ = false;
    rcc::EstablishReply flags_;
    std::chrono::steady_clock::time_point established_at_{};
};

class Machine {
public:
    Machine(std::string address, std::string label, const ConsoleSettings& settings);
    ~Machine();  // finishes the queued jobs' current one, ends the session, joins the worker
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    const std::string& address() const { return address_; }
    std::string label() const;
    // Runs job on this machine's worker thread, jobs in order. The worker validates an established
    // session now and then (it would expire after ~136 s) and reports a lost one to the pages.
    void Post(std::function<void(AgentSession&)> job);

    // The machine as the page shows it (the MACHINE object of the page protocol).
    nlohmann::json Describe() const;
    void SetDescription(nlohmann::json d);
    // Stops the worker after the current job; queued jobs are dropped. Ends the session.
    void Shutdown();

private:
    void Run();

    const std::string address_;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::string label_;
    nlohmann::json described_;
    std::deque<std::function<void(AgentSession&)>> jobs_;
    bool stop_ = false;
    AgentSession session_;
    std::thread worker_;
};

class MachineList {
public:
    explicit MachineList(ConsoleSettings settings) : settings_(std::move(settings)) {}
    ~MachineList() { Clear(); }

    std::shared_ptr<Machine> Find(const std::string& address);  // null when not in the list
    // Adds a machine (or relabels the one already there); false with *error for a bad address.
    bool Add(const std::string& address, const std::string& label, std::string* error);
    bool Remove(const std::string& address);
    std::vector<std::shared_ptr<Machine>> All() const;  // in the order added
    nlohmann::json Describe() const;                    // the MACHINE objects, in order
    void Clear();                                       // ends every session, stops every worker
    const ConsoleSettings& settings() const { return settings_; }

private:
    ConsoleSettings settings_;
    mutable std::mutex mu_;
    std::vector<std::shared_ptr<Machine>> machines_;
};

// One line of a machines file: `ADDRESS [LABEL...]`; `#` starts a comment.
struct MachineEntry {
    std::string address, label;
};
// Parses a machines file's text. False with "FILE:LINE: reason" in *error at the first bad line.
bool ParseMachinesFile(const std::string& text, const std::string& file_name, std::vector<MachineEntry>* out,
                       std::string* error);
// An address the console accepts: a host name or IPv4/IPv6 text, no spaces or control characters.
bool ValidAddress(const std::string& address);

}  // namespace qv::web

// The machines the console knows and its conversation with each one's agent.
//
// Every machine has its own worker thread: the jobs posted for it run there
// one after another, so one slow or silent agent holds up only its own
// requests. The worker owns the AgentSession (the verify endpoint link and
// the session state); nothing else touches it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
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
    // A held session idle this long is validated (the agent lets one expire after about 136 s).
    int keepalive_ms = 60000;
};

// The console's conversation with one machine's agent (verify endpoint). Used ONLY on the machine's worker
// thread, inside Machine::Post jobs.
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
    // what says what was being done, e.g. "starting NOTEPAD.EXE". An expired session is forgotten
    // (the next Ensure establishes a new one), a broken connection dropped.
    Failure FromOutcome(const std::string& what, const rcc::Outcome& o);
    rcc::RcClient* client();  // null when not connected

    // The verify endpoint connected (no session needed); false with f filled.
    bool Connected(Failure* f);
    // Ends this console's session, if it holds one.
    void End();
    bool established() const { return established_; }
    // The user's flags from the establish reply; false when not known (no session, or the agent
    // answered "already established").
    bool flags(rcc::EstablishReply* out) const;
    // Seconds since this console established its session.
    unsigned SessionSeconds() const;
    // True when a held session has not been validated for a while (it expires after ~136 s idle).
    bool KeepAliveDue() const;
    // Validates a held session; false with f filled when it was lost.
    bool KeepAlive(Failure* f);
    // Forgets the connection (after it broke); the next request connects again.
    void Drop();
    // The machine is being removed or the console is closing: long jobs (consent, viewing) end
    // early, and new connections are refused. Thread-safe.
    bool Stopping() const { return stopping_.load(); }
    void RequestStop() { stopping_.store(true); }

private:
    std::string address_;
    ConsoleSettings settings_;
    std::unique_ptr<link::Client> verify_;
    std::unique_ptr<ftc::ClientLink> link_;
    std::unique_ptr<rcc::RcClient> rc_;
    bool established_ = false;
    bool have_flags_ = false;
    rcc::EstablishReply flags_;
    std::chrono::steady_clock::time_point established_at_{}, last_validated_{};
    std::atomic<bool> stopping_{false};
};

class Machine {
public:
    Machine(std::string address, std::string label, const ConsoleSettings& settings);
    ~Machine();  // RequestStop(), then waits for the worker (unless called on it)
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    const std::string& address() const { return address_; }
    std::string label() const;
    void set_label(const std::string& label);
    // Runs job on this machine's worker thread, jobs in order. The worker validates an established
    // session now and then (it would expire after ~136 s) and reports a lost one to the pages.
    // After RequestStop, queued and new jobs still run (so that every request gets its answer), but
    // the session refuses to connect.
    void Post(std::function<void(AgentSession&)> job);

    // The machine as the page shows it (the MACHINE object of the page protocol).
    nlohmann::json Describe() const;
    // Replaces the agent's facts (all fields but address and label).
    void SetDescription(nlohmann::json d);
    // Asks the worker to end: the remaining jobs run, the session is ended, the thread leaves.
    void RequestStop();
    // Waits for the worker to leave (no-op on the worker itself).
    void Join();
    bool finished() const;

    struct State;

private:
    const std::string address_;
    std::shared_ptr<State> state_;
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
    // Ends every session and waits for every worker. Call it before the features that post jobs are
    // destroyed.
    void Clear();
    const ConsoleSettings& settings() const { return settings_; }

private:
    ConsoleSettings settings_;
    mutable std::mutex mu_;
    std::vector<std::shared_ptr<Machine>> machines_;
    std::vector<std::shared_ptr<Machine>> retired_;  // removed; their workers finish their jobs
};

// One line of a machines file: `ADDRESS [LABEL...]`; `#` starts a comment.
struct MachineEntry {
    std::string address, label;
};
// Parses a machines file's text. False with "FILE:LINE: reason" in *error at the first bad line.
bool ParseMachinesFile(const std::string& text, const std::string& file_name, std::vector<MachineEntry>* out,
                       std::string* error);
// An address the console accepts: a host name or an IPv4 address (what linkcore reaches).
bool ValidAddress(const std::string& address);

}  // namespace qv::web

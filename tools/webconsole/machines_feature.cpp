#include "tools/webconsole/machines_feature.h"

#include <sstream>
#include <thread>

#include "tools/ftconsole/console_text.h"
#include "tools/rcconsole/agent_ops.h"
#include "tools/rcconsole/rcproto.h"

namespace qv::web {
namespace {

using Clock = std::chrono::steady_clock;

// Consent: the answer is polled this often, and given up after this long.
constexpr auto kAskPollEvery = std::chrono::milliseconds(500);
constexpr auto kAskWait = std::chrono::minutes(10);
// What the page may put in a request's texts.
constexpr std::size_t kMaxText = 200;

// Words of PermissionWords / SignalWords as a list ("none" is the empty list).
nlohmann::json WordList(const std::string& words) {
    nlohmann::json out = nlohmann::json::array();
    std::istringstream in(words);
    for (std::string w; in >> w;)
        if (w != "none") out.push_back(w);
    return out;
}

// A text field of a request: false (error sent) when it is missing but required, not a string,
// too long, or holds a control character or a double quote (which would end the agent's word).
bool TextField(PageLink& page, const nlohmann::json& msg, const char* key, bool required, std::string* out) {
    const auto it = msg.find(key);
    if (it == msg.end() || it->is_null()) {
        if (!required) return true;
        SendError(page, msg, "bad_request", std::string("The request lacks its \"") + key + "\".");
        return false;
    }
    if (!it->is_string()) {
        SendError(page, msg, "bad_request", std::string("The \"") + key + "\" of the request is not a text.");
        return false;
    }
    *out = it->get<std::string>();
    if (required && out->empty()) {
        SendError(page, msg, "bad_request", std::string("The \"") + key + "\" of the request is empty.");
        return false;
    }
    if (out->size() > kMaxText) {
        SendError(page, msg, "bad_request",
                  std::string("The \"") + key + "\" is longer than " + std::to_string(kMaxText) + " characters.");
        return false;
    }
    for (const char ch : *out)
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F || ch == '"') {
            SendError(page, msg, "bad_request",
                      std::string("The \"") + key + "\" may not hold control characters or double quotes.");
            return false;
        }
    return true;
}

class MachinesFeature : public Feature {
public:
    MachinesFeature(MachineList& list, const ConsoleSettings& settings) : list_(list), settings_(settings) {}

    bool OnMessage(const PagePtr& page, const nlohmann::json& msg) override {
        const std::string op = msg["op"].get<std::string>();
        if (op.rfind("machines.", 0) != 0 && op.rfind("agent.", 0) != 0) return false;
        if (op == "machines.list") {
            page->Send(ListEvent());
            SendDone(*page, msg);
            return true;
        }
        std::string address;
        if (!TextField(*page, msg, "address", true, &address)) return true;
        if (op == "machines.add") {
            std::string label, error;
            if (!TextField(*page, msg, "label", false, &label)) return true;
            if (!list_.Add(address, label, &error)) {
                SendError(*page, msg, "bad_request", error);
                return true;
            }
            SendToAllPages(ListEvent());
            SendDone(*page, msg);
            return true;
        }
        if (op == "machines.remove") {
            if (!list_.Remove(address)) return NotListed(*page, msg, address);
            SendToAllPages(ListEvent());
            SendDone(*page, msg);
            return true;
        }
        const std::shared_ptr<Machine> m = list_.Find(address);
        if (op == "machines.refresh") return m ? Refresh(page, msg, m) : NotListed(*page, msg, address);
        if (op == "agent.ask") return m ? Ask(page, msg, m) : NotListed(*page, msg, address);
        if (op == "agent.exec") return m ? Exec(page, msg, m) : NotListed(*page, msg, address);
        if (op == "agent.reboot") return m ? Reboot(page, msg, m) : NotListed(*page, msg, address);
        if (op == "agent.end") {
            if (!m) return NotListed(*page, msg, address);
            m->Post([page, msg](AgentSession& s) {
                s.End();
                SendDone(*page, msg);
            });
            return true;
        }
        return false;
    }

private:
    nlohmann::json ListEvent() const { return {{"ev", "machines"}, {"machines", list_.Describe()}}; }

    static bool NotListed(PageLink& page, const nlohmann::json& msg, const std::string& address) {
        SendError(page, msg, "bad_request", "The machine at " + address + " is not in the list; add it first.");
        return true;
    }

    // The agent's information (level 3) and the user's permission flags. The flags come from the
    // establish reply: a session of this console's shows them; without one, one is established to read
    // them and ended again.
    static bool Refresh(const PagePtr& page, const nlohmann::json& msg, const std::shared_ptr<Machine>& m) {
        m->Post([page, msg, m](AgentSession& s) {
            nlohmann::json d = {{"state", "error"}, {"permissions", nullptr}, {"signals", nullptr}};
            Failure f;
            rcc::InfoReply info;
            if (s.Connected(&f)) {
                const rcc::Outcome o = s.client()->Info(3, &info);
                if (!o.ok) f = s.FromOutcome("reading the agent's information", o);
            }
            if (!f.kind.empty()) {
                d["error"] = f.message;
                m->SetDescription(d);
                page->Send({{"ev", "machine"}, {"machine", m->Describe()}});
                SendError(*page, msg, f.kind.c_str(), f.message);
                return;
            }
            d["state"] = "ok";
            d["os_version"] = info.version_known ? std::to_string(info.os_version >> 8) + "." +
                                                       std::to_string(info.os_version & 0xFF)
                                                 : "";
            d["product"] = ftc::Printable(info.product);
            d["transport"] = info.transport == 1 ? "IPX" : info.transport == 3 ? "TCP/IP" : std::to_string(info.transport);
            d["session"] = info.session_age == rc::kNoSessionAge
                               ? std::string("none")
                               : "established (" + std::to_string(rcc::AgeSeconds(info.session_age)) + " s)";
            d["viewer"] = info.viewer_active ? "connected" : "none";
            const bool held = s.established();
            rcc::EstablishReply flags;
            if (!held && !s.Ensure(&f)) {
                d["error"] = f.message;  // busy: who holds the machine, and since when
                d["error_kind"] = f.kind;
            } else if (s.flags(&flags)) {
                d["permissions"] = WordList(rcc::PermissionWords(flags.permissions));
                d["signals"] = WordList(rcc::SignalWords(flags.signals));
            }
            if (!held) s.End();
            m->SetDescription(d);
            page->Send({{"ev", "machine"}, {"machine", m->Describe()}});
            SendDone(*page, msg);
        });
        return true;
    }

    bool Ask(const PagePtr& page, const nlohmann::json& msg, const std::shared_ptr<Machine>& m) {
        std::string requester, operation;
        if (!TextField(*page, msg, "requester", true, &requester) ||
            !TextField(*page, msg, "operation", true, &operation))
            return true;
        m->Post([page, msg, m, requester, operation](AgentSession& s) {
            Failure f;
            if (!s.Ensure(&f)) {
                SendError(*page, msg, f.kind.c_str(), f.message);
                return;
            }
            const rcc::Outcome o = rcc::AskStart(*s.client(), requester, operation);
            if (!o.ok) {
                f = s.FromOutcome("asking the user", o);
                SendError(*page, msg, f.kind.c_str(), f.message);
                return;
            }
            page->Send({{"ev", "consent"}, {"address", s.address()}, {"state", "asking"}});
            PostAskPoll(page, msg, m, Clock::now() + kAskWait);
        });
        return true;
    }

    // One poll of the user's answer. While the prompt is open the poll is posted again behind the
    // machine's other jobs, so that the machine's other requests are not held up by the user.
    static void PostAskPoll(const PagePtr& page, const nlohmann::json& msg, const std::shared_ptr<Machine>& m,
                            Clock::time_point give_up) {
        const Clock::time_point due = Clock::now() + kAskPollEvery;
        m->Post([page, msg, m, give_up, due](AgentSession& s) {
            if (s.Stopping()) {
                SendError(*page, msg, "failed", "The console stopped waiting for the user's answer.");
                return;
            }
            std::this_thread::sleep_until(due);
            if (!FindPage(page->id())) return;  // the page is gone: nobody waits for the answer
            Failure f;
            uint16_t result = 0;
            if (!s.Ensure(&f)) {
                SendError(*page, msg, f.kind.c_str(), f.message);
                return;
            }
            const rcc::Outcome o = rcc::AskResult(*s.client(), &result);
            if (!o.ok) {
                f = s.FromOutcome("reading the user's answer", o);
                SendError(*page, msg, f.kind.c_str(), f.message);
                return;
            }
            if (result == rc::kResultPromptOpen) {
                if (Clock::now() < give_up) {
                    PostAskPoll(page, msg, m, give_up);
                    return;
                }
                SendError(*page, msg, "failed", "The user of the machine at " + s.address() + " did not answer within " +
                                                    std::to_string(std::chrono::duration_cast<std::chrono::minutes>(kAskWait).count()) +
                                                    " minutes.");
                return;
            }
            if (result == rc::kResultAllowed || result == rc::kResultRefused) {
                page->Send({{"ev", "consent"},
                            {"address", s.address()},
                            {"state", result == rc::kResultAllowed ? "allowed" : "refused"}});
                SendDone(*page, msg);
                return;
            }
            SendError(*page, msg, "failed", "The consent prompt did not run on the machine at " + s.address() + ": " +
                                                (result > rc::kResultRefused || result < rc::kResultStarted
                                                     ? ftc::SystemErrorText(result) + " (Windows error " +
                                                           std::to_string(result) + ")"
                                                     : rcc::ResultText(result)) +
                                                ".");
        });
    }

    bool Exec(const PagePtr& page, const nlohmann::json& msg, const std::shared_ptr<Machine>& m) {
        std::string program, args;
        if (!TextField(*page, msg, "program", true, &program) || !TextField(*page, msg, "args", false, &args))
            return true;
        m->Post([page, msg, program, args](AgentSession& s) {
            Failure f;
            if (s.Exec(program, args, false, &f))
                SendDone(*page, msg);
            else
                SendError(*page, msg, f.kind.c_str(), f.message);
        });
        return true;
    }

    bool Reboot(const PagePtr& page, const nlohmann::json& msg, const std::shared_ptr<Machine>& m) {
        m->Post([page, msg](AgentSession& s) {
            Failure f;
            if (!s.Allowed(rc::kAllowReboot, "rebooting the machine", &f)) {
                SendError(*page, msg, f.kind.c_str(), f.message);
                return;
            }
            bool accepted = false;
            std::string why;
            const rcc::Outcome o = rcc::Reboot(*s.client(), &accepted, &why);
            if (!o.ok) {
                f = s.FromOutcome("rebooting", o);
                SendError(*page, msg, f.kind.c_str(), f.message);
                return;
            }
            if (!accepted) {
                SendError(*page, msg, "failed", "The machine at " + s.address() + " did not reboot: " + why + ".");
                return;
            }
            s.Drop();  // the session and the connection go with the machine
            SendDone(*page, msg);
        });
        return true;
    }

    MachineList& list_;
    ConsoleSettings settings_;
};

}  // namespace

std::unique_ptr<Feature> MakeMachinesFeature(MachineList& list, const ConsoleSettings& settings) {
    return std::make_unique<MachinesFeature>(list, settings);
}

}  // namespace qv::web

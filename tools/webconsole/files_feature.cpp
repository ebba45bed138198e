#include "tools/webconsole/files_feature.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <future>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "common/text.h"
#include "libs/linkcore/client.h"
#include "slave/ft_protocol.h"
#include "tools/ftconsole/client_link.h"
#include "tools/ftconsole/console_commands.h"
#include "tools/ftconsole/console_key.h"
#include "tools/ftconsole/remote_files.h"
#include "tools/rcconsole/rcproto.h"
#include "tools/webconsole/file_slave.h"

namespace qv::web {
namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kSlaveTcpPort = 1764;
// How long the console keeps trying to reach a slave it has just had
// started (the slave itself gives up on a console after 20 seconds).
constexpr auto kSlaveStartWait = std::chrono::seconds(10);
constexpr auto kSlaveRetryPause = std::chrono::milliseconds(250);
// Progress events go to the page at most this often (and once at the end).
constexpr auto kProgressEvery = std::chrono::milliseconds(100);

// A linkcore connection to the slave, owned by the link.
class SlaveConnection : public ftc::PacketLink {
public:
    explicit SlaveConnection(std::unique_ptr<link::Client> c) : client_(std::move(c)), link_(*client_) {}
    bool Send(const uint8_t* d, std::size_t n) override { return link_.Send(d, n); }
    int Recv(uint8_t* b, std::size_t cap, int t) override { return link_.Recv(b, cap, t); }

private:
    std::unique_ptr<link::Client> client_;
    ftc::ClientLink link_;
};

// The agent starts KSLAVE.EXE (the K put before the name by the agent),
// told to listen on TCP/IP: without that word it opens its IPX endpoint,
// which the console's TCP connection would never reach. The slave opens
// its endpoint a moment later, so the connection is tried again for a while.
std::unique_ptr<ftc::PacketLink> StartSlave(AgentSession& agent, Failure* f) {
    if (!agent.Ensure(f) || !agent.Allowed(rc::kAllowFileTransfer, "file transfer", f) ||
        !agent.Exec("SLAVE.EXE", "TCPIP", true, f))
        return nullptr;
    const auto until = Clock::now() + kSlaveStartWait;
    for (;;) {
        Failure ignored;
        if (auto client = agent.Connect(kSlaveTcpPort, &ignored)) {
            auto link = std::make_unique<SlaveConnection>(std::move(client));
            ftc::FtClient c(*link, agent.settings().timeout_ms, 1);
            if (c.Existence().ok) return link;
        }
        if (Clock::now() + kSlaveRetryPause >= until) break;
        std::this_thread::sleep_for(kSlaveRetryPause);
    }
    *f = {"no_reply", "The file transfer slave on " + agent.address() + " did not answer within " +
                          std::to_string(kSlaveStartWait.count()) + " s of its start: " +
                          ftc::NoAnswerHint(!agent.settings().key_file.empty()) + "."};
    return nullptr;
}

bool Text(const json& msg, const char* key, std::string* out) {
    auto it = msg.find(key);
    if (it == msg.end() || !it->is_string()) return false;
    *out = it->get<std::string>();
    return true;
}

// A path from the page as the slave takes it (Windows-1252), or the reason
// it cannot be one.
bool RemotePath(const std::string& utf8, std::string* path, std::string* problem) {
    if (utf8.empty()) {
        *problem = "No remote path was given.";
    } else if (!Utf8ToCp1252(utf8, path)) {
        *problem = "The path " + utf8 + " has characters the remote machine's names cannot hold.";
    } else if (path->size() >= ft::kPathMax) {
        *problem = "The path " + utf8 + " is longer than " + std::to_string(ft::kPathMax - 1) + " characters.";
    } else if (std::any_of(path->begin(), path->end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; })) {
        *problem = "The path " + utf8 + " contains a control character.";
    } else if (ftc::HasWildcard(*path)) {
        *problem = "The path " + utf8 + " contains a wildcard (* or ?).";
    } else {
        return true;
    }
    return false;
}

std::string BaseName(const std::string& p) {
    const std::size_t s = p.find_last_of("\\/:");
    return s == std::string::npos ? p : p.substr(s + 1);
}

// A failed slave request as the page's failure: what was asked, then why.
Failure SlaveFailure(const std::string& action, const ftc::Result& r) {
    if (r.no_reply) return {"no_reply", action + ": the file transfer slave does not answer."};
    if (!r.error.empty()) return {"failed", action + ": " + r.error + "."};
    return {"failed", action + ": " + ftc::SystemErrorText(r.status)};
}

std::string GoneText(const std::string& address) {
    return "File transfer with " + address + " has ended; start it again.";
}

// Says when a progress event is due: the first, then one per kProgressEvery.
class Pacer {
public:
    bool Due() {
        const auto now = Clock::now();
        if (sent_ && now - last_ < kProgressEvery) return false;
        sent_ = true;
        last_ = now;
        return true;
    }

private:
    bool sent_ = false;
    Clock::time_point last_{};
};

// An event answering msg: it carries the request's number.
json Answering(const json& msg, json ev) {
    if (msg.contains("req")) ev["req"] = msg["req"];
    return ev;
}

json Progress(const std::string& address, uint64_t transfer, uint64_t done, uint64_t total) {
    return {{"ev", "files.progress"}, {"address", address}, {"transfer", transfer}, {"done", done}, {"total", total}};
}

// A whole decimal number of a query (no sign, no blanks), up to 10^17 (a
// page id, milliseconds since 1970).
bool Decimal(const std::string& s, uint64_t* out) {
    long v = 0;
    if (!ftc::Number(s, 0, 100000000000000000L, &v)) return false;
    *out = static_cast<uint64_t>(v);
    return true;
}

struct Held {
    uint64_t page = 0;
    uint64_t serial = 0;  // the order downloads were made in
    std::string name;     // UTF-8
    std::shared_ptr<const std::string> data;
};

// What the feature's threads share: the slaves by machine address and the
// downloads by id. Jobs on a slave's thread hold a plain pointer to it: the
// State ends every slave (running their jobs) before its other members go.
class State {
public:
    State(const ConsoleSettings& settings, SlaveStarter starter)
        : settings_(settings), starter_(std::move(starter)) {}
    ~State() {
        std::map<std::string, std::shared_ptr<FileSlave>> slaves;
        {
            std::lock_guard<std::mutex> lock(mu_);
            slaves.swap(slaves_);
        }
        slaves.clear();
    }

    const ConsoleSettings& settings() const { return settings_; }
    const SlaveStarter& starter() const { return starter_; }

    std::shared_ptr<FileSlave> Live(const std::string& address) {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = slaves_.find(address);
        return it != slaves_.end() && !it->second->gone() ? it->second : nullptr;
    }

    void Install(const std::string& address, std::unique_ptr<ftc::PacketLink> link) {
        auto lost = [address] {
            SendToAllPages({{"ev", "files.stopped"},
                            {"address", address},
                            {"kind", "no_reply"},
                            {"message", "The file transfer slave on " + address + " no longer answers; start file "
                                        "transfer again."}});
        };
        auto slave = std::make_shared<FileSlave>(std::move(link), settings_.timeout_ms, lost);
        std::lock_guard<std::mutex> lock(mu_);
        std::shared_ptr<FileSlave>& place = slaves_[address];
        if (place) old_.push_back(std::move(place));
        place = std::move(slave);
    }

    // Ends the slaves that are gone (stopped, lost or replaced). Never called
    // on a slave's own thread; the slaves end outside the lock, since their
    // jobs take it.
    void Reap() {
        std::vector<std::shared_ptr<FileSlave>> ending;
        {
            std::lock_guard<std::mutex> lock(mu_);
            ending.swap(old_);
            for (auto it = slaves_.begin(); it != slaves_.end();) {
                if (it->second->gone()) {
                    ending.push_back(std::move(it->second));
                    it = slaves_.erase(it);
                } else {
                    ++it;
                }
            }
        }
    }

    uint64_t NextTransfer() { return next_transfer_++; }

    // Keeps a download for its page and returns its id (a page that closed
    // meanwhile gets one that finds nothing).
    std::string Hold(uint64_t page, std::string name, std::string data) {
        std::lock_guard<std::mutex> lock(mu_);
        char id[33];
        std::snprintf(id, sizeof id, "%016llx%016llx", static_cast<unsigned long long>(random_()),
                      static_cast<unsigned long long>(random_()));
        if (closed_.count(page)) return id;
        held_[id] = Held{page, ++serial_, std::move(name), std::make_shared<const std::string>(std::move(data))};
        // The page's oldest downloads go when it holds too much.
        for (;;) {
            uint64_t total = 0;
            auto oldest = held_.end();
            for (auto it = held_.begin(); it != held_.end(); ++it) {
                if (it->second.page != page) continue;
                total += it->second.data->size();
                if (oldest == held_.end() || it->second.serial < oldest->second.serial) oldest = it;
            }
            if (total <= kMaxHeldPerPage || oldest->first == id) break;
            held_.erase(oldest);
        }
        return id;
    }

    bool Find(const std::string& id, Held* out) {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = held_.find(id);
        if (it == held_.end()) return false;
        *out = it->second;
        return true;
    }

    void DropPage(uint64_t page) {
        std::lock_guard<std::mutex> lock(mu_);
        std::erase_if(held_, [page](const auto& h) { return h.second.page == page; });
        closed_.insert(page);
    }

private:
    const ConsoleSettings settings_;
    const SlaveStarter starter_;
    std::mutex mu_;
    std::map<std::string, std::shared_ptr<FileSlave>> slaves_;
    std::vector<std::shared_ptr<FileSlave>> old_;
    std::map<std::string, Held> held_;
    std::set<uint64_t> closed_;  // pages gone: a download finishing later is not kept
    uint64_t serial_ = 0;
    std::mt19937_64 random_{std::random_device{}()};
    std::atomic<uint64_t> next_transfer_{1};
};

void Ready(PageLink& page, const json& msg, const std::string& address) {
    page.Send(Answering(msg, {{"ev", "files.ready"}, {"address", address}}));
    SendDone(page, msg);
}

// Starts the slave through the machine's agent. The State is held only
// while the job runs on the machine's worker: it must never end on a
// slave's thread, which it would have to wait for.
void StartOnMachine(const std::weak_ptr<State>& weak, Machine& machine, const PagePtr& page, const json& msg) {
    const std::string address = machine.address();
    machine.Post([weak, page, msg, address](AgentSession& agent) {
        std::shared_ptr<State> state = weak.lock();
        if (!state) return SendError(*page, msg, "failed", "The console is closing.");
        if (state->Live(address)) return Ready(*page, msg, address);  // another page started it meanwhile
        Failure f;
        std::unique_ptr<ftc::PacketLink> link = state->starter()(agent, &f);
        if (!link) return SendError(*page, msg, f.kind.c_str(), f.message);
        state->Install(address, std::move(link));
        Ready(*page, msg, address);
    });
}

void Drives(ftc::FtClient& c, PageLink& page, const json& msg, const std::string& address) {
    std::vector<int> drives;
    const ftc::Result r = c.Drives(&drives);
    if (!r.ok) {
        const Failure f = SlaveFailure("Cannot list the drives of " + address, r);
        return SendError(page, msg, f.kind.c_str(), f.message);
    }
    json list = json::array();
    for (int d : drives)
        if (d >= 0 && d < 26) list.push_back(std::string(1, static_cast<char>('A' + d)) + ":");
    page.Send(Answering(msg, {{"ev", "files.drives"}, {"address", address}, {"drives", list}}));
    SendDone(page, msg);
}

// Directories first, each group by name without regard to case.
json Entries(const std::vector<std::string>& dirs, const std::vector<std::string>& files) {
    struct Entry {
        std::string key, name;
        bool dir;
    };
    std::vector<Entry> all;
    for (std::string d : dirs) {
        if (!d.empty() && d.back() == '\\') d.pop_back();
        all.push_back({UpperAscii(d), d, true});
    }
    for (const std::string& f : files) all.push_back({UpperAscii(f), f, false});
    std::sort(all.begin(), all.end(), [](const Entry& a, const Entry& b) {
        if (a.dir != b.dir) return a.dir;
        return a.key != b.key ? a.key < b.key : a.name < b.name;
    });
    json out = json::array();
    for (const Entry& e : all) out.push_back({{"name", Cp1252ToUtf8(e.name)}, {"dir", e.dir}});
    return out;
}

void List(ftc::FtClient& c, PageLink& page, const json& msg, const std::string& address, std::string dir) {
    if (dir.empty()) {
        const ftc::Result r = c.CurrentDirectory(&dir);
        if (!r.ok || dir.empty()) {
            const Failure f = SlaveFailure("Cannot read the current folder of " + address, r);
            return SendError(page, msg, f.kind.c_str(), f.message);
        }
    }
    if (dir.back() != '\\') dir += '\\';
    const std::string shown = Cp1252ToUtf8(dir);
    std::vector<std::string> dirs, files;
    ftc::ListProblem problem;
    const ftc::Result r = ftc::ListDirectory(c, dir, &dirs, &files, &problem);
    if (!r.ok) {
        const Failure f = SlaveFailure("Cannot list " + shown + " on " + address, r);
        return SendError(page, msg, f.kind.c_str(), f.message);
    }
    switch (problem) {
    case ftc::ListProblem::kNone: break;
    case ftc::ListProblem::kNoSuchDrive:
        return SendError(page, msg, "failed", "There is no drive " + shown.substr(0, 2) + " on " + address + ".");
    case ftc::ListProblem::kNoSuchDirectory:
        return SendError(page, msg, "failed", "There is no folder " + shown + " on " + address + ".");
    case ftc::ListProblem::kIsAFile:
        return SendError(page, msg, "failed", shown + " on " + address + " is a file, not a folder.");
    }
    page.Send(Answering(
        msg, {{"ev", "files.listing"}, {"address", address}, {"dir", shown}, {"entries", Entries(dirs, files)}}));
    SendDone(page, msg);
}

void Get(ftc::FtClient& c, const FileSlave& slave, State& state, const PagePtr& page, const json& msg,
         const std::string& address, const std::string& path, uint64_t transfer) {
    const std::string shown = Cp1252ToUtf8(path);
    const std::string action = "Cannot download " + shown + " from " + address;
    uint32_t size = 0;
    if (c.Size(path, &size).ok && size > kMaxDownloadBytes)
        return SendError(*page, msg, "failed",
                         action + ": it has " + std::to_string(size) + " bytes; the console downloads files of up to " +
                             std::to_string(kMaxDownloadBytes) + " bytes.");
    std::string data;
    bool too_big = false;
    Pacer pacer;
    uint16_t date = 0, time = 0;
    ftc::Result r = c.Download(
        path,
        [&](const uint8_t* d, std::size_t n) {
            if (slave.cancelled()) return false;
            if (data.size() + n > kMaxDownloadBytes) {
                too_big = true;
                return false;
            }
            data.append(reinterpret_cast<const char*>(d), n);
            return true;
        },
        &date, &time,
        [&](uint64_t done, uint64_t total) {
            if (pacer.Due()) page->Send(Answering(msg, Progress(address, transfer, done, total)));
        });
    if (!r.ok) {
        if (slave.cancelled()) return SendError(*page, msg, "failed", action + ": the console is closing.");
        if (too_big)
            return SendError(*page, msg, "failed",
                             action + ": it has more than " + std::to_string(kMaxDownloadBytes) + " bytes.");
        const Failure f = SlaveFailure(action, r);
        return SendError(*page, msg, f.kind.c_str(), f.message);
    }
    page->Send(Answering(msg, Progress(address, transfer, data.size(), data.size())));
    const std::size_t got = data.size();
    const std::string name = Cp1252ToUtf8(BaseName(path));
    const std::string id = state.Hold(page->id(), name, std::move(data));
    page->Send(Answering(msg, {{"ev", "files.got"},
                               {"address", address},
                               {"transfer", transfer},
                               {"name", name},
                               {"size", got},
                               {"url", "/api/download/" + id}}));
    SendDone(*page, msg);
}

void Answer(HttpResponse* resp, int status, const json& body) {
    resp->status = status;
    resp->content_type = "application/json";
    resp->body = body.dump();
}

void Refuse(HttpResponse* resp, int status, const char* kind, const std::string& message) {
    Answer(resp, status, {{"ok", false}, {"kind", kind}, {"message", message}});
}

class FilesFeature : public Feature {
public:
    FilesFeature(MachineList& list, const ConsoleSettings& settings, SlaveStarter starter)
        : list_(list), state_(std::make_shared<State>(settings, std::move(starter))) {}

    bool OnMessage(const PagePtr& page, const json& msg) override {
        std::string op;
        if (!Text(msg, "op", &op) || op.rfind("files.", 0) != 0) return false;
        state_->Reap();
        std::string address;
        if (!Text(msg, "address", &address) || address.empty()) {
            SendError(*page, msg, "bad_request", "The request names no machine.");
            return true;
        }
        if (op == "files.start") {
            Start(page, msg, address);
        } else if (op == "files.stop") {
            Stop(page, msg, address);
        } else if (op == "files.drives") {
            OnSlave(page, msg, address, [address](ftc::FtClient& c, FileSlave&, const PagePtr& p, const json& m) {
                Drives(c, *p, m, address);
            });
        } else if (op == "files.list") {
            std::string dir, path, problem;
            Text(msg, "dir", &dir);
            if (!dir.empty() && !RemotePath(dir, &path, &problem)) {
                SendError(*page, msg, "bad_request", problem);
                return true;
            }
            OnSlave(page, msg, address, [address, path](ftc::FtClient& c, FileSlave&, const PagePtr& p, const json& m) {
                List(c, *p, m, address, path);
            });
        } else if (op == "files.get") {
            std::string given, path, problem;
            Text(msg, "path", &given);
            if (!RemotePath(given, &path, &problem)) {
                SendError(*page, msg, "bad_request", problem);
                return true;
            }
            const uint64_t transfer = state_->NextTransfer();
            State* state = state_.get();
            OnSlave(page, msg, address,
                    [=](ftc::FtClient& c, FileSlave& s, const PagePtr& p, const json& m) {
                        Get(c, s, *state, p, m, address, path, transfer);
                    });
        } else {
            SendError(*page, msg, "bad_request", "The console does not know the request " + op + ".");
        }
        return true;
    }

    void OnPageClosed(const PagePtr& page) override { state_->DropPage(page->id()); }

    bool OnHttp(const HttpRequest& req, HttpResponse* resp) override {
        static const std::string kDownload = "/api/download/";
        if (req.path.rfind(kDownload, 0) == 0) {
            Held h;
            if (req.method != "GET" || !state_->Find(req.path.substr(kDownload.size()), &h)) {
                Refuse(resp, 404, "bad_request", "There is no such download; it went with the page that asked for it.");
                return true;
            }
            resp->status = 200;
            resp->content_type = "application/octet-stream";
            resp->body = *h.data;
            resp->attachment_name = h.name;
            return true;
        }
        if (req.path != "/api/upload") return false;
        state_->Reap();
        Upload(req, resp);
        return true;
    }

private:
    using Work = std::function<void(ftc::FtClient&, FileSlave&, const PagePtr&, const json&)>;

    // Runs work on the machine's slave, after the requests before it.
    void OnSlave(const PagePtr& page, const json& msg, const std::string& address, Work work) {
        std::shared_ptr<FileSlave> slave = state_->Live(address);
        if (!slave) return SendError(*page, msg, "failed", "File transfer is not started on " + address + ".");
        FileSlave* s = slave.get();
        slave->Post([=](ftc::FtClient* c) {
            if (!c) return SendError(*page, msg, "failed", GoneText(address));
            work(*c, *s, page, msg);
        });
    }

    void Start(const PagePtr& page, const json& msg, const std::string& address) {
        std::shared_ptr<Machine> machine = list_.Find(address);
        if (!machine) return SendError(*page, msg, "bad_request", "The machine at " + address + " is not in the list.");
        std::shared_ptr<FileSlave> slave = state_->Live(address);
        if (!slave) return StartOnMachine(state_, *machine, page, msg);
        // A slave already running: still there? Otherwise it is started again.
        FileSlave* s = slave.get();
        std::weak_ptr<Machine> weak = machine;
        std::weak_ptr<State> state = state_;
        slave->Post([=](ftc::FtClient* c) {
            if (c && c->Existence().ok) return Ready(*page, msg, address);
            s->MarkGone();
            if (auto m = weak.lock()) return StartOnMachine(state, *m, page, msg);
            SendError(*page, msg, "bad_request", "The machine at " + address + " is not in the list.");
        });
    }

    void Stop(const PagePtr& page, const json& msg, const std::string& address) {
        std::shared_ptr<FileSlave> slave = state_->Live(address);
        if (!slave) return SendDone(*page, msg);
        FileSlave* s = slave.get();
        slave->Post([=](ftc::FtClient* c) {
            if (c) c->Terminate();
            s->MarkGone();
            SendDone(*page, msg);
        });
    }

    void Upload(const HttpRequest& req, HttpResponse* resp) {
        auto arg = [&](const char* key) {
            auto it = req.query.find(key);
            return it == req.query.end() ? std::string() : it->second;
        };
        const std::string address = arg("address");
        std::string path, problem;
        if (req.method != "POST") return Refuse(resp, 405, "bad_request", "An upload is a POST request.");
        if (address.empty()) return Refuse(resp, 400, "bad_request", "The upload names no machine.");
        if (!RemotePath(arg("path"), &path, &problem)) return Refuse(resp, 400, "bad_request", problem);
        uint64_t page_id = 0, modified_ms = 0;
        PagePtr page = Decimal(arg("page"), &page_id) ? FindPage(page_id) : nullptr;
        // The browser's File.lastModified, else now.
        const time_t stamp = Decimal(arg("modified"), &modified_ms) ? static_cast<time_t>(modified_ms / 1000)
                                                                    : std::time(nullptr);
        uint16_t date = 0, time = 0;
        ftc::TimeToDos(stamp, &date, &time);

        std::shared_ptr<FileSlave> slave = state_->Live(address);
        if (!slave) return Refuse(resp, 409, "failed", "File transfer is not started on " + address + ".");
        const std::string shown = Cp1252ToUtf8(path);
        const std::string action = "Cannot upload " + shown + " to " + address;
        const uint64_t transfer = state_->NextTransfer();
        const std::string& body = req.body;
        FileSlave* s = slave.get();
        std::promise<Failure> result;
        std::future<Failure> done = result.get_future();
        // The job always runs (without the slave when it is gone), so the
        // wait ends and the references stay good until then.
        slave->Post([&](ftc::FtClient* c) {
            if (!c) return result.set_value({"failed", GoneText(address)});
            std::size_t pos = 0;
            Pacer pacer;
            const ftc::Result r = c->Upload(
                path,
                [&](uint8_t* buf, std::size_t cap) -> long {
                    if (s->cancelled()) return -1;
                    const std::size_t n = std::min(cap, body.size() - pos);
                    std::copy_n(body.data() + pos, n, buf);
                    pos += n;
                    return static_cast<long>(n);
                },
                body.size(), date, time, false,
                [&](uint64_t done, uint64_t total) {
                    if (page && pacer.Due()) page->Send(Progress(address, transfer, done, total));
                });
            if (r.ok) {
                if (page) page->Send(Progress(address, transfer, body.size(), body.size()));
                return result.set_value({});
            }
            if (s->cancelled())
                return result.set_value({"failed", action + ": the console is closing; the remote file is incomplete."});
            result.set_value(SlaveFailure(action, r));
        });
        const Failure f = done.get();
        if (!f.kind.empty()) return Refuse(resp, f.kind == "no_reply" ? 504 : 502, f.kind.c_str(), f.message);
        Answer(resp, 200, {{"ok", true}, {"size", body.size()}, {"transfer", transfer}});
    }

    MachineList& list_;
    std::shared_ptr<State> state_;
};

}  // namespace

std::unique_ptr<Feature> MakeFilesFeature(MachineList& list, const ConsoleSettings& settings) {
    return MakeFilesFeature(list, settings, StartSlave);
}

std::unique_ptr<Feature> MakeFilesFeature(MachineList& list, const ConsoleSettings& settings, SlaveStarter starter) {
    return std::make_unique<FilesFeature>(list, settings, std::move(starter));
}

}  // namespace qv::web

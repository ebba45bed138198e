#include "tools/webconsole/view_feature.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "tools/rcconsole/data_session.h"
#include "tools/rcconsole/png_file.h"
#include "tools/rcconsole/rcproto.h"
#include "tools/webconsole/browser_input.h"
#include "tools/webconsole/frame_encoder.h"

namespace qv::web {
namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

// The first whole screen must arrive within this time.
constexpr auto kFirstScreenWait = std::chrono::seconds(30);
// The longest wait for the machine's worker to connect and check the
// session (it may be busy with another request of the machine first).
constexpr auto kWorkerWait = std::chrono::seconds(60);
// How long a refused data endpoint is tried again.
constexpr auto kDataReopenWait = std::chrono::seconds(3);
// How often the viewer asks the machine's worker whether the session holds.
constexpr auto kSessionCheckEvery = std::chrono::seconds(5);
// The data link is polled this often for the page's input between packets.
constexpr int kPollMs = 10;
// The page gets at most one picture update per this time; changes meanwhile
// are merged into the next one.
constexpr auto kFrameInterval = std::chrono::milliseconds(20);
// Input payloads waiting for the data link; more means the agent does not
// take them.
constexpr std::size_t kMaxQueuedInput = 4096;

// Runs job on the machine's worker and waits for its answer (or gives up
// when stop() says so or the wait is too long). false: no answer.
template <typename T>
bool OnWorker(Machine& m, std::function<T(AgentSession&)> job, const std::function<bool()>& stop, T* out) {
    auto promise = std::make_shared<std::promise<T>>();
    std::future<T> result = promise->get_future();
    m.Post([promise, job = std::move(job)](AgentSession& s) { promise->set_value(job(s)); });
    const Clock::time_point until = Clock::now() + kWorkerWait;
    while (result.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
        if (stop() || Clock::now() >= until) return false;
    }
    *out = result.get();
    return true;
}

// One page viewing one machine. The receiving thread owns the data link:
// it feeds the picture and sends the page's input, never waiting for the
// page. The sending thread brings the page's canvas up to date with the
// newest picture whenever the page takes more: a slow page gets fewer,
// larger updates, never an old picture.
class Viewing {
public:
    Viewing(PagePtr page, std::shared_ptr<Machine> machine, const ConsoleSettings& settings, unsigned bits,
            Json start_msg, std::shared_ptr<Viewing> previous)
        : page_(std::move(page)),
          page_id_(page_->id()),
          machine_(std::move(machine)),
          settings_(settings),
          bits_(bits),
          start_msg_(std::move(start_msg)),
          previous_(std::move(previous)) {}

    ~Viewing() { Join(); }

    void Start() { receiver_ = std::thread([this] { Receive(); }); }
    void Join() {
        if (receiver_.joinable()) receiver_.join();
    }

    uint64_t page_id() const { return page_id_; }
    const std::string& address() const { return machine_->address(); }
    bool ended() const { return ended_.load(); }

    // Ends the view; the page hears nothing more of it.
    void Stop() {
        {
            std::lock_guard<std::mutex> l(mu_);
            stopping_ = true;
        }
        stop_.store(true);
        cv_.notify_all();
    }
    // Ends the view for the page's view.stop, which gets its done once the
    // agent has let the viewer go. False when the view had ended already
    // (the caller answers itself).
    bool StopOrEnded(const Json& answer) {
        std::lock_guard<std::mutex> l(mu_);
        if (ended_.load()) return true;
        stop_answers_.push_back(answer);
        stopping_ = true;
        stop_.store(true);
        cv_.notify_all();
        return false;
    }

    void SetPaused(bool paused) {
        paused_.store(paused);
        {
            std::lock_guard<std::mutex> l(mu_);
            frame_due_ = true;  // on resume: what changed meanwhile
        }
        cv_.notify_all();
    }

    // The page's input, for the receiving thread to send; false with the
    // failure's kind and sentence.
    bool QueueInput(const Json& events, Failure* f) {
        std::vector<rcc::Bytes> payloads;
        if (!InputPayloads(events, static_cast<unsigned>(width_.load()), static_cast<unsigned>(height_.load()),
                           &payloads, &f->message)) {
            f->kind = "bad_request";
            return false;
        }
        std::lock_guard<std::mutex> l(mu_);
        if (input_.size() + payloads.size() > kMaxQueuedInput) {
            *f = {"failed", "The machine at " + address() + " does not take the input as fast as it comes."};
            return false;
        }
        for (rcc::Bytes& p : payloads) input_.push_back(std::move(p));
        return true;
    }

    // The console's picture now, as a PNG; false when there is none yet.
    bool Snapshot(std::vector<uint8_t>* png, std::string* error) {
        int32_t w = 0, h = 0;
        std::vector<uint8_t> rgb;
        {
            std::lock_guard<std::mutex> l(mu_);
            if (!picture_.screen.has_image()) {
                *error = "No picture of the screen of " + address() + " has arrived yet.";
                return false;
            }
            w = picture_.screen.width();
            h = picture_.screen.height();
            rgb = picture_.screen.ToRgb();
        }
        rcc::PngPicture p;
        p.width = static_cast<std::size_t>(w);
        p.height = static_cast<std::size_t>(h);
        p.pixels = rgb.data();
        p.pixels_size = rgb.size();
        return rcc::EncodePng(p, png, error);
    }

private:
    bool Stopped() const { return stop_.load(); }

    // Ends the view for a reason the page should hear (unless stopped).
    void Fail(const std::string& kind, const std::string& message) {
        std::lock_guard<std::mutex> l(mu_);
        if (failure_.kind.empty()) failure_ = {kind, message};
        stop_.store(true);
        cv_.notify_all();
    }

    void Receive() {
        Run();
        if (sender_.joinable()) {
            stop_.store(true);
            cv_.notify_all();
            sender_.join();
        }
        data_.reset();  // the agent's data endpoint takes the next viewer once this link is closed
        // Only this thread speaks to the page from here on.
        std::vector<Json> answers;
        Failure failure;
        bool stopping = false;
        {
            std::lock_guard<std::mutex> l(mu_);
            answers.swap(stop_answers_);
            failure = failure_;
            stopping = stopping_;
            ended_.store(true);
        }
        if (!answered_) {
            if (failure.kind.empty() || stopping)
                failure = {"failed", "The view of " + address() + " was stopped before the screen arrived."};
            SendError(*page_, start_msg_, failure.kind.c_str(), failure.message);
        } else if (!stopping && !failure.kind.empty()) {
            page_->Send({{"ev", "view.stopped"}, {"address", address()}, {"kind", failure.kind},
                         {"message", failure.message}});
        }
        for (const Json& a : answers) SendDone(*page_, a);
    }

    void Run() {
        // A view of this machine that is ending lets the agent's viewer go
        // first: the agent takes one viewer at a time.
        if (previous_) {
            while (!previous_->ended() && !Stopped()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            previous_.reset();
        }
        if (Stopped()) return;
        struct Setup {
            std::unique_ptr<link::Client> link;
            Failure failure;
        };
        auto setup = std::make_shared<Setup>();
        const std::function<bool()> stopped = [this] { return Stopped(); };
        // The agent opens its data endpoint anew after each viewer: right
        // after one left (this page starting again, say) the old endpoint
        // may take the connection and drop it as it closes, then the new
        // one refuses until it listens.
        const Clock::time_point give_up = Clock::now() + kDataReopenWait;
        for (;;) {
            bool ready = false;
            const bool answered = OnWorker<bool>(
                *machine_,
                [setup](AgentSession& s) {
                    if (!s.Allowed(rc::kAllowTakeover, "viewing the screen", &setup->failure)) return false;
                    setup->link = s.Connect(static_cast<uint16_t>(rc::kDataTcpPort), &setup->failure);
                    return setup->link != nullptr;
                },
                stopped, &ready);
            if (answered && ready) {
                data_ = std::make_unique<rcc::DataSession>(std::move(setup->link), stopped);
                if (data_->Connect(settings_.timeout_ms)) break;
                if (Stopped()) return;
                if (!data_->broken() || Clock::now() >= give_up) {
                    Fail("no_reply", "The machine at " + address() +
                                         " does not answer on its data endpoint; another viewer is connected there "
                                         "or the agent is not running.");
                    return;
                }
                data_.reset();
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                continue;
            }
            if (Stopped()) return;
            if (!answered) {
                Fail("no_reply", "The console's link to the machine at " + address() + " is busy; try again.");
                return;
            }
            if (setup->failure.kind != "no_reply" || Clock::now() >= give_up) {
                Fail(setup->failure.kind, setup->failure.message);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        if (!data_->StartViewing(bits_, settings_.name)) {
            Fail("failed", "The view of " + address() + " could not be started: " + data_->Why() + ".");
            return;
        }
        sender_ = std::thread([this] { Send(); });
        ReceiveLoop();
        SendInput();  // what the page sent before it stopped
        for (const rcc::Bytes& p : held_.Releases()) data_->Send(p);  // nothing stays pressed on the machine
        data_->Disconnect();
    }

    // Sends the page's input queued so far.
    void SendInput() {
        std::vector<rcc::Bytes> input;
        {
            std::lock_guard<std::mutex> l(mu_);
            input.swap(input_);
        }
        for (const rcc::Bytes& p : input) {
            data_->Send(p);
            held_.Track(p);
        }
    }

    void ReceiveLoop() {
        Clock::time_point next_check = Clock::now() + kSessionCheckEvery;
        auto session_lost = std::make_shared<std::atomic<bool>>(false);
        while (!Stopped()) {
            SendInput();
            const rcc::DataSession::Got got = data_->Next(kPollMs);
            if (got == rcc::DataSession::Got::kBroken || got == rcc::DataSession::Got::kDropped) {
                if (!Stopped()) Ended();
                return;
            }
            if (got == rcc::DataSession::Got::kPayload) {
                std::lock_guard<std::mutex> l(mu_);
                rcc::ScreenDecoder& s = picture_.screen;
                const uint64_t rects = s.rects_done();
                const int32_t cx = s.cursor_x(), cy = s.cursor_y();
                const bool had_image = s.has_image();
                const std::size_t image_bytes = s.bits().size();
                picture_.Feed(*data_);
                width_.store(s.width());
                height_.store(s.height());
                ++generation_;
                // A finished rectangle, a moved pointer or a new picture (or
                // colours) make an update worth sending now.
                if (s.rects_done() != rects || s.cursor_x() != cx || s.cursor_y() != cy ||
                    s.has_image() != had_image || s.bits().size() != image_bytes) {
                    frame_due_ = true;
                    cv_.notify_all();
                }
            }
            if (session_lost->load()) {
                Fail("expired", "The session with the machine at " + address() +
                                    " was lost; start the view again to establish a new one.");
                return;
            }
            if (Clock::now() >= next_check) {
                next_check = Clock::now() + kSessionCheckEvery;
                machine_->Post([session_lost](AgentSession& s) {
                    if (!s.established()) session_lost->store(true);
                });
            }
        }
    }

    // The agent let the viewer go or the link broke: whether the session
    // was lost with it says which.
    void Ended() {
        auto lost = std::make_shared<Failure>();
        bool holds = true;
        const std::string why = data_->Why();
        OnWorker<bool>(
            *machine_,
            [lost](AgentSession& s) {
                if (!s.established()) {
                    *lost = {"expired", "The session with the machine at " + s.address() + " was lost."};
                    return false;
                }
                return s.KeepAlive(lost.get());
            },
            [this] { return Stopped(); }, &holds);
        if (!holds && !lost->kind.empty())
            Fail(lost->kind, lost->message + " The view ended.");
        else
            Fail("failed", "The view of " + address() + " ended: " + why + ".");
    }

    void Send() {
        FrameEncoder encoder;
        const Clock::time_point deadline = Clock::now() + kFirstScreenWait;
        uint64_t sent_generation = 0;
        int32_t shown_w = -1, shown_h = -1, cursor_x = -1, cursor_y = -1;
        unsigned shown_bits = 0;
        bool shown_cursor = false;
        Clock::time_point last_frame{};
        while (!Stopped()) {
            {
                std::unique_lock<std::mutex> l(mu_);
                cv_.wait_for(l, std::chrono::milliseconds(100), [this] { return frame_due_ || Stopped(); });
                if (Stopped()) break;
                if (!answered_) {
                    if (!picture_.Complete()) {
                        if (Clock::now() < deadline) continue;
                        l.unlock();
                        Fail("failed", "No whole screen of " + address() + " arrived within " +
                                           std::to_string(kFirstScreenWait.count()) + " s.");
                        break;
                    }
                } else if (paused_.load() || generation_ == sent_generation) {
                    frame_due_ = false;
                    continue;
                }
            }
            // A short pause merges changes that come close together.
            const auto since = Clock::now() - last_frame;
            if (answered_ && since < kFrameInterval) std::this_thread::sleep_for(kFrameInterval - since);
            rcc::ScreenDecoder screen;
            {
                std::lock_guard<std::mutex> l(mu_);
                frame_due_ = false;
                sent_generation = generation_;
                screen = picture_.screen;  // the newest picture; the data link goes on meanwhile
            }
            last_frame = Clock::now();
            bool ok = true;
            if (screen.width() != shown_w || screen.height() != shown_h || screen.bit_count() != shown_bits) {
                shown_w = screen.width();
                shown_h = screen.height();
                shown_bits = screen.bit_count();
                ok = page_->Send({{"ev", "view.screen"}, {"address", address()}, {"width", shown_w},
                                  {"height", shown_h}, {"bits", shown_bits}});
            }
            for (const RectUpdate& u : encoder.Changes(screen))
                if (ok) ok = page_->SendBinary(u.message.data(), u.message.size());
            if (ok && screen.has_cursor() &&
                (!shown_cursor || screen.cursor_x() != cursor_x || screen.cursor_y() != cursor_y)) {
                shown_cursor = true;
                cursor_x = screen.cursor_x();
                cursor_y = screen.cursor_y();
                ok = page_->Send({{"ev", "view.cursor"}, {"address", address()}, {"x", cursor_x}, {"y", cursor_y}});
            }
            if (!ok) {
                Stop();  // the page is gone
                break;
            }
            if (!answered_) {
                answered_ = true;
                SendDone(*page_, start_msg_);
            }
        }
    }

    const PagePtr page_;
    const uint64_t page_id_;
    const std::shared_ptr<Machine> machine_;
    const ConsoleSettings settings_;
    const unsigned bits_;
    const Json start_msg_;
    std::shared_ptr<Viewing> previous_;
    std::unique_ptr<rcc::DataSession> data_;
    HeldInput held_;  // the receiving thread's
    std::thread receiver_, sender_;
    std::atomic<bool> stop_{false}, paused_{false}, ended_{false};
    std::atomic<int32_t> width_{0}, height_{0};
    bool answered_ = false;  // the sending thread's until it has ended

    std::mutex mu_;
    std::condition_variable cv_;
    rcc::ScreenPicture picture_;
    uint64_t generation_ = 0;
    bool frame_due_ = false;
    std::vector<rcc::Bytes> input_;
    bool stopping_ = false;
    std::vector<Json> stop_answers_;
    Failure failure_;
};

class ViewFeature : public Feature {
public:
    ViewFeature(MachineList& list, const ConsoleSettings& settings) : list_(list), settings_(settings) {}

    ~ViewFeature() override {
        std::vector<std::shared_ptr<Viewing>> all;
        {
            std::lock_guard<std::mutex> l(mu_);
            for (auto& [address, v] : current_) all.push_back(v);
            all.insert(all.end(), ending_.begin(), ending_.end());
            current_.clear();
            ending_.clear();
        }
        for (auto& v : all) v->Stop();
        for (auto& v : all) v->Join();
    }

    bool OnMessage(const PagePtr& page, const Json& msg) override {
        const std::string op = msg["op"].get<std::string>();
        if (op.rfind("view.", 0) != 0) return false;
        Reap();
        const auto a = msg.find("address");
        if (a == msg.end() || !a->is_string() || a->get_ref<const std::string&>().empty()) {
            SendError(*page, msg, "bad_request", "The request names no machine (\"address\").");
            return true;
        }
        const std::string address = a->get<std::string>();
        if (op == "view.start") {
            StartView(page, address, msg);
            return true;
        }
        std::shared_ptr<Viewing> v = ViewOf(page, address);
        if (op == "view.stop") {
            if (v) {
                {
                    std::lock_guard<std::mutex> l(mu_);
                    MoveToEnding(address);
                }
                if (!v->StopOrEnded(msg)) return true;  // answered once the agent let go
            }
            SendDone(*page, msg);
        } else if (op == "view.pause" || op == "view.resume") {
            if (v) v->SetPaused(op == "view.pause");
            SendDone(*page, msg);
        } else if (op == "view.input") {
            Failure f;
            if (!v)
                SendError(*page, msg, "failed", "This page is not viewing the machine at " + address + ".");
            else if (!v->QueueInput(msg.contains("events") ? msg["events"] : Json(), &f))
                SendError(*page, msg, f.kind.c_str(), f.message);
            else
                SendDone(*page, msg);
        } else {
            SendError(*page, msg, "bad_request", "The console does not know the request \"" + op + "\".");
        }
        return true;
    }

    void OnPageClosed(const PagePtr& page) override {
        std::vector<std::shared_ptr<Viewing>> gone;
        {
            std::lock_guard<std::mutex> l(mu_);
            for (auto it = current_.begin(); it != current_.end();) {
                if (it->second->page_id() == page->id()) {
                    gone.push_back(it->second);
                    ending_.push_back(it->second);
                    it = current_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (auto& v : gone) v->Stop();
    }

    bool OnHttp(const HttpRequest& req, HttpResponse* resp) override {
        if (req.path != "/api/snapshot") return false;
        const auto a = req.query.find("address");
        const std::string address = a == req.query.end() ? std::string() : a->second;
        std::shared_ptr<Viewing> v;
        {
            std::lock_guard<std::mutex> l(mu_);
            const auto it = current_.find(address);
            if (it != current_.end() && !it->second->ended()) v = it->second;
        }
        std::vector<uint8_t> png;
        std::string error = "The console is not viewing the machine at " + address + ".";
        if (!v || !v->Snapshot(&png, &error)) {
            resp->status = 404;
            resp->body = Json{{"ok", false}, {"kind", "failed"}, {"message", error}}.dump();
            return true;
        }
        resp->content_type = "image/png";
        resp->body.assign(png.begin(), png.end());
        resp->attachment_name = address + "-screen.png";
        return true;
    }

private:
    void StartView(const PagePtr& page, const std::string& address, const Json& msg) {
        const auto b = msg.find("bits");
        const int bits = b == msg.end() ? 8 : b->is_number_integer() ? b->get<int>() : -1;
        if (bits != 4 && bits != 8) {
            SendError(*page, msg, "bad_request", "The colour depth (\"bits\") is 4 or 8.");
            return;
        }
        std::shared_ptr<Machine> machine = list_.Find(address);
        if (!machine) {
            SendError(*page, msg, "bad_request", "The machine " + address + " is not in the console's list.");
            return;
        }
        std::shared_ptr<Viewing> v;
        {
            std::lock_guard<std::mutex> l(mu_);
            const auto it = current_.find(address);
            if (it != current_.end() && !it->second->ended()) {
                if (it->second->page_id() != page->id()) {
                    SendError(*page, msg, "busy",
                              "The machine at " + address + " is being viewed in another page of this console.");
                    return;
                }
                it->second->Stop();  // this page starts again (another colour depth, say)
            }
            if (it != current_.end()) MoveToEnding(address);
            std::shared_ptr<Viewing> previous;
            for (const auto& e : ending_)
                if (e->address() == address && !e->ended()) previous = e;
            v = std::make_shared<Viewing>(page, machine, settings_, static_cast<unsigned>(bits), msg, previous);
            current_[address] = v;
        }
        v->Start();
    }

    std::shared_ptr<Viewing> ViewOf(const PagePtr& page, const std::string& address) {
        std::lock_guard<std::mutex> l(mu_);
        const auto it = current_.find(address);
        if (it == current_.end() || it->second->page_id() != page->id() || it->second->ended()) return nullptr;
        return it->second;
    }

    // Under mu_.
    void MoveToEnding(const std::string& address) {
        const auto it = current_.find(address);
        if (it == current_.end()) return;
        ending_.push_back(it->second);
        current_.erase(it);
    }

    // Joins the threads of views that have ended.
    void Reap() {
        std::vector<std::shared_ptr<Viewing>> done;
        {
            std::lock_guard<std::mutex> l(mu_);
            for (auto it = current_.begin(); it != current_.end();) {
                if (it->second->ended()) {
                    done.push_back(it->second);
                    it = current_.erase(it);
                } else {
                    ++it;
                }
            }
            for (auto it = ending_.begin(); it != ending_.end();) {
                if ((*it)->ended()) {
                    done.push_back(*it);
                    it = ending_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (auto& v : done) v->Join();
    }

    MachineList& list_;
    const ConsoleSettings settings_;
    std::mutex mu_;
    std::map<std::string, std::shared_ptr<Viewing>> current_;  // by address
    std::vector<std::shared_ptr<Viewing>> ending_;
};

}  // namespace

std::unique_ptr<Feature> MakeViewFeature(MachineList& list, const ConsoleSettings& settings) {
    return std::make_unique<ViewFeature>(list, settings);
}

}  // namespace qv::web

// Recording fakes of the interfaces the agent core calls, for the unit
// tests, the fuzz targets and the benchmark.
#pragma once

#include <algorithm>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "agent/data_endpoint.h"
#include "agent/security.h"
#include "agent/send_path.h"
#include "agent/settings.h"
#include "agent/screen_codec.h"
#include "agent/verify.h"
#include "libs/screenq/queue_buffer.h"

namespace qv::agent::test {

using Bytes = std::vector<uint8_t>;

// A capture loop that runs until the test stops calling it.
struct NeverStop : StopCheck {
    bool Stopped() override { return false; }
};

struct Events : AgentEvents {
    std::vector<std::string> lines;
    std::vector<std::string> audits;  // "id:S|F:insertion"
    bool keep = true;
    void Line(const char* t) override {
        if (keep) lines.push_back(t);
    }
    void Audit(int id, bool ok, const char* ins) override {
        if (keep) audits.push_back(std::to_string(id) + (ok ? ":S:" : ":F:") + (ins ? ins : ""));
    }
    bool Logged(const std::string& t) const {
        for (const auto& l : lines)
            if (l == t) return true;
        return false;
    }
};

struct Host : VerifyHost {
    SystemInfo info;
    std::vector<std::string> calls;
    uint32_t start_error = 0;
    std::vector<PromptRequest> prompts;
    SystemInfo Info() override { return info; }
    void ShowCheckOut(const char* t) override { calls.push_back(std::string("checkout:") + t); }
    void StartPromptThread(const PromptRequest& r) override { prompts.push_back(r); }
    uint32_t StartProgram(const std::string& w, const std::string& rest) override {
        calls.push_back("start:" + w + "|" + rest);
        return start_error;
    }
    void CloseLastProgram() override { calls.push_back("close"); }
    std::string PromptTemplate(int) override { return ""; }
};

struct Link : DataLink {
    // Packets Recv hands out (empty -> returns 0); a received packet makes
    // its sender the peer again. ResetSession drops the peer, as the
    // transport does: sends then reach nobody and fail.
    std::deque<Bytes> inbox;
    std::vector<Bytes> sent;
    bool open = true, active = true, fail_sends = false;
    int resets = 0;
    std::function<void(const Bytes&)> on_send;
    int Recv(uint8_t* b, int cap) override {
        if (inbox.empty()) return 0;
        Bytes p = std::move(inbox.front());
        inbox.pop_front();
        active = true;
        const int n = static_cast<int>(std::min<std::size_t>(p.size(), static_cast<std::size_t>(cap)));
        std::copy(p.begin(), p.begin() + n, b);
        return n;
    }
    bool Send(const uint8_t* d, std::size_t n, uint32_t* e) override {
        if (fail_sends || !open || !active) {
            *e = 0x2006;
            return false;
        }
        sent.emplace_back(d, d + n);
        if (on_send) on_send(sent.back());
        return true;
    }
    bool IsOpen() override { return open; }
    bool IsSessionActive() override { return open && active; }
    void ResetSession() override {
        ++resets;
        active = false;
    }
    void Close() override { open = false; }
};

// Waits answered from a script: each WaitForSlot runs `on_slot_wait` (which
// may acknowledge) and reports the slot event, or a time-out when told so.
struct Waits : SendWaits {
    int slot_waits = 0, slot_resets = 0, slot_signals = 0, data_resets = 0;
    std::function<SlotWake()> on_slot_wait;
    std::deque<DataWake> data_wakes;
    std::vector<std::string> errors;
    void ResetSlotEvent() override { ++slot_resets; }
    void SignalSlotEvent() override { ++slot_signals; }
    SlotWake WaitForSlot(uint32_t, uint32_t*) override {
        ++slot_waits;
        return on_slot_wait ? on_slot_wait() : SlotWake::kTimeout;
    }
    DataWake WaitForData(uint32_t*) override {
        if (data_wakes.empty()) return DataWake::kTerminate;
        DataWake w = data_wakes.front();
        data_wakes.pop_front();
        return w;
    }
    void ResetDataReady() override { ++data_resets; }
    void Sleep(uint32_t) override {}
    void ShowError(const char* t) override { errors.push_back(t); }
};

// screenq's core behind a recursive mutex, as the named mutex behaves.
struct Queue : SendQueue {
    screenq::QueueBuffer q{64u << 10};
    std::recursive_mutex mu;
    int held = 0;
    void Put(const Bytes& b) {
        std::lock_guard<std::recursive_mutex> l(mu);
        uint8_t* p = q.Begin(static_cast<uint32_t>(b.size()));
        if (p) {
            std::copy(b.begin(), b.end(), p);
            q.End(static_cast<uint32_t>(b.size()));
        }
    }
    uint32_t GetBufferPos() override { return q.Pos(); }
    const uint8_t* GetSendBuffer() override { return q.Data(); }
    void ClearSendBuffer() override {
        std::lock_guard<std::recursive_mutex> l(mu);
        q.Clear();
    }
    bool GetQueueingBufferMutex() override {
        mu.lock();
        ++held;
        return true;
    }
    void ReleaseQueueingBufferMutex() override {
        --held;
        mu.unlock();
    }
};

struct Input : InputSink {
    std::vector<std::string> calls;
    void Key(uint16_t k, uint8_t s) override { calls.push_back("key:" + std::to_string(k) + ":" + std::to_string(s)); }
    void Mouse(uint8_t b, uint16_t x, uint16_t y) override {
        calls.push_back("mouse:" + std::to_string(b) + ":" + std::to_string(x) + ":" + std::to_string(y));
    }
    void SecureAttention() override { calls.push_back("sas"); }
    void ResetCursorTracking() override { calls.push_back("cursor"); }
};

struct Viewing : ViewingControl {
    std::vector<std::string> calls;
    int locked = 0;
    bool sixteen = false, terminate = false;
    void Lock() override { ++locked; }
    void Unlock() override { --locked; }
    void SetStatus(int s) override { calls.push_back("status:" + std::to_string(s)); }
    void SetViewerName(const std::string& n) override { calls.push_back("name:" + n); }
    bool DisplayHas16Colours() override { return sixteen; }
    void ActivateChangesThread() override { calls.push_back("activate"); }
    WaitOutcome StopChangesThread(uint32_t*) override {
        calls.push_back("stopchanges");
        return WaitOutcome::kDone;
    }
    bool StopViewingThreads() override {
        calls.push_back("stopall");
        return true;
    }
    void Invalidate(int16_t l, int16_t t, int16_t r, int16_t b) override {
        calls.push_back("inval:" + std::to_string(l) + "," + std::to_string(t) + "," + std::to_string(r) + "," +
                        std::to_string(b));
    }
    bool TerminateRequested() override { return terminate; }
    void Sleep(uint32_t) override {}
};

struct Pipe : PipeHost {
    int protocol = 1;
    int Protocol() override { return protocol; }
    std::string ComputerName() override { return "WORKSTATION7"; }
    std::size_t LocalName(uint8_t* b, std::size_t cap) override {
        for (std::size_t i = 0; i < cap; ++i) b[i] = static_cast<uint8_t>(0xA0 + i);
        return cap;
    }
};

// The agent's data side wired to fakes.
struct DataRig {
    Events ev;
    ViewState view;
    SendPath send{view, ev};
    Waits waits;
    Link link;
    Input input;
    Viewing viewing;
    Queue queue;
    DataEndpoint data{view, send, waits, link, input, viewing, ev};
};

}  // namespace qv::agent::test

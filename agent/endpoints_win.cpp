// rchost32.exe: the two transport endpoints and the threads that serve
// them - VerifyThread (verify endpoint), VieweeThread (data endpoint) and
// SendThread (queued screen data) - wired to the portable core, plus the
// place where viewing starts and stops.
//
// Only one SendThread ever serves a connection: before VieweeThread opens
// the data endpoint again after a receive error, the previous SendThread is
// told to end and waited for, and the previous endpoint is closed.
//
// Viewing starts the screen changes thread (screen_win.cpp); the viewer's
// key and mouse commands go to the agent's input (input_win.cpp).
#include <windows.h>

#include <cstring>
#include <optional>

#include "agent/agent_win.h"
#include "agent/data_endpoint.h"
#include "agent/send_path.h"
#include "agent/verify.h"
#include "libs/screenq/screenq.h"

namespace qv::agent {
namespace {

// The data endpoint as the core sees it: whatever handle is current.
class HandleLink final : public DataLink {
public:
    int Recv(uint8_t* buffer, int capacity) override {
        const LinkHandle h = g_agent.data_endpoint;
        if (!h) return 0;
        return RecvPacket(h, buffer, capacity);
    }
    bool Send(const uint8_t* data, std::size_t len, uint32_t* error) override {
        const LinkHandle h = g_agent.data_endpoint;
        if (h && SendPacket(h, data, static_cast<int>(len))) return true;
        if (error) *error = h ? LinkGetLastError() : LC_ERR_INACTIVE;
        return false;
    }
    bool IsOpen() override { return g_agent.data_endpoint != 0; }
    bool IsSessionActive() override {
        const LinkHandle h = g_agent.data_endpoint;
        return h && ::IsSessionActive(h);
    }
    void ResetSession() override {
        if (const LinkHandle h = g_agent.data_endpoint) ::ResetSession(h, 0);
    }
    void Close() override {
        if (const LinkHandle h = g_agent.data_endpoint.exchange(0)) DeinitProtocol(h);
    }
};

class ScreenQueue final : public SendQueue {
public:
    uint32_t GetBufferPos() override { return ::GetBufferPos(); }
    const uint8_t* GetSendBuffer() override { return ::GetSendBuffer(); }
    void ClearSendBuffer() override { ::ClearSendBuffer(); }
    bool GetQueueingBufferMutex() override { return ::GetQueueingBufferMutex() != 0; }
    void ReleaseQueueingBufferMutex() override { ::ReleaseQueueingBufferMutex(); }
};

class EventWaits final : public SendWaits {
public:
    void ResetSlotEvent() override { ::ResetEvent(g_agent.send_slot_event); }
    void SignalSlotEvent() override { ::SetEvent(g_agent.send_slot_event); }
    SlotWake WaitForSlot(uint32_t ms, uint32_t* error) override {
        HANDLE events[3] = {g_agent.send_slot_event, g_agent.terminate_event, g_agent.viewing_terminated_event};
        const DWORD r = ::WaitForMultipleObjects(3, events, FALSE, ms);
        if (r == WAIT_OBJECT_0) return SlotWake::kSlotEvent;
        if (r == WAIT_OBJECT_0 + 1) return SlotWake::kTerminate;
        if (r == WAIT_OBJECT_0 + 2) return SlotWake::kViewingTerminated;
        if (r == WAIT_TIMEOUT) return SlotWake::kTimeout;
        if (error) *error = ::GetLastError();
        return SlotWake::kError;
    }
    DataWake WaitForData(uint32_t* error) override {
        HANDLE events[3] = {g_agent.data_ready_event, g_agent.terminate_event, g_agent.viewing_terminated_event};
        const DWORD r = ::WaitForMultipleObjects(3, events, FALSE, INFINITE);
        if (r == WAIT_OBJECT_0) return DataWake::kDataReady;
        if (r == WAIT_OBJECT_0 + 1) return DataWake::kTerminate;
        if (r == WAIT_OBJECT_0 + 2) return DataWake::kViewingTerminated;
        if (error) *error = ::GetLastError();
        return DataWake::kError;
    }
    void ResetDataReady() override { ::ResetEvent(g_agent.data_ready_event); }
    void Sleep(uint32_t ms) override { ::Sleep(ms); }
    void ShowError(const char* text) override { ShowBox(text, MB_OK); }
};

bool TerminateWithin(DWORD ms) {
    return g_agent.terminate_event && ::WaitForSingleObject(g_agent.terminate_event, ms) == WAIT_OBJECT_0;
}

bool WaitAndClose(HANDLE* thread, DWORD ms) {
    if (!*thread) return true;
    const bool ended = ::WaitForSingleObject(*thread, ms) == WAIT_OBJECT_0;
    if (ended) {
        ::CloseHandle(*thread);
        *thread = nullptr;
    }
    return ended;
}

class WindowsViewing final : public ViewingControl {
public:
    void Lock() override { ::EnterCriticalSection(&g_agent.viewing_lock); }
    void Unlock() override { ::LeaveCriticalSection(&g_agent.viewing_lock); }
    void SetStatus(int status) override { agent::SetStatus(status); }
    void SetViewerName(const std::string& name) override {
        std::strncpy(g_agent.viewer_name, name.c_str(), sizeof g_agent.viewer_name - 1);
        g_agent.viewer_name[sizeof g_agent.viewer_name - 1] = 0;
    }
    bool DisplayHas16Colours() override { return agent::DisplayHas16Colours(); }
    void ActivateChangesThread() override { agent::ActivateChangesThread(); }
    WaitOutcome StopChangesThread(uint32_t* error) override {
        ::SetEvent(g_agent.viewing_terminated_event);
        if (!g_agent.changes_thread) return WaitOutcome::kDone;
        const DWORD r = ::WaitForSingleObject(g_agent.changes_thread, kStopWaitMs);
        if (r == WAIT_OBJECT_0) return WaitOutcome::kDone;
        if (r == WAIT_TIMEOUT) return WaitOutcome::kTimeout;
        if (error) *error = ::GetLastError();
        return WaitOutcome::kError;
    }
    bool StopViewingThreads() override {
        ::SetEvent(g_agent.viewing_terminated_event);
        HANDLE threads[2];
        DWORD n = 0;
        if (g_agent.send_thread) threads[n++] = g_agent.send_thread;
        if (g_agent.changes_thread) threads[n++] = g_agent.changes_thread;
        const bool ended = n == 0 || ::WaitForMultipleObjects(n, threads, TRUE, kStopWaitMs) != WAIT_TIMEOUT;
        if (g_agent.send_thread) ::CloseHandle(g_agent.send_thread);
        g_agent.send_thread = nullptr;
        ::ResetEvent(g_agent.viewing_terminated_event);
        return ended;
    }
    void Invalidate(int16_t left, int16_t top, int16_t right, int16_t bottom) override {
        RECT rc{left, top, right, bottom};
        ::InvalidateRect(nullptr, &rc, TRUE);
    }
    bool TerminateRequested() override { return g_agent.view.shuttingDown || TerminateWithin(kTerminateCheckMs); }
    void Sleep(uint32_t ms) override { ::Sleep(ms); }
};

HandleLink g_link;
ScreenQueue g_queue;
EventWaits g_waits;
WindowsViewing g_viewing;

SendPath& Send() {
    static SendPath send(g_agent.view, Events());
    return send;
}

// The data endpoint's state is made new at every set-up: a viewer that was
// connected when the agent restarted is gone, and the first viewer after the
// restart must not be taken for it (its connect would reset, and so drop,
// the new caller).
std::optional<DataEndpoint> g_data;
std::atomic<bool> g_viewee_running{false};

DataEndpoint& Data() {
    if (!g_data) g_data.emplace(g_agent.view, Send(), g_waits, g_link, AgentInput(), g_viewing, Events());
    return *g_data;
}

void FreshDataEndpoint() {
    if (g_viewee_running) {
        Log("Viewee thread still running: data endpoint state kept");
        return;
    }
    g_data.reset();
    Data();
}

VerifyEndpoint& Verify() {
    static VerifyEndpoint verify(g_agent.security, Host(), Events());
    return verify;
}

DWORD WINAPI SendThread(LPVOID) {
    Send().RunSendThread(g_waits, g_queue, g_link);
    return 0;
}

// Ends the previous connection's SendThread (under the viewing lock).
void RetireSendThread() {
    if (!g_agent.send_thread) return;
    g_agent.view.paused = false;  // a paused SendThread would only doze on
    ::SetEvent(g_agent.viewing_terminated_event);
    if (!WaitAndClose(&g_agent.send_thread, kStopWaitMs)) {
        Log("*** A THREAD DID NOT TERMINATE IN TIME ***");
        ::CloseHandle(g_agent.send_thread);
        g_agent.send_thread = nullptr;
    }
    if (!g_agent.changes_thread || ::WaitForSingleObject(g_agent.changes_thread, 0) == WAIT_OBJECT_0)
        ::ResetEvent(g_agent.viewing_terminated_event);
}

// The previous connection's SendThread ends and its endpoint closes before
// a new connection is served.
void RetireConnection() {
    g_link.Close();
    g_viewing.Lock();
    RetireSendThread();
    g_viewing.Unlock();
}

DWORD WINAPI VieweeThread(LPVOID) {
    DataEndpoint& data = Data();
    for (;;) {
        data.BeginCycle();
        if (!data.WaitForPackets()) {
            Log("** Viewee Thread terminating");
            g_viewee_running = false;
            return 0;
        }
        Log("**** WaitForPackets returned");
        if (TerminateWithin(kTerminateCheckMs)) {
            Log("VieweeThread terminating by terminate event");
            g_viewee_running = false;
            return 0;
        }
        Log(g_agent.protocol == kProtocolTcpip ? "Restarting TCP/IP" : "Restarting IPX");
        RetireConnection();
        OpenEndpoints(false);
        data.ResstablishListen();
    }
}

DWORD WINAPI VerifyThread(LPVOID) {
    VerifyEndpoint& verify = Verify();
    uint8_t packet[rc::kRecvCapacity];
    for (;;) {
        const LinkHandle h = g_agent.verify_endpoint;
        if (!h) {
            Log("VerifyThread terminating - %d", static_cast<int>(LC_ERR_INACTIVE));
            return 0;
        }
        const int n = RecvPacket(h, packet, sizeof packet);
        if (n <= 0) {
            const uint32_t error = LinkGetLastError();
            if (error == LC_ERR_NONE) continue;
            if (error == LC_ERR_INACTIVE) {
                Log("VerifyThread terminating - %d", static_cast<int>(error));
                return 0;
            }
            if (TerminateWithin(kTerminateCheckMs)) {
                Log("VerifyThread terminating by terminate event");
                return 0;
            }
            Log("** Protocol error - Resetting");
            ::ResetSession(h, 0);
            continue;
        }
        uint8_t caller[rc::kAddressMax] = {};
        int caller_len = static_cast<int>(sizeof caller);
        if (!GetRemoteName(h, caller, &caller_len)) caller_len = 0;
        const VerifyOutcome out = verify.Handle(packet, static_cast<std::size_t>(n), caller,
                                                static_cast<std::size_t>(caller_len), ::GetTickCount());
        if (out.reply_len) SendPacket(h, out.reply.data(), static_cast<int>(out.reply_len));
        if (out.reboot) Rebooter().Reboot();
        if (out.accept_any_caller) AcceptAnyCaller(h);
    }
}

LinkHandle OpenOne(uint32_t ipx_socket, uint32_t tcp_port) {
    const LinkHandle h = g_agent.protocol == kProtocolTcpip ? InitTCPIPSession(0, tcp_port, 0, 0)
                                                            : InitIPXSession(0, ipx_socket, 0);
    if (h) SetBlocking(h, 1);
    return h;
}

}  // namespace

int OpenEndpoints(bool first) {
    if (g_agent.protocol == kProtocolTcpip) Log("Init TCPIP");
    if (first) {
        if (!g_agent.send_slot_event) g_agent.send_slot_event = ::CreateEventA(nullptr, TRUE, TRUE, nullptr);
        const LinkHandle v = OpenOne(rc::kVerifyIpxSocket, rc::kVerifyTcpPort);
        if (!v) return -1;
        g_agent.verify_endpoint = v;
    }
    const LinkHandle d = OpenOne(rc::kDataIpxSocket, rc::kDataTcpPort);
    if (!d) return -1;
    g_agent.data_endpoint = d;
    if (first) {
        FreshDataEndpoint();
        g_viewee_running = true;
        g_agent.viewee_thread = ::CreateThread(nullptr, 0, VieweeThread, nullptr, 0, nullptr);
        if (!g_agent.viewee_thread) g_viewee_running = false;
    }
    g_viewing.Lock();
    g_agent.send_thread = ::CreateThread(nullptr, 0, SendThread, nullptr, 0, nullptr);
    g_viewing.Unlock();
    if (!g_agent.send_thread) Log("SendThread not created");
    return 0;
}

bool StartVerifyThread() {
    g_agent.verify_thread = ::CreateThread(nullptr, 0, VerifyThread, nullptr, 0, nullptr);
    return g_agent.verify_thread != nullptr;
}

void DropViewer() { Data().DropViewer(); }

unsigned ViewerColourBits() { return Data().viewerColourBits(); }

void FreeAllSendSlots() { Send().FreeAllSlots(); }

void ResstablishListen() { Data().ResstablishListen(); }

bool ViewerActive() { return g_link.IsSessionActive(); }

}  // namespace qv::agent

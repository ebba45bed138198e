// screenq over the agent's named objects. Every operation that touches the
// queue's position runs under "RCHOST32 Queueing Buffer Mutex"; a
// reservation keeps the mutex from BeginQueueing to EndQueueing.
#include <windows.h>

#include "libs/screenq/queue_buffer.h"
#include "libs/screenq/screenq.h"

namespace {

qv::screenq::QueueBuffer& Queue() {
    static qv::screenq::QueueBuffer q;
    return q;
}

HANDLE g_data_ready = nullptr;
HANDLE g_zero_pos = nullptr;
HANDLE g_mutex = nullptr;

// Opens the named objects the agent created; true when all three are open.
bool Attach() {
    if (!g_data_ready) g_data_ready = OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, "RCHOST32 Data Ready Event");
    if (!g_zero_pos) g_zero_pos = OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, "RCHOST32 Zero BufferPos Event");
    if (!g_mutex) g_mutex = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, "RCHOST32 Queueing Buffer Mutex");
    return g_data_ready && g_zero_pos && g_mutex;
}

bool Lock() {
    if (!Attach()) return false;
    const DWORD r = WaitForSingleObject(g_mutex, INFINITE);
    // An abandoned mutex (a changes thread that ended while holding it) is ours now.
    return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
}

void Unlock() { ReleaseMutex(g_mutex); }

}  // namespace

uint8_t* BeginQueueing(uint32_t size) {
    if (!Lock()) return nullptr;
    uint8_t* p = Queue().Begin(size);
    if (!p) Unlock();
    return p;
}

int EndQueueing(uint32_t size) {
    if (!Queue().ReservationOpen()) return 0;
    const uint32_t n = Queue().End(size);
    if (n) {
        ResetEvent(g_zero_pos);
        SetEvent(g_data_ready);
    }
    Unlock();
    return n ? 1 : 0;
}

uint32_t GetBufferPos(void) { return Queue().Pos(); }

uint8_t* GetSendBuffer(void) { return Queue().Data(); }

void ClearSendBuffer(void) {
    if (!Lock()) {
        Queue().Clear();
        return;
    }
    Queue().Clear();
    SetEvent(g_zero_pos);
    Unlock();
}

void ClearChangesBuffer(void) {
    if (!Lock()) return;
    Queue().Withdraw();
    Unlock();
}

int GetQueueingBufferMutex(void) { return Lock() ? 1 : 0; }

void ReleaseQueueingBufferMutex(void) {
    if (g_mutex) ReleaseMutex(g_mutex);
}

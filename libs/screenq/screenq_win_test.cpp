// screenq over the agent's named objects, under Wine: nothing is queued
// before the agent created them, a reservation holds the queue's lock, a
// commit signals Data Ready and the clearing signals Zero BufferPos.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "libs/screenq/screenq.h"

namespace {

// Whether another thread could take the queue's lock now.
bool LockFree(HANDLE mutex) {
    bool free = false;
    std::thread t([&] {
        const DWORD r = WaitForSingleObject(mutex, 0);
        free = r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
        if (free) ReleaseMutex(mutex);
    });
    t.join();
    return free;
}

TEST(Screenq, QueueOverNamedObjects) {
    EXPECT_EQ(BeginQueueing(10), nullptr);
    EXPECT_EQ(GetQueueingBufferMutex(), 0);

    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, "RCHOST32 Data Ready Event");
    HANDLE zero = CreateEventA(nullptr, TRUE, FALSE, "RCHOST32 Zero BufferPos Event");
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "RCHOST32 Queueing Buffer Mutex");
    ASSERT_TRUE(ready && zero && mutex);

    uint8_t* p = BeginQueueing(100);
    ASSERT_NE(p, nullptr);
    EXPECT_FALSE(LockFree(mutex));
    EXPECT_EQ(BeginQueueing(1), nullptr);  // one reservation at a time
    std::memset(p, 7, 100);
    EXPECT_EQ(EndQueueing(60), 1);
    EXPECT_TRUE(LockFree(mutex));
    EXPECT_EQ(WaitForSingleObject(ready, 0), WAIT_OBJECT_0);
    EXPECT_EQ(GetBufferPos(), 60u);
    EXPECT_EQ(GetSendBuffer()[59], 7);

    ResetEvent(ready);
    ASSERT_NE(BeginQueueing(5), nullptr);
    EXPECT_EQ(EndQueueing(0), 0);  // withdrawn: nothing committed, no signal
    EXPECT_EQ(WaitForSingleObject(ready, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(BeginQueueing(64u << 20), nullptr);
    EXPECT_TRUE(LockFree(mutex));

    // The consumer's lock may be taken again by its own thread.
    ASSERT_EQ(GetQueueingBufferMutex(), 1);
    EXPECT_FALSE(LockFree(mutex));
    ClearSendBuffer();
    ReleaseQueueingBufferMutex();
    EXPECT_TRUE(LockFree(mutex));
    EXPECT_EQ(GetBufferPos(), 0u);
    EXPECT_EQ(WaitForSingleObject(zero, 0), WAIT_OBJECT_0);

    // A changes thread that ended inside its reservation leaves nothing
    // behind once the next one clears the changes buffer.
    std::thread([] { BeginQueueing(8); }).join();
    ClearChangesBuffer();
    uint8_t* again = BeginQueueing(8);
    EXPECT_NE(again, nullptr);
    EndQueueing(8);
    EXPECT_EQ(GetBufferPos(), 8u);
    CloseHandle(ready);
    CloseHandle(zero);
    CloseHandle(mutex);
}

}  // namespace

// screenq: the queueing buffer of the agent's outgoing screen data.
//
// A static library with the operations below (linked into rchost32.exe).
// Producers (the changes thread) reserve space at the end of the queue with
// BeginQueueing, write their record there and commit it with EndQueueing;
// the consumer (SendThread) reads the committed bytes from GetSendBuffer()
// up to GetBufferPos() and empties the queue with ClearSendBuffer().
//
// The lock is the named mutex "RCHOST32 Queueing Buffer Mutex". BeginQueueing
// takes it and EndQueueing releases it, so a record is never committed while
// the consumer holds the lock (the consumer holds it from its last read of
// the position until the queue is emptied). The library opens the named
// objects "RCHOST32 Data Ready Event", "RCHOST32 Zero BufferPos Event" and
// the mutex by name on first use (retrying on later calls until they exist;
// the agent creates them); EndQueueing signals Data Ready when bytes were
// committed, ClearSendBuffer signals Zero BufferPos and a commit resets it.
// See README.md.
#pragma once

#include <stdint.h>

// size contiguous bytes reserved at the end of the queue, or null when they
// do not fit (or the named objects are missing, or a reservation is open).
uint8_t* BeginQueueing(uint32_t size);
// Commits size bytes of the open reservation (0 withdraws it); non-zero when
// bytes were committed.
int EndQueueing(uint32_t size);
// Committed bytes in the queue.
uint32_t GetBufferPos(void);
// The first byte of the queue.
uint8_t* GetSendBuffer(void);
// Empties the queue.
void ClearSendBuffer(void);
// Withdraws a reservation left open by a changes thread that ended.
void ClearChangesBuffer(void);
// Takes the queue's lock; non-zero on success.
int GetQueueingBufferMutex(void);
void ReleaseQueueingBufferMutex(void);

#pragma once
// The few Windows synchronisation calls the thread classes stand on: handles
// to auto-reset events, mutexes (owned by a thread, re-entrant for it) and
// threads (signalled when they end), and a wait for any of several handles.
// Timed waits run on the user-mode clock, so tests can use a virtual one.
// Private to the thread classes.

#include <cstdint>

namespace Orvo::common::threads::win {

using Handle = uint32_t; // 0 is never a valid handle

inline constexpr uint32_t kWaitTimeout = 0x102;
inline constexpr uint32_t kWaitFailed = 0xFFFFFFFF;
inline constexpr uint32_t kMaxWaitObjects = 64;

Handle createEvent(bool manualReset, bool initiallySignalled);
bool setEvent(Handle event);
Handle createMutex();
bool releaseMutex(Handle mutex); // false unless the caller owns it
// Starts fn(arg) on a new thread; its id is stored in *threadId before fn runs.
Handle createThread(uint32_t (*fn)(void*), void* arg, uint32_t* threadId);
bool closeHandle(Handle h);
// Index of the first signalled handle (taking it: an auto-reset event resets,
// a mutex becomes the caller's), kWaitTimeout, or kWaitFailed (bad handle,
// count 0 or above kMaxWaitObjects).
uint32_t waitForAny(const Handle* handles, uint32_t count, uint32_t ms);
uint32_t currentThreadId(); // nonzero
void switchToThread();

// Test hooks: the next `count` creations of events fail.
void failEventCreation(unsigned count);
unsigned openHandleCount();

} // namespace Orvo::common::threads::win

#pragma once
// Waitable objects and waits on them. All signal states and wait lists are
// guarded by one machine-wide dispatcher lock, so a wait on several objects
// sees their states at one instant and a wait-all takes them all at once.
// Timed waits run on a w32::Clock (the process-wide one unless given).

#include "platform/object/object.h"
#include "platform/object/status.h"
#include "platform/win32/clock.h"

#include <cstdint>
#include <deque>
#include <span>

namespace ob {

// Wait results, numbered as the Win32 and NT waits return them.
inline constexpr uint32_t kWaitObject0 = 0x00000000;
inline constexpr uint32_t kWaitTimeout = 0x00000102;
inline constexpr uint32_t kWaitFailed = 0xFFFFFFFF;
inline constexpr size_t kMaximumWaitObjects = 64;
inline constexpr uint32_t kInfinite = w32::kInfinite;

struct Waiter;

class DispatcherObject : public Object {
public:
    bool signalled() const;

protected:
    explicit DispatcherObject(ObjectType type) : Object(type) {}
    ~DispatcherObject() override;

    // Called with the dispatcher lock held.
    bool signalledLocked() const { return signalState_ != 0; }
    void setSignalStateLocked(int32_t state) { signalState_ = state; }
    int32_t signalStateLocked() const { return signalState_; }
    // Releases the waiters that this object's new signal state satisfies, in
    // the order they began to wait.
    void satisfyWaitersLocked();
    // A wait has been satisfied by this object: auto-reset objects reset here.
    virtual void consumeLocked() {}

    friend struct WaitEngine;

private:
    int32_t signalState_ = 0;
    std::deque<Waiter*> waiters_;
};

// Holds the machine-wide dispatcher lock (for the object types' own code).
struct DispatcherLock {
    DispatcherLock();
    ~DispatcherLock();
    DispatcherLock(const DispatcherLock&) = delete;
    DispatcherLock& operator=(const DispatcherLock&) = delete;
};

// Waits until one (waitAll false) or all of `objects` are signalled, or until
// `ms` of the clock's time have passed (w32::kInfinite: no limit; 0: test
// only). Returns kWaitObject0 + index (wait-any: the lowest signalled index),
// kWaitTimeout, or kWaitFailed with `error` set (empty set, more than 64
// objects, a null object, the same object twice in a wait-all). The caller
// keeps the objects alive for the duration.
uint32_t waitForObjects(std::span<DispatcherObject* const> objects, bool waitAll, uint32_t ms,
                        w32::Clock* clock = nullptr, Status* error = nullptr);
uint32_t waitForObject(DispatcherObject& object, uint32_t ms, w32::Clock* clock = nullptr);

} // namespace ob

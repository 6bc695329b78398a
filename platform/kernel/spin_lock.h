#pragma once
// Framework spin lock: acquiring raises the thread to dispatch level;
// releasing restores the level it had. Acquiring a lock the thread already
// holds, or releasing one it does not hold, is a violation.

#include "platform/kernel/framework_object.h"
#include "platform/kernel/level.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

namespace kplat {

class SpinLock final : public Object {
public:
    static Status create(const ObjectAttributes& attributes, SpinLock** out);
    void acquire();
    void release();
    bool heldByCaller() const;

private:
    explicit SpinLock(const ObjectAttributes& attributes);
    void teardown() override;

    std::mutex mutex_;
    std::atomic<std::thread::id> owner_{};
    Level saved_ = Level::Passive;
};

// Scoped acquisition.
class SpinLockGuard {
public:
    explicit SpinLockGuard(SpinLock& lock) : lock_(lock) { lock_.acquire(); }
    ~SpinLockGuard() { lock_.release(); }
    SpinLockGuard(const SpinLockGuard&) = delete;
    SpinLockGuard& operator=(const SpinLockGuard&) = delete;

private:
    SpinLock& lock_;
};

// Tests: `hook` runs on this thread before each of its spin lock
// acquisitions, at the level the thread has then, so a test can put another
// request between two locked steps of a driver path without racing threads.
// It is not called for acquisitions made from inside it. Other threads are
// not affected.
class SpinLockAcquireHook {
public:
    explicit SpinLockAcquireHook(std::function<void(SpinLock&)> hook);
    ~SpinLockAcquireHook();
    SpinLockAcquireHook(const SpinLockAcquireHook&) = delete;
    SpinLockAcquireHook& operator=(const SpinLockAcquireHook&) = delete;

private:
    std::function<void(SpinLock&)> previous_;
};

} // namespace kplat

#pragma once
// Framework wait lock: a lock whose waiters sleep, for passive-level code
// that must hold a lock across calls a spin lock forbids. Acquiring needs
// passive level (it may wait); recursion, releasing a lock the thread does
// not hold and deleting a held lock are violations.

#include "platform/kernel/framework_object.h"

#include <atomic>
#include <mutex>
#include <thread>

namespace kplat {

class WaitLock final : public Object {
public:
    static Status create(const ObjectAttributes& attributes, WaitLock** out);
    void acquire();
    void release();

private:
    explicit WaitLock(const ObjectAttributes& attributes);
    void teardown() override;

    std::mutex mutex_;
    std::atomic<std::thread::id> owner_{};
};

// Scoped acquisition.
class WaitLockGuard {
public:
    explicit WaitLockGuard(WaitLock& lock) : lock_(lock) { lock_.acquire(); }
    ~WaitLockGuard() { lock_.release(); }
    WaitLockGuard(const WaitLockGuard&) = delete;
    WaitLockGuard& operator=(const WaitLockGuard&) = delete;

private:
    WaitLock& lock_;
};

} // namespace kplat

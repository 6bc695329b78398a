#include "platform/kernel/spin_lock.h"

#include "platform/kernel/fault.h"

#include <utility>

namespace kplat {

namespace {

thread_local std::function<void(SpinLock&)> t_acquireHook;

} // namespace

SpinLockAcquireHook::SpinLockAcquireHook(std::function<void(SpinLock&)> hook)
    : previous_(std::exchange(t_acquireHook, std::move(hook)))
{
}

SpinLockAcquireHook::~SpinLockAcquireHook() { t_acquireHook = std::move(previous_); }

SpinLock::SpinLock(const ObjectAttributes& attributes) : Object(attributes, nullptr) {}

Status SpinLock::create(const ObjectAttributes& attributes, SpinLock** out)
{
    *out = nullptr;
    if (consumeFault(FaultKind::Allocation))
        return status::kInsufficientResources;
    *out = new SpinLock(attributes);
    return status::kSuccess;
}

void SpinLock::acquire()
{
    requireAtMost(Level::Dispatch, "acquiring a spin lock");
    if (t_acquireHook) {
        auto hook = std::exchange(t_acquireHook, nullptr);
        hook(*this);
        t_acquireHook = std::move(hook);
    }
    if (owner_.load(std::memory_order_relaxed) == std::this_thread::get_id())
        violation("recursive acquisition of a spin lock");
    Level saved = raiseLevel(Level::Dispatch);
    mutex_.lock();
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    saved_ = saved;
}

void SpinLock::release()
{
    if (owner_.load(std::memory_order_relaxed) != std::this_thread::get_id())
        violation("releasing a spin lock the thread does not hold");
    Level saved = saved_;
    owner_.store(std::thread::id{}, std::memory_order_relaxed);
    mutex_.unlock();
    lowerLevel(saved);
}

bool SpinLock::heldByCaller() const { return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id(); }

void SpinLock::teardown()
{
    if (owner_.load(std::memory_order_relaxed) != std::thread::id{})
        violation("deleting a spin lock that is held");
}

} // namespace kplat

#include "platform/win32/clock.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace w32 {

void WaitBlock::wake()
{
    std::lock_guard lock(mutex_);
    woken_ = true;
    cv_.notify_all();
}

bool WaitBlock::woken() const
{
    std::lock_guard lock(mutex_);
    return woken_;
}

bool Clock::wait(WaitBlock& block, uint32_t ms)
{
    const uint32_t start = tickCount();
    for (;;) {
        if (block.woken())
            return true;
        if (ms != kInfinite && tickCount() - start >= ms)
            return false;
        sleep(1);
    }
}

uint32_t RealClock::tickCount()
{
    using namespace std::chrono;
    return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void RealClock::sleep(uint32_t ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool RealClock::wait(WaitBlock& block, uint32_t ms)
{
    std::unique_lock lock(block.mutex_);
    if (ms == kInfinite) {
        block.cv_.wait(lock, [&] { return block.woken_; });
        return true;
    }
    return block.cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return block.woken_; });
}

VirtualClock::VirtualClock(uint32_t start, bool autoAdvance) : now_(start), autoAdvance_(autoAdvance) {}

uint32_t VirtualClock::tickCount()
{
    std::lock_guard lock(mutex_);
    return static_cast<uint32_t>(now_);
}

uint64_t VirtualClock::now64() const
{
    std::lock_guard lock(mutex_);
    return now_;
}

size_t VirtualClock::blockedCount() const
{
    std::lock_guard lock(mutex_);
    return sleepers_ + waiters_.size();
}

void VirtualClock::sleep(uint32_t ms)
{
    std::unique_lock lock(mutex_);
    if (autoAdvance_) {
        now_ += ms;
        expireDueLocked();
        moved_.notify_all();
        return;
    }
    const uint64_t wake = now_ + ms;
    ++sleepers_;
    moved_.wait(lock, [&] { return now_ >= wake || autoAdvance_; });
    --sleepers_;
}

// Lock order: the clock's mutex, then a wait block's. Nothing takes them the
// other way round, and a block leaves waiters_ before its wait returns, so
// the pointers here never dangle.
void VirtualClock::expireDueLocked()
{
    for (const TimedWaiter& w : waiters_) {
        if (w.deadline <= now_) {
            std::lock_guard blockLock(w.block->mutex_);
            w.block->expired_ = true;
            w.block->cv_.notify_all();
        }
    }
}

bool VirtualClock::wait(WaitBlock& block, uint32_t ms)
{
    if (ms == kInfinite) {
        // No deadline: time does not concern this waiter.
        std::unique_lock blockLock(block.mutex_);
        block.cv_.wait(blockLock, [&] { return block.woken_; });
        return true;
    }
    {
        std::lock_guard lock(mutex_);
        if (autoAdvance_) {
            if (block.woken())
                return true;
            now_ += ms;
            expireDueLocked();
            moved_.notify_all();
            return block.woken();
        }
        waiters_.push_back({&block, now_ + ms});
        expireDueLocked();
    }
    bool woken;
    {
        std::unique_lock blockLock(block.mutex_);
        block.cv_.wait(blockLock, [&] { return block.woken_ || block.expired_; });
        woken = block.woken_;
    }
    std::lock_guard lock(mutex_);
    waiters_.erase(std::find_if(waiters_.begin(), waiters_.end(), [&](const TimedWaiter& w) { return w.block == &block; }));
    return woken;
}

void VirtualClock::advance(uint32_t ms)
{
    std::lock_guard lock(mutex_);
    now_ += ms;
    expireDueLocked();
    moved_.notify_all();
}

void VirtualClock::setAutoAdvance(bool on)
{
    std::lock_guard lock(mutex_);
    autoAdvance_ = on;
    moved_.notify_all();
}

namespace {
RealClock g_realClock;
std::atomic<Clock*> g_clock{&g_realClock};
} // namespace

Clock& clock()
{
    return *g_clock.load(std::memory_order_acquire);
}

Clock* setClock(Clock* c)
{
    Clock* previous = g_clock.exchange(c ? c : &g_realClock, std::memory_order_acq_rel);
    return previous == &g_realClock ? nullptr : previous;
}

} // namespace w32

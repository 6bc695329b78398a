#pragma once
// The user-mode system clock: tick count in milliseconds (wrapping at 2^32),
// sleeps and timed waits. Product code reads time only through here, so tests
// can run it on a virtual clock.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace w32 {

inline constexpr uint32_t kInfinite = 0xFFFFFFFF;

// One blocked thread of a timed wait. The waiting thread owns it; whoever
// satisfies the wait calls wake(). A clock may also end the wait (time-out).
class WaitBlock {
public:
    void wake();
    bool woken() const;

private:
    friend class Clock;
    friend class RealClock;
    friend class VirtualClock;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool woken_ = false;
    bool expired_ = false;
};

class Clock {
public:
    virtual ~Clock() = default;
    virtual uint32_t tickCount() = 0;     // ms since an arbitrary start, modulo 2^32
    virtual void sleep(uint32_t ms) = 0;  // blocks the caller for ms of this clock's time
    // Blocks until block.wake() is called or ms of this clock's time have
    // passed (kInfinite: no limit). Returns true when woken. The default
    // polls in 1 ms sleeps, for clocks that know no better.
    virtual bool wait(WaitBlock& block, uint32_t ms);
};

// Wall-clock time (steady clock).
class RealClock final : public Clock {
public:
    uint32_t tickCount() override;
    void sleep(uint32_t ms) override;
    bool wait(WaitBlock& block, uint32_t ms) override;
};

// Virtual time. Time moves only when a test advances it, or, in auto-advance
// mode, when a thread sleeps (the sleep itself moves time on, so polling loops
// of thousands of 1 ms sleeps finish at once). Sleepers in manual mode block
// until other threads advance the clock past their wake-up time.
// Timed waits follow the same rule: in manual mode a waiter times out when
// the clock is advanced past its deadline; in auto-advance mode a wait that is
// not woken at once moves time on to its deadline and times out.
class VirtualClock final : public Clock {
public:
    explicit VirtualClock(uint32_t start = 0, bool autoAdvance = true);
    uint32_t tickCount() override;
    void sleep(uint32_t ms) override;
    bool wait(WaitBlock& block, uint32_t ms) override;
    void advance(uint32_t ms);
    void setAutoAdvance(bool on);
    uint64_t now64() const; // never wraps
    // Threads blocked in sleep() or a timed wait (not an infinite one) on
    // this clock (for tests
    // that must know a thread has gone to sleep before they advance time).
    size_t blockedCount() const;

private:
    struct TimedWaiter {
        WaitBlock* block;
        uint64_t deadline;
    };
    void expireDueLocked();

    mutable std::mutex mutex_;
    std::condition_variable moved_;
    uint64_t now_;
    bool autoAdvance_;
    size_t sleepers_ = 0;
    std::vector<TimedWaiter> waiters_;
};

// The process-wide clock (a RealClock unless a test installs another).
Clock& clock();
// Installs a clock; null restores the real one. Returns the previous clock.
Clock* setClock(Clock* clock);

inline uint32_t GetTickCount() { return clock().tickCount(); }
inline void Sleep(uint32_t ms) { clock().sleep(ms); }
// The multimedia timer's millisecond time: the same clock as the tick count
// (on the platform both count milliseconds since start-up).
inline uint32_t timeGetTime() { return clock().tickCount(); }

} // namespace w32

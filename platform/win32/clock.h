#pragma once
// The user-mode system clock: tick count in milliseconds (wrapping at 2^32)
// and sleeps. Product code reads time only through here, so tests can run it
// on a virtual clock.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace w32 {

class Clock {
public:
    virtual ~Clock() = default;
    virtual uint32_t tickCount() = 0;     // ms since an arbitrary start, modulo 2^32
    virtual void sleep(uint32_t ms) = 0;  // blocks the caller for ms of this clock's time
};

// Wall-clock time (steady clock).
class RealClock final : public Clock {
public:
    uint32_t tickCount() override;
    void sleep(uint32_t ms) override;
};

// Virtual time. Time moves only when a test advances it, or, in auto-advance
// mode, when a thread sleeps (the sleep itself moves time on, so polling loops
// of thousands of 1 ms sleeps finish at once). Sleepers in manual mode block
// until other threads advance the clock past their wake-up time.
class VirtualClock final : public Clock {
public:
    explicit VirtualClock(uint32_t start = 0, bool autoAdvance = true);
    uint32_t tickCount() override;
    void sleep(uint32_t ms) override;
    void advance(uint32_t ms);
    void setAutoAdvance(bool on);
    uint64_t now64() const; // never wraps

private:
    mutable std::mutex mutex_;
    std::condition_variable moved_;
    uint64_t now_;
    bool autoAdvance_;
};

// The process-wide clock (a RealClock unless a test installs another).
Clock& clock();
// Installs a clock; null restores the real one. Returns the previous clock.
Clock* setClock(Clock* clock);

inline uint32_t GetTickCount() { return clock().tickCount(); }
inline void Sleep(uint32_t ms) { clock().sleep(ms); }

} // namespace w32

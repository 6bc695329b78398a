#include "platform/win32/clock.h"

#include <chrono>
#include <thread>

namespace w32 {

uint32_t RealClock::tickCount()
{
    using namespace std::chrono;
    return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void RealClock::sleep(uint32_t ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
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

void VirtualClock::sleep(uint32_t ms)
{
    std::unique_lock lock(mutex_);
    if (autoAdvance_) {
        now_ += ms;
        moved_.notify_all();
        return;
    }
    const uint64_t wake = now_ + ms;
    moved_.wait(lock, [&] { return now_ >= wake || autoAdvance_; });
}

void VirtualClock::advance(uint32_t ms)
{
    std::lock_guard lock(mutex_);
    now_ += ms;
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

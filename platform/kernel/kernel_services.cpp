#include "platform/kernel/kernel_services.h"

#include "platform/kernel/fault.h"
#include "platform/kernel/level.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <random>

namespace kplat {

namespace {

std::mutex gResolutionMutex;
int32_t gResolutionBalance = 0;
constexpr uint32_t kDefaultResolution = kTimeIncrement;
constexpr uint32_t kFinestResolution = 5'000; // 0.5 ms
uint32_t gRequested = 0;

} // namespace

Ticks queryInterruptTime() { return kernelClock().now(); }

uint64_t queryTickCount() { return kernelClock().now() / kTimeIncrement; }

uint32_t queryTimeIncrement() { return kTimeIncrement; }

Status createUuid(Guid& out)
{
    requirePassive("creating a UUID");
    if (consumeFault(FaultKind::UuidCreation))
        return status::kRetry;
    static std::mutex mutex;
    static std::mt19937_64 engine{std::random_device{}()};
    std::lock_guard lock(mutex);
    uint64_t a = engine();
    uint64_t b = engine();
    out.data1 = static_cast<uint32_t>(a);
    out.data2 = static_cast<uint16_t>(a >> 32);
    out.data3 = static_cast<uint16_t>(((a >> 48) & 0x0FFF) | 0x4000); // version 4
    for (int i = 0; i < 8; ++i)
        out.data4[i] = static_cast<uint8_t>(b >> (8 * i));
    out.data4[0] = static_cast<uint8_t>((out.data4[0] & 0x3F) | 0x80); // variant 1
    return status::kSuccess;
}

uint32_t setTimerResolution(uint32_t desired, bool set)
{
    requireAtMost(Level::Apc, "setting the timer resolution");
    std::lock_guard lock(gResolutionMutex);
    if (set) {
        ++gResolutionBalance;
        if (gRequested == 0 || desired < gRequested)
            gRequested = desired < kFinestResolution ? kFinestResolution : desired;
    } else {
        if (gResolutionBalance == 0)
            violation("releasing a timer resolution that was never requested");
        if (--gResolutionBalance == 0)
            gRequested = 0;
    }
    return gRequested ? gRequested : kDefaultResolution;
}

int32_t timerResolutionBalance()
{
    std::lock_guard lock(gResolutionMutex);
    return gResolutionBalance;
}

void resetTimerResolution()
{
    std::lock_guard lock(gResolutionMutex);
    gResolutionBalance = 0;
    gRequested = 0;
}

Status guidToString(const Guid& g, std::u16string& out)
{
    requirePassive("converting a GUID to a string");
    if (consumeFault(FaultKind::Allocation))
        return status::kInsufficientResources;
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.data1, g.data2,
                  g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6],
                  g.data4[7]);
    out.assign(text, text + 38);
    return status::kSuccess;
}

void KernelTimer::set(int64_t dueTime)
{
    due_ = dueTime < 0 ? kernelClock().now() + static_cast<Ticks>(-dueTime) : static_cast<Ticks>(dueTime);
}

Status KernelTimer::wait()
{
    requirePassive("waiting on a kernel timer");
    kernelClock().waitUntil(due_);
    return status::kSuccess;
}

void delayExecution(Ticks interval)
{
    requirePassive("a delay");
    kernelClock().waitUntil(kernelClock().now() + interval);
}

} // namespace kplat

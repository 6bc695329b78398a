#include "platform/kernel/fault.h"

#include <array>
#include <atomic>
#include <mutex>

namespace kplat {

namespace {

struct Plan {
    uint32_t skip = 0;
    uint32_t count = 0;
    uint64_t checks = 0;
};

std::mutex gMutex;
std::array<Plan, static_cast<size_t>(FaultKind::Count)> gPlans;
std::atomic<bool> gCounting{false};

} // namespace

void armFault(FaultKind kind, uint32_t skip, uint32_t count)
{
    std::lock_guard lock(gMutex);
    Plan& plan = gPlans[static_cast<size_t>(kind)];
    plan.skip = skip;
    plan.count = count;
    gCounting.store(true, std::memory_order_release);
}

void disarmFaults()
{
    std::lock_guard lock(gMutex);
    gPlans = {};
    gCounting.store(false, std::memory_order_release);
}

bool consumeFault(FaultKind kind)
{
    // Streaming calls this per transfer: stay lock-free until a test arms anything.
    if (!gCounting.load(std::memory_order_acquire))
        return false;
    std::lock_guard lock(gMutex);
    Plan& plan = gPlans[static_cast<size_t>(kind)];
    ++plan.checks;
    if (plan.count == 0)
        return false;
    if (plan.skip > 0) {
        --plan.skip;
        return false;
    }
    --plan.count;
    return true;
}

uint64_t faultChecks(FaultKind kind)
{
    std::lock_guard lock(gMutex);
    return gPlans[static_cast<size_t>(kind)].checks;
}

} // namespace kplat

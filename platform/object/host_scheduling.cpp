#include "platform/object/host_scheduling.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace ob::host {

namespace {

int hostSetScheduler(pid_t tid, int policy, int priority)
{
    sched_param param{};
    param.sched_priority = priority;
    return sched_setscheduler(tid, policy, &param) == 0 ? 0 : errno;
}

int hostSetNice(pid_t tid, int nice)
{
    return setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice) == 0 ? 0 : errno;
}

constexpr Setter kHostSetter{&hostSetScheduler, &hostSetNice};

std::atomic<const Setter*> g_setter{&kHostSetter};
std::atomic<bool> g_enabled{false};
std::mutex g_refusalMutex;
bool g_realTimeRefused = false;
bool g_noticeGiven = false;

void noticeOnce(bool niceAllowed)
{
    if (g_noticeGiven)
        return;
    g_noticeGiven = true;
    if (niceAllowed)
        std::fprintf(stderr,
                     "orvo: real-time scheduling is not permitted (EPERM); the kernel clock thread runs at nice %d "
                     "and time-critical threads at nice %d instead\n",
                     kDispatchFallbackNice, kTimeCriticalFallbackNice);
    else
        std::fprintf(stderr, "orvo: real-time scheduling and raised nice values are not permitted; the kernel clock "
                             "thread and time-critical threads run at normal priority\n");
}

} // namespace

Schedule dispatchSchedule() { return {Policy::RealTime, kDispatchFifoPriority, kDispatchFallbackNice}; }

Schedule scheduleForThreadPriority(int32_t priority)
{
    if (priority >= kTimeCriticalPriority)
        return {Policy::RealTime, kTimeCriticalFifoPriority, kTimeCriticalFallbackNice};
    return {};
}

void setSetterForTesting(const Setter* setter) { g_setter.store(setter ? setter : &kHostSetter); }

void resetRefusalForTesting()
{
    std::lock_guard lock(g_refusalMutex);
    g_realTimeRefused = false;
    g_noticeGiven = false;
}

void setEnabled(bool on) { g_enabled.store(on, std::memory_order_release); }

bool enabled() { return g_enabled.load(std::memory_order_acquire); }

Outcome apply(pid_t tid, const Schedule& schedule)
{
    const Setter& set = *g_setter.load();
    if (schedule.policy == Policy::Normal) {
        // Leaving real-time scheduling and lowering priority are always allowed.
        set.setScheduler(tid, SCHED_OTHER, 0);
        set.setNice(tid, 0);
        return Outcome::Normal;
    }
    std::lock_guard lock(g_refusalMutex);
    if (!g_realTimeRefused) {
        const int error = set.setScheduler(tid, SCHED_FIFO, schedule.fifoPriority);
        if (error == 0)
            return Outcome::RealTime;
        if (error != EPERM)
            return Outcome::Unchanged; // the thread is gone, or the host knows no such policy
        g_realTimeRefused = true;
    }
    const bool niced = set.setNice(tid, schedule.fallbackNice) == 0;
    noticeOnce(niced);
    return niced ? Outcome::Nice : Outcome::Unchanged;
}

pid_t currentThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

} // namespace ob::host

#pragma once
// What a thread priority of the simulated platform means for the host thread
// that carries it. The platform's dispatch-level work (the kernel stand-in's
// clock thread, which runs timers, USB frames and transfer completions) gets
// SCHED_FIFO above every user thread; a user thread at time-critical priority
// gets SCHED_FIFO below it; every other priority is the host's normal one.
//
// Nothing is applied until a real-time machine switches it on (the kernel
// clock's real-time mode): runs on the virtual clock leave the host alone.
// Where the process may not use real-time scheduling (EPERM), threads get a
// raised nice value if that is allowed, else stay normal; a notice says so
// once on stderr.

#include <cstdint>
#include <sys/types.h>

namespace ob::host {

enum class Policy : uint8_t { Normal, RealTime };

struct Schedule {
    Policy policy = Policy::Normal;
    int fifoPriority = 0; // SCHED_FIFO priority (1..99) for RealTime
    int fallbackNice = 0; // when real-time scheduling is refused
    friend bool operator==(const Schedule&, const Schedule&) = default;
};

inline constexpr int kDispatchFifoPriority = 80;
inline constexpr int kTimeCriticalFifoPriority = 70;
inline constexpr int kDispatchFallbackNice = -20;
inline constexpr int kTimeCriticalFallbackNice = -15;
inline constexpr int32_t kTimeCriticalPriority = 15;

// The kernel side's dispatch-level thread.
Schedule dispatchSchedule();
// A thread object's priority (the Win32 levels; the kernel's boost is the
// time-critical level).
Schedule scheduleForThreadPriority(int32_t priority);

// The host calls, replaceable for tests; each returns 0 or an errno value.
struct Setter {
    int (*setScheduler)(pid_t tid, int policy, int priority);
    int (*setNice)(pid_t tid, int nice);
};
// nullptr restores the host's own calls.
void setSetterForTesting(const Setter* setter);
// Forgets an earlier refusal and the notice given for it.
void resetRefusalForTesting();

void setEnabled(bool on);
bool enabled();

enum class Outcome : uint8_t { Normal, RealTime, Nice, Unchanged };
// Gives the host thread `tid` the schedule (whether or not enabled() is
// set: callers check). After one EPERM real-time scheduling is not tried
// again in this process.
Outcome apply(pid_t tid, const Schedule& schedule);

pid_t currentThreadId();

} // namespace ob::host

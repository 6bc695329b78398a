#pragma once
// Host scheduling calls recorded instead of made; real-time scheduling and
// raised nice values can be refused on demand.

#include "platform/object/host_scheduling.h"

#include <mutex>
#include <sched.h>
#include <utility>
#include <vector>

namespace ob::testing {

struct HostCalls {
    struct Call {
        pid_t tid;
        int policy; // -1 for a nice call
        int value;  // priority or nice
        bool operator==(const Call&) const = default;
    };
    static inline std::mutex mutex;
    static inline std::vector<Call> calls;
    static inline int fifoError = 0;
    static inline int niceError = 0;

    static int setScheduler(pid_t tid, int policy, int priority)
    {
        std::lock_guard lock(mutex);
        calls.push_back({tid, policy, priority});
        return policy == SCHED_FIFO ? fifoError : 0;
    }
    static int setNice(pid_t tid, int nice)
    {
        std::lock_guard lock(mutex);
        calls.push_back({tid, -1, nice});
        return nice < 0 ? niceError : 0;
    }
    static std::vector<Call> take()
    {
        std::lock_guard lock(mutex);
        return std::exchange(calls, {});
    }
    static constexpr host::Setter kSetter{&setScheduler, &setNice};
};

} // namespace ob::testing

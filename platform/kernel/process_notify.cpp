#include "platform/kernel/process_notify.h"

#include "platform/kernel/level.h"
#include "platform/kernel/memory.h"
#include "platform/object/process.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace kplat {

namespace {

struct Routines {
    std::mutex mutex;
    std::condition_variable idle;
    std::vector<CreateProcessNotifyRoutine> list;
    size_t running = 0; // calls in progress, of any routine
};

Routines& routines()
{
    static Routines* r = new Routines; // process notifications may come during static destruction
    return *r;
}

void notifyAll(uint32_t parentId, uint32_t processId, bool create)
{
    Routines& r = routines();
    std::vector<CreateProcessNotifyRoutine> list;
    {
        std::lock_guard lock(r.mutex);
        if (r.list.empty())
            return;
        list = r.list;
        ++r.running;
    }
    struct Done {
        Routines& r;
        ~Done()
        {
            std::lock_guard lock(r.mutex);
            if (--r.running == 0)
                r.idle.notify_all();
        }
    } done{r};
    for (CreateProcessNotifyRoutine routine : list)
        routine(parentId, processId, create);
}

void onCreated(ob::Process& creator, ob::Process& process) { notifyAll(creator.id(), process.id(), true); }

void onExiting(ob::Process& process)
{
    requirePassive("ending a process");
    notifyAll(process.parentId(), process.id(), false);
}

void onAddressSpaceGone(ob::Process& process)
{
    if (size_t views = userViewCount(process.id()))
        violation("process " + std::to_string(process.id()) + " ran down with " + std::to_string(views) +
                  " user view(s) of locked pages still mapped");
}

constexpr ob::ProcessLifeHooks kHooks{&onCreated, &onExiting, &onAddressSpaceGone};
[[maybe_unused]] const bool gHooksInstalled = (ob::setProcessLifeHooks(&kHooks), true);

} // namespace

Status setCreateProcessNotifyRoutine(CreateProcessNotifyRoutine routine, bool remove)
{
    requirePassive("registering a process notify routine");
    if (!routine)
        return status::kInvalidParameter;
    Routines& r = routines();
    std::unique_lock lock(r.mutex);
    auto it = std::find(r.list.begin(), r.list.end(), routine);
    if (!remove) {
        if (it != r.list.end() || r.list.size() >= kMaxProcessNotifyRoutines)
            return status::kInvalidParameter;
        r.list.push_back(routine);
        return status::kSuccess;
    }
    if (it == r.list.end())
        return status::kProcedureNotFound;
    r.list.erase(it);
    // A call that copied the list may still be in the routine.
    r.idle.wait(lock, [&] { return r.running == 0; });
    return status::kSuccess;
}

size_t processNotifyRoutineCount()
{
    Routines& r = routines();
    std::lock_guard lock(r.mutex);
    return r.list.size();
}

} // namespace kplat

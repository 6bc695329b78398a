#include "platform/object/dispatcher.h"

#include <algorithm>
#include <mutex>

namespace ob {

namespace {
std::mutex& dispatcherMutex()
{
    static std::mutex* m = new std::mutex; // usable from static destructors
    return *m;
}
} // namespace

struct Waiter {
    std::span<DispatcherObject* const> objects;
    bool waitAll = false;
    bool satisfied = false;
    uint32_t result = kWaitTimeout;
    w32::WaitBlock block;
};

DispatcherLock::DispatcherLock() { dispatcherMutex().lock(); }
DispatcherLock::~DispatcherLock() { dispatcherMutex().unlock(); }

DispatcherObject::~DispatcherObject() = default;

bool DispatcherObject::signalled() const
{
    DispatcherLock lock;
    return signalledLocked();
}

struct WaitEngine {
    // Satisfies `w` if it can be now, consuming what it takes. Lock held.
    static bool trySatisfy(Waiter& w)
    {
        if (w.waitAll) {
            for (DispatcherObject* o : w.objects)
                if (!o->signalledLocked())
                    return false;
            for (DispatcherObject* o : w.objects)
                o->consumeLocked();
            w.result = kWaitObject0;
        } else {
            auto it = std::find_if(w.objects.begin(), w.objects.end(),
                                   [](DispatcherObject* o) { return o->signalledLocked(); });
            if (it == w.objects.end())
                return false;
            (*it)->consumeLocked();
            w.result = kWaitObject0 + static_cast<uint32_t>(it - w.objects.begin());
        }
        w.satisfied = true;
        return true;
    }

    static void satisfyWaiters(DispatcherObject& o)
    {
        // Satisfying one waiter may reset this object (auto-reset) or others
        // (wait-all); stop as soon as this one is no longer signalled.
        for (Waiter* w : o.waiters_) {
            if (!o.signalledLocked())
                break;
            if (!w->satisfied && trySatisfy(*w))
                w->block.wake();
        }
    }

    static void enlist(Waiter& w)
    {
        for (DispatcherObject* o : w.objects)
            o->waiters_.push_back(&w);
    }

    static void delist(Waiter& w)
    {
        for (DispatcherObject* o : w.objects) {
            auto it = std::find(o->waiters_.begin(), o->waiters_.end(), &w);
            if (it != o->waiters_.end())
                o->waiters_.erase(it);
        }
    }
};

void DispatcherObject::satisfyWaitersLocked()
{
    WaitEngine::satisfyWaiters(*this);
}

uint32_t waitForObjects(std::span<DispatcherObject* const> objects, bool waitAll, uint32_t ms, w32::Clock* clock,
                        Status* error)
{
    auto fail = [&](Status s) {
        if (error)
            *error = s;
        return kWaitFailed;
    };
    if (objects.empty() || objects.size() > kMaximumWaitObjects)
        return fail(Status::InvalidParameter);
    for (size_t i = 0; i < objects.size(); ++i) {
        if (!objects[i])
            return fail(Status::InvalidHandle);
        if (waitAll && std::find(objects.begin(), objects.begin() + i, objects[i]) != objects.begin() + i)
            return fail(Status::InvalidParameter);
    }
    if (error)
        *error = Status::Ok;

    Waiter w;
    w.objects = objects;
    w.waitAll = waitAll;
    {
        DispatcherLock lock;
        if (WaitEngine::trySatisfy(w))
            return w.result;
        if (ms == 0)
            return kWaitTimeout;
        WaitEngine::enlist(w);
    }
    (clock ? *clock : w32::clock()).wait(w.block, ms);
    DispatcherLock lock;
    WaitEngine::delist(w);
    // A signaller may have satisfied the wait just as it timed out: what it
    // took must be reported, or that signal is lost.
    return w.satisfied ? w.result : kWaitTimeout;
}

uint32_t waitForObject(DispatcherObject& object, uint32_t ms, w32::Clock* clock)
{
    DispatcherObject* one[1] = {&object};
    return waitForObjects(one, false, ms, clock);
}

} // namespace ob

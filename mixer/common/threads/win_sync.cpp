#include "mixer/common/threads/win_sync.h"

#include "platform/win32/clock.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace Orvo::common::threads::win {

namespace {

enum class Kind { Event, Mutex, Thread };

struct Object {
    Kind kind;
    bool manualReset = false;
    bool signalled = false;
    uint32_t owner = 0;     // mutex
    uint32_t recursion = 0; // mutex
};

// One lock for every object: waits for several objects test them together.
// Made on first use and never destroyed, so static objects of other files
// (the device service's locks) can use handles before main and after it.
struct Table {
    std::mutex mutex;
    std::unordered_map<Handle, std::shared_ptr<Object>> handles;
    Handle nextHandle = 4;
    std::vector<w32::WaitBlock*> waiters;
    unsigned failEvents = 0;
};
Table& table()
{
    static Table* t = new Table;
    return *t;
}
std::atomic<uint32_t> g_nextThreadId{1};
thread_local uint32_t t_threadId = 0;

Handle insertLocked(std::shared_ptr<Object> object)
{
    Handle h = table().nextHandle;
    table().nextHandle += 4;
    if (table().nextHandle == 0)
        table().nextHandle = 4;
    table().handles.emplace(h, std::move(object));
    return h;
}

void wakeWaitersLocked()
{
    for (w32::WaitBlock* block : table().waiters)
        block->wake();
}

bool availableLocked(const Object& o, uint32_t self)
{
    if (o.kind == Kind::Mutex)
        return o.owner == 0 || o.owner == self;
    return o.signalled;
}

void takeLocked(Object& o, uint32_t self)
{
    if (o.kind == Kind::Mutex) {
        o.owner = self;
        ++o.recursion;
    } else if (o.kind == Kind::Event && !o.manualReset) {
        o.signalled = false;
    }
}

} // namespace

uint32_t currentThreadId()
{
    if (t_threadId == 0)
        t_threadId = g_nextThreadId.fetch_add(1);
    return t_threadId;
}

void switchToThread() { std::this_thread::yield(); }

Handle createEvent(bool manualReset, bool initiallySignalled)
{
    std::lock_guard lock(table().mutex);
    if (table().failEvents > 0) {
        --table().failEvents;
        return 0;
    }
    auto o = std::make_shared<Object>(Object{Kind::Event});
    o->manualReset = manualReset;
    o->signalled = initiallySignalled;
    return insertLocked(std::move(o));
}

bool setEvent(Handle event)
{
    std::lock_guard lock(table().mutex);
    auto it = table().handles.find(event);
    if (it == table().handles.end() || it->second->kind != Kind::Event)
        return false;
    it->second->signalled = true;
    wakeWaitersLocked();
    return true;
}

Handle createMutex()
{
    std::lock_guard lock(table().mutex);
    return insertLocked(std::make_shared<Object>(Object{Kind::Mutex}));
}

bool releaseMutex(Handle mutex)
{
    const uint32_t self = currentThreadId();
    std::lock_guard lock(table().mutex);
    auto it = table().handles.find(mutex);
    if (it == table().handles.end() || it->second->kind != Kind::Mutex || it->second->owner != self)
        return false;
    if (--it->second->recursion == 0) {
        it->second->owner = 0;
        wakeWaitersLocked();
    }
    return true;
}

Handle createThread(uint32_t (*fn)(void*), void* arg, uint32_t* threadId)
{
    std::shared_ptr<Object> o = std::make_shared<Object>(Object{Kind::Thread});
    Handle h;
    {
        std::lock_guard lock(table().mutex);
        h = insertLocked(o);
    }
    const uint32_t id = g_nextThreadId.fetch_add(1);
    if (threadId)
        *threadId = id;
    try {
        std::thread([o, fn, arg, id] {
            t_threadId = id;
            fn(arg);
            std::lock_guard lock(table().mutex);
            o->signalled = true;
            wakeWaitersLocked();
        }).detach();
    } catch (...) {
        std::lock_guard lock(table().mutex);
        table().handles.erase(h);
        return 0;
    }
    return h;
}

bool closeHandle(Handle h)
{
    std::lock_guard lock(table().mutex);
    return table().handles.erase(h) == 1;
}

uint32_t waitForAny(const Handle* handles, uint32_t count, uint32_t ms)
{
    if (count == 0 || count > kMaxWaitObjects || !handles)
        return kWaitFailed;
    const uint32_t self = currentThreadId();
    const uint32_t start = w32::GetTickCount();
    std::shared_ptr<Object> objects[kMaxWaitObjects]; // no allocation on the way to a lock
    std::unique_lock lock(table().mutex);
    for (uint32_t i = 0; i < count; ++i) {
        auto it = table().handles.find(handles[i]);
        if (it == table().handles.end())
            return kWaitFailed;
        objects[i] = it->second; // kept alive even if the handle is closed meanwhile
    }
    for (;;) {
        for (uint32_t i = 0; i < count; ++i) {
            if (availableLocked(*objects[i], self)) {
                takeLocked(*objects[i], self);
                return i;
            }
        }
        uint32_t left = w32::kInfinite;
        if (ms != w32::kInfinite) {
            const uint32_t spent = w32::GetTickCount() - start;
            if (spent >= ms)
                return kWaitTimeout;
            left = ms - spent;
        }
        w32::WaitBlock block;
        table().waiters.push_back(&block);
        lock.unlock();
        const bool woken = w32::clock().wait(block, left);
        lock.lock();
        table().waiters.erase(std::find(table().waiters.begin(), table().waiters.end(), &block));
        if (!woken) {
            for (uint32_t i = 0; i < count; ++i) {
                if (availableLocked(*objects[i], self)) {
                    takeLocked(*objects[i], self);
                    return i;
                }
            }
            return kWaitTimeout;
        }
    }
}

void failEventCreation(unsigned count)
{
    std::lock_guard lock(table().mutex);
    table().failEvents = count;
}

unsigned openHandleCount()
{
    std::lock_guard lock(table().mutex);
    return static_cast<unsigned>(table().handles.size());
}

} // namespace Orvo::common::threads::win

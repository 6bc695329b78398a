#include "platform/win32/critical_section.h"

#include "platform/win32/misuse.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace w32 {

namespace {
constexpr uint32_t kMagic = 0x43536563; // "CSec"
}

struct CriticalSectionState {
    std::mutex mutex;
    std::condition_variable released;
    std::thread::id owner;
    uint32_t recursion = 0;
    uint32_t waiters = 0;
};

namespace {

CriticalSectionState& stateOf(CRITICAL_SECTION* section, const char* call)
{
    if (!section || section->magic != kMagic || !section->state)
        misuse(std::string(call) + " on a critical section that is not initialised");
    return *section->state;
}

} // namespace

void InitializeCriticalSection(CRITICAL_SECTION* section)
{
    if (!section)
        misuse("InitializeCriticalSection(null)");
    section->state = new CriticalSectionState;
    section->magic = kMagic;
}

BOOL InitializeCriticalSectionAndSpinCount(CRITICAL_SECTION* section, DWORD spinCount)
{
    (void)spinCount;
    InitializeCriticalSection(section);
    return TRUE;
}

namespace {

// Takes the section for the calling thread; without `wait`, only when it is free or already ours.
bool enter(CriticalSectionState& s, bool wait)
{
    const std::thread::id me = std::this_thread::get_id();
    std::unique_lock lock(s.mutex);
    if (s.owner == me) {
        ++s.recursion;
        return true;
    }
    if (s.recursion != 0 && !wait)
        return false;
    ++s.waiters;
    s.released.wait(lock, [&] { return s.recursion == 0; });
    --s.waiters;
    s.owner = me;
    s.recursion = 1;
    return true;
}

} // namespace

void EnterCriticalSection(CRITICAL_SECTION* section) { enter(stateOf(section, "EnterCriticalSection"), true); }

BOOL TryEnterCriticalSection(CRITICAL_SECTION* section)
{
    return enter(stateOf(section, "TryEnterCriticalSection"), false) ? TRUE : FALSE;
}

void LeaveCriticalSection(CRITICAL_SECTION* section)
{
    CriticalSectionState& s = stateOf(section, "LeaveCriticalSection");
    std::unique_lock lock(s.mutex);
    if (s.recursion == 0 || s.owner != std::this_thread::get_id()) {
        lock.unlock();
        misuse("LeaveCriticalSection by a thread that does not own it");
    }
    if (--s.recursion == 0) {
        s.owner = std::thread::id();
        s.released.notify_one();
    }
}

void DeleteCriticalSection(CRITICAL_SECTION* section)
{
    CriticalSectionState& s = stateOf(section, "DeleteCriticalSection");
    {
        std::lock_guard lock(s.mutex);
        if (s.recursion != 0 && s.owner != std::this_thread::get_id())
            misuse("DeleteCriticalSection while another thread holds it");
        if (s.waiters != 0)
            misuse("DeleteCriticalSection while threads wait to enter it");
    }
    section->magic = 0;
    section->state = nullptr;
    delete &s;
}

} // namespace w32

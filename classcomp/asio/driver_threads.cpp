#include "classcomp/asio/driver_threads.h"

#include "platform/win32/clock.h"
#include "platform/win32/handles.h"
#include "platform/win32/synch.h"

#include <mutex>

namespace orvo::asio {

namespace {

// A fixed table (nothing to destroy when the library goes): every monitor
// slot and a statistics thread per streaming object fit many times over.
constexpr size_t kMaxThreads = 1024;

std::mutex g_lock;
w32::HANDLE g_threads[kMaxThreads] = {};
size_t g_count = 0;

// Under g_lock: forgets the threads that have ended. A handle this process
// cannot wait on (closed with its process) counts as ended; it is not
// closed, since its value is no handle of this process.
void pruneLocked()
{
    size_t kept = 0;
    for (size_t i = 0; i < g_count; ++i) {
        const w32::DWORD state = w32::WaitForSingleObject(g_threads[i], 0);
        if (state == w32::WAIT_TIMEOUT)
            g_threads[kept++] = g_threads[i];
        else if (state == w32::WAIT_OBJECT_0)
            w32::CloseHandle(g_threads[i]);
    }
    for (size_t i = kept; i < g_count; ++i)
        g_threads[i] = nullptr;
    g_count = kept;
}

} // namespace

w32::HANDLE StartDriverThread(w32::LPTHREAD_START_ROUTINE start, w32::LPVOID parameter, w32::DWORD* threadId)
{
    std::lock_guard lock(g_lock);
    pruneLocked();
    if (g_count == kMaxThreads)
        return nullptr;
    w32::HANDLE own = nullptr;
    w32::HANDLE thread = w32::CreateThread(nullptr, 0, start, parameter, 0, threadId);
    if (!thread)
        return nullptr;
    if (!w32::DuplicateHandle(w32::GetCurrentProcess(), thread, w32::GetCurrentProcess(), &own, 0, w32::FALSE,
                              w32::DUPLICATE_SAME_ACCESS)) {
        // Not trackable: the caller still gets a running thread and must
        // wait for it itself. Never happens short of running out of handles.
        return thread;
    }
    g_threads[g_count++] = own;
    return thread;
}

bool DriverThreadsRunning()
{
    std::lock_guard lock(g_lock);
    pruneLocked();
    return g_count != 0;
}

bool WaitForDriverThreads(uint32_t ms)
{
    const uint32_t start = w32::GetTickCount();
    for (;;) {
        w32::HANDLE thread = nullptr;
        {
            std::lock_guard lock(g_lock);
            pruneLocked();
            if (g_count == 0)
                return true;
            thread = g_threads[0];
        }
        const uint32_t spent = w32::GetTickCount() - start;
        if (spent >= ms)
            return false;
        // The table's lock is not held while waiting: an ending thread may
        // start nothing, but a monitor's clean-up must never wait on us.
        if (w32::WaitForSingleObject(thread, ms - spent) == w32::WAIT_TIMEOUT)
            return false;
    }
}

} // namespace orvo::asio

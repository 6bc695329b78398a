#include "platform/win32/threads.h"

#include "platform/object/process.h"
#include "platform/object/thread.h"
#include "platform/win32/error.h"
#include "platform/win32/handles.h"

#include <atomic>
#include <system_error>
#include <thread>

namespace w32 {

namespace {

std::atomic<int> g_failCreations{0};

bool validPriority(int p)
{
    return (p >= THREAD_PRIORITY_LOWEST && p <= THREAD_PRIORITY_HIGHEST) || p == THREAD_PRIORITY_IDLE
           || p == THREAD_PRIORITY_TIME_CRITICAL;
}

ob::Ref<ob::Thread> threadOf(HANDLE h)
{
    return referenceHandle<ob::Thread>(h, ob::ObjectType::Thread, 0);
}

} // namespace

void failNextThreadCreations(int count)
{
    g_failCreations.store(count);
}

HANDLE CreateThread(const SECURITY_ATTRIBUTES* attributes, size_t stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD creationFlags, DWORD* threadId)
{
    (void)attributes;
    (void)stackSize;
    if (!start || creationFlags != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    for (int n = g_failCreations.load(); n > 0;) {
        if (g_failCreations.compare_exchange_weak(n, n - 1)) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
    }
    ob::Ref<ob::Process> process = ob::Process::currentRef();
    ob::Ref<ob::Thread> thread = ob::Thread::create(process);
    HANDLE h = nullptr;
    if (ob::Status s = insertHandle(thread, THREAD_ALL_ACCESS, h); s != ob::Status::Ok) {
        SetLastError(errorFromObjectManager(s));
        return nullptr;
    }
    try {
        std::thread([thread, process, start, parameter] {
            ob::Thread::bindCurrent(thread);
            ob::ProcessScope scope(process);
            const DWORD code = start(parameter);
            thread->markExited(code);
        }).detach();
    } catch (const std::system_error&) {
        ob::Process::current().close(handleValue(h));
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (threadId)
        *threadId = thread->id();
    return h;
}

BOOL SetThreadPriority(HANDLE thread, int priority)
{
    ob::Ref<ob::Thread> t = threadOf(thread);
    if (!t)
        return FALSE;
    if (!validPriority(priority)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    t->setPriority(priority);
    return TRUE;
}

int GetThreadPriority(HANDLE thread)
{
    ob::Ref<ob::Thread> t = threadOf(thread);
    return t ? t->priority() : THREAD_PRIORITY_ERROR_RETURN;
}

BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode)
{
    ob::Ref<ob::Thread> t = threadOf(thread);
    if (!t)
        return FALSE;
    if (!exitCode) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *exitCode = t->exitCode();
    return TRUE;
}

DWORD GetThreadId(HANDLE thread)
{
    ob::Ref<ob::Thread> t = threadOf(thread);
    return t ? t->id() : 0;
}

BOOL SwitchToThread()
{
    std::this_thread::yield();
    return TRUE;
}

} // namespace w32

#include "platform/win32/window.h"

#include "platform/object/thread_slot.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace w32 {

namespace {

struct Queue {
    std::deque<MSG> messages;
    std::condition_variable cv;
};

struct Window {
    WNDPROC proc;
    std::thread::id owner;
    std::shared_ptr<Queue> queue;
};

struct Manager {
    std::mutex mutex;
    std::map<std::string, WNDPROC> classes;
    std::map<HWND, Window> windows;
    std::map<std::thread::id, std::shared_ptr<Queue>> queues;
    HWND next = 0x10010;
    ATOM nextAtom = 0xC000;
    unsigned failRegister = 0, failCreate = 0;
};

// Never destroyed: windows may be torn down by static objects' destructors.
Manager& manager()
{
    static Manager* m = new Manager;
    return *m;
}

int g_module;

// A thread's queue goes when the thread ends, as its messages do on the
// platform (thread ids are reused, stale messages must not reach a new thread).
struct QueueOwner {
    bool has = false;
    ~QueueOwner()
    {
        if (!has)
            return;
        Manager& m = manager();
        std::lock_guard lock(m.mutex);
        m.queues.erase(std::this_thread::get_id());
    }
};
ob::ThreadSlot<QueueOwner> t_queueOwner;

// For the calling thread only.
std::shared_ptr<Queue> queueLocked(Manager& m)
{
    auto& q = m.queues[std::this_thread::get_id()];
    if (!q)
        q = std::make_shared<Queue>();
    t_queueOwner.get().has = true;
    return q;
}

} // namespace

void* GetModuleHandle(const char*) { return &g_module; }

ATOM RegisterClassEx(const WNDCLASSEX* wc)
{
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    if (!wc || wc->cbSize != sizeof(WNDCLASSEX) || !wc->lpfnWndProc || !wc->lpszClassName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (m.failRegister > 0) {
        --m.failRegister;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    if (!m.classes.emplace(wc->lpszClassName, wc->lpfnWndProc).second) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    return m.nextAtom++;
}

bool UnregisterClass(const char* className, void*)
{
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    if (!className || m.classes.erase(className) == 0) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return false;
    }
    return true;
}

HWND CreateWindowEx(uint32_t, const char* className, const char*, uint32_t, int, int, int, int, HWND, uintptr_t,
                    void*, void*)
{
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    auto c = className ? m.classes.find(className) : m.classes.end();
    if (c == m.classes.end()) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return 0;
    }
    if (m.failCreate > 0) {
        --m.failCreate;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    const HWND h = m.next;
    m.next += 2;
    const auto self = std::this_thread::get_id();
    m.windows.emplace(h, Window{c->second, self, queueLocked(m)});
    return h;
}

bool DestroyWindow(HWND hwnd)
{
    Manager& m = manager();
    WNDPROC proc;
    {
        std::lock_guard lock(m.mutex);
        auto it = m.windows.find(hwnd);
        if (it == m.windows.end() || it->second.owner != std::this_thread::get_id()) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return false;
        }
        proc = it->second.proc;
    }
    proc(hwnd, WM_DESTROY, 0, 0);
    std::lock_guard lock(m.mutex);
    m.windows.erase(hwnd);
    return true;
}

bool UpdateWindow(HWND hwnd) { return IsWindow(hwnd); }

bool IsWindow(HWND hwnd)
{
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    return m.windows.count(hwnd) == 1;
}

int GetMessage(MSG* msg, HWND hwnd, uint32_t, uint32_t)
{
    if (!msg || hwnd != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    Manager& m = manager();
    std::unique_lock lock(m.mutex);
    auto q = queueLocked(m);
    q->cv.wait(lock, [&] { return !q->messages.empty(); });
    *msg = q->messages.front();
    q->messages.pop_front();
    return msg->message == WM_QUIT ? 0 : 1;
}

bool TranslateMessage(const MSG*) { return false; }

LRESULT DispatchMessage(const MSG* msg)
{
    Manager& m = manager();
    WNDPROC proc;
    {
        std::lock_guard lock(m.mutex);
        auto it = m.windows.find(msg->hwnd);
        if (it == m.windows.end())
            return 0;
        proc = it->second.proc;
    }
    return proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

bool PostMessage(HWND hwnd, uint32_t message, WPARAM wParam, LPARAM lParam)
{
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    auto it = m.windows.find(hwnd);
    if (it == m.windows.end()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    it->second.queue->messages.push_back(MSG{hwnd, message, wParam, lParam});
    it->second.queue->cv.notify_all();
    return true;
}

void PostQuitMessage(int exitCode)
{
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    auto q = queueLocked(m);
    q->messages.push_back(MSG{0, WM_QUIT, static_cast<WPARAM>(exitCode), 0});
    q->cv.notify_all();
}

LRESULT DefWindowProc(HWND, uint32_t, WPARAM, LPARAM) { return 0; }

void BroadcastDeviceChange(WPARAM event)
{
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    for (auto& [h, w] : m.windows) {
        w.queue->messages.push_back(MSG{h, WM_DEVICECHANGE, event, 0});
        w.queue->cv.notify_all();
    }
}

void FailRegisterClass(unsigned count)
{
    std::lock_guard lock(manager().mutex);
    manager().failRegister = count;
}

void FailCreateWindow(unsigned count)
{
    std::lock_guard lock(manager().mutex);
    manager().failCreate = count;
}

unsigned WindowCount()
{
    std::lock_guard lock(manager().mutex);
    return static_cast<unsigned>(manager().windows.size());
}

} // namespace w32

#include "mixer/midi/midi_notifier.h"

#include "mixer/common/threads/threads.h"
#include "mixer/midi/midi_port.h"
#include "platform/win32/clock.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <vector>

namespace Orvo {

using common::threads::CMutex;
using common::threads::CMutexGuard;
using common::threads::CThread;

namespace {

// Made on first use and never destroyed: port objects may be destroyed by
// static destructors.
struct Registry {
    CMutex lock;                      // guards ports (the window procedure holds it while it calls)
    std::vector<MidiPortApi*> ports;
    CThread* thread = nullptr;        // under lock
    std::mutex lifecycle;             // one start or stop of the thread at a time
    std::mutex windowMutex;           // window handle and stop request, between stopper and thread
    w32::HWND window = 0;
    bool stopRequested = false;
};

Registry& registry()
{
    static Registry* r = new Registry;
    return *r;
}

void midiNotifyThreadProc(CThread*, std::atomic<bool>* run, void*)
{
    Registry& r = registry();
    void* instance = w32::GetModuleHandle(nullptr);
    w32::WNDCLASSEX wc;
    wc.cbSize = sizeof wc;
    wc.style = w32::CS_HREDRAW | w32::CS_VREDRAW;
    wc.lpfnWndProc = &midiNotifyWndProc;
    wc.hInstance = instance;
    wc.hIcon = w32::LoadIcon(nullptr, w32::IDI_APPLICATION);
    wc.hCursor = w32::LoadCursor(nullptr, w32::IDC_ARROW);
    wc.hbrBackground = w32::COLOR_WINDOW + 1;
    wc.lpszMenuName = kNotifierMenuName;
    wc.lpszClassName = kNotifierClassName;
    if (w32::RegisterClassEx(&wc) == 0) {
        std::printf("RtMidi: FAILED! RegisterClassEx %u\r\n", w32::GetLastError());
        return;
    }
    const w32::HWND window = w32::CreateWindowEx(0, kNotifierClassName, kNotifierWindowTitle, w32::WS_OVERLAPPEDWINDOW,
                                                 w32::CW_USEDEFAULT, w32::CW_USEDEFAULT, w32::CW_USEDEFAULT,
                                                 w32::CW_USEDEFAULT, 0, 0, instance, nullptr);
    if (window == 0) {
        std::printf("RtMidi: FAILED! CreateWindow %u\r\n", w32::GetLastError());
        w32::UnregisterClass(kNotifierClassName, instance);
        return;
    }
    bool stop;
    {
        std::lock_guard lock(r.windowMutex);
        r.window = window;
        stop = r.stopRequested; // a stop that came before the window: it could not post to it
    }
    w32::UpdateWindow(window);
    while (!stop && *run) {
        w32::MSG msg;
        const int got = w32::GetMessage(&msg, 0, 0, 0);
        if (got <= 0) {
            *run = false;
            break;
        }
        w32::TranslateMessage(&msg);
        w32::DispatchMessage(&msg);
    }
    {
        std::lock_guard lock(r.windowMutex);
        r.window = 0;
    }
    w32::DestroyWindow(window);
    // The class goes with the thread, so a later start can register it again.
    w32::UnregisterClass(kNotifierClassName, instance);
}

} // namespace

w32::LRESULT midiNotifyWndProc(w32::HWND hwnd, uint32_t message, w32::WPARAM wParam, w32::LPARAM lParam)
{
    switch (message) {
    case w32::WM_DESTROY:
        w32::PostQuitMessage(0);
        return 0;
    case w32::WM_DEVICECHANGE: {
        Registry& r = registry();
        CMutexGuard guard(r.lock);
        for (MidiPortApi* port : r.ports) {
            if (MidiDeviceChangeCallback cb = port->deviceChangeCallback()) {
                cb(port->deviceChangeUserData());
                w32::Sleep(10);
            }
        }
        return 0;
    }
    default:
        return w32::DefWindowProc(hwnd, message, wParam, lParam);
    }
}

void notifierRegister(MidiPortApi* port)
{
    Registry& r = registry();
    std::lock_guard life(r.lifecycle);
    CMutexGuard guard(r.lock);
    r.ports.push_back(port);
    if (!r.thread) {
        {
            std::lock_guard lock(r.windowMutex);
            r.stopRequested = false;
            r.window = 0;
        }
        r.thread = new CThread(&midiNotifyThreadProc, nullptr);
        r.thread->Start();
    }
}

void notifierUnregister(MidiPortApi* port)
{
    Registry& r = registry();
    std::lock_guard life(r.lifecycle);
    CThread* stopping = nullptr;
    {
        CMutexGuard guard(r.lock);
        auto it = std::find(r.ports.begin(), r.ports.end(), port);
        if (it != r.ports.end())
            r.ports.erase(it);
        if (r.ports.empty() && r.thread) {
            stopping = r.thread;
            r.thread = nullptr;
        }
    }
    if (!stopping)
        return;
    // Not under the registry lock: a device change being handled now must be
    // able to finish.
    stopping->RequestStop();
    {
        std::lock_guard lock(r.windowMutex);
        r.stopRequested = true;
        if (r.window != 0)
            w32::PostMessage(r.window, w32::WM_DESTROY, 0, 0);
    }
    delete stopping; // stops it and waits for its end
}

w32::HWND notifierWindow()
{
    Registry& r = registry();
    std::lock_guard lock(r.windowMutex);
    return r.window;
}

bool notifierRunning()
{
    Registry& r = registry();
    CMutexGuard guard(r.lock);
    return r.thread && r.thread->IsRunning();
}

} // namespace Orvo

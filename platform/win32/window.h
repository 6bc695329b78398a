#pragma once
// Window classes, windows and per-thread message queues: the part of the
// Win32 window manager that a hidden message-only window needs. A window
// belongs to the thread that created it and receives its messages through
// that thread's GetMessage/DispatchMessage loop. The "system" side,
// BroadcastDeviceChange, posts WM_DEVICECHANGE to every window, as the
// platform does when devices come or go.

#include "platform/win32/error.h"

#include <cstdint>

namespace w32 {

using HWND = uintptr_t; // 0: no window
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using ATOM = uint16_t;
using WNDPROC = LRESULT (*)(HWND, uint32_t, WPARAM, LPARAM);

inline constexpr uint32_t WM_DESTROY = 0x0002;
inline constexpr uint32_t WM_QUIT = 0x0012;
inline constexpr uint32_t WM_DEVICECHANGE = 0x0219;
inline constexpr uint32_t CS_VREDRAW = 0x0001;
inline constexpr uint32_t CS_HREDRAW = 0x0002;
inline constexpr uint32_t WS_OVERLAPPEDWINDOW = 0x00CF0000;
inline constexpr int CW_USEDEFAULT = static_cast<int>(0x80000000);
inline constexpr uint32_t COLOR_WINDOW = 5;
inline constexpr uint32_t ERROR_CLASS_ALREADY_EXISTS = 1410;
inline constexpr uint32_t ERROR_CANNOT_FIND_WND_CLASS = 1407;
inline constexpr uint32_t ERROR_INVALID_WINDOW_HANDLE = 1400;

struct WNDCLASSEX {
    uint32_t cbSize = 0;
    uint32_t style = 0;
    WNDPROC lpfnWndProc = nullptr;
    int cbClsExtra = 0;
    int cbWndExtra = 0;
    void* hInstance = nullptr;
    uintptr_t hIcon = 0;
    uintptr_t hCursor = 0;
    uintptr_t hbrBackground = 0;
    const char* lpszMenuName = nullptr;
    const char* lpszClassName = nullptr;
    uintptr_t hIconSm = 0;
};

struct MSG {
    HWND hwnd = 0;
    uint32_t message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
};

inline constexpr uintptr_t IDI_APPLICATION = 32512;
inline constexpr uintptr_t IDC_ARROW = 32512;
inline uintptr_t LoadIcon(void*, uintptr_t id) { return id; }
inline uintptr_t LoadCursor(void*, uintptr_t id) { return id; }
void* GetModuleHandle(const char* name); // the program's module instance for null

ATOM RegisterClassEx(const WNDCLASSEX* wc); // 0 on failure (GetLastError)
bool UnregisterClass(const char* className, void* instance);
HWND CreateWindowEx(uint32_t exStyle, const char* className, const char* title, uint32_t style, int x, int y, int w,
                    int h, HWND parent, uintptr_t menu, void* instance, void* param);
bool DestroyWindow(HWND hwnd); // sends WM_DESTROY; only by the owning thread
bool UpdateWindow(HWND hwnd);
bool IsWindow(HWND hwnd);
// 0 for WM_QUIT, -1 on failure, else nonzero. Blocks until a message comes.
int GetMessage(MSG* msg, HWND hwnd, uint32_t min, uint32_t max);
bool TranslateMessage(const MSG* msg);
LRESULT DispatchMessage(const MSG* msg);
bool PostMessage(HWND hwnd, uint32_t message, WPARAM wParam, LPARAM lParam);
void PostQuitMessage(int exitCode);
LRESULT DefWindowProc(HWND hwnd, uint32_t message, WPARAM wParam, LPARAM lParam);

// The system side: a device came or went. Posts WM_DEVICECHANGE to every window.
void BroadcastDeviceChange(WPARAM event = 0x0007 /* DBT_DEVNODES_CHANGED */);

// Test hooks: the next `count` class registrations or window creations fail.
void FailRegisterClass(unsigned count);
void FailCreateWindow(unsigned count);
unsigned WindowCount();

} // namespace w32

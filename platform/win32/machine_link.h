#pragma once
// A client process's link to the machine process. When ORVO_MACHINE_SOCKET
// names the machine process's socket, the device calls (interface
// enumeration, CreateFileW of an interface path, DeviceIoControl, closing a
// device handle) and named events go there, with this process's real id;
// otherwise they stay in this process, whose kernel side is in-process.
//
// A handle the machine gives keeps its value here (the machine numbers a
// client's handles from 0x40000000, far above this process's own), so a
// handle written into a request's bytes means the same object on both sides.
// A named event's state lives in a shared page: this process sets, resets
// and waits on it without a call to the machine. Each thread has a
// connection of its own, and one more stands for the process: when all are
// gone (the process ended, however it ended) the machine closes its handles.

#include "platform/win32/types.h"

#include <memory>
#include <string>
#include <vector>

namespace ob {
class SharedSignal;
}

namespace w32::machine {

inline constexpr uint32_t kFirstMachineHandle = 0x40000000;

// True when calls go to a machine process.
bool remote();
// For the machine process itself: its calls stay in it whatever the
// environment says. Call before any device call.
void serveHere();

// Each sets the last error as the call it stands for does; a machine that
// cannot be reached gives ERROR_DEVICE_NOT_CONNECTED.
bool listInterfaces(const GUID& interfaceClass, std::vector<std::u16string>& paths);
HANDLE createFile(LPCWSTR path, DWORD desiredAccess);
BOOL deviceIoControl(HANDLE device, DWORD code, LPVOID input, DWORD inputLength, LPVOID output,
                     DWORD outputLength, DWORD* bytesReturned);
HANDLE createEvent(BOOL manualReset, BOOL initialState, LPCWSTR name);
HANDLE openEvent(DWORD desiredAccess, LPCWSTR name);

// The shared state of the machine event behind `handle` with `access`
// granted, or null when the handle is no machine event (the last error is
// then untouched unless the handle is one without that access).
struct SharedEvent {
    std::shared_ptr<ob::SharedSignal> signal;
    bool autoReset = false;
};
SharedEvent sharedEvent(HANDLE handle, DWORD access, bool& denied);

} // namespace w32::machine

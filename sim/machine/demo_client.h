#pragma once
// The demo's client part: a user-mode client of the kernel driver, through
// the Win32 stand-in's device calls.

#include "platform/win32/types.h"

namespace orvo::demo {

// Registers on the first present interface of `interfaceClass`, streams for
// `seconds` in real time and prints what the status record shows; returns 0
// on success.
int runKernelClient(const w32::GUID& interfaceClass, int seconds);

} // namespace orvo::demo

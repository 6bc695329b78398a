#pragma once
// The demo's client part: a user-mode client of the kernel driver, through
// the I/O manager.

#include <string>

namespace orvo::demo {

// Registers on the device interface `link`, streams for `seconds` in real
// time and prints what the status record shows; returns 0 on success.
int runKernelClient(const std::u16string& link, int seconds);

} // namespace orvo::demo

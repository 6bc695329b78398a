#pragma once
// The device I/O control codes of the kernel-client interface (all
// METHOD_BUFFERED, any access, device type 0x22).

#include "platform/kernel/io_manager.h"

#include <cstdint>

namespace orvo::kernel {

inline constexpr uint32_t kIoCtlNegotiateThreadPriority = 0x220000;
inline constexpr uint32_t kIoCtlGetClientId = 0x220004;
inline constexpr uint32_t kIoCtlInitBuffers = 0x220008;
inline constexpr uint32_t kIoCtlElevateThreadPriority = 0x22000C;
inline constexpr uint32_t kIoCtlMessage = 0x220010;
inline constexpr uint32_t kIoCtlGetAsioInfo = 0x220014;
inline constexpr uint32_t kIoCtlDisposeOfBuffers = 0x22001C;

static_assert(kIoCtlMessage == kplat::controlCode(0x22, 4, kplat::kMethodBuffered, kplat::kFileAnyAccess));

// Codes handled in the caller's thread rather than through the queue.
inline constexpr bool RunsInCallerContext(uint32_t code)
{
    return code == kIoCtlNegotiateThreadPriority || code == kIoCtlInitBuffers || code == kIoCtlElevateThreadPriority ||
           code == kIoCtlGetAsioInfo || code == kIoCtlDisposeOfBuffers;
}

} // namespace orvo::kernel

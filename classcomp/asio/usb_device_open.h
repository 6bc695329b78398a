#pragma once
// Finding and opening a present device interface of a class GUID.

#include "platform/win32/types.h"

#include <cstdint>

namespace orvo::asio {

// Indexes whose enumeration fails with an error other than "no more items"
// are skipped, but only this many: a set that keeps failing ends the search.
inline constexpr uint32_t kMaxFailedInterfaceIndexes = 16;

// The first interface of the class that opens (read/write), or
// INVALID_HANDLE_VALUE. A probe opens nothing and returns 0 when at least one
// interface exists.
w32::HANDLE OpenUsbDevice(const w32::GUID& interfaceClass, bool probe);

} // namespace orvo::asio

#pragma once
// The slot's status monitor thread. This one holds the slot's place, from
// the slot's first registered wrapper until it is told to end (its
// identifier cleared, or the slot stopping); the polling passes are not
// here yet.

#include "platform/win32/types.h"

#include <cstdint>

namespace orvo::asio {

// The monitor looks whether it is to end at least this often.
inline constexpr uint32_t kMonitorLookMs = 10;

// Thread procedure; the argument is the slot index.
w32::DWORD AsioEventNotificationThread(w32::LPVOID slot);

} // namespace orvo::asio

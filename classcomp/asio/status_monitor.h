#pragma once
// The slot's status monitor thread. This one only holds the slot's place
// until it is told to end (monitor identifier cleared, or the slot
// stopping); the polling monitor replaces its body.

#include "platform/win32/types.h"

namespace orvo::asio {

// Thread procedure; the argument is the slot index.
w32::DWORD AsioEventNotificationThread(w32::LPVOID slot);

} // namespace orvo::asio

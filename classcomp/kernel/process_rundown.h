#pragma once
// A handle's views live in the process that mapped them, and must go before
// that process's address space does. Cleanup undoes them when the last
// handle closes, but a process can end while another process still holds
// its handle (duplicated or inherited): no cleanup comes then. The driver
// keeps every open handle in one list and, told of a process's end (in that
// process's context), disposes of the handles whose views are in it.

#include "platform/kernel/device.h"
#include "platform/kernel/wait_lock.h"

#include <cstdint>

namespace orvo::kernel {

// Driver entry: creates the list's lock under `driver` and registers for
// process notification.
kplat::Status InitProcessRundown(kplat::Object& driver);
// Driver unload: no notification may come any more.
void ShutdownProcessRundown();

// Held while a handle's views are undone (io_dispatch.h).
kplat::WaitLock& OpenFilesLock();

// File create and file close.
void TrackOpenFile(kplat::FileObject& file);
void UntrackOpenFile(kplat::FileObject& file);

void OnProcessNotify(uint32_t parentId, uint32_t processId, bool create);

} // namespace orvo::kernel

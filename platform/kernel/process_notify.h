#pragma once
// Process notification: routines the platform calls when a process is
// created (in the creator's context) and when it ends (in the ending
// process's context, before its handles are closed, while its address space
// is still there). A driver that maps views into a process learns here that
// they must go: once the process's handles are closed its address space
// goes too, and a process that runs down with a view of locked pages still
// mapped into it is a violation (the real system stops).

#include "platform/kernel/status.h"

#include <cstddef>
#include <cstdint>

namespace kplat {

using CreateProcessNotifyRoutine = void (*)(uint32_t parentId, uint32_t processId, bool create);

inline constexpr size_t kMaxProcessNotifyRoutines = 64;

// Registers `routine` (remove false) or removes it (remove true). Passive
// level. Registering one twice or more than kMaxProcessNotifyRoutines fails
// with kInvalidParameter, removing one not registered with
// kProcedureNotFound. Removal waits for calls of the routine in progress.
// Unloading a driver that left a routine registered is a violation.
Status setCreateProcessNotifyRoutine(CreateProcessNotifyRoutine routine, bool remove);
size_t processNotifyRoutineCount();

} // namespace kplat

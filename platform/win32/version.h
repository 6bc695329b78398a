#pragma once
// The system version the simulated machine reports. GetVersion packs it as
// the platform does: major version in the low byte, minor in the next, the
// build number in the high word (bit 31 clear: an NT system). Tests choose
// the version so that code branching on it can be driven both ways.

#include "platform/win32/types.h"

namespace w32 {

DWORD GetVersion();

// Default 6.1, build 7601.
void setVersion(BYTE major, BYTE minor, WORD build);

} // namespace w32

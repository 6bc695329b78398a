#include "platform/win32/version.h"

#include <atomic>

namespace w32 {

namespace {

constexpr DWORD pack(BYTE major, BYTE minor, WORD build)
{
    return DWORD(major) | DWORD(minor) << 8 | DWORD(build & 0x7FFF) << 16;
}

std::atomic<DWORD> g_version{pack(6, 1, 7601)};

} // namespace

DWORD GetVersion() { return g_version.load(); }

void setVersion(BYTE major, BYTE minor, WORD build) { g_version.store(pack(major, minor, build)); }

} // namespace w32

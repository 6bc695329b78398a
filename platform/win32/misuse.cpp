#include "platform/win32/misuse.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace w32 {

namespace {
std::atomic<int> g_traps{0};
}

void misuse(const std::string& message)
{
    if (g_traps.load() > 0)
        throw PlatformMisuse(message);
    std::fprintf(stderr, "win32 platform misuse: %s\n", message.c_str());
    std::abort();
}

MisuseTrap::MisuseTrap() { g_traps.fetch_add(1); }
MisuseTrap::~MisuseTrap() { g_traps.fetch_sub(1); }

} // namespace w32

#pragma once
// Little-endian 32-bit loads and stores at any byte offset. Images and
// protocol messages are byte streams, so fields are never reached through
// (possibly unaligned) word pointers.

#include <bit>
#include <cstdint>
#include <cstring>

namespace Orvo {

inline uint32_t loadLe32(const uint8_t* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (std::endian::native == std::endian::big)
        v = __builtin_bswap32(v);
    return v;
}

inline void storeLe32(uint8_t* p, uint32_t v)
{
    if constexpr (std::endian::native == std::endian::big)
        v = __builtin_bswap32(v);
    std::memcpy(p, &v, 4);
}

inline uint32_t loadBe32(const uint8_t* p)
{
    return __builtin_bswap32(loadLe32(p));
}

inline void storeBe32(uint8_t* p, uint32_t v)
{
    storeLe32(p, __builtin_bswap32(v));
}

} // namespace Orvo

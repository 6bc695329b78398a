#pragma once
// CRC-32 of IEEE 802.3 (reflected polynomial 0xEDB88320, initial value
// 0xFFFFFFFF, result inverted). The one CRC routine of the system: image
// entries, chunk acknowledgements and region checks all use it.

#include <cstddef>
#include <cstdint>

// The table step alone, without the initial and final inversion, so a CRC can
// be carried across several ranges: obinCrc32(ab) ==
// ~crc32Update(crc32Update(0xFFFFFFFF, a), b).
uint32_t crc32Update(uint32_t crc, const uint8_t* data, size_t length);

// CRC-32 of one range.
uint32_t obinCrc32(const uint8_t* data, size_t length);

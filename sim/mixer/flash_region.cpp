#include "sim/mixer/flash_region.h"

#include <algorithm>
#include <cstring>

#include "mixer/midi/crc32.h"

namespace Orvo::sim {

FlashRegion::FlashRegion(uint32_t base, uint32_t size) : base_(base), bytes_(size, kErased) {}

void FlashRegion::erase()
{
    std::fill(bytes_.begin(), bytes_.end(), kErased);
}

bool FlashRegion::contains(uint32_t address, size_t n) const
{
    return address >= base_ && n <= bytes_.size() && address - base_ <= bytes_.size() - n;
}

bool FlashRegion::write(uint32_t address, const uint8_t* data, size_t n)
{
    if (!contains(address, n))
        return false;
    if (n > 0)
        std::memcpy(bytes_.data() + (address - base_), data, n);
    return true;
}

uint32_t FlashRegion::crc() const
{
    return obinCrc32(bytes_.data(), bytes_.size());
}

} // namespace Orvo::sim

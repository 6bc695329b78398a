#pragma once
// One region of the simulated mixer's flash memory. Its region CRC (the value
// the bootloader reports for the region, and the one an image header carries
// for a correctly written region) is defined here once: the CRC-32 of all
// `size` bytes of the region, with bytes that no entry wrote left erased
// (0xFF). The image tool computes header CRCs with this same class.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Orvo::sim {

class FlashRegion {
public:
    static constexpr uint8_t kErased = 0xFF;

    FlashRegion(uint32_t base, uint32_t size);

    uint32_t base() const { return base_; }
    uint32_t size() const { return static_cast<uint32_t>(bytes_.size()); }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

    void erase();
    // True when [address, address + n) lies inside the region (checked
    // without overflow); nothing is written otherwise.
    bool contains(uint32_t address, size_t n) const;
    bool write(uint32_t address, const uint8_t* data, size_t n);
    uint32_t crc() const;

private:
    uint32_t base_;
    std::vector<uint8_t> bytes_;
};

} // namespace Orvo::sim

#pragma once
// Small OBin images for tests: two regions of the first model, one of the
// second.

#include "tools/obin_writer.h"

namespace Orvo::testimages {

constexpr uint32_t kModelA = 0x3A710018u;
constexpr uint32_t kModelB = 0x3A710019u;

inline tools::BlockSpec block(uint32_t peripheral, uint32_t region, uint32_t version, uint32_t base,
                              std::vector<size_t> entryLengths, uint32_t seed)
{
    tools::BlockSpec b;
    b.text = "test region";
    b.peripheral = peripheral;
    b.region = region;
    b.version = version;
    b.base = base;
    b.size = 0x4000;
    uint32_t address = base;
    for (size_t len : entryLengths) {
        b.entries.push_back({address, tools::syntheticData(len, seed++)});
        address += static_cast<uint32_t>(len) + 16;
    }
    return b;
}

inline tools::ImageSpec threeBlocks()
{
    tools::ImageSpec s;
    s.blocks.push_back(block(kModelA, 0, tools::versionWord(1, 0, 5, 4), 0x08000000, {300, 41}, 1));
    s.blocks.push_back(block(kModelA, 1, tools::versionWord(1, 0, 5, 3), 0x20000000, {1000}, 10));
    s.blocks.push_back(block(kModelB, 0, tools::versionWord(1, 0, 5, 133), 0x08000000, {77}, 20));
    return s;
}

} // namespace Orvo::testimages

#pragma once
// Fuzz input helpers: a byte reader and valid OBin images described by fuzz
// bytes, then mutated by them.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/obin_writer.h"

namespace Orvo::fuzz {

struct Reader {
    const uint8_t* p;
    size_t n;
    uint8_t byte() { return n ? (--n, *p++) : 0; }
    uint16_t word() { return static_cast<uint16_t>(byte() | byte() << 8); }
};

inline std::vector<uint8_t> mutatedImage(Reader& in, uint32_t regionSize = 0x800)
{
    tools::ImageSpec spec;
    const int blocks = 1 + in.byte() % 4;
    for (int b = 0; b < blocks; ++b) {
        tools::BlockSpec block;
        const uint8_t flags = in.byte();
        block.peripheral = 0x3A710018u + (flags & 1);
        block.region = (flags >> 1) & 3;
        block.version = in.word();
        block.base = 0x1000u * (flags >> 4);
        block.size = regionSize;
        block.otherOrder = flags & 8;
        block.padding = in.byte() % 8;
        const int entries = in.byte() % 4;
        for (int e = 0; e < entries; ++e)
            block.entries.push_back({block.base + in.byte(), tools::syntheticData(in.byte() % 64, in.byte())});
        spec.blocks.push_back(block);
    }
    std::vector<uint8_t> image = tools::buildImage(spec);
    while (in.n >= 3 && !image.empty()) {
        const size_t at = in.word() % image.size();
        image[at] = in.byte();
    }
    return image;
}

} // namespace Orvo::fuzz

#include "tools/obin_writer.h"

#include <algorithm>
#include <cstring>

#include "mixer/midi/crc32.h"
#include "mixer/midi/le_bytes.h"
#include "mixer/midi/obin.h"
#include "sim/mixer/flash_region.h"

namespace Orvo::tools {

namespace {

size_t dataBytes(const BlockSpec& b)
{
    size_t n = 0;
    for (const EntrySpec& e : b.entries)
        n += e.data.size();
    return n;
}

size_t blockLengthOf(const BlockSpec& b)
{
    return obin::kHeaderSize + obin::kEntrySize * b.entries.size() + dataBytes(b) + b.padding;
}

std::vector<BlockSpec> paddedBlocks(const ImageSpec& spec)
{
    std::vector<BlockSpec> blocks = spec.blocks;
    if (spec.padTo && !blocks.empty()) {
        size_t total = 0;
        for (const BlockSpec& b : blocks)
            total += blockLengthOf(b);
        if (*spec.padTo > total)
            blocks.back().padding += static_cast<uint32_t>(*spec.padTo - total);
    }
    return blocks;
}

void put(std::vector<uint8_t>& image, size_t at, uint32_t v, bool other)
{
    if (other)
        storeBe32(image.data() + at, v);
    else
        storeLe32(image.data() + at, v);
}

} // namespace

uint32_t regionCrcOf(const BlockSpec& block)
{
    sim::FlashRegion flash(block.base, block.size);
    for (const EntrySpec& e : block.entries)
        flash.write(e.address, e.data.data(), e.data.size());
    return flash.crc();
}

std::vector<size_t> blockOffsets(const ImageSpec& spec)
{
    std::vector<size_t> offsets;
    size_t at = 0;
    for (const BlockSpec& b : paddedBlocks(spec)) {
        offsets.push_back(at);
        at += blockLengthOf(b);
    }
    return offsets;
}

std::vector<uint8_t> buildImage(const ImageSpec& spec)
{
    std::vector<uint8_t> image;
    for (const BlockSpec& b : paddedBlocks(spec)) {
        const size_t at = image.size();
        const size_t length = blockLengthOf(b);
        image.resize(at + length, 0);
        const bool o = b.otherOrder;
        put(image, at + obin::kMagicAt, obin::kMagic, o);
        std::memcpy(image.data() + at + obin::kTextAt, b.text.data(), std::min(b.text.size(), obin::kTextSize));
        put(image, at + obin::kPeripheralAt, b.peripheral, o);
        put(image, at + obin::kRegionAt, b.region, o);
        put(image, at + obin::kVersionAt, b.version, o);
        put(image, at + obin::kBaseAt, b.base, o);
        put(image, at + obin::kSizeAt, b.size, o);
        put(image, at + obin::kRegionCrcAt, b.regionCrc ? *b.regionCrc : regionCrcOf(b), o);
        put(image, at + obin::kBlockLengthAt, static_cast<uint32_t>(length), o);
        put(image, at + obin::kEntryCountAt, static_cast<uint32_t>(b.entries.size()), o);
        size_t data = obin::kHeaderSize + obin::kEntrySize * b.entries.size();
        for (size_t i = 0; i < b.entries.size(); ++i) {
            const EntrySpec& e = b.entries[i];
            const size_t ent = at + obin::kEntriesAt + obin::kEntrySize * i;
            put(image, ent + obin::kEntryAddressAt, e.address, o);
            put(image, ent + obin::kEntryLengthAt, static_cast<uint32_t>(e.data.size()), o);
            put(image, ent + obin::kEntryCrcAt, obinCrc32(e.data.data(), e.data.size()), o);
            put(image, ent + obin::kEntryDataOffsetAt, static_cast<uint32_t>(data), o);
            if (!e.data.empty())
                std::memcpy(image.data() + at + data, e.data.data(), e.data.size());
            data += e.data.size();
        }
    }
    return image;
}

bool applyFault(std::vector<uint8_t>& image, const ImageSpec& spec, const Fault& f)
{
    using K = Fault::Kind;
    if (f.kind == K::Trailing) {
        image.resize(image.size() + f.value, 0);
        return true;
    }
    if (f.kind == K::Truncate) {
        image.resize(std::min<size_t>(image.size(), f.value));
        return true;
    }
    const std::vector<size_t> offsets = blockOffsets(spec);
    if (f.block >= offsets.size())
        return false;
    const BlockSpec& b = spec.blocks[f.block];
    const size_t at = offsets[f.block];
    const bool o = b.otherOrder;
    const bool needsEntry = f.kind != K::Magic && f.kind != K::BlockLength && f.kind != K::EntryCount;
    if (needsEntry && f.entry >= b.entries.size())
        return false;
    const size_t ent = at + obin::kEntriesAt + obin::kEntrySize * f.entry;
    switch (f.kind) {
    case K::FlipDataByte: {
        if (f.value >= b.entries[f.entry].data.size())
            return false;
        size_t data = obin::kHeaderSize + obin::kEntrySize * b.entries.size();
        for (size_t i = 0; i < f.entry; ++i)
            data += b.entries[i].data.size();
        image[at + data + f.value] ^= 0x01;
        return true;
    }
    case K::EntryCrc: put(image, ent + obin::kEntryCrcAt, f.value, o); return true;
    case K::Magic: storeLe32(image.data() + at, f.value); return true;
    case K::BlockLength: put(image, at + obin::kBlockLengthAt, f.value, o); return true;
    case K::EntryCount: put(image, at + obin::kEntryCountAt, f.value, o); return true;
    case K::EntryDataOffset: put(image, ent + obin::kEntryDataOffsetAt, f.value, o); return true;
    case K::EntryLength: put(image, ent + obin::kEntryLengthAt, f.value, o); return true;
    default: return false;
    }
}

std::vector<uint8_t> syntheticData(size_t length, uint32_t seed, const std::string& banner)
{
    std::vector<uint8_t> out(length);
    uint32_t x = seed * 2654435761u + 0x6D2B79F5u;
    if (x == 0)
        x = 1;
    for (size_t i = 0; i < length; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<uint8_t>(x >> 24);
    }
    if (length > 0 && !banner.empty())
        std::memcpy(out.data(), banner.data(), std::min(banner.size(), length));
    return out;
}

} // namespace Orvo::tools

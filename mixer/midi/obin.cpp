#include "mixer/midi/obin.h"

#include <cstring>

#include "mixer/midi/crc32.h"

using namespace Orvo;

namespace {

struct Block {
    bool swapped;       // words in the other order
    uint32_t length;    // block length
    uint32_t entries;   // entry count
};

// Reads the block at offset off (off < length): its magic, then, only when a
// whole header is there, its length and entry count in its own order. False
// for a bad magic, a short header, a block that does not fit in the image, or
// entries that do not fit in the block.
bool readBlock(const uint8_t* image, size_t length, size_t off, Block& b)
{
    const size_t left = length - off;
    if (left < 4)
        return false;
    const uint8_t* p = image + off;
    const uint32_t magic = loadLe32(p);
    if (magic == obin::kMagic)
        b.swapped = false;
    else if (magic == obin::kMagicSwapped)
        b.swapped = true;
    else
        return false;
    if (left < obin::kHeaderSize)
        return false;
    b.length = b.swapped ? loadBe32(p + obin::kBlockLengthAt) : loadLe32(p + obin::kBlockLengthAt);
    b.entries = b.swapped ? loadBe32(p + obin::kEntryCountAt) : loadLe32(p + obin::kEntryCountAt);
    return b.length <= left && obin::entriesFit(b.length, b.entries);
}

void swapBlock(uint8_t* p, uint32_t entries)
{
    obinSwapWords(p, p, 1);
    obinSwapWords(p + obin::kPeripheralAt, p + obin::kPeripheralAt, 8);
    obinSwapWords(p + obin::kEntriesAt, p + obin::kEntriesAt, 4 * static_cast<size_t>(entries));
}

template <class Visit> bool walk(const uint8_t* image, size_t length, Visit visit)
{
    for (size_t off = 0; off < length;) {
        Block b;
        if (!readBlock(image, length, off, b))
            return false;
        if (!visit(off, b))
            return false;
        off += b.length; // at least 68: the walk always moves on
    }
    return true;
}

} // namespace

void obinSwapWords(uint8_t* dst, const uint8_t* src, size_t count)
{
    while (count--) {
        uint8_t w[4];
        std::memcpy(w, src + 4 * count, 4);
        const uint8_t r[4] = {w[3], w[2], w[1], w[0]};
        std::memcpy(dst + 4 * count, r, 4);
    }
}

bool obinToHostOrder(uint8_t* image, size_t length)
{
    if (image == nullptr)
        return true;
    return walk(image, length, [&](size_t off, const Block& b) {
        if (b.swapped)
            swapBlock(image + off, b.entries);
        return true;
    });
}

bool obinSwapImage(uint8_t* image, size_t length)
{
    if (image == nullptr)
        return true;
    return walk(image, length, [&](size_t off, const Block& b) {
        swapBlock(image + off, b.entries);
        return true;
    });
}

bool obinCheckCrcs(const uint8_t* image, size_t length)
{
    if (image == nullptr || length == 0)
        return false;
    return walk(image, length, [&](size_t off, const Block& b) {
        if (b.swapped)
            return false;
        const uint8_t* block = image + off;
        const ObinRegionHeader h(block);
        for (uint32_t i = 0; i < b.entries; ++i) {
            const ObinRegionEntry e = h.entry(i);
            if (!obin::dataInBlock(b.length, e.dataOffset(), e.length()))
                return false;
            if (obinCrc32(block + e.dataOffset(), e.length()) != e.crc())
                return false;
        }
        return true;
    });
}

namespace {

// Visits the host-order blocks of the peripheral up to the first block that
// does not walk; visit returns false to stop early.
template <class Visit> void forEachBlockOf(uint32_t peripheral, const uint8_t* image, size_t length, Visit visit)
{
    if (image == nullptr)
        return;
    walk(image, length, [&](size_t off, const Block& b) {
        if (b.swapped)
            return true;
        const ObinRegionHeader h(image + off);
        return h.peripheralId() != peripheral || visit(off, h);
    });
}

} // namespace

const uint8_t* obinFindBlock(uint32_t peripheral, uint32_t region, const uint8_t* image, size_t length)
{
    const uint8_t* found = nullptr;
    forEachBlockOf(peripheral, image, length, [&](size_t off, const ObinRegionHeader& h) {
        if (h.regionNumber() != region)
            return true;
        found = image + off;
        return false;
    });
    return found;
}

bool obinCopyHeader(uint8_t* header, uint32_t* offset, uint32_t peripheral, uint32_t region, const uint8_t* image,
                    size_t length)
{
    const uint8_t* block = obinFindBlock(peripheral, region, image, length);
    if (block == nullptr)
        return false;
    if (header != nullptr)
        std::memcpy(header, block, obin::kHeaderSize);
    if (offset != nullptr)
        *offset = static_cast<uint32_t>(block - image);
    return true;
}

uint32_t obinCountBlocks(uint32_t peripheral, const uint8_t* image, size_t length)
{
    uint32_t count = 0;
    forEachBlockOf(peripheral, image, length, [&](size_t, const ObinRegionHeader&) {
        ++count;
        return true;
    });
    return count;
}

#pragma once
// OBin firmware images: a run of region blocks with no gap and no file
// header. Each block is a 68-byte header, n 16-byte entries and the entries'
// data; all its words are in one byte order, host order (little-endian, the
// magic reads "!Obn") or the other. Fields are reached through the views
// below at fixed offsets, never through structs laid over the bytes.
//
// Every routine here walks the blocks with the same bounds rules: a field is
// read only once the bytes holding it are known to lie in the image, a block
// must fit in what is left of the image, and 68 + 16 n must fit in the block
// length (checked without overflow), so a walk always moves forward.

#include <cstddef>
#include <cstdint>

#include "mixer/midi/le_bytes.h"

namespace Orvo::obin {

constexpr uint32_t kMagic = 0x6E624F21u;        // "!Obn" as a host-order word
constexpr uint32_t kMagicSwapped = 0x214F626Eu; // the same in the other order
constexpr size_t kHeaderSize = 68;
constexpr size_t kEntrySize = 16;
constexpr size_t kTextSize = 32;

// Header field offsets.
constexpr size_t kMagicAt = 0;
constexpr size_t kTextAt = 4;
constexpr size_t kPeripheralAt = 36;
constexpr size_t kRegionAt = 40;
constexpr size_t kVersionAt = 44;
constexpr size_t kBaseAt = 48;
constexpr size_t kSizeAt = 52;
constexpr size_t kRegionCrcAt = 56;
constexpr size_t kBlockLengthAt = 60;
constexpr size_t kEntryCountAt = 64;
constexpr size_t kEntriesAt = 68;

// Entry field offsets.
constexpr size_t kEntryAddressAt = 0;
constexpr size_t kEntryLengthAt = 4;
constexpr size_t kEntryCrcAt = 8;
constexpr size_t kEntryDataOffsetAt = 12;

// True when 68 + 16 n bytes fit in a block of blockLength bytes.
constexpr bool entriesFit(uint32_t blockLength, uint32_t n)
{
    return blockLength >= kHeaderSize && n <= (blockLength - kHeaderSize) / kEntrySize;
}

// True when an entry's data (offset counted from the block start) lies inside
// its block.
constexpr bool dataInBlock(uint32_t blockLength, uint32_t dataOffset, uint32_t dataLength)
{
    return dataOffset <= blockLength && dataLength <= blockLength - dataOffset;
}

} // namespace Orvo::obin

namespace Orvo {

// View of one 16-byte host-order entry.
class ObinRegionEntry {
public:
    explicit ObinRegionEntry(const uint8_t* p) : p_(p) {}
    const uint8_t* bytes() const { return p_; }
    uint32_t address() const { return loadLe32(p_ + obin::kEntryAddressAt); }
    uint32_t length() const { return loadLe32(p_ + obin::kEntryLengthAt); }
    uint32_t crc() const { return loadLe32(p_ + obin::kEntryCrcAt); }
    uint32_t dataOffset() const { return loadLe32(p_ + obin::kEntryDataOffsetAt); }

private:
    const uint8_t* p_;
};

// View of one 68-byte host-order header (and, through entry(), of the entries
// that follow it; the caller knows they are there).
class ObinRegionHeader {
public:
    explicit ObinRegionHeader(const uint8_t* p) : p_(p) {}
    const uint8_t* bytes() const { return p_; }
    uint32_t magic() const { return loadLe32(p_ + obin::kMagicAt); }
    const uint8_t* text() const { return p_ + obin::kTextAt; }
    uint32_t peripheralId() const { return loadLe32(p_ + obin::kPeripheralAt); }
    uint32_t regionNumber() const { return loadLe32(p_ + obin::kRegionAt); }
    uint32_t version() const { return loadLe32(p_ + obin::kVersionAt); }
    uint32_t base() const { return loadLe32(p_ + obin::kBaseAt); }
    uint32_t size() const { return loadLe32(p_ + obin::kSizeAt); }
    uint32_t regionCrc() const { return loadLe32(p_ + obin::kRegionCrcAt); }
    uint32_t blockLength() const { return loadLe32(p_ + obin::kBlockLengthAt); }
    uint32_t entryCount() const { return loadLe32(p_ + obin::kEntryCountAt); }
    ObinRegionEntry entry(uint32_t i) const { return ObinRegionEntry(p_ + obin::kEntriesAt + obin::kEntrySize * i); }

private:
    const uint8_t* p_;
};

} // namespace Orvo

// Byte-reverses count 32-bit words from src into dst, last word first, so dst
// may be src.
void obinSwapWords(uint8_t* dst, const uint8_t* src, size_t count);

// Converts every block in the other order to host order, in place. True when
// the whole image walks (also for a null or empty image); on failure the
// blocks before the bad one stay converted.
bool obinToHostOrder(uint8_t* image, size_t length);

// The same walk, reversing the order of every block whichever it is.
bool obinSwapImage(uint8_t* image, size_t length);

// True only for a non-empty image whose every block is in host order, fits,
// has all its entries' data inside itself and every entry's CRC-32 right.
bool obinCheckCrcs(const uint8_t* image, size_t length);

// First host-order block of that peripheral and region that fits in the
// image, or null. The walk stops at the first block that does not fit.
const uint8_t* obinFindBlock(uint32_t peripheral, uint32_t region, const uint8_t* image, size_t length);

// Copies the 68-byte header of that block and its offset from the image start.
bool obinCopyHeader(uint8_t* header, uint32_t* offset, uint32_t peripheral, uint32_t region, const uint8_t* image,
                    size_t length);

// Number of host-order blocks of that peripheral that fit in the image.
uint32_t obinCountBlocks(uint32_t peripheral, const uint8_t* image, size_t length);

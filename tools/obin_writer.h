#pragma once
// Builds OBin images from region descriptions, in either byte order, with
// faults put in on demand so that readers can be tested against them.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Orvo::tools {

struct EntrySpec {
    uint32_t address = 0;
    std::vector<uint8_t> data;
};

struct BlockSpec {
    std::string text;                  // up to 32 bytes, zero-filled
    uint32_t peripheral = 0;
    uint32_t region = 0;
    uint32_t version = 0;
    uint32_t base = 0;
    uint32_t size = 0;
    std::optional<uint32_t> regionCrc; // computed from the entries when absent
    std::vector<EntrySpec> entries;
    bool otherOrder = false;           // words byte-reversed
    uint32_t padding = 0;              // unused bytes at the end of the block
};

struct ImageSpec {
    std::vector<BlockSpec> blocks;
    std::optional<size_t> padTo;       // grow the last block so the image has this length
};

// A fault applied to a built image. Field values are written in the block's
// own byte order.
struct Fault {
    enum class Kind {
        FlipDataByte,    // entry's data byte `value` XOR 0x01
        EntryCrc,        // entry's CRC := value
        Magic,           // block's magic := value
        BlockLength,     // block length := value
        EntryCount,      // entry count := value
        EntryDataOffset, // entry's data offset := value
        EntryLength,     // entry's data length := value
        Trailing,        // `value` zero bytes appended to the image
        Truncate,        // image cut to `value` bytes
    };
    Kind kind;
    size_t block = 0;
    size_t entry = 0;
    uint32_t value = 0;
};

// Version word from major.minor.patch.build.
constexpr uint32_t versionWord(uint32_t major, uint32_t minor, uint32_t patch, uint32_t build)
{
    return (major & 0xFF) << 24 | (minor & 0xFF) << 16 | (patch & 0xFF) << 8 | (build & 0xFF);
}

// The region CRC a correctly written region reports (entries outside the
// region are left out).
uint32_t regionCrcOf(const BlockSpec& block);

// Where each block starts in the built image.
std::vector<size_t> blockOffsets(const ImageSpec& spec);

std::vector<uint8_t> buildImage(const ImageSpec& spec);
// Applies one fault; false when it names a block or entry the image lacks.
bool applyFault(std::vector<uint8_t>& image, const ImageSpec& spec, const Fault& fault);

// Deterministic stand-in firmware bytes.
std::vector<uint8_t> syntheticData(size_t length, uint32_t seed, const std::string& banner = {});

} // namespace Orvo::tools

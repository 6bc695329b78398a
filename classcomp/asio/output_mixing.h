#pragma once
// Output of one block into the kernel driver's joined playback ring.
//
// With one started client its block is copied into the clipped ring. With
// more, each client adds into the accumulator and the block is converted,
// with clipping, into the clipped ring by exactly one client: the one whose
// addition brings the block's counter to the started-client count, or, when
// a started client skipped the block or the count dropped during it, the
// first client to wake for the next block (FinishLateBlock). A block's
// counter carries a claim bit from its conversion until the kernel zeroes
// the counter and the accumulator block at the block's turnover, so a block
// is converted once per cycle and an addition that comes after its
// conversion is dropped, never left for the block's next cycle. An addition
// counts itself in flight before it looks at the claim; a claim that finds
// one in flight leaves the conversion to the last addition to end, so no
// conversion meets an addition half-way. Nothing waits for another client.
//
// Carry: when an output transfer reads past the ring's end, the bytes it
// reads there (the overrun, rounded up to whole frames, as far as the
// mapping reaches) are the ring's first bytes. Every block is written whole
// in its place, and the part of it that lies within the carry is copied into
// the spare space at the same offset.

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace orvo::asio {

// The kernel driver's clipped-ring and accumulator mappings.
inline constexpr size_t kJoinedRingMappingBytes = 3'440'004;
// The object's own output halves: 2 x channels x block frames x 4 bytes.
inline constexpr size_t kPlaybackAreaLimit = 480'000;
inline constexpr uint32_t kMaxOutputChannels = 20;

struct PlaybackRings {
    uint8_t* record = nullptr;      // the status record
    uint8_t* clipped = nullptr;     // what the kernel driver sends
    uint8_t* accumulator = nullptr; // the sum of the started clients
    uint32_t channels = 0;          // output channels
    uint32_t blockFrames = 0;
    uint32_t ringBlocks = 0;
    bool isFloat = false;

    size_t frameBytes() const { return size_t(channels) * 4; }
    size_t blockBytes() const { return frameBytes() * blockFrames; }
    size_t ringBytes() const { return blockBytes() * ringBlocks; }
};

// The rings as the record describes them now, for `blockFrames`; false when
// the record's channel count or ring blocks are out of range or the ring
// would not fit its mapping.
bool DescribePlaybackRings(uint8_t* record, uint8_t* clipped, uint8_t* accumulator, uint32_t blockFrames,
                           PlaybackRings& rings);

// One block of output halves: channel k's samples at area + (2k + half) * b.
struct OutputBlock {
    const uint8_t* area = nullptr;
    uint32_t half = 0;
    const uint8_t* active = nullptr; // per channel, nonzero when the host has a buffer for it
};

// Writes block `block` (absolute number; ring block block mod D). Inactive
// channels are written as zeros.
void WriteSingleClientBlock(const PlaybackRings& rings, const OutputBlock& output, uint64_t block);
// Adds this client's output into the accumulator and converts the block
// when this client completes it. True when this client converted.
bool MixClientBlock(const PlaybackRings& rings, const OutputBlock& output, uint64_t block);
// Called at the wake for kernel block `processed`: converts block
// processed + 2 (the block the clients woken for processed - 1 wrote) when
// it has not been converted and clients are mixing or have added into it
// (the started count may have dropped to one since), or, for a client
// playing out its tail after its stop (`stopping`), whenever nobody has: the
// others may stop during the tail and leave the ring's previous cycle there.
// True when it converted.
bool FinishLateBlock(const PlaybackRings& rings, uint64_t processed, bool stopping = false);

// After the last block a client wrote before it stopped (processed + 3):
// the rest of the clipped ring holds the previous cycle, which the kernel
// driver's transfers would play. Blocks processed + 4 to processed + D - 1
// are silenced (block `processed` may still be playing), unless other
// clients are started and mixing into it.
void SilenceAfterLastBlock(const PlaybackRings& rings, uint64_t processed);

// While nobody is started the kernel driver's transfers still go round the
// clipped ring, so not-started clients clear the joined rings (`bytes` of
// each; a null ring is skipped). False when a client is started: then
// nothing is touched. A client that starts meanwhile waits for such a clear,
// or a tail's silencing, to end before it writes its first block.
bool ClearIdlePlaybackRings(uint8_t* record, uint8_t* clipped, uint8_t* accumulator, size_t bytes);
// Called by a client once the kernel driver has taken its started message:
// true once no clear is running, false when one still is after `bound` (a
// clearer that died in the middle of it).
bool AwaitPlaybackClears(uint8_t* record, std::chrono::nanoseconds bound);

// Conversion of one summed sample.
uint32_t ConvertIntSample(int32_t sum);
float ConvertFloatSample(float sum);

} // namespace orvo::asio

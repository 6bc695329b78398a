#pragma once
// The shared status record: 11,572 bytes that the kernel driver shares with
// every client of a device. Every field sits at a fixed byte offset without
// alignment, little-endian; AsioInfo reaches them through loads and stores of
// raw bytes. Clients map the same bytes, so nothing here may depend on the
// host's layout of a struct.

#include "platform/kernel/guid.h"

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace orvo::kernel {

namespace asio_info {
inline constexpr size_t kSize = 11572;
inline constexpr size_t kClientSlots = 100;
inline constexpr size_t kMaxRingBlocks = 15;
inline constexpr size_t kMaxSampleRates = 15;
inline constexpr size_t kChannelNamesBytes = 5100;
inline constexpr size_t kStatRingEntries = 10;

inline constexpr size_t kPriorityTokenKnownOffset = 0;
inline constexpr size_t kLastBlockTimeOffset = 1;
// Moved from 809 (see kMixCounterOffset).
inline constexpr size_t kPendingSlipsOffset = 11324;
inline constexpr size_t kStartedClientCountOffset = 813;
inline constexpr size_t kIsStreamingEnabledOffset = 817;
inline constexpr size_t kAsioBlockCountOffset = 821;
inline constexpr size_t kPlaybackOverrunOffset = 889;
inline constexpr size_t kRecordDeadOffset = 905;
inline constexpr size_t kSettingsPushedOffset = 906;
inline constexpr size_t kKernelLoopbackOffset = 907;
inline constexpr size_t kClientTimingSwitchOffset = 908;
inline constexpr size_t kEraseBuffersOffset = 909;
inline constexpr size_t kPriorityBoostOffOffset = 910;
inline constexpr size_t kSampleRateOffset = 911;
inline constexpr size_t kOutputChannelCountOffset = 915;
inline constexpr size_t kInputChannelCountOffset = 919;
inline constexpr size_t kSampleFormatOffset = 923;
inline constexpr size_t kSampleRateCountOffset = 924;
inline constexpr size_t kBlockFramesOffset = 11188;
inline constexpr size_t kClientBlockSamplesOffset = 11192;
inline constexpr size_t kRingBlocksOffset = 11196;
inline constexpr size_t kReadsCompletedOffset = 11248;
inline constexpr size_t kReadsFailedOffset = 11252;
inline constexpr size_t kReadZeroLengthPacketsOffset = 11256;
inline constexpr size_t kWritesCompletedOffset = 11260;
inline constexpr size_t kWritesFailedOffset = 11264;
inline constexpr size_t kWriteBadPacketsOffset = 11268;
inline constexpr size_t kSlipsTotalOffset = 11272;
inline constexpr size_t kReadsWithoutBlockOffset = 11276;
inline constexpr size_t kLateBlocksOffset = 11280;
inline constexpr size_t kReadRequestErrorOffset = 11284;
inline constexpr size_t kReadUrbErrorOffset = 11288;
inline constexpr size_t kReadPacketErrorOffset = 11292;
inline constexpr size_t kReadZeroLengthMaskOffset = 11296;
inline constexpr size_t kWriteRequestErrorOffset = 11300;
inline constexpr size_t kWriteUrbErrorOffset = 11304;
inline constexpr size_t kWritePacketErrorOffset = 11308;
inline constexpr size_t kFramesInBlockOffset = 11312;
inline constexpr size_t kPendingReadFramesOffset = 11316;
inline constexpr size_t kMeasuredSampleRateOffset = 11320;
inline constexpr size_t kShortBlockFlagOffset = 11332;
inline constexpr size_t kHalfRingMsOffset = 11336;
inline constexpr size_t kStreamingClientCountCopyOffset = 11340;
inline constexpr size_t kStatusBitsOffset = 11344;
inline constexpr size_t kBuffersInitialisedCounterOffset = 11568;
inline constexpr size_t kClientDeadlineOffset = 9;
// Both sides update the slips and the mixing counters with locked
// instructions. At their first places (809, and 829 + 4i with counter 0
// across a cache line) those were unaligned, and counter 0 a split lock,
// which the processor may trap or throttle in the middle of a block. They
// live in the record's reserved space instead, naturally aligned, each
// group within one cache line: the slips as a u32 at 11324, the counters as
// u16 at 11200 + 2i (at most 100 clients count into one). 809..812 and
// 829..888 are no longer used and stay zero.
inline constexpr size_t kMixCounterOffset = 11200;
inline constexpr size_t kMixCounterBytes = 2;
// A mixing counter: the clients' additions done into its block (low 7
// bits) and in flight (next 7 bits), a claim once the block is to be
// converted (later additions are late and dropped), and a mark taken by the
// one client that converts it, or that wrote it whole alone. The kernel
// driver zeroes a counter at its block's turnover, unless additions are in
// flight: it cannot wait for them, so it keeps their count under the
// turned-over mark (the conversion's mark without the claim), and the last
// of them to end clears the block's sum and takes the mark off.
inline constexpr uint16_t kMixCounterDone = 0x007F;
inline constexpr uint16_t kMixCounterInFlightOne = 0x0080;
inline constexpr uint16_t kMixCounterInFlight = 0x3F80;
inline constexpr uint16_t kMixCounterConverted = 0x4000;
inline constexpr uint16_t kMixCounterClaimed = 0x8000;
inline constexpr uint16_t kMixCounterTurnedOver = kMixCounterConverted;
constexpr bool mixCounterTurnedOver(uint16_t counter)
{
    return (counter & (kMixCounterTurnedOver | kMixCounterClaimed)) == kMixCounterTurnedOver;
}
inline constexpr size_t kMixCarryOffset = 893;
inline constexpr size_t kSampleRateAtOffset = 928;
inline constexpr size_t kInputChannelNamesOffset = 988;
inline constexpr size_t kOutputChannelNamesOffset = 6088;
inline constexpr size_t kReserved1Offset = 11230; // 2 bytes, zero (11200..11229: mixing counters)
inline constexpr size_t kClassIdOffset = 11232;
// Clients clearing the joined playback rings right now, not started or
// alone in their tail (u32, aligned, in the slips' line). A client that
// starts waits for it to reach zero before it writes its first block.
inline constexpr size_t kPlaybackClearsOffset = 11328;
inline constexpr size_t kPacketFramesRingOffset = 11348;
inline constexpr size_t kRequestedPacketFramesRingOffset = 11392;
inline constexpr size_t kReadTransferFramesRingOffset = 11436;
inline constexpr size_t kBlockLeftoverRingOffset = 11480;
inline constexpr size_t kReadTransferSamplesRingOffset = 11524;

// Whether a field would straddle a 64-byte cache line of the page-aligned
// record (then no single access is atomic, not even on x86).
constexpr bool crossesCacheLine(size_t offset, size_t size) { return offset / 64 != (offset + size - 1) / 64; }
// The unaligned fields the kernel writes while clients read them stay within
// one line. (The deadlines of slots 6 + 8k do not: clients write those with
// plain stores, never a locked instruction.)
static_assert(!crossesCacheLine(kLastBlockTimeOffset, 8) &&
              !crossesCacheLine(kStartedClientCountOffset, 4) && !crossesCacheLine(kIsStreamingEnabledOffset, 4) &&
              !crossesCacheLine(kAsioBlockCountOffset, 4) && !crossesCacheLine(kAsioBlockCountOffset + 4, 4) &&
              !crossesCacheLine(kPlaybackOverrunOffset, 4) && !crossesCacheLine(kSampleRateOffset, 4) &&
              !crossesCacheLine(kOutputChannelCountOffset, 4) && !crossesCacheLine(kInputChannelCountOffset, 4));
// The fields updated with locked instructions: aligned, within one line.
static_assert(kPendingSlipsOffset % 4 == 0 && !crossesCacheLine(kPendingSlipsOffset, 4));
static_assert(kPlaybackClearsOffset % 4 == 0 && !crossesCacheLine(kPlaybackClearsOffset, 4));
static_assert(kMixCounterOffset % 2 == 0 && !crossesCacheLine(kMixCounterOffset, kMaxRingBlocks * kMixCounterBytes) &&
              kMixCounterOffset + kMaxRingBlocks * kMixCounterBytes <= kClassIdOffset);

// Status bits at kStatusBitsOffset.
inline constexpr uint32_t kStatusBitBlocksPerTransfer = 0x4;   // one input transfer completed more than one block
inline constexpr uint32_t kStatusBitOverrunNotTaken = 0x8;     // a playback overrun was stored over an unread one
inline constexpr uint32_t kStatusBitRingTooLarge = 0x20;       // geometry refused: playback ring over 3,440,000 bytes
inline constexpr uint32_t kStatusBitHalfRingTooShort = 0x40;   // geometry refused: half the ring cannot hold the half-ring time
inline constexpr uint32_t kStatusBitOutOfOrder = 0x100;        // an input transfer completed after its successor
inline constexpr uint32_t kStatusBitZeroLengthPacket = 0x200;  // an input packet arrived with zero length
} // namespace asio_info

// Little-endian loads and stores at any offset. Clients read the record
// while the kernel writes it, without a lock, so a field that one side reads
// while the other writes it is written in one store and read in one load:
// a value assembled byte by byte can be seen half old, half new (a block
// count that goes backwards). Naturally aligned fields go through
// std::atomic_ref. Many offsets of the record are not aligned (1, 9 + 8i,
// 809..924): x86 makes an unaligned access atomic when it stays within one
// cache line, and none of those fields crosses one (the record starts on a
// page), so there they are one unaligned atomic access as well. Other
// processors give no such guarantee; there the unaligned fields fall back to
// single bytes (each byte atomic, the value not).
namespace detail {
#if defined(__x86_64__) || defined(__i386__)
inline constexpr bool kUnalignedAtomic = true;
#else
inline constexpr bool kUnalignedAtomic = false;
#endif

template <class T> bool aligned(const uint8_t* p) { return reinterpret_cast<uintptr_t>(p) % sizeof(T) == 0; }

// One access of T at p: aligned, or unaligned where the processor makes it
// atomic. False when neither holds.
template <class T> bool loadWhole(const uint8_t* p, std::memory_order order, T& out)
{
    if (aligned<T>(p)) {
        out = std::atomic_ref<T>(*reinterpret_cast<T*>(const_cast<uint8_t*>(p))).load(order);
        return true;
    }
    if constexpr (kUnalignedAtomic) {
        out = __atomic_load_n(reinterpret_cast<const T*>(p), static_cast<int>(order));
        return true;
    }
    return false;
}
template <class T> bool storeWhole(uint8_t* p, T v, std::memory_order order)
{
    if (aligned<T>(p)) {
        std::atomic_ref<T>(*reinterpret_cast<T*>(p)).store(v, order);
        return true;
    }
    if constexpr (kUnalignedAtomic) {
        __atomic_store_n(reinterpret_cast<T*>(p), v, static_cast<int>(order));
        return true;
    }
    return false;
}
static_assert(std::endian::native == std::endian::little, "the record is little-endian, as its hosts are");
} // namespace detail

inline uint8_t loadU8(const uint8_t* p, std::memory_order order = std::memory_order_relaxed)
{
    return std::atomic_ref<uint8_t>(*const_cast<uint8_t*>(p)).load(order);
}
inline void storeU8(uint8_t* p, uint8_t v, std::memory_order order = std::memory_order_relaxed)
{
    std::atomic_ref<uint8_t>(*p).store(v, order);
}
inline uint32_t loadU32(const uint8_t* p, std::memory_order order = std::memory_order_relaxed)
{
    uint32_t v;
    if (detail::loadWhole(p, order, v))
        return v;
    return uint32_t(loadU8(p, order)) | uint32_t(loadU8(p + 1, order)) << 8 | uint32_t(loadU8(p + 2, order)) << 16 |
           uint32_t(loadU8(p + 3, order)) << 24;
}
inline void storeU32(uint8_t* p, uint32_t v, std::memory_order order = std::memory_order_relaxed)
{
    if (detail::storeWhole(p, v, order))
        return;
    storeU8(p, uint8_t(v), order);
    storeU8(p + 1, uint8_t(v >> 8), order);
    storeU8(p + 2, uint8_t(v >> 16), order);
    storeU8(p + 3, uint8_t(v >> 24), order);
}
// 64-bit fields (times) in one access where the processor allows it.
inline uint64_t loadU64(const uint8_t* p, std::memory_order order = std::memory_order_relaxed)
{
    uint64_t v;
    if (detail::loadWhole(p, order, v))
        return v;
    return uint64_t(loadU32(p, order)) | uint64_t(loadU32(p + 4, order)) << 32;
}
inline void storeU64(uint8_t* p, uint64_t v, std::memory_order order = std::memory_order_relaxed)
{
    if (detail::storeWhole(p, v, order))
        return;
    storeU32(p, uint32_t(v), order);
    storeU32(p + 4, uint32_t(v >> 32), order);
}

// A statistics ring: u32 index (0..9) then ten u32 entries.
class StatRing {
public:
    explicit StatRing(uint8_t* base) : base_(base) {}
    uint32_t index() const { return loadU32(base_); }
    uint32_t entry(size_t i) const { return loadU32(base_ + 4 + 4 * i); }
    // Stores at the entry the index names, then moves the index on.
    void push(uint32_t value)
    {
        uint32_t i = index() % asio_info::kStatRingEntries;
        storeU32(base_ + 4 + 4 * i, value);
        storeU32(base_, (i + 1) % asio_info::kStatRingEntries);
    }

private:
    uint8_t* base_;
};

// Writes a channel-name list (UTF-16 names, each zero-terminated, one after
// another) into its fixed area. A list that would not fit is cut short: the
// name that reaches the end keeps as many characters as leave room for its
// terminating zero, and later names are dropped.
class ChannelNameList {
public:
    explicit ChannelNameList(std::span<uint8_t, asio_info::kChannelNamesBytes> area) : area_(area) {}
    // False when the name was cut short or dropped.
    bool append(std::u16string_view name)
    {
        const size_t capacity = area_.size() / 2;
        if (used_ >= capacity)
            return false;
        size_t room = capacity - used_ - 1; // characters before the terminator
        size_t n = name.size() < room ? name.size() : room;
        for (size_t i = 0; i < n; ++i)
            storeChar(used_ + i, name[i]);
        storeChar(used_ + n, 0);
        used_ += n + 1;
        return n == name.size();
    }
    size_t bytesUsed() const { return used_ * 2; }

private:
    void storeChar(size_t index, char16_t c)
    {
        storeU8(&area_[2 * index], static_cast<uint8_t>(c));
        storeU8(&area_[2 * index + 1], static_cast<uint8_t>(c >> 8));
    }
    std::span<uint8_t, asio_info::kChannelNamesBytes> area_;
    size_t used_ = 0; // characters
};

// Accessors over one mapping of the record.
class AsioInfo {
public:
    explicit AsioInfo(uint8_t* base) : base_(base) {}
    uint8_t* data() const { return base_; }

    // 1 once the kernel holds a priority token for this device
    uint8_t priorityTokenKnown() const { return loadU8(base_ + asio_info::kPriorityTokenKnownOffset); }
    void setPriorityTokenKnown(uint8_t v) { storeU8(base_ + asio_info::kPriorityTokenKnownOffset, v); }
    // interrupt time (100 ns) at which the last block completed
    uint64_t lastBlockTime() const { return loadU64(base_ + asio_info::kLastBlockTimeOffset); }
    void setLastBlockTime(uint64_t v) { storeU64(base_ + asio_info::kLastBlockTimeOffset, v); }
    // slips clients added since the last block
    uint32_t pendingSlips() const { return loadU32(base_ + asio_info::kPendingSlipsOffset); }
    void setPendingSlips(uint32_t v) { storeU32(base_ + asio_info::kPendingSlipsOffset, v); }
    // Clients add while the kernel takes: both locked, on the aligned field.
    void addPendingSlips(uint32_t n = 1) { atomicU32(asio_info::kPendingSlipsOffset).fetch_add(n); }
    uint32_t takePendingSlips() { return atomicU32(asio_info::kPendingSlipsOffset).exchange(0); }
    // clients clearing the joined playback rings now
    std::atomic_ref<uint32_t> playbackClearsRef() const { return atomicU32(asio_info::kPlaybackClearsOffset); }
    // registered clients whose started flag is set; published in the
    // single total order, which a clear of the joined rings (clears count,
    // then this) and a client that starts (this, then the clears count)
    // rely on to see each other
    uint32_t startedClientCount(std::memory_order order = std::memory_order_relaxed) const
    {
        return loadU32(base_ + asio_info::kStartedClientCountOffset, order);
    }
    void setStartedClientCount(uint32_t v)
    {
        storeU32(base_ + asio_info::kStartedClientCountOffset, v, std::memory_order_seq_cst);
    }
    // 1 while streaming is enabled
    uint32_t isStreamingEnabled() const { return loadU32(base_ + asio_info::kIsStreamingEnabledOffset); }
    void setIsStreamingEnabled(uint32_t v) { storeU32(base_ + asio_info::kIsStreamingEnabledOffset, v); }
    // bytes the last output transfer read past the playback ring's end
    uint32_t playbackOverrun() const { return loadU32(base_ + asio_info::kPlaybackOverrunOffset); }
    void setPlaybackOverrun(uint32_t v) { storeU32(base_ + asio_info::kPlaybackOverrunOffset, v); }
    // 1 once the device's hardware is released
    uint8_t recordDead() const { return loadU8(base_ + asio_info::kRecordDeadOffset); }
    void setRecordDead(uint8_t v) { storeU8(base_ + asio_info::kRecordDeadOffset, v); }
    // client-side
    uint8_t settingsPushed() const { return loadU8(base_ + asio_info::kSettingsPushedOffset); }
    void setSettingsPushed(uint8_t v) { storeU8(base_ + asio_info::kSettingsPushedOffset, v); }
    // output transfers carry the input samples
    uint8_t kernelLoopback() const { return loadU8(base_ + asio_info::kKernelLoopbackOffset); }
    void setKernelLoopback(uint8_t v) { storeU8(base_ + asio_info::kKernelLoopbackOffset, v); }
    // client-side
    uint8_t clientTimingSwitch() const { return loadU8(base_ + asio_info::kClientTimingSwitchOffset); }
    void setClientTimingSwitch(uint8_t v) { storeU8(base_ + asio_info::kClientTimingSwitchOffset, v); }
    // the kernel zeroes a playback block five blocks ahead at each block
    uint8_t eraseBuffers() const { return loadU8(base_ + asio_info::kEraseBuffersOffset); }
    void setEraseBuffers(uint8_t v) { storeU8(base_ + asio_info::kEraseBuffersOffset, v); }
    // while nonzero the kernel boosts no client thread
    uint8_t priorityBoostOff() const { return loadU8(base_ + asio_info::kPriorityBoostOffOffset); }
    void setPriorityBoostOff(uint8_t v) { storeU8(base_ + asio_info::kPriorityBoostOffOffset, v); }
    // current sample rate in Hz
    uint32_t sampleRate() const { return loadU32(base_ + asio_info::kSampleRateOffset); }
    void setSampleRate(uint32_t v) { storeU32(base_ + asio_info::kSampleRateOffset, v); }
    uint32_t outputChannelCount() const { return loadU32(base_ + asio_info::kOutputChannelCountOffset); }
    void setOutputChannelCount(uint32_t v) { storeU32(base_ + asio_info::kOutputChannelCountOffset, v); }
    uint32_t inputChannelCount() const { return loadU32(base_ + asio_info::kInputChannelCountOffset); }
    void setInputChannelCount(uint32_t v) { storeU32(base_ + asio_info::kInputChannelCountOffset, v); }
    // 1 32-bit float, 0 32-bit integer
    uint8_t sampleFormat() const { return loadU8(base_ + asio_info::kSampleFormatOffset); }
    void setSampleFormat(uint8_t v) { storeU8(base_ + asio_info::kSampleFormatOffset, v); }
    // listed sample rates (0..15)
    uint32_t sampleRateCount() const { return loadU32(base_ + asio_info::kSampleRateCountOffset); }
    void setSampleRateCount(uint32_t v) { storeU32(base_ + asio_info::kSampleRateCountOffset, v); }
    uint32_t blockFrames() const { return loadU32(base_ + asio_info::kBlockFramesOffset); }
    void setBlockFrames(uint32_t v) { storeU32(base_ + asio_info::kBlockFramesOffset, v); }
    // computed by the client for its buffer time
    uint32_t clientBlockSamples() const { return loadU32(base_ + asio_info::kClientBlockSamplesOffset); }
    void setClientBlockSamples(uint32_t v) { storeU32(base_ + asio_info::kClientBlockSamplesOffset, v); }
    // 10..15
    uint32_t ringBlocks() const { return loadU32(base_ + asio_info::kRingBlocksOffset); }
    void setRingBlocks(uint32_t v) { storeU32(base_ + asio_info::kRingBlocksOffset, v); }
    // input transfers completed without error
    uint32_t readsCompleted() const { return loadU32(base_ + asio_info::kReadsCompletedOffset); }
    void setReadsCompleted(uint32_t v) { storeU32(base_ + asio_info::kReadsCompletedOffset, v); }
    void addReadsCompleted(uint32_t n = 1) { setReadsCompleted(readsCompleted() + n); }
    // input transfers failed (completion error or send failure)
    uint32_t readsFailed() const { return loadU32(base_ + asio_info::kReadsFailedOffset); }
    void setReadsFailed(uint32_t v) { storeU32(base_ + asio_info::kReadsFailedOffset, v); }
    void addReadsFailed(uint32_t n = 1) { setReadsFailed(readsFailed() + n); }
    uint32_t readZeroLengthPackets() const { return loadU32(base_ + asio_info::kReadZeroLengthPacketsOffset); }
    void setReadZeroLengthPackets(uint32_t v) { storeU32(base_ + asio_info::kReadZeroLengthPacketsOffset, v); }
    void addReadZeroLengthPackets(uint32_t n = 1) { setReadZeroLengthPackets(readZeroLengthPackets() + n); }
    // output transfers completed without error
    uint32_t writesCompleted() const { return loadU32(base_ + asio_info::kWritesCompletedOffset); }
    void setWritesCompleted(uint32_t v) { storeU32(base_ + asio_info::kWritesCompletedOffset, v); }
    void addWritesCompleted(uint32_t n = 1) { setWritesCompleted(writesCompleted() + n); }
    // output transfers failed (completion error or send failure)
    uint32_t writesFailed() const { return loadU32(base_ + asio_info::kWritesFailedOffset); }
    void setWritesFailed(uint32_t v) { storeU32(base_ + asio_info::kWritesFailedOffset, v); }
    void addWritesFailed(uint32_t n = 1) { setWritesFailed(writesFailed() + n); }
    // error status or zero length
    uint32_t writeBadPackets() const { return loadU32(base_ + asio_info::kWriteBadPacketsOffset); }
    void setWriteBadPackets(uint32_t v) { storeU32(base_ + asio_info::kWriteBadPacketsOffset, v); }
    void addWriteBadPackets(uint32_t n = 1) { setWriteBadPackets(writeBadPackets() + n); }
    uint32_t slipsTotal() const { return loadU32(base_ + asio_info::kSlipsTotalOffset); }
    void setSlipsTotal(uint32_t v) { storeU32(base_ + asio_info::kSlipsTotalOffset, v); }
    void addSlipsTotal(uint32_t n = 1) { setSlipsTotal(slipsTotal() + n); }
    // input transfers that completed no block
    uint32_t readsWithoutBlock() const { return loadU32(base_ + asio_info::kReadsWithoutBlockOffset); }
    void setReadsWithoutBlock(uint32_t v) { storeU32(base_ + asio_info::kReadsWithoutBlockOffset, v); }
    void addReadsWithoutBlock(uint32_t n = 1) { setReadsWithoutBlock(readsWithoutBlock() + n); }
    uint32_t lateBlocks() const { return loadU32(base_ + asio_info::kLateBlocksOffset); }
    void setLateBlocks(uint32_t v) { storeU32(base_ + asio_info::kLateBlocksOffset, v); }
    void addLateBlocks(uint32_t n = 1) { setLateBlocks(lateBlocks() + n); }
    // request status of the last failed input transfer
    uint32_t readRequestError() const { return loadU32(base_ + asio_info::kReadRequestErrorOffset); }
    void setReadRequestError(uint32_t v) { storeU32(base_ + asio_info::kReadRequestErrorOffset, v); }
    // USB status of the last failed input transfer
    uint32_t readUrbError() const { return loadU32(base_ + asio_info::kReadUrbErrorOffset); }
    void setReadUrbError(uint32_t v) { storeU32(base_ + asio_info::kReadUrbErrorOffset, v); }
    // packet status of the last zero-length or failed input packet
    uint32_t readPacketError() const { return loadU32(base_ + asio_info::kReadPacketErrorOffset); }
    void setReadPacketError(uint32_t v) { storeU32(base_ + asio_info::kReadPacketErrorOffset, v); }
    // bit k = packet k of the last input transfer with zero-length packets
    uint32_t readZeroLengthMask() const { return loadU32(base_ + asio_info::kReadZeroLengthMaskOffset); }
    void setReadZeroLengthMask(uint32_t v) { storeU32(base_ + asio_info::kReadZeroLengthMaskOffset, v); }
    uint32_t writeRequestError() const { return loadU32(base_ + asio_info::kWriteRequestErrorOffset); }
    void setWriteRequestError(uint32_t v) { storeU32(base_ + asio_info::kWriteRequestErrorOffset, v); }
    uint32_t writeUrbError() const { return loadU32(base_ + asio_info::kWriteUrbErrorOffset); }
    void setWriteUrbError(uint32_t v) { storeU32(base_ + asio_info::kWriteUrbErrorOffset, v); }
    uint32_t writePacketError() const { return loadU32(base_ + asio_info::kWritePacketErrorOffset); }
    void setWritePacketError(uint32_t v) { storeU32(base_ + asio_info::kWritePacketErrorOffset, v); }
    // frames gathered into the current block
    uint32_t framesInBlock() const { return loadU32(base_ + asio_info::kFramesInBlockOffset); }
    void setFramesInBlock(uint32_t v) { storeU32(base_ + asio_info::kFramesInBlockOffset, v); }
    // 1 ms frames queued in outstanding input transfers
    uint32_t pendingReadFrames() const { return loadU32(base_ + asio_info::kPendingReadFramesOffset); }
    void setPendingReadFrames(uint32_t v) { storeU32(base_ + asio_info::kPendingReadFramesOffset, v); }
    // frames received per second since the stream started
    uint32_t measuredSampleRate() const { return loadU32(base_ + asio_info::kMeasuredSampleRateOffset); }
    void setMeasuredSampleRate(uint32_t v) { storeU32(base_ + asio_info::kMeasuredSampleRateOffset, v); }
    uint32_t shortBlockFlag() const { return loadU32(base_ + asio_info::kShortBlockFlagOffset); }
    void setShortBlockFlag(uint32_t v) { storeU32(base_ + asio_info::kShortBlockFlagOffset, v); }
    uint32_t halfRingMs() const { return loadU32(base_ + asio_info::kHalfRingMsOffset); }
    void setHalfRingMs(uint32_t v) { storeU32(base_ + asio_info::kHalfRingMsOffset, v); }
    uint32_t streamingClientCountCopy() const { return loadU32(base_ + asio_info::kStreamingClientCountCopyOffset); }
    void setStreamingClientCountCopy(uint32_t v) { storeU32(base_ + asio_info::kStreamingClientCountCopyOffset, v); }
    // kStatusBit* flags, set by the kernel, never cleared
    uint32_t statusBits() const { return loadU32(base_ + asio_info::kStatusBitsOffset); }
    void setStatusBits(uint32_t v) { storeU32(base_ + asio_info::kStatusBitsOffset, v); }
    // decremented atomically by the client
    uint32_t buffersInitialisedCounter() const { return loadU32(base_ + asio_info::kBuffersInitialisedCounterOffset); }
    void setBuffersInitialisedCounter(uint32_t v) { storeU32(base_ + asio_info::kBuffersInitialisedCounterOffset, v); }
    void addBuffersInitialisedCounter(uint32_t n = 1) { setBuffersInitialisedCounter(buffersInitialisedCounter() + n); }

    // Clients read the block count without a lock while the kernel writes it:
    // each dword is one store, the low dword before the high dword (32-bit
    // clients read it as two dwords). Only where the low dword wraps, once
    // in 2^32 blocks, can a reader see the new low dword with the old high.
    uint64_t asioBlockCount() const
    {
        const uint32_t low = loadU32(base_ + asio_info::kAsioBlockCountOffset, std::memory_order_acquire);
        const uint32_t high = loadU32(base_ + asio_info::kAsioBlockCountOffset + 4, std::memory_order_acquire);
        return uint64_t(high) << 32 | low;
    }
    void setAsioBlockCount(uint64_t v)
    {
        storeU32(base_ + asio_info::kAsioBlockCountOffset, uint32_t(v), std::memory_order_release);
        storeU32(base_ + asio_info::kAsioBlockCountOffset + 4, uint32_t(v >> 32), std::memory_order_release);
    }

    void orStatusBits(uint32_t bits) { setStatusBits(statusBits() | bits); }

    // per client slot: interrupt time until which its thread stays boosted (index < 100)
    uint64_t clientDeadline(size_t i) const { return loadU64(base_ + asio_info::kClientDeadlineOffset + 8 * i); }
    void setClientDeadline(size_t i, uint64_t v) { storeU64(base_ + asio_info::kClientDeadlineOffset + 8 * i, v); }
    // per ring block: additions done and in flight, the claim and the
    // conversion's mark (kMixCounter*; index < 15)
    std::atomic_ref<uint16_t> mixCounterRef(size_t i) const
    {
        return std::atomic_ref<uint16_t>(
            *reinterpret_cast<uint16_t*>(base_ + asio_info::kMixCounterOffset + asio_info::kMixCounterBytes * i));
    }
    uint16_t mixCounter(size_t i) const { return mixCounterRef(i).load(); }
    void setMixCounter(size_t i, uint16_t v) { mixCounterRef(i).store(v); }
    // client-side carry-over of the mixing code (index < 3)
    uint32_t mixCarry(size_t i) const { return loadU32(base_ + asio_info::kMixCarryOffset + 4 * i); }
    void setMixCarry(size_t i, uint32_t v) { storeU32(base_ + asio_info::kMixCarryOffset + 4 * i, v); }
    // listed sample rates in Hz (index < 15)
    uint32_t sampleRateAt(size_t i) const { return loadU32(base_ + asio_info::kSampleRateAtOffset + 4 * i); }
    void setSampleRateAt(size_t i, uint32_t v) { storeU32(base_ + asio_info::kSampleRateAtOffset + 4 * i, v); }

    // UTF-16 channel-name lists, each name zero-terminated, in channel order.
    std::span<uint8_t, asio_info::kChannelNamesBytes> inputChannelNames() const
    {
        return std::span<uint8_t, asio_info::kChannelNamesBytes>(base_ + asio_info::kInputChannelNamesOffset,
                                                                 asio_info::kChannelNamesBytes);
    }
    std::span<uint8_t, asio_info::kChannelNamesBytes> outputChannelNames() const
    {
        return std::span<uint8_t, asio_info::kChannelNamesBytes>(base_ + asio_info::kOutputChannelNamesOffset,
                                                                 asio_info::kChannelNamesBytes);
    }

    // The device slot's class identifier.
    kplat::Guid classId() const { return kplat::Guid::fromBytes(base_ + asio_info::kClassIdOffset); }
    void setClassId(const kplat::Guid& id)
    {
        auto bytes = id.bytes();
        std::memcpy(base_ + asio_info::kClassIdOffset, bytes.data(), bytes.size());
    }

    // frames received per input packet
    StatRing packetFramesRing() const { return StatRing(base_ + asio_info::kPacketFramesRingOffset); }
    // frames per packet each input transfer was built for
    StatRing requestedPacketFramesRing() const { return StatRing(base_ + asio_info::kRequestedPacketFramesRingOffset); }
    // 1 ms frames per input transfer sent
    StatRing readTransferFramesRing() const { return StatRing(base_ + asio_info::kReadTransferFramesRingOffset); }
    // frames gathered into the current block after each input transfer
    StatRing blockLeftoverRing() const { return StatRing(base_ + asio_info::kBlockLeftoverRingOffset); }
    // frames received per input transfer
    StatRing readTransferSamplesRing() const { return StatRing(base_ + asio_info::kReadTransferSamplesRingOffset); }

private:
    std::atomic_ref<uint32_t> atomicU32(size_t offset) const
    {
        return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(base_ + offset));
    }
    uint8_t* base_;
};

} // namespace orvo::kernel

#include "classcomp/asio/output_mixing.h"

#include "classcomp/kernel/asio_info.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>
#include <thread>

namespace orvo::asio {

namespace {

namespace k = orvo::kernel;

// Carry fields (client-side, 893..904): active, extent in bytes from the
// ring's start, bytes of the extent not yet written.
constexpr size_t kCarryActive = 0;
constexpr size_t kCarryExtent = 1;
constexpr size_t kCarryRemaining = 2;

uint32_t loadSample(const uint8_t* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
void storeSample(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

// Other clients add into the accumulator while a late one may still read
// it: every access is atomic (relaxed; the counter orders them).
std::atomic_ref<uint32_t> accumulatorWord(uint8_t* p) { return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(p)); }

// Copies the part of ring block t that lies within the carry into the spare
// space after the ring. At block 0 the kernel's overrun becomes the carry.
void placeCarry(const PlaybackRings& rings, uint32_t t)
{
    k::AsioInfo info(rings.record);
    const size_t ringBytes = rings.ringBytes();
    const size_t frameBytes = rings.frameBytes();
    if (t == 0) {
        const uint32_t overrun = info.playbackOverrun();
        info.setPlaybackOverrun(0);
        // A part of a frame read past the end still needs its whole frame;
        // nothing goes beyond the mapping.
        const size_t spare = (kJoinedRingMappingBytes - ringBytes) / frameBytes * frameBytes;
        const size_t extent = std::min((size_t(overrun) + frameBytes - 1) / frameBytes * frameBytes, spare);
        info.setMixCarry(kCarryActive, extent ? 1 : 0);
        info.setMixCarry(kCarryExtent, uint32_t(extent));
        info.setMixCarry(kCarryRemaining, uint32_t(extent));
    }
    if (info.mixCarry(kCarryActive) == 0)
        return;
    const size_t extent = std::min<size_t>(info.mixCarry(kCarryExtent), kJoinedRingMappingBytes - ringBytes);
    const size_t from = size_t(t) * rings.blockBytes();
    if (from >= extent)
        return;
    const size_t n = std::min(rings.blockBytes(), extent - from);
    std::memcpy(rings.clipped + ringBytes + from, rings.clipped + from, n);
    const size_t remaining = extent - from - n;
    info.setMixCarry(kCarryRemaining, uint32_t(remaining));
    if (remaining == 0)
        info.setMixCarry(kCarryActive, 0);
}

void convertBlock(const PlaybackRings& rings, uint32_t t)
{
    const size_t offset = size_t(t) * rings.blockBytes();
    uint8_t* from = rings.accumulator + offset;
    uint8_t* to = rings.clipped + offset;
    const size_t samples = size_t(rings.channels) * rings.blockFrames;
    // The block is cleared as it is taken; what a late client adds after
    // that the kernel driver clears at the block's turnover.
    for (size_t i = 0; i < samples; ++i) {
        auto word = accumulatorWord(from + 4 * i);
        const uint32_t sum = word.load(std::memory_order_relaxed);
        word.store(0, std::memory_order_relaxed);
        storeSample(to + 4 * i, rings.isFloat ? std::bit_cast<uint32_t>(ConvertFloatSample(std::bit_cast<float>(sum)))
                                              : ConvertIntSample(int32_t(sum)));
    }
    placeCarry(rings, t);
}

// Block `block` has been played and its slot cleared for the next cycle:
// an addition or a claim now would land in that cycle.
bool turnedOver(const k::AsioInfo& info, uint64_t block) { return info.asioBlockCount() >= block; }

namespace ai = k::asio_info;

std::atomic_ref<uint16_t> counterOf(const PlaybackRings& rings, uint32_t t)
{
    return k::AsioInfo(rings.record).mixCounterRef(t);
}

// Sets `bits` in block t's counter when it holds all of `required` and none
// of `refused`; the counter before, or nullopt. (A plain fetch_or could set
// the conversion's mark on a counter the kernel driver has just reset, where
// it would read as the turned-over mark.)
std::optional<uint16_t> markCounter(const PlaybackRings& rings, uint32_t t, uint16_t bits, uint16_t required,
                                    uint16_t refused)
{
    auto counter = counterOf(rings, t);
    uint16_t seen = counter.load(std::memory_order_acquire);
    do {
        if ((seen & refused) || (seen & required) != required)
            return std::nullopt;
    } while (!counter.compare_exchange_weak(seen, uint16_t(seen | bits), std::memory_order_acq_rel));
    return seen;
}

// The one conversion of a claimed block, by whoever takes the mark first
// once no addition is in flight; none once the block turned over.
bool convertOnce(const PlaybackRings& rings, uint32_t t)
{
    if (!markCounter(rings, t, ai::kMixCounterConverted, ai::kMixCounterClaimed, ai::kMixCounterConverted))
        return false;
    convertBlock(rings, t);
    return true;
}

// Claims block t for conversion and converts it, unless an addition is in
// flight: the last of those converts when it ends, so every sample of the
// block holds the same clients. True when this call converted.
bool claimAndConvert(const PlaybackRings& rings, uint32_t t)
{
    const std::optional<uint16_t> before =
        markCounter(rings, t, ai::kMixCounterClaimed, 0, ai::kMixCounterClaimed | ai::kMixCounterTurnedOver);
    if (!before || (*before & ai::kMixCounterInFlight))
        return false;
    return convertOnce(rings, t);
}

// The kernel driver turned block t over while additions were in flight, and
// the last of them has ended: what they added is cleared before the slot's
// next cycle, then the mark comes off.
void clearTurnedOverBlock(const PlaybackRings& rings, uint32_t t)
{
    uint8_t* sum = rings.accumulator + size_t(t) * rings.blockBytes();
    for (size_t i = 0; i < rings.blockBytes(); i += 4)
        accumulatorWord(sum + i).store(0, std::memory_order_relaxed);
    auto counter = counterOf(rings, t);
    uint16_t seen = counter.load(std::memory_order_acquire);
    while (ai::mixCounterTurnedOver(seen) &&
           !counter.compare_exchange_weak(seen, uint16_t(seen & ~ai::kMixCounterTurnedOver), std::memory_order_acq_rel))
        ;
}

// Ends this client's addition (counted as done when `added`). The counter
// after it, or nullopt when the block turned over meanwhile: nothing is left
// to count or convert, and the last addition to end clears the block.
std::optional<uint16_t> endAddition(const PlaybackRings& rings, uint32_t t, bool added)
{
    auto counter = counterOf(rings, t);
    uint16_t seen = counter.load(std::memory_order_acquire);
    for (;;) {
        // Reset whole under it (a stream's start): nothing to end.
        if ((seen & ai::kMixCounterInFlight) == 0)
            return std::nullopt;
        const bool turnedOver = ai::mixCounterTurnedOver(seen);
        const uint16_t next = uint16_t(seen - ai::kMixCounterInFlightOne + (added && !turnedOver ? 1 : 0));
        if (!counter.compare_exchange_weak(seen, next, std::memory_order_acq_rel))
            continue;
        if (!turnedOver)
            return next;
        if ((next & ai::kMixCounterInFlight) == 0)
            clearTurnedOverBlock(rings, t);
        return std::nullopt;
    }
}

// A claim met while additions were in flight leaves the conversion to the
// last of them.
bool convertIfLastInFlight(const PlaybackRings& rings, uint32_t t, uint16_t counter)
{
    return (counter & ai::kMixCounterClaimed) && (counter & ai::kMixCounterInFlight) == 0 && convertOnce(rings, t);
}

} // namespace

bool DescribePlaybackRings(uint8_t* record, uint8_t* clipped, uint8_t* accumulator, uint32_t blockFrames,
                           PlaybackRings& rings)
{
    if (!record || !clipped || !accumulator)
        return false;
    const k::AsioInfo info(record);
    rings = PlaybackRings{record,
                          clipped,
                          accumulator,
                          info.outputChannelCount(),
                          blockFrames,
                          info.ringBlocks(),
                          info.sampleFormat() != 0};
    return rings.channels >= 1 && rings.channels <= kMaxOutputChannels && rings.blockFrames >= 1 &&
           rings.ringBlocks >= 1 && rings.ringBlocks <= k::asio_info::kMaxRingBlocks &&
           2 * rings.blockBytes() <= kPlaybackAreaLimit && rings.ringBytes() < kJoinedRingMappingBytes;
}

uint32_t ConvertIntSample(int32_t sum)
{
    return uint32_t(std::clamp<int32_t>(sum, -0x800000, 0x7FFFFF)) << 8;
}

float ConvertFloatSample(float sum)
{
    if (std::isnan(sum))
        return 0.0f;
    return std::clamp(sum, -1.0f, 1.0f);
}

void WriteSingleClientBlock(const PlaybackRings& rings, const OutputBlock& output, uint64_t block)
{
    const uint32_t t = uint32_t(block % rings.ringBlocks);
    uint8_t* to = rings.clipped + size_t(t) * rings.blockBytes();
    const size_t b = rings.blockFrames;
    for (uint32_t k = 0; k < rings.channels; ++k) {
        uint8_t* dst = to + 4 * size_t(k);
        if (!output.active[k]) {
            for (size_t f = 0; f < b; ++f)
                storeSample(dst + f * rings.frameBytes(), 0);
            continue;
        }
        const uint8_t* src = output.area + 4 * (2 * size_t(k) + output.half) * b;
        for (size_t f = 0; f < b; ++f)
            storeSample(dst + f * rings.frameBytes(), loadSample(src + 4 * f));
    }
    // Written whole: no conversion may replace it.
    counterOf(rings, t).fetch_or(ai::kMixCounterClaimed | ai::kMixCounterConverted, std::memory_order_acq_rel);
    placeCarry(rings, t);
}

bool MixClientBlock(const PlaybackRings& rings, const OutputBlock& output, uint64_t block)
{
    const uint32_t t = uint32_t(block % rings.ringBlocks);
    k::AsioInfo info(rings.record);
    if (turnedOver(info, block))
        return false;
    // In flight before the claim is looked at: a conversion either finds
    // this addition in flight and leaves itself to it, or has claimed first
    // and this output is late.
    const uint16_t announced = counterOf(rings, t).fetch_add(ai::kMixCounterInFlightOne, std::memory_order_acq_rel);
    // Claimed, or turned over since the look above (the kernel driver sets
    // the count before it resets the counter).
    if ((announced & (ai::kMixCounterClaimed | ai::kMixCounterTurnedOver)) || turnedOver(info, block)) {
        const std::optional<uint16_t> after = endAddition(rings, t, false);
        return after && convertIfLastInFlight(rings, t, *after);
    }
    uint8_t* to = rings.accumulator + size_t(t) * rings.blockBytes();
    const size_t b = rings.blockFrames;
    for (uint32_t k = 0; k < rings.channels; ++k) {
        if (!output.active[k])
            continue;
        const uint8_t* src = output.area + 4 * (2 * size_t(k) + output.half) * b;
        uint8_t* dst = to + 4 * size_t(k);
        if (rings.isFloat) {
            for (size_t f = 0; f < b; ++f) {
                auto word = accumulatorWord(dst + f * rings.frameBytes());
                const float add = std::bit_cast<float>(loadSample(src + 4 * f));
                uint32_t seen = word.load(std::memory_order_relaxed);
                while (!word.compare_exchange_weak(seen, std::bit_cast<uint32_t>(std::bit_cast<float>(seen) + add),
                                                   std::memory_order_relaxed))
                    ;
            }
        } else {
            for (size_t f = 0; f < b; ++f)
                accumulatorWord(dst + f * rings.frameBytes())
                    .fetch_add(uint32_t(int32_t(loadSample(src + 4 * f)) >> 8), std::memory_order_relaxed);
        }
    }
    const std::optional<uint16_t> after = endAddition(rings, t, true);
    if (!after)
        return false;
    if (*after & ai::kMixCounterClaimed)
        return convertIfLastInFlight(rings, t, *after);
    // The started count may have dropped since the path was chosen: reaching
    // it, or passing it, completes the block.
    if ((*after & ai::kMixCounterDone) < info.startedClientCount())
        return false;
    return claimAndConvert(rings, t);
}

bool FinishLateBlock(const PlaybackRings& rings, uint64_t processed, bool stopping)
{
    k::AsioInfo info(rings.record);
    if (turnedOver(info, processed + 2))
        return false;
    const uint32_t t = uint32_t((processed + 2) % rings.ringBlocks);
    const uint16_t counter = info.mixCounter(t);
    if (counter & ai::kMixCounterClaimed)
        return false;
    // Clients mixing, or some added into the block before the count dropped
    // to one (the single client writes its own blocks whole).
    if (!stopping && info.startedClientCount() < 2 && counter == 0)
        return false;
    return claimAndConvert(rings, t);
}

namespace {

// Runs `clear` when at most `started` clients are started (this one among
// them, for a client playing out its tail). The clear is counted in the
// record before the started count is read, and a client that starts reads
// that count after the kernel driver has published its own start, all four
// in the single total order: either this clear sees the new client and
// leaves the rings alone, or the new client sees the clear and waits for it
// before its first block (AwaitPlaybackClears).
template <class Clear>
bool ClearUnlessOthersStarted(uint8_t* record, uint32_t started, Clear&& clear)
{
    const k::AsioInfo info(record);
    auto clears = info.playbackClearsRef();
    clears.fetch_add(1, std::memory_order_seq_cst);
    const bool alone = info.startedClientCount(std::memory_order_seq_cst) <= started;
    if (alone)
        clear();
    clears.fetch_sub(1, std::memory_order_release);
    return alone;
}

} // namespace

void SilenceAfterLastBlock(const PlaybackRings& rings, uint64_t processed)
{
    ClearUnlessOthersStarted(rings.record, 1, [&] {
        // Block `processed` itself may still be on its way out.
        for (uint32_t ahead = 4; ahead < rings.ringBlocks; ++ahead) {
            const uint32_t t = uint32_t((processed + ahead) % rings.ringBlocks);
            std::memset(rings.clipped + size_t(t) * rings.blockBytes(), 0, rings.blockBytes());
            if (t == 0) // and the ring's first bytes where a transfer past the end reads them
                std::memset(rings.clipped + rings.ringBytes(), 0,
                            std::min(rings.blockBytes(), kJoinedRingMappingBytes - rings.ringBytes()));
        }
    });
}

bool ClearIdlePlaybackRings(uint8_t* record, uint8_t* clipped, uint8_t* accumulator, size_t bytes)
{
    bytes = std::min(bytes, kJoinedRingMappingBytes);
    return ClearUnlessOthersStarted(record, 0, [&] {
        if (clipped)
            std::memset(clipped, 0, bytes);
        if (accumulator)
            std::memset(accumulator, 0, bytes);
    });
}

bool AwaitPlaybackClears(uint8_t* record, std::chrono::nanoseconds bound)
{
    const auto clears = k::AsioInfo(record).playbackClearsRef();
    if (clears.load(std::memory_order_seq_cst) == 0)
        return true;
    // A clear takes microseconds; only a clearer that died in the middle
    // of one leaves the count standing.
    const auto until = std::chrono::steady_clock::now() + bound;
    while (clears.load(std::memory_order_acquire) != 0) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::yield();
    }
    return true;
}

} // namespace orvo::asio

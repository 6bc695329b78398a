#pragma once
// The statistics log: with logging on, each streaming thread starts one
// thread that, about once a second, takes the status record's statistics
// block (clearing it), adds it to the process's totals and writes both into
// its own log file. Only for diagnosis: nothing else reads what it gathers.

#include "classcomp/kernel/asio_info.h"
#include "platform/win32/types.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace orvo::asio {

class AAsio;

// 80 u32 of the status record: counters and values (0..24), then five
// rings of an index and ten entries (25..79).
inline constexpr size_t kStatisticsOffset = orvo::kernel::asio_info::kReadsCompletedOffset;
inline constexpr size_t kStatisticsWords = 80;
using StatisticsBlock = std::array<uint32_t, kStatisticsWords>;

namespace statistics {
inline constexpr size_t kAddedWords = 9;        // 0..8 count events: added up
inline constexpr size_t kFlagsWord = 24;        // the kernel's status bits: or-ed
inline constexpr size_t kRingsWord = 25;        // first ring's index
inline constexpr size_t kRingWords = 11;        // an index and ten entries
inline constexpr size_t kRings = 5;
// The clients' words share the block's reserved space and are never taken
// by the statistics log: the pending slips (the kernel takes them at each
// block) and the count of clears of the joined rings in progress.
inline constexpr size_t kPendingSlipsWord =
    (orvo::kernel::asio_info::kPendingSlipsOffset - kStatisticsOffset) / 4;
inline constexpr size_t kPlaybackClearsWord =
    (orvo::kernel::asio_info::kPlaybackClearsOffset - kStatisticsOffset) / 4;
} // namespace statistics

static_assert(kStatisticsOffset + 4 * kStatisticsWords == orvo::kernel::asio_info::kBuffersInitialisedCounterOffset);
static_assert(kStatisticsOffset + 4 * statistics::kFlagsWord == orvo::kernel::asio_info::kStatusBitsOffset);
static_assert(kStatisticsOffset + 4 * statistics::kRingsWord == orvo::kernel::asio_info::kPacketFramesRingOffset);
static_assert(statistics::kPendingSlipsWord == 19 && statistics::kPlaybackClearsWord == 20);

// Totals shared by every statistics thread of the process. Updates of
// several threads interleave word by word, as they always did; each word is
// atomic so that no update tears.
class StatisticsTotals {
public:
    void clear();
    // 0..8 are added; the flag word is or-ed; every other word replaces its
    // total when nonzero (a zero means "nothing new").
    void merge(const StatisticsBlock& pass);
    StatisticsBlock snapshot() const;

private:
    std::array<std::atomic<uint32_t>, kStatisticsWords> words_{};
};

// The process's totals and pass counter (zero at load).
StatisticsTotals& ProcessStatisticsTotals();
std::atomic<uint32_t>& ProcessStatisticsPasses();

// Copies the record's block and zeroes it there, but for the pending slips,
// which are no statistic (their word reads as 0 in the copy).
StatisticsBlock TakeStatistics(uint8_t* record);

// Steps of one pass: the iteration line, the totals and this pass's block,
// this pass's rings, the separator.
void LogStatistics(uint32_t iteration, const StatisticsBlock& totals, const StatisticsBlock& pass);

// What a statistics thread runs on: the object, and the streaming thread's
// word that it is ending (it may end while the object still wants streaming).
struct StatisticsLogArgs {
    AAsio* object = nullptr;
    std::atomic<bool> ownerEnding{false};
};

// Thread procedure; the argument is a StatisticsLogArgs that outlives it.
w32::DWORD uAsioDebugLogThread(w32::LPVOID args);

} // namespace orvo::asio

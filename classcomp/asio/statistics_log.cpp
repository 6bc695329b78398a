#include "classcomp/asio/statistics_log.h"

#include "classcomp/asio/aasio.h"
#include "classcomp/asio/debug_log.h"
#include "classcomp/asio/device_slots.h"
#include "classcomp/asio/transport.h"
#include "platform/win32/clock.h"

namespace orvo::asio {

namespace {

namespace k = orvo::kernel;

constexpr uint32_t kNotRunningPollMs = 10;
constexpr uint32_t kPassSleepMs = 10;
constexpr int kPassSleeps = 100;
constexpr uint32_t kClearAtPass = 5;

// The pass's ring labels, in the order of the rings.
constexpr const char* kRingLabels[statistics::kRings] = {
    "\nuframe samples: ", "\nasked uframe samples: ", "\nusb rd frames: ", "\nusb leftover rd buf: ",
    "\nread req samples: "};

void logBlock(const char* heading, const StatisticsBlock& b)
{
    auto d = [&](size_t i) { return int(b[i]); };
    auto x = [&](size_t i) { return unsigned(b[i]); };
    uLogRaw(2,
            "%s\nreads:               %d/%d/%d\nwrites:              %d/%d/%d\nuser slips:          %d\nkern "
            "under/over:     %d/%d\nrd req error:        %x\nrd urb error:        %x\nrd uframe error:     %x\nrd "
            "uframe error idxs:%x\nwr req error:        %x\nwr urb error:        %x\nwr uframe error:     %x\nunused "
            "usb rd buf:   %d\npending rd frames:   %d\npattern mismatches:  %d\nhidi packets:        %d\nest. "
            "sample rate:    %d\nfixed req frames:    %d\nwr sched offset fra: %d\nnum hosts streaming: %d\ngeneric "
            "flags:       %x\n",
            heading, d(0), d(1), d(2), d(3), d(4), d(5), d(6), d(7), d(8), x(9), x(10), x(11), x(12), x(13), x(14),
            x(15), d(16), d(17), d(20), d(19), d(18), d(21), d(22), d(23), x(24));
    uLogRaw(2, "\n\n");
}

// Runs while the object wants streaming and its streaming thread is not
// ending.
bool wanted(const StatisticsLogArgs& args)
{
    return args.object->isStreamingWanted() && !args.ownerEnding.load();
}

} // namespace

void StatisticsTotals::clear()
{
    for (auto& w : words_)
        w.store(0, std::memory_order_relaxed);
}

void StatisticsTotals::merge(const StatisticsBlock& pass)
{
    for (size_t i = 0; i < kStatisticsWords; ++i) {
        if (i < statistics::kAddedWords)
            words_[i].fetch_add(pass[i], std::memory_order_relaxed);
        else if (pass[i] == 0)
            continue;
        else if (i == statistics::kFlagsWord)
            words_[i].fetch_or(pass[i], std::memory_order_relaxed);
        else
            words_[i].store(pass[i], std::memory_order_relaxed);
    }
}

StatisticsBlock StatisticsTotals::snapshot() const
{
    StatisticsBlock b{};
    for (size_t i = 0; i < kStatisticsWords; ++i)
        b[i] = words_[i].load(std::memory_order_relaxed);
    return b;
}

StatisticsTotals& ProcessStatisticsTotals()
{
    static StatisticsTotals totals;
    return totals;
}

std::atomic<uint32_t>& ProcessStatisticsPasses()
{
    static std::atomic<uint32_t> passes{0};
    return passes;
}

StatisticsBlock TakeStatistics(uint8_t* record)
{
    StatisticsBlock b{};
    uint8_t* block = record + kStatisticsOffset;
    for (size_t i = 0; i < kStatisticsWords; ++i) {
        if (i == statistics::kPendingSlipsWord || i == statistics::kPlaybackClearsWord)
            continue;
        // A count the kernel adds between the two is lost: diagnostics only.
        b[i] = k::loadU32(block + 4 * i);
        k::storeU32(block + 4 * i, 0);
    }
    return b;
}

void LogStatistics(uint32_t iteration, const StatisticsBlock& totals, const StatisticsBlock& pass)
{
    uLogRaw(2, "iteration:           %d\n\n", int(iteration));
    logBlock("(TOTALS)\n", totals);
    logBlock("(THIS RUN)\n", pass);
    for (size_t r = 0; r < statistics::kRings; ++r) {
        uLogRaw(2, "%s", kRingLabels[r]);
        const size_t entries = statistics::kRingsWord + r * statistics::kRingWords + 1;
        for (size_t e = 0; e < statistics::kRingWords - 1; ++e)
            uLogRaw(2, "%d,", int(pass[entries + e]));
    }
    uLogRaw(2, "\n\n-----------------------\n");
}

w32::DWORD uAsioDebugLogThread(w32::LPVOID parameter)
{
    auto& args = *static_cast<StatisticsLogArgs*>(parameter);
    const int slot = args.object->deviceIndex();
    uLog(2, "Starting debug log thread, creating device handle");
    AudioDeviceInterfaceWrapper* wrapper = uCreateOrvoAudioDeviceInterfaceWrapper(slot, false);
    if (!wrapper) {
        uLog(1, "uAsioDebugLogThread: Bad handle from OpenUsbDevice");
        return 0;
    }
    bool firstPass = true;
    while (wanted(args)) {
        if (!args.object->isRunning()) {
            // Nothing is taken while the host is stopped; the totals start
            // again with its next start.
            firstPass = true;
            w32::Sleep(kNotRunningPollMs);
            continue;
        }
        if (MappingLease record = GetAsioInfo(slot, wrapper, false)) {
            const StatisticsBlock pass = TakeStatistics(record.get());
            record.release();
            const uint32_t iteration = ProcessStatisticsPasses().fetch_add(1, std::memory_order_relaxed) + 1;
            if (firstPass || iteration == kClearAtPass) {
                ProcessStatisticsTotals().clear();
                if (!firstPass)
                    uLogRaw(2, "\n\n\n****CLEARING STATS AFTER FIRST 5 SECONDS****\n\n\n");
            }
            firstPass = false;
            ProcessStatisticsTotals().merge(pass);
            LogStatistics(iteration, ProcessStatisticsTotals().snapshot(), pass);
        }
        for (int i = 0; i < kPassSleeps && wanted(args); ++i)
            w32::Sleep(kPassSleepMs);
    }
    DeleteDeviceInterfaceWrapper(slot, wrapper);
    return 0;
}

} // namespace orvo::asio

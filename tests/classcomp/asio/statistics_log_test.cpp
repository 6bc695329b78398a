// The statistics log: the merge into the process's totals, taking the
// record's block, the exact text of a pass, and the thread against the
// kernel driver on the driven clock: off without the flag file, once a
// second with it, totals cleared at every start and at the fifth pass.

#include "host_fixture.h"

#include "classcomp/asio/statistics_log.h"
#include "classcomp/kernel/asio_info.h"
#include "platform/kernel/clock.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace orvo::asio;
namespace k = orvo::kernel;

TEST(StatisticsTotals, MergeRules)
{
    const struct {
        size_t word;
        uint32_t total, pass, merged;
    } cases[] = {
        {0, 5, 3, 8},                // counts are added
        {8, 0xFFFFFFFF, 2, 1},       // ... modulo 2^32
        {6, 7, 0, 7},
        {9, 7, 4, 4},                // values replace their total
        {9, 7, 0, 7},                // ... unless zero
        {23, 2, 1, 1},
        {25, 3, 4, 4},               // a ring's index
        {78, 10, 20, 20},
        {79, 10, 20, 20},            // the last ring entry is a value like the others
        {79, 10, 0, 10},
        {24, 0x4, 0x100, 0x104},     // the status bits gather
        {24, 0x104, 0, 0x104},
        {24, 0x104, 0x4, 0x104},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "word " << c.word << ": " << c.total << " and " << c.pass);
        StatisticsTotals totals;
        StatisticsBlock start{};
        start[c.word] = c.total;
        totals.merge(start);
        StatisticsBlock pass{};
        pass[c.word] = c.pass;
        totals.merge(pass);
        StatisticsBlock expected{};
        expected[c.word] = c.merged;
        EXPECT_EQ(totals.snapshot(), expected);
    }
    StatisticsTotals totals;
    StatisticsBlock ones;
    ones.fill(1);
    totals.merge(ones);
    totals.clear();
    EXPECT_EQ(totals.snapshot(), StatisticsBlock{});
}

// Statistics threads of one process merge at once: no count is lost.
TEST(StatisticsTotals, ConcurrentMergesAddUp)
{
    StatisticsTotals totals;
    StatisticsBlock pass{};
    pass[0] = 1;
    pass[statistics::kFlagsWord] = 0x4;
    StatisticsBlock other = pass;
    other[statistics::kFlagsWord] = 0x100;
    auto merge = [&](const StatisticsBlock& b) {
        for (int i = 0; i < 10000; ++i)
            totals.merge(b);
    };
    std::thread a(merge, std::cref(pass)), b(merge, std::cref(other));
    a.join();
    b.join();
    EXPECT_EQ(totals.snapshot()[0], 20000u);
    EXPECT_EQ(totals.snapshot()[statistics::kFlagsWord], 0x104u);
}

// The block is copied and left zero; the clients' words in its reserved
// space (the pending slips, the clears count) are neither taken nor cleared.
TEST(StatisticsBlock, TakingLeavesTheBlockZeroButTheClientsWords)
{
    alignas(4096) static uint8_t record[k::asio_info::kSize];
    std::memset(record, 0xAB, sizeof record);
    k::AsioInfo info(record);
    uint8_t* block = record + kStatisticsOffset;
    for (size_t i = 0; i < kStatisticsWords; ++i)
        k::storeU32(block + 4 * i, uint32_t(i + 1));
    info.setPendingSlips(3);
    info.playbackClearsRef().store(1); // a clear in progress

    const StatisticsBlock taken = TakeStatistics(record);
    for (size_t i = 0; i < kStatisticsWords; ++i) {
        if (i == 19 || i == 20) {
            EXPECT_EQ(taken[i], 0u) << "word " << i;
            continue;
        }
        EXPECT_EQ(taken[i], i + 1) << "word " << i;
        EXPECT_EQ(k::loadU32(block + 4 * i), 0u) << "word " << i;
    }
    EXPECT_EQ(info.pendingSlips(), 3u);
    EXPECT_EQ(info.takePendingSlips(), 3u);
    EXPECT_EQ(info.playbackClearsRef().load(), 1u);
    // Its neighbours are untouched.
    EXPECT_EQ(k::loadU32(block - 4), 0xABABABABu);
    EXPECT_EQ(info.buffersInitialisedCounter(), 0xABABABABu);
}

class StatisticsText : public ::testing::Test, public orvo::asio::testing::DriveFixture {};

TEST_F(StatisticsText, APassIsWrittenExactly)
{
    enableLog();
    StatisticsBlock totals{}, pass{};
    for (size_t i = 0; i < kStatisticsWords; ++i) {
        totals[i] = uint32_t(i);
        pass[i] = uint32_t(2 * i);
    }
    totals[0] = 0xFFFFFFFF;
    const std::string text = logOf([&] { LogStatistics(7, totals, pass); });
    EXPECT_EQ(text, "iteration:           7\n\n"
                    "(TOTALS)\n\n"
                    "reads:               -1/1/2\n"
                    "writes:              3/4/5\n"
                    "user slips:          6\n"
                    "kern under/over:     7/8\n"
                    "rd req error:        9\n"
                    "rd urb error:        a\n"
                    "rd uframe error:     b\n"
                    "rd uframe error idxs:c\n"
                    "wr req error:        d\n"
                    "wr urb error:        e\n"
                    "wr uframe error:     f\n"
                    "unused usb rd buf:   16\n"
                    "pending rd frames:   17\n"
                    "pattern mismatches:  20\n"
                    "hidi packets:        19\n"
                    "est. sample rate:    18\n"
                    "fixed req frames:    21\n"
                    "wr sched offset fra: 22\n"
                    "num hosts streaming: 23\n"
                    "generic flags:       18\n"
                    "\n\n"
                    "(THIS RUN)\n\n"
                    "reads:               0/2/4\n"
                    "writes:              6/8/10\n"
                    "user slips:          12\n"
                    "kern under/over:     14/16\n"
                    "rd req error:        12\n"
                    "rd urb error:        14\n"
                    "rd uframe error:     16\n"
                    "rd uframe error idxs:18\n"
                    "wr req error:        1a\n"
                    "wr urb error:        1c\n"
                    "wr uframe error:     1e\n"
                    "unused usb rd buf:   32\n"
                    "pending rd frames:   34\n"
                    "pattern mismatches:  40\n"
                    "hidi packets:        38\n"
                    "est. sample rate:    36\n"
                    "fixed req frames:    42\n"
                    "wr sched offset fra: 44\n"
                    "num hosts streaming: 46\n"
                    "generic flags:       30\n"
                    "\n\n"
                    "\nuframe samples: 52,54,56,58,60,62,64,66,68,70,"
                    "\nasked uframe samples: 74,76,78,80,82,84,86,88,90,92,"
                    "\nusb rd frames: 96,98,100,102,104,106,108,110,112,114,"
                    "\nusb leftover rd buf: 118,120,122,124,126,128,130,132,134,136,"
                    "\nread req samples: 140,142,144,146,148,150,152,154,156,158,"
                    "\n\n-----------------------\n");
}

// One pass as the log shows it.
struct Pass {
    uint32_t iteration = 0;
    bool clearedWithText = false; // the clearing text came just before it
    std::map<std::string, std::string> totals, thisRun;
    // The first of the slash-separated counts of a line.
    static long first(const std::map<std::string, std::string>& block, const std::string& label)
    {
        auto it = block.find(label);
        return it == block.end() ? -1 : std::strtol(it->second.c_str(), nullptr, 10);
    }
};

// "label: value" lines of a block, up to its blank line.
std::map<std::string, std::string> parseBlock(std::istringstream& in)
{
    std::map<std::string, std::string> block;
    std::string line;
    while (std::getline(in, line) && !line.empty()) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        const size_t value = line.find_first_not_of(' ', colon + 1);
        block[line.substr(0, colon)] = value == std::string::npos ? "" : line.substr(value);
    }
    return block;
}

std::vector<Pass> parsePasses(const std::string& log)
{
    static const std::string kIteration = "iteration:           ";
    static const std::string kClearing = "\n\n\n****CLEARING STATS AFTER FIRST 5 SECONDS****\n\n\n";
    std::vector<Pass> passes;
    for (size_t at = log.find(kIteration); at != std::string::npos; at = log.find(kIteration, at + 1)) {
        Pass p;
        p.iteration = uint32_t(std::strtoul(log.c_str() + at + kIteration.size(), nullptr, 10));
        p.clearedWithText = at >= kClearing.size() && log.compare(at - kClearing.size(), kClearing.size(), kClearing) == 0;
        const size_t totals = log.find("(TOTALS)\n\n", at);
        const size_t thisRun = log.find("(THIS RUN)\n\n", at);
        if (totals == std::string::npos || thisRun == std::string::npos)
            break;
        std::istringstream t(log.substr(totals + 10));
        p.totals = parseBlock(t);
        std::istringstream r(log.substr(thisRun + 12));
        p.thisRun = parseBlock(r);
        passes.push_back(p);
    }
    return passes;
}

class StatisticsLog : public orvo::asio::testing::HostFixture {
protected:
    StatisticsLog()
    {
        ProcessStatisticsTotals().clear();
        ProcessStatisticsPasses().store(0);
    }
    // The object's threads end before what they use here goes.
    ~StatisticsLog() override
    {
        if (host_.driver)
            release();
    }
    k::AsioInfo record() { return k::AsioInfo(context(port_)->asioInfo); }
    void stream()
    {
        ready(48000, 8);
        ASSERT_EQ(host_.create(), ASE_OK);
        ASSERT_EQ(host_.driver->start(), ASE_OK);
    }
    // The statistics thread, known by its log file's name, keeps time with
    // the stream: its seconds are the machine's.
    void followStatistics()
    {
        std::string name;
        ASSERT_TRUE(waitFor([&] { return !(name = statisticsLogName()).empty(); }));
        userClock_.followId(uint32_t(std::strtoul(name.c_str() + std::strlen("OrvoAsioLog_"), nullptr, 16)));
    }
    // Waits until the machine's time has moved `ms` on; `watch` runs at every look.
    bool runFor(uint32_t ms, const std::function<void()>& watch = {})
    {
        const uint64_t until = kplat::kernelClock().now() + kplat::msToTicks(ms);
        return waitFor([&] {
            if (watch)
                watch();
            return kplat::kernelClock().now() >= until;
        });
    }
    // The object released: its threads have ended.
    void release()
    {
        host_.driver->Release();
        host_.driver = nullptr;
    }
    // The statistics thread's log file's name and text ("" when there is none).
    std::string statisticsLogName() { return findStatisticsLog().first; }
    std::string statisticsLog() { return findStatisticsLog().second; }
    std::pair<std::string, std::string> findStatisticsLog()
    {
        if (!std::filesystem::exists(logFolder()))
            return {};
        for (const auto& entry : std::filesystem::directory_iterator(logFolder())) {
            std::ifstream in(entry.path());
            std::stringstream text;
            text << in.rdbuf();
            if (text.str().rfind("Orvo UAC2: Starting debug log thread, creating device handle\n", 0) == 0)
                return {entry.path().filename().string(), text.str()};
        }
        return {};
    }
    std::string allLogs()
    {
        std::string all;
        for (const auto& entry : std::filesystem::directory_iterator(logFolder())) {
            std::ifstream in(entry.path());
            std::stringstream text;
            text << in.rdbuf();
            all += text.str();
        }
        return all;
    }
    // Written in the buffer switch (on the streaming thread).
    std::mutex takenMutex_;
    std::vector<uint64_t> taken_;
    uint32_t lastReads_ = 0;
    // Samples the record's completed reads: true when they never went down.
    struct Monotonic {
        k::AsioInfo info;
        uint32_t last = 0;
        bool held = true;
        void operator()()
        {
            const uint32_t now = info.readsCompleted();
            held = held && now >= last;
            last = now;
        }
    };
};

TEST_F(StatisticsLog, WithoutTheFlagFileNoThreadTakesTheBlock)
{
    std::filesystem::create_directories(logFolder());
    stream();
    Monotonic reads{record()};
    ASSERT_TRUE(runFor(3500, std::ref(reads)));
    EXPECT_TRUE(reads.held);
    EXPECT_GT(reads.last, 0u);
    release();
    EXPECT_TRUE(std::filesystem::is_empty(logFolder()));
}

// Passes once a second from the first streamed block on: the totals are
// cleared at the thread's first pass and, with the text, at the fifth pass
// of the process; between, counts add up and this run's counts are one
// second's.
TEST_F(StatisticsLog, OnceASecondWithTotalsAndThisRun)
{
    enableLog();
    // The machine's times at which the record's reads went down: the passes
    // that took the block, seen at the next block.
    host_.inSwitch = [this](orvo::asio::testing::TestHost&) {
        const uint32_t reads = record().readsCompleted();
        if (reads < lastReads_) {
            std::lock_guard lock(takenMutex_);
            taken_.push_back(kplat::kernelClock().now() / kplat::kTicksPerMs);
        }
        lastReads_ = reads;
    };
    const uint64_t started = kplat::kernelClock().now();
    stream();
    followStatistics();
    const uint64_t followed = kplat::kernelClock().now() / kplat::kTicksPerMs;
    ASSERT_TRUE(waitFor([&] { return statisticsLog().find("iteration:           7\n") != std::string::npos; }));
    release();
    // The machine's time stands still once the stream has gone.
    const double seconds = double(kplat::kernelClock().now() - started) / double(kplat::msToTicks(1000));
    const std::string log = statisticsLog();
    const std::vector<Pass> passes = parsePasses(log);
    ASSERT_GE(passes.size(), 7u);
    EXPECT_LE(double(passes.size()), seconds + 1);
    // Once it keeps the machine's time, a second (and a block) apart.
    std::vector<uint64_t> times;
    {
        std::lock_guard lock(takenMutex_);
        times = taken_;
    }
    size_t checked = 0;
    for (size_t i = 1; i < times.size(); ++i) {
        if (times[i - 1] < followed)
            continue;
        EXPECT_GE(times[i] - times[i - 1], 990u) << "pass at " << times[i];
        EXPECT_LE(times[i] - times[i - 1], 1020u) << "pass at " << times[i];
        ++checked;
    }
    EXPECT_GE(checked, 3u);
    for (size_t i = 0; i < passes.size(); ++i) {
        const Pass& p = passes[i];
        SCOPED_TRACE(::testing::Message() << "pass " << p.iteration);
        EXPECT_EQ(p.iteration, i + 1);
        EXPECT_EQ(p.clearedWithText, p.iteration == 5);
        ASSERT_EQ(p.thisRun.size(), 20u);
        ASSERT_EQ(p.totals.size(), 20u);
        if (p.iteration == 1 || p.iteration == 5) {
            EXPECT_EQ(p.totals, p.thisRun);
            continue;
        }
        // Added: the reads and writes. Values: this run's, when it has one.
        for (const char* label : {"reads", "writes"})
            EXPECT_EQ(Pass::first(p.totals, label),
                      Pass::first(passes[i - 1].totals, label) + Pass::first(p.thisRun, label));
        EXPECT_EQ(p.totals.at("est. sample rate"), p.thisRun.at("est. sample rate") != "0"
                                                       ? p.thisRun.at("est. sample rate")
                                                       : passes[i - 1].totals.at("est. sample rate"));
        EXPECT_GT(Pass::first(p.thisRun, "reads"), 0);
    }
    // Each pass took only what came since the one before: together no more
    // reads than the stream made (about one a millisecond).
    long reads = 0;
    for (const Pass& p : passes)
        reads += Pass::first(p.thisRun, "reads");
    EXPECT_LE(reads, long(seconds * 1000 * 1.2));
    EXPECT_EQ(log.find("****CLEARING"), log.rfind("****CLEARING"));
    // The thread had ended when the release returned: its wrapper's deletion
    // is its last line.
    const std::string last = "Orvo UAC2: Deleting device wrapper\n";
    EXPECT_EQ(log.compare(log.size() - last.size(), last.size(), last), 0) << log.substr(log.size() - 200);
    EXPECT_EQ(allLogs().find("Failed to wait for debug log thread"), std::string::npos);
}

// A stopped host: nothing is taken or cleared meanwhile, no pass is logged,
// and the first pass after the next start clears the totals without the
// text, taking what the block gathered since the last pass.
TEST_F(StatisticsLog, NothingIsTakenWhileStoppedAndTheTotalsRestartAtTheNextStart)
{
    enableLog();
    // Far from the fifth pass of the process.
    ProcessStatisticsPasses().store(100);
    stream();
    followStatistics();
    ASSERT_TRUE(runFor(2500));
    ASSERT_EQ(host_.driver->stop(), ASE_OK);
    const size_t before = parsePasses(statisticsLog()).size();
    Monotonic reads{record()};
    ASSERT_TRUE(runFor(3000, std::ref(reads)));
    EXPECT_TRUE(reads.held);
    EXPECT_EQ(parsePasses(statisticsLog()).size(), before);
    const uint32_t whileStopped = record().readsCompleted();
    ASSERT_EQ(host_.driver->start(), ASE_OK);
    ASSERT_TRUE(runFor(1500));
    release();

    const std::vector<Pass> passes = parsePasses(statisticsLog());
    ASSERT_GE(before, 2u);
    ASSERT_GT(passes.size(), before);
    for (const Pass& p : passes)
        EXPECT_FALSE(p.clearedWithText) << p.iteration;
    const Pass& restarted = passes[before];
    EXPECT_EQ(restarted.iteration, 100 + before + 1);
    EXPECT_EQ(restarted.totals, restarted.thisRun);
    // What the block gathered after the last pass before the stop.
    EXPECT_GT(whileStopped, 0u);
    EXPECT_GE(Pass::first(restarted.thisRun, "reads"), long(whileStopped));
}

} // namespace

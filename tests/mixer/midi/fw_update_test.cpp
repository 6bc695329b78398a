#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "mixer/midi/embedded_image.h"
#include "mixer/midi/fw_update.h"
#include "obin_test_images.h"
#include "platform/win32/clock.h"
#include "sim/mixer/bootloader.h"

using namespace Orvo;
using namespace Orvo::testimages;
using sim::Bootloader;

namespace {

struct Sent {
    std::vector<uint8_t> bytes;
    uint8_t command() const { return bytes.at(0); }
};

struct Progress {
    int percent;
    int result;
};

// The engine hooked straight to a simulated bootloader: the send hook hands
// each message to the bootloader, whose replies wait in a queue for the
// receive hook. Replies can be held back by some milliseconds of the virtual
// clock; a poll that finds nothing lets one millisecond pass.
class FwUpdateTest : public testing::Test {
protected:
    void SetUp() override
    {
        self = this;
        previousClock = w32::setClock(&clock);
        fwUpdateInit();
        fwUpdateSetSendHook(&FwUpdateTest::sendHook);
        fwUpdateSetRecvHook(&FwUpdateTest::recvHook);
        UpdateForceFlag = 0;
    }
    void TearDown() override
    {
        fwUpdateSetSendHook(nullptr);
        fwUpdateSetRecvHook(nullptr);
        UpdateForceFlag = 0;
        w32::setClock(previousClock);
        self = nullptr;
    }

    Bootloader& device(uint32_t peripheral, std::vector<sim::BootRegionLayout> layout)
    {
        boot = std::make_unique<Bootloader>(peripheral, std::move(layout));
        boot->setReplySink([this](const uint8_t* b, size_t n) {
            replies.push_back({std::vector<uint8_t>(b, b + n), clock.now64() + replyDelayMs});
        });
        return *boot;
    }

    Bootloader& modelA() { return device(kModelA, {{0x08000000, 0x4000}, {0x20000000, 0x4000}}); }

    uint32_t run(const std::vector<uint8_t>& image)
    {
        testing::internal::CaptureStdout();
        const uint32_t r = fwUpdateRun(image.data(), static_cast<uint32_t>(image.size()), &FwUpdateTest::progressHook);
        output = testing::internal::GetCapturedStdout();
        return r;
    }
    uint32_t run(const tools::ImageSpec& spec) { return run(tools::buildImage(spec)); }

    std::vector<uint8_t> commands() const
    {
        std::vector<uint8_t> c;
        for (const Sent& s : sent)
            c.push_back(s.command());
        return c;
    }
    size_t count(uint8_t command) const
    {
        size_t n = 0;
        for (const Sent& s : sent)
            n += s.command() == command;
        return n;
    }

    static bool sendHook(int length, const uint8_t* bytes)
    {
        if (self->sendFails)
            return false;
        self->sent.push_back({std::vector<uint8_t>(bytes, bytes + length)});
        if (self->boot)
            self->boot->receive(bytes, static_cast<size_t>(length));
        return true;
    }
    static bool recvHook(uint32_t* length, const uint8_t** bytes)
    {
        if (self->replies.empty() || self->replies.front().due > self->clock.now64()) {
            w32::Sleep(1);
            return false;
        }
        self->current = std::move(self->replies.front().bytes);
        self->replies.pop_front();
        *length = static_cast<uint32_t>(self->current.size());
        *bytes = self->current.data();
        return true;
    }
    static void progressHook(uint8_t percent, int result) { self->progress.push_back({percent, result}); }

    void expectProgressSound(int finalResult)
    {
        ASSERT_FALSE(progress.empty());
        EXPECT_EQ(progress.front().percent, 0);
        for (size_t i = 0; i + 1 < progress.size(); ++i) {
            EXPECT_LE(progress[i].percent, 99);
            EXPECT_EQ(progress[i].result, 0);
            if (i > 0) {
                EXPECT_GT(progress[i].percent, progress[i - 1].percent);
            }
        }
        EXPECT_EQ(progress.back().percent, 100);
        EXPECT_EQ(progress.back().result, finalResult);
    }

    static inline FwUpdateTest* self = nullptr;
    w32::VirtualClock clock{1000, true};
    w32::Clock* previousClock = nullptr;
    std::unique_ptr<Bootloader> boot;
    struct Pending {
        std::vector<uint8_t> bytes;
        uint64_t due;
    };
    std::deque<Pending> replies;
    std::vector<uint8_t> current;
    uint64_t replyDelayMs = 0;
    std::vector<Sent> sent;
    std::vector<Progress> progress;
    std::string output;
    bool sendFails = false;
};

tools::ImageSpec imageA(std::vector<size_t> region0, std::vector<size_t> region1)
{
    tools::ImageSpec s;
    s.blocks.push_back(block(kModelA, 0, tools::versionWord(1, 0, 5, 94), 0x08000000, region0, 1));
    s.blocks.push_back(block(kModelA, 1, tools::versionWord(1, 0, 5, 94), 0x20000000, region1, 9));
    s.blocks.push_back(block(kModelB, 0, tools::versionWord(1, 0, 5, 133), 0x08000000, {50}, 20));
    return s;
}

} // namespace

TEST_F(FwUpdateTest, EmbeddedImageProgramsTheDeviceAndItRestartsWithTheNewVersions)
{
    OBinFileBuffer image;
    ASSERT_TRUE(loadEmbeddedImage(image));
    for (uint32_t model : {0x3A710018u, 0x3A710019u}) {
        Bootloader& b = device(model, sim::modelFlashLayout(model));
        sent.clear();
        progress.clear();
        const uint32_t r = run(image.bytes());
        EXPECT_EQ(r, FW_OK) << output;
        expectProgressSound(0);
        EXPECT_TRUE(b.restarted());
        for (uint32_t region = 0; region < 2; ++region) {
            const ObinRegion* want = image.FindRegion(model, region);
            ASSERT_NE(want, nullptr);
            EXPECT_EQ(b.regionVersion(region), want->header.version());
            EXPECT_EQ(b.flash(region).crc(), want->header.regionCrc());
        }
        EXPECT_EQ(b.applicationVersion(), model == 0x3A710018u ? 0x0100055Eu : 0x01000585u);
        EXPECT_EQ(sent.back().command(), FW_CMD_UPDATE_FINISHED);
    }
}

TEST_F(FwUpdateTest, UpToDateRegionsAreSkippedUnlessForced)
{
    const tools::ImageSpec spec = imageA({600}, {300});
    OBinFileBuffer image;
    const std::vector<uint8_t> bytes = tools::buildImage(spec);
    ASSERT_TRUE(image.ReadFromBuffer(bytes.data(), static_cast<int>(bytes.size())));
    modelA().programFrom(image);

    EXPECT_EQ(run(bytes), FW_OK);
    EXPECT_EQ(commands(), (std::vector<uint8_t>{0xC0, 0xC2, 0xC4, 0xC4, 0xC1}));
    EXPECT_EQ(progress.back().result, 0);

    sent.clear();
    UpdateForceFlag = 1;
    EXPECT_EQ(run(bytes), FW_OK);
    EXPECT_EQ(count(FW_CMD_START_REGION), 2u);
    EXPECT_EQ(count(FW_CMD_END_REGION), 2u);
}

TEST_F(FwUpdateTest, ChunksOfAThousandBytesAndEveryEighthAnswered)
{
    modelA();
    // Region 0: 1,000 bytes. Region 1: two entries of five chunks each, so
    // the counter runs on across entries and the eighth chunk is answered.
    ASSERT_EQ(run(imageA({1000}, {5 * 255, 5 * 255})), FW_OK) << output;
    std::vector<std::pair<uint8_t, size_t>> chunks; // (command, data bytes) per region
    std::vector<std::vector<std::pair<uint8_t, size_t>>> regions;
    for (const Sent& s : sent) {
        if (s.command() == FW_CMD_START_REGION)
            regions.emplace_back();
        if (s.command() == FW_CMD_WRITE_CHUNK || s.command() == FW_CMD_WRITE_CHUNK_ANSWERED) {
            ASSERT_EQ(s.bytes.size(), 6u + s.bytes[5]);
            regions.back().emplace_back(s.command(), s.bytes[5]);
        }
    }
    ASSERT_EQ(regions.size(), 2u);
    EXPECT_EQ(regions[0], (std::vector<std::pair<uint8_t, size_t>>{{0xC7, 255}, {0xC7, 255}, {0xC7, 255}, {0xC7, 235}}));
    ASSERT_EQ(regions[1].size(), 10u);
    for (size_t i = 0; i < regions[1].size(); ++i)
        EXPECT_EQ(regions[1][i].first, i == 7 ? 0xC6 : 0xC7) << i;
    // Chunk addresses follow the entries.
    const Sent* firstChunk = nullptr;
    for (const Sent& s : sent)
        if (s.command() == FW_CMD_WRITE_CHUNK && !firstChunk)
            firstChunk = &s;
    EXPECT_EQ(loadLe32(firstChunk->bytes.data() + 1), 0x08000000u);
    EXPECT_EQ(boot->regionVersion(1), tools::versionWord(1, 0, 5, 94));
}

TEST_F(FwUpdateTest, WrongChunkCrcsAreRetriedThenGiveUp)
{
    const tools::ImageSpec spec = imageA({255 * 9}, {100});
    modelA().faults().wrongChunkCrcs = 3;
    EXPECT_EQ(run(spec), FW_OK) << output;
    EXPECT_EQ(count(FW_CMD_START_REGION), 2u + 3u); // region 0 started four times
    expectProgressSound(0);

    sent.clear();
    progress.clear();
    modelA().faults().wrongChunkCrcs = 4;
    EXPECT_EQ(run(spec), FW_ERR_WRITE_CRC);
    EXPECT_NE(output.find("ERROR: invalid write CRC returned 0x"), std::string::npos) << output;
    EXPECT_EQ(count(FW_CMD_START_REGION), 4u);
    // Each retry asks for the same region again and restarts it.
    std::vector<uint8_t> afterFailure;
    for (size_t i = 0; i + 1 < sent.size(); ++i)
        if (sent[i].command() == FW_CMD_WRITE_CHUNK_ANSWERED)
            afterFailure.push_back(sent[i + 1].command());
    EXPECT_EQ(afterFailure, (std::vector<uint8_t>{0xC4, 0xC4, 0xC4}));
    expectProgressSound(FW_ERR_WRITE_CRC);
}

TEST_F(FwUpdateTest, WrongRegionCrcsGiveUpAfterTheRetries)
{
    modelA().faults().wrongRegionCrcs = 4;
    EXPECT_EQ(run(imageA({10}, {10})), FW_ERR_REGION_CRC);
    EXPECT_NE(output.find("ERROR: region CRC failed, giving up\r\n"), std::string::npos);
    EXPECT_EQ(count(FW_CMD_END_REGION), 4u);
}

TEST_F(FwUpdateTest, RefusalsEndWithTheirCode)
{
    struct Case {
        uint8_t command, code;
        int times;
        uint32_t result;
    } cases[] = {
        {0xC5, 0x21, 4, 0x21},
        {0xC5, 0x21, 3, FW_OK},
        {0xC8, 0x40, 4, 0x40},
        {0xC4, 0x21, 4, 0x21},
        {0xC0, 0x22, 1, 0x22},          // before any region is known: at once
        {0xC2, 0x23, 1, 0x23},
        {0xC5, 0x00, 4, FW_ERR_REFUSED}, // code 0 must not read as success
        {0xC0, 0x00, 1, FW_ERR_REFUSED},
    };
    for (const Case& c : cases) {
        sent.clear();
        progress.clear();
        Bootloader& b = modelA();
        b.faults().refuseCommand = c.command;
        b.faults().refuseCode = c.code;
        b.faults().refuseTimes = c.times;
        EXPECT_EQ(run(imageA({300}, {300})), c.result) << std::hex << int(c.command) << " " << int(c.code);
        EXPECT_EQ(progress.back().percent, 100);
        EXPECT_EQ(progress.back().result, static_cast<int>(c.result));
        if (c.result != FW_OK) {
            EXPECT_NE(output.find("ERROR: NAK 0x"), std::string::npos);
        }
    }
}

TEST_F(FwUpdateTest, SilenceEndsTheRun)
{
    Bootloader& b = modelA();
    b.faults().silentAfter = 0; // not even the ready reply
    const uint64_t start = clock.now64();
    EXPECT_EQ(run(imageA({300}, {300})), FW_ERR_TIMEOUT);
    EXPECT_EQ(clock.now64() - start, 3001u);
    EXPECT_EQ(progress.size(), 2u);
    EXPECT_EQ(progress.back().percent, 100);
    EXPECT_EQ(progress.back().result, FW_ERR_TIMEOUT);

    // Silence in the middle of a region.
    sent.clear();
    progress.clear();
    modelA().faults().silentAfter = 5;
    EXPECT_EQ(run(imageA({255 * 20}, {300})), FW_ERR_TIMEOUT);
    EXPECT_EQ(progress.back().result, FW_ERR_TIMEOUT);
}

TEST_F(FwUpdateTest, RepliesWithinTheSilenceLimitAreWaitedFor)
{
    modelA();
    replyDelayMs = 2999;
    EXPECT_EQ(run(imageA({300}, {300})), FW_OK) << output;
    replyDelayMs = 3001;
    modelA();
    EXPECT_EQ(run(imageA({300}, {300})), FW_ERR_TIMEOUT);
}

TEST_F(FwUpdateTest, NoBlockForTheDeviceOrNoRegions)
{
    // The image has only the other model.
    device(0x3A710020u, {{0x08000000, 0x4000}});
    EXPECT_EQ(run(imageA({300}, {300})), FW_ERR_NO_BLOCKS);
    EXPECT_EQ(sent.back().command(), FW_CMD_UPDATE_FINISHED);
    EXPECT_EQ(count(FW_CMD_START_REGION), 0u);
    EXPECT_EQ(progress.back().result, FW_ERR_NO_BLOCKS);

    // A device reporting no regions at all has not been updated either.
    sent.clear();
    progress.clear();
    modelA().faults().zeroRegions = true;
    EXPECT_EQ(run(imageA({300}, {300})), FW_ERR_NO_BLOCKS);
    EXPECT_NE(output.find("ERROR: invalid num regions 0?\r\n"), std::string::npos);
    EXPECT_EQ(progress.back().percent, 100);
    EXPECT_EQ(progress.back().result, FW_ERR_NO_BLOCKS);
}

TEST_F(FwUpdateTest, WrongRegionDescribed)
{
    modelA().faults().wrongRegion = true;
    EXPECT_EQ(run(imageA({300}, {300})), FW_ERR_WRONG_REGION);
    EXPECT_NE(output.find("ERROR: Invalid region returned! Req 0 Res 1\r\n"), std::string::npos);
    EXPECT_EQ(count(FW_CMD_START_REGION), 0u);
}

TEST_F(FwUpdateTest, EntriesMustLieWhollyInTheirRegion)
{
    // Starts inside region 0 (0x4000 bytes) but runs past its end.
    tools::ImageSpec spec = imageA({300}, {300});
    spec.blocks[0].entries[0].address = 0x08000000 + 0x4000 - 100;
    modelA();
    EXPECT_EQ(run(spec), FW_ERR_FILE_FORMAT);
    EXPECT_NE(output.find("ERROR: file format error!\r\n"), std::string::npos);
    EXPECT_EQ(count(FW_CMD_WRITE_CHUNK) + count(FW_CMD_WRITE_CHUNK_ANSWERED), 0u);

    // Below the region's base.
    spec = imageA({300}, {300});
    spec.blocks[1].entries[0].address = 0x1FFFFF00;
    modelA();
    EXPECT_EQ(run(spec), FW_ERR_FILE_FORMAT);
}

TEST_F(FwUpdateTest, BadSourceDataIsNeverSent)
{
    const tools::ImageSpec spec = imageA({300, 200}, {300});
    struct Case {
        tools::Fault fault;
        uint32_t result;
    } cases[] = {
        {{tools::Fault::Kind::FlipDataByte, 0, 1, 10}, FW_ERR_SOURCE_CRC},
        {{tools::Fault::Kind::EntryDataOffset, 0, 1, 0xFFFFFF00}, FW_ERR_FILE_FORMAT}, // data outside its block
        {{tools::Fault::Kind::EntryLength, 0, 0, 0x7FFFFFFF}, FW_ERR_FILE_FORMAT},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> image = tools::buildImage(spec);
        ASSERT_TRUE(tools::applyFault(image, spec, c.fault));
        modelA();
        sent.clear();
        EXPECT_EQ(run(image), c.result) << output;
        EXPECT_EQ(boot->regionVersion(0), 0u);
    }
}

TEST_F(FwUpdateTest, ShortRepliesAreNeverReadPastTheirEnd)
{
    modelA().faults().shortReplies = true; // every reply is its first byte only
    EXPECT_EQ(run(imageA({300}, {300})), FW_ERR_TIMEOUT);
    EXPECT_EQ(commands(), (std::vector<uint8_t>{0xC0, 0xC2}));
}

TEST_F(FwUpdateTest, RequestThatCannotBeSent)
{
    modelA();
    sendFails = true;
    EXPECT_EQ(run(imageA({300}, {300})), FW_ERR_SEND);
    EXPECT_EQ(output, "ERROR: Failed to write update request\r\n");
    EXPECT_TRUE(progress.empty());
    fwUpdateSetSendHook(nullptr);
    sendFails = false;
    EXPECT_EQ(run(imageA({300}, {300})), FW_ERR_SEND);
}

TEST_F(FwUpdateTest, ProgressClimbsThroughRegionsAndRetries)
{
    // Slow replies so that the 100 ms reports come in between; entries of
    // very different lengths; a retry in the second region.
    modelA().faults().wrongChunkCrcs = 0;
    replyDelayMs = 50;
    boot->faults().wrongRegionCrcs = 1;
    ASSERT_EQ(run(imageA({255 * 20, 10, 255 * 30}, {255 * 40})), FW_OK) << output;
    expectProgressSound(0);
    EXPECT_GT(progress.size(), 8u);
}

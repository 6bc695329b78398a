#include "classcomp/kernel/asio_info.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <vector>

namespace orvo::kernel {
namespace {

class AsioInfoTest : public ::testing::Test {
protected:
    std::vector<uint8_t> bytes_ = std::vector<uint8_t>(asio_info::kSize, 0);
    AsioInfo info_{bytes_.data()};

    // The little-endian value of `width` bytes at `offset`.
    uint64_t at(size_t offset, size_t width) const
    {
        uint64_t v = 0;
        for (size_t i = 0; i < width; ++i)
            v |= uint64_t(bytes_[offset + i]) << (8 * i);
        return v;
    }
    size_t nonZero() const { return static_cast<size_t>(std::count_if(bytes_.begin(), bytes_.end(), [](uint8_t b) { return b; })); }
};

TEST_F(AsioInfoTest, EveryFieldSitsAtItsOffset)
{
    struct Case {
        const char* name;
        size_t offset;
        size_t width;
        std::function<void(AsioInfo&, uint64_t)> set;
        std::function<uint64_t(const AsioInfo&)> get;
    };
#define SCALAR(name, setter, offset, width) \
    Case{#name, offset, width, [](AsioInfo& i, uint64_t v) { i.setter(static_cast<decltype(i.name())>(v)); }, \
         [](const AsioInfo& i) { return static_cast<uint64_t>(i.name()); }}
    const Case cases[] = {
        SCALAR(priorityTokenKnown, setPriorityTokenKnown, 0, 1),
        SCALAR(lastBlockTime, setLastBlockTime, 1, 8),
        SCALAR(pendingSlips, setPendingSlips, 11324, 4),
        SCALAR(startedClientCount, setStartedClientCount, 813, 4),
        SCALAR(isStreamingEnabled, setIsStreamingEnabled, 817, 4),
        SCALAR(asioBlockCount, setAsioBlockCount, 821, 8),
        SCALAR(playbackOverrun, setPlaybackOverrun, 889, 4),
        SCALAR(recordDead, setRecordDead, 905, 1),
        SCALAR(settingsPushed, setSettingsPushed, 906, 1),
        SCALAR(kernelLoopback, setKernelLoopback, 907, 1),
        SCALAR(clientTimingSwitch, setClientTimingSwitch, 908, 1),
        SCALAR(eraseBuffers, setEraseBuffers, 909, 1),
        SCALAR(priorityBoostOff, setPriorityBoostOff, 910, 1),
        SCALAR(sampleRate, setSampleRate, 911, 4),
        SCALAR(outputChannelCount, setOutputChannelCount, 915, 4),
        SCALAR(inputChannelCount, setInputChannelCount, 919, 4),
        SCALAR(sampleFormat, setSampleFormat, 923, 1),
        SCALAR(sampleRateCount, setSampleRateCount, 924, 4),
        SCALAR(blockFrames, setBlockFrames, 11188, 4),
        SCALAR(clientBlockSamples, setClientBlockSamples, 11192, 4),
        SCALAR(ringBlocks, setRingBlocks, 11196, 4),
        SCALAR(readsCompleted, setReadsCompleted, 11248, 4),
        SCALAR(readsFailed, setReadsFailed, 11252, 4),
        SCALAR(readZeroLengthPackets, setReadZeroLengthPackets, 11256, 4),
        SCALAR(writesCompleted, setWritesCompleted, 11260, 4),
        SCALAR(writesFailed, setWritesFailed, 11264, 4),
        SCALAR(writeBadPackets, setWriteBadPackets, 11268, 4),
        SCALAR(slipsTotal, setSlipsTotal, 11272, 4),
        SCALAR(readsWithoutBlock, setReadsWithoutBlock, 11276, 4),
        SCALAR(lateBlocks, setLateBlocks, 11280, 4),
        SCALAR(readRequestError, setReadRequestError, 11284, 4),
        SCALAR(readUrbError, setReadUrbError, 11288, 4),
        SCALAR(readPacketError, setReadPacketError, 11292, 4),
        SCALAR(readZeroLengthMask, setReadZeroLengthMask, 11296, 4),
        SCALAR(writeRequestError, setWriteRequestError, 11300, 4),
        SCALAR(writeUrbError, setWriteUrbError, 11304, 4),
        SCALAR(writePacketError, setWritePacketError, 11308, 4),
        SCALAR(framesInBlock, setFramesInBlock, 11312, 4),
        SCALAR(pendingReadFrames, setPendingReadFrames, 11316, 4),
        SCALAR(measuredSampleRate, setMeasuredSampleRate, 11320, 4),
        SCALAR(shortBlockFlag, setShortBlockFlag, 11332, 4),
        SCALAR(halfRingMs, setHalfRingMs, 11336, 4),
        SCALAR(streamingClientCountCopy, setStreamingClientCountCopy, 11340, 4),
        SCALAR(statusBits, setStatusBits, 11344, 4),
        SCALAR(buffersInitialisedCounter, setBuffersInitialisedCounter, 11568, 4),
    };
#undef SCALAR
    for (const Case& c : cases) {
        std::fill(bytes_.begin(), bytes_.end(), 0);
        uint64_t value = 0xF1E2D3C4B5A69788ull >> (64 - 8 * c.width);
        c.set(info_, value);
        EXPECT_EQ(at(c.offset, c.width), value) << c.name;
        EXPECT_EQ(c.get(info_), value) << c.name;
        EXPECT_EQ(nonZero(), c.width) << c.name << " wrote outside its bytes";
    }
}

TEST_F(AsioInfoTest, ArraysNamesAndClassIdentifier)
{
    info_.setClientDeadline(99, 0x0102030405060708ull);
    EXPECT_EQ(at(9 + 8 * 99, 8), 0x0102030405060708ull);
    info_.setMixCounter(14, 7);
    EXPECT_EQ(at(11200 + 2 * 14, 2), 7u);
    info_.setMixCarry(2, 9);
    EXPECT_EQ(at(893 + 8, 4), 9u);
    info_.setSampleRateAt(14, 192000);
    EXPECT_EQ(at(928 + 56, 4), 192000u);
    info_.inputChannelNames()[0] = 'A';
    info_.outputChannelNames()[5099] = 'Z';
    EXPECT_EQ(bytes_[988], 'A');
    EXPECT_EQ(bytes_[6088 + 5099], 'Z');
    kplat::Guid id{0x33221100, 0x5544, 0x7766, {0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}};
    info_.setClassId(id);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(bytes_[11232 + i], i * 0x11);
    EXPECT_EQ(info_.classId(), id);
    // Everything written stayed inside the record's named fields.
    // deadline 8, counter 1, carry 1, rate 2 (0x0002EE00), names 2, identifier 15 (its first byte is 0)
    EXPECT_EQ(nonZero(), 8u + 1 + 1 + 2 + 1 + 1 + 15);
}

TEST_F(AsioInfoTest, StatisticsRingsWrapAfterTenEntries)
{
    const size_t rings[] = {11348, 11392, 11436, 11480, 11524};
    StatRing all[] = {info_.packetFramesRing(), info_.requestedPacketFramesRing(), info_.readTransferFramesRing(),
                      info_.blockLeftoverRing(), info_.readTransferSamplesRing()};
    for (size_t r = 0; r < 5; ++r) {
        for (uint32_t v = 1; v <= 12; ++v)
            all[r].push(v);
        EXPECT_EQ(at(rings[r], 4), 2u);
        EXPECT_EQ(at(rings[r] + 4, 4), 11u);
        EXPECT_EQ(at(rings[r] + 8, 4), 12u);
        EXPECT_EQ(at(rings[r] + 12, 4), 3u);
        EXPECT_EQ(at(rings[r] + 40, 4), 10u);
    }
    EXPECT_EQ(11524u + 44, asio_info::kBuffersInitialisedCounterOffset);
    EXPECT_EQ(asio_info::kBuffersInitialisedCounterOffset + 4, asio_info::kSize);
}

TEST_F(AsioInfoTest, ChannelNameListsStayInsideTheirArea)
{
    ChannelNameList list(info_.inputChannelNames());
    EXPECT_TRUE(list.append(u"In 1"));
    EXPECT_TRUE(list.append(u""));
    EXPECT_EQ(list.bytesUsed(), 12u);
    EXPECT_EQ(bytes_[988], 'I');
    EXPECT_EQ(bytes_[988 + 6], '1');
    EXPECT_EQ(bytes_[988 + 8], 0); // terminator
    // Fill the rest with long names: the last one is cut, its zero kept.
    std::u16string longName(300, u'x');
    bool cut = false;
    for (int i = 0; i < 20 && !cut; ++i)
        cut = !list.append(longName);
    EXPECT_TRUE(cut);
    EXPECT_EQ(list.bytesUsed(), asio_info::kChannelNamesBytes);
    EXPECT_EQ(bytes_[988 + 5098], 0);
    EXPECT_EQ(bytes_[988 + 5099], 0);
    EXPECT_EQ(bytes_[988 + 5096], 'x');
    EXPECT_EQ(bytes_[6088], 0); // the output list is untouched
    EXPECT_FALSE(list.append(u"more"));
}

} // namespace
} // namespace orvo::kernel

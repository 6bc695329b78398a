#include <gtest/gtest.h>

#include <vector>

#include "mixer/midi/crc32.h"
#include "mixer/midi/le_bytes.h"
#include "sim/mixer/bootloader.h"

using namespace Orvo;
using namespace Orvo::sim;

namespace {

class BootloaderTest : public testing::Test {
protected:
    BootloaderTest() : boot(0x3A710018u, {{0x1000, 0x100}, {0x2000, 0x40}})
    {
        boot.setReplySink([this](const uint8_t* b, size_t n) { replies.emplace_back(b, b + n); });
    }

    std::vector<uint8_t> send(std::vector<uint8_t> m)
    {
        replies.clear();
        boot.receive(m.data(), m.size());
        return replies.empty() ? std::vector<uint8_t>{} : replies.back();
    }
    static std::vector<uint8_t> withWords(uint8_t command, std::initializer_list<uint32_t> words)
    {
        std::vector<uint8_t> m{command};
        for (uint32_t w : words) {
            m.resize(m.size() + 4);
            storeLe32(&m[m.size() - 4], w);
        }
        return m;
    }
    static std::vector<uint8_t> chunk(uint8_t command, uint32_t address, std::vector<uint8_t> data)
    {
        std::vector<uint8_t> m = withWords(command, {address});
        m.push_back(static_cast<uint8_t>(data.size()));
        m.insert(m.end(), data.begin(), data.end());
        return m;
    }
    std::vector<uint8_t> start(uint32_t region, uint32_t version, uint32_t crc)
    {
        const FlashRegion& f = boot.flash(region);
        return send(withWords(0xC5, {0x3A710018u, region, version, f.base(), f.size(), crc}));
    }

    Bootloader boot;
    std::vector<std::vector<uint8_t>> replies;
};

} // namespace

TEST_F(BootloaderTest, WritesARegionAndReportsItsCrc)
{
    EXPECT_EQ(send({0xC0}), (std::vector<uint8_t>{0x80}));
    EXPECT_EQ(send({0xC2}), (std::vector<uint8_t>{0x84, 2}));

    // What the region will hold: three bytes at its start, the rest erased.
    FlashRegion want(0x2000, 0x40);
    const std::vector<uint8_t> data{1, 2, 3};
    want.write(0x2000, data.data(), data.size());
    EXPECT_EQ(start(1, 0x01000507u, want.crc())[0], 0x81);
    EXPECT_TRUE(send(chunk(0xC7, 0x2000, {1})).empty());
    const std::vector<uint8_t> ack = send(chunk(0xC6, 0x2001, {2, 3}));
    ASSERT_EQ(ack.size(), 5u);
    EXPECT_EQ(loadLe32(&ack[1]), obinCrc32(data.data() + 1, 2));
    const std::vector<uint8_t> end = send(withWords(0xC8, {1}));
    EXPECT_EQ(loadLe32(&end[1]), want.crc());
    EXPECT_EQ(boot.regionVersion(1), 0x01000507u);

    const std::vector<uint8_t> info = send(withWords(0xC4, {1}));
    ASSERT_EQ(info.size(), 25u);
    EXPECT_EQ(loadLe32(&info[1]), 0x3A710018u);
    EXPECT_EQ(loadLe32(&info[5]), 1u);
    EXPECT_EQ(loadLe32(&info[9]), 0x01000507u);
    EXPECT_EQ(loadLe32(&info[21]), want.crc());

    EXPECT_FALSE(boot.restarted());
    EXPECT_TRUE(send({0xC1}).empty());
    EXPECT_TRUE(boot.restarted());
}

TEST_F(BootloaderTest, RefusesWhatItCannotDo)
{
    EXPECT_EQ(send(withWords(0xC4, {2})), (std::vector<uint8_t>{0x82, kRefuseNoSuchRegion}));
    EXPECT_EQ(send(chunk(0xC7, 0x1000, {1})), (std::vector<uint8_t>{0x82, kRefuseNotStarted}));
    EXPECT_EQ(send(withWords(0xC5, {0x3A710019u, 0, 1, 0x1000, 0x100, 0})),
              (std::vector<uint8_t>{0x82, kRefuseOtherPeripheral}));
    EXPECT_EQ(send(withWords(0xC5, {0x3A710018u, 0, 1, 0x1000, 0x200, 0})),
              (std::vector<uint8_t>{0x82, kRefuseLayout}));
    start(0, 1, 0);
    // A chunk that starts inside the region but runs past its end.
    EXPECT_EQ(send(chunk(0xC7, 0x10FE, {1, 2, 3})), (std::vector<uint8_t>{0x82, kRefuseOutsideRegion}));
    std::vector<uint8_t> bad = chunk(0xC7, 0x1000, {1, 2, 3});
    bad.pop_back(); // count says 3, two bytes follow
    EXPECT_EQ(send(bad), (std::vector<uint8_t>{0x82, kRefuseMalformed}));
    // The declared CRC is not what the region holds: not valid afterwards.
    send(withWords(0xC8, {0}));
    EXPECT_EQ(boot.regionVersion(0), 0u);
}

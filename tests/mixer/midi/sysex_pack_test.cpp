#include "mixer/midi/sysex_pack.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes pack(const Bytes& in)
{
    Bytes out(midiPackedSize(in.size()) + 4, 0xEE);
    const size_t m = midiPack7(in.data(), in.size(), out.data(), out.size());
    out.resize(m);
    return out;
}

struct PackCase {
    Bytes in;
    Bytes packed;
};
void PrintTo(const PackCase& c, std::ostream* os) { *os << c.in.size() << " bytes"; }

class PackTable : public ::testing::TestWithParam<PackCase> {};

TEST_P(PackTable, PacksAndUnpacksBack)
{
    const auto& c = GetParam();
    EXPECT_EQ(pack(c.in), c.packed);
    Bytes back(midiUnpackCapacity(c.packed.size()));
    back.resize(midiUnpack7(c.packed.data(), c.packed.size(), back.data(), back.size()));
    EXPECT_EQ(back, c.in);
}

INSTANTIATE_TEST_SUITE_P(
    Known, PackTable,
    ::testing::Values(PackCase{{0x80}, {0x01, 0x00}},
                      PackCase{{0x81, 0x02}, {0x01, 0x01, 0x02}},
                      PackCase{{0x7F}, {0x00, 0x7F}},
                      // seven bytes fill one group; the eighth opens the next
                      PackCase{{0x80, 0x01, 0x82, 0x03, 0x84, 0x05, 0xFF},
                               {0x55, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x7F}},
                      PackCase{{0, 0, 0, 0, 0, 0, 0, 0xC1},
                               {0x00, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x41}}));

TEST(Pack7, PackedSizes)
{
    for (auto [n, m] : {std::pair<size_t, size_t>{1, 2}, {7, 8}, {8, 10}, {13, 15}, {48, 55}, {882 + 8, 1018}}) {
        Bytes in(n, 0xA5);
        Bytes out(m);
        EXPECT_EQ(midiPack7(in.data(), n, out.data(), m), m) << n;
        EXPECT_EQ(midiPack7(in.data(), n, out.data(), m - 1), 0u) << n;
    }
}

TEST(Pack7, RefusalWritesNothing)
{
    Bytes in(48, 0xFF);
    Bytes out(55, 0xEE);
    EXPECT_EQ(midiPack7(in.data(), 0, out.data(), out.size()), 0u);
    EXPECT_EQ(midiPack7(in.data(), in.size(), out.data(), 0), 0u);
    EXPECT_EQ(midiPack7(in.data(), in.size(), out.data(), 54), 0u);
    EXPECT_EQ(out, Bytes(55, 0xEE));
}

TEST(Pack7, InPlaceEqualsOutOfPlace)
{
    std::mt19937 rng(7);
    for (size_t n : {1u, 6u, 7u, 8u, 13u, 48u, 890u}) {
        Bytes src(n);
        for (auto& b : src)
            b = static_cast<uint8_t>(rng());
        const Bytes expected = pack(src);
        Bytes buf = src;
        buf.resize(midiPackedSize(n));
        ASSERT_EQ(midiPack7(buf.data(), n, buf.data(), buf.size()), expected.size());
        EXPECT_EQ(buf, expected) << n;
        // and back, in place as well
        const size_t back = midiUnpack7(buf.data(), buf.size(), buf.data(), buf.size());
        buf.resize(back);
        EXPECT_EQ(buf, src) << n;
    }
}

TEST(Unpack7, CapacityRule)
{
    Bytes in(48, 0x9C);
    const Bytes packed = pack(in);
    ASSERT_EQ(packed.size(), 55u);
    EXPECT_EQ(midiUnpackCapacity(55), 49u);
    Bytes out(49, 0xEE);
    EXPECT_EQ(midiUnpack7(packed.data(), packed.size(), out.data(), 48), 0u);
    EXPECT_EQ(out, Bytes(49, 0xEE));
    EXPECT_EQ(midiUnpack7(packed.data(), packed.size(), out.data(), 49), 48u);
    out.resize(48);
    EXPECT_EQ(out, in);
}

TEST(Unpack7, DataByteBitSevenSurvives)
{
    // A malformed packed stream: the data byte itself carries bit 7.
    const Bytes packed{0x00, 0x85, 0x01};
    uint8_t out[3] = {};
    ASSERT_EQ(midiUnpack7(packed.data(), packed.size(), out, sizeof out), 2u);
    EXPECT_EQ(out[0], 0x85);
    EXPECT_EQ(out[1], 0x01);
}

TEST(Unpack7, TrailingHeaderYieldsNothing)
{
    // 9 packed bytes: a full group and a header with no data behind it.
    Bytes packed(9, 0x00);
    uint8_t out[8];
    EXPECT_EQ(midiUnpack7(packed.data(), packed.size(), out, sizeof out), 7u);
}

TEST(Pack7, RoundTripEverySize)
{
    std::mt19937 rng(1);
    for (size_t n = 1; n <= 300; ++n) {
        Bytes src(n);
        for (auto& b : src)
            b = static_cast<uint8_t>(rng());
        const Bytes packed = pack(src);
        ASSERT_EQ(packed.size(), midiPackedSize(n));
        for (uint8_t b : packed)
            ASSERT_LT(b, 0x80) << n;
        Bytes back(midiUnpackCapacity(packed.size()));
        back.resize(midiUnpack7(packed.data(), packed.size(), back.data(), back.size()));
        ASSERT_EQ(back, src) << n;
    }
}

} // namespace

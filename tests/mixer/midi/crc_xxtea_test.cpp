#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "mixer/midi/crc32.h"
#include "mixer/midi/le_bytes.h"
#include "mixer/midi/xxtea.h"

using namespace Orvo;

namespace {

std::vector<uint8_t> words(std::initializer_list<uint32_t> ws)
{
    std::vector<uint8_t> b(4 * ws.size());
    size_t i = 0;
    for (uint32_t w : ws)
        storeLe32(b.data() + 4 * i++, w);
    return b;
}

uint32_t word(const std::vector<uint8_t>& b, size_t i) { return loadLe32(b.data() + 4 * i); }

} // namespace

TEST(Crc32, KnownAnswers)
{
    const char* check = "123456789";
    EXPECT_EQ(obinCrc32(reinterpret_cast<const uint8_t*>(check), 9), 0xCBF43926u);
    EXPECT_EQ(obinCrc32(nullptr, 0), 0u);
    const uint8_t zero = 0;
    EXPECT_EQ(obinCrc32(&zero, 1), 0xD202EF8Du);
}

TEST(Crc32, UpdateCarriesAcrossRangesOfEveryLength)
{
    // Lengths around the eight-byte stride and misaligned starts must give
    // the same value as one byte at a time.
    std::vector<uint8_t> data(300);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 37 + 11);
    for (size_t start = 0; start < 9; ++start)
        for (size_t len = 0; len + start <= 70; ++len) {
            uint32_t bytewise = 0xFFFFFFFFu;
            for (size_t i = 0; i < len; ++i)
                bytewise = crc32Update(bytewise, &data[start + i], 1);
            EXPECT_EQ(~bytewise, obinCrc32(&data[start], len)) << start << " " << len;
        }
    const uint32_t split = ~crc32Update(crc32Update(0xFFFFFFFFu, data.data(), 123), data.data() + 123, 177);
    EXPECT_EQ(split, obinCrc32(data.data(), 300));
}

TEST(Xxtea, KnownAnswersWithZeroKey)
{
    const XxteaKey zero{0, 0, 0, 0};
    struct Case {
        uint32_t plain[2];
        uint32_t cipher[2];
    } cases[] = {
        {{0, 0}, {0x053704ABu, 0x575D8C80u}},
        {{0x01020304u, 0x05060708u}, {0xE6911910u, 0x0C35DCDAu}},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> b = words({c.plain[0], c.plain[1]});
        xxteaEncipher(b.data(), 2, zero);
        EXPECT_EQ(word(b, 0), c.cipher[0]);
        EXPECT_EQ(word(b, 1), c.cipher[1]);
        xxteaDecipher(b.data(), 2, zero);
        EXPECT_EQ(word(b, 0), c.plain[0]);
        EXPECT_EQ(word(b, 1), c.plain[1]);
    }
}

TEST(Xxtea, EmbeddedImageSizeRunsSixRoundsFromItsSum)
{
    EXPECT_EQ(kEmbeddedImageSize / 4, 165782u);
    EXPECT_EQ(xxteaRounds(165782), 6u);
    EXPECT_EQ(xxteaInitialSum(165782), 0xB54CDA56u);
    EXPECT_EQ(xxteaRounds(2), 32u);
}

TEST(Xxtea, KeyIsTheStoredBytesAsLittleEndianWords)
{
    const uint8_t stored[16] = {0x5d, 0x1f, 0x9a, 0x7c, 0x02, 0xe4, 0xb8, 0x63,
                                0x1f, 0xa0, 0xc7, 0xd9, 0xe2, 0xb4, 0x5f, 0x18};
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(kEmbeddedImageKey[i], loadLe32(stored + 4 * i));
}

TEST(Xxtea, RoundTripAtAnyAlignmentAndShortBlocksUntouched)
{
    std::vector<uint8_t> buf(4 * 1000 + 3);
    for (size_t i = 0; i < buf.size(); ++i)
        buf[i] = static_cast<uint8_t>(i ^ (i >> 8));
    const std::vector<uint8_t> orig = buf;
    xxteaEncipher(buf.data() + 3, 1000, kEmbeddedImageKey); // deliberately unaligned
    EXPECT_NE(buf, orig);
    EXPECT_EQ(buf[0], orig[0]);
    xxteaDecipher(buf.data() + 3, 1000, kEmbeddedImageKey);
    EXPECT_EQ(buf, orig);

    std::vector<uint8_t> one = words({0x12345678u});
    xxteaEncipher(one.data(), 1, kEmbeddedImageKey);
    EXPECT_EQ(word(one, 0), 0x12345678u);

    std::vector<uint8_t> odd(7);
    EXPECT_FALSE(obinDecipherEmbedded(odd.data(), odd.size()));
}

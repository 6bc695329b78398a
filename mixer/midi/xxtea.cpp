#include "mixer/midi/xxtea.h"

#include "mixer/midi/le_bytes.h"

namespace Orvo {

namespace {

inline uint32_t mx(uint32_t sum, uint32_t y, uint32_t z, uint32_t p, uint32_t e, const XxteaKey& k)
{
    return (((z >> 5) ^ (y << 2)) + ((y >> 3) ^ (z << 4))) ^ ((sum ^ y) + (k[(p & 3) ^ e] ^ z));
}

} // namespace

void xxteaEncipher(uint8_t* v, size_t words, const XxteaKey& key)
{
    if (words < 2 || words > 0xFFFFFFFFu)
        return;
    const uint32_t n = static_cast<uint32_t>(words);
    uint32_t rounds = xxteaRounds(n);
    uint32_t sum = 0;
    uint32_t z = loadLe32(v + 4 * (n - 1));
    do {
        sum += kXxteaDelta;
        const uint32_t e = (sum >> 2) & 3;
        uint32_t p = 0;
        for (; p < n - 1; ++p) {
            const uint32_t y = loadLe32(v + 4 * (p + 1));
            z = loadLe32(v + 4 * p) + mx(sum, y, z, p, e, key);
            storeLe32(v + 4 * p, z);
        }
        const uint32_t y = loadLe32(v);
        z = loadLe32(v + 4 * p) + mx(sum, y, z, p, e, key);
        storeLe32(v + 4 * p, z);
    } while (--rounds);
}

void xxteaDecipher(uint8_t* v, size_t words, const XxteaKey& key)
{
    if (words < 2 || words > 0xFFFFFFFFu)
        return;
    const uint32_t n = static_cast<uint32_t>(words);
    uint32_t rounds = xxteaRounds(n);
    uint32_t sum = xxteaInitialSum(n);
    uint32_t y = loadLe32(v);
    do {
        const uint32_t e = (sum >> 2) & 3;
        uint32_t p = n - 1;
        for (; p > 0; --p) {
            const uint32_t z = loadLe32(v + 4 * (p - 1));
            y = loadLe32(v + 4 * p) - mx(sum, y, z, p, e, key);
            storeLe32(v + 4 * p, y);
        }
        const uint32_t z = loadLe32(v + 4 * (n - 1));
        y = loadLe32(v) - mx(sum, y, z, 0, e, key);
        storeLe32(v, y);
        sum -= kXxteaDelta;
    } while (--rounds);
}

bool obinDecipherEmbedded(uint8_t* image, size_t length)
{
    if (image == nullptr || length % 4 != 0)
        return false;
    xxteaDecipher(image, length / 4, kEmbeddedImageKey);
    return true;
}

} // namespace Orvo

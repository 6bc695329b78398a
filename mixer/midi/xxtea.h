#pragma once
// XXTEA (Corrected Block TEA) over one block of n little-endian 32-bit words
// held as bytes, and the key under which the embedded firmware image is kept.

#include <array>
#include <cstddef>
#include <cstdint>

namespace Orvo {

using XxteaKey = std::array<uint32_t, 4>;

constexpr uint32_t kXxteaDelta = 0x9E3779B9u;

// Rounds of one pass over n words (6 + 52 / n) and the running sum the
// decipher starts from (rounds x delta, modulo 2^32).
constexpr uint32_t xxteaRounds(uint32_t n) { return 6 + 52 / n; }
constexpr uint32_t xxteaInitialSum(uint32_t n) { return xxteaRounds(n) * kXxteaDelta; }

// Both work in place on words (4 x words bytes, little-endian, any
// alignment); blocks of fewer than 2 words are left unchanged.
void xxteaEncipher(uint8_t* bytes, size_t words, const XxteaKey& key);
void xxteaDecipher(uint8_t* bytes, size_t words, const XxteaKey& key);

// The embedded image's key: bytes 5d1f9a7c 02e4b863 1fa0c7d9 e2b45f18 in
// stored order, read as four little-endian words.
constexpr XxteaKey kEmbeddedImageKey = {0x7C9A1F5Du, 0x63B8E402u, 0xD9C7A01Fu, 0x185FB4E2u};

// Size of the embedded image in bytes (165,782 words).
constexpr size_t kEmbeddedImageSize = 663128;

// Deciphers the embedded image in place with its key; false when the length
// is not a whole number of words.
bool obinDecipherEmbedded(uint8_t* image, size_t length);

} // namespace Orvo

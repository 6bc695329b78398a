#pragma once
// 8-to-7-bit packing of the binary bodies that travel inside the mixers'
// System Exclusive messages. Groups of one header byte (bit j-1 holds bit 7 of
// the group's data byte j) followed by up to seven data bytes with bit 7 clear.

#include <cstddef>
#include <cstdint>

// Packed size of n bytes: ceil(8n / 7).
constexpr size_t midiPackedSize(size_t n) { return (8 * n + 6) / 7; }
// Capacity that unpacking m packed bytes asks for.
constexpr size_t midiUnpackCapacity(size_t m) { return (7 * m + 7) / 8; }

// Packs n bytes of src into dst (capacity c) and returns the packed length, or
// 0 (nothing written) when n or c is 0 or c is below the packed size. Works in
// place when src and dst are the same buffer with room for the packed size.
size_t midiPack7(const uint8_t* src, size_t n, uint8_t* dst, size_t c);

// Unpacks m packed bytes of src into dst (capacity c) and returns the unpacked
// length, or 0 when c is below midiUnpackCapacity(m). Data bytes are taken as
// they are (not masked). Works in place.
size_t midiUnpack7(const uint8_t* src, size_t m, uint8_t* dst, size_t c);

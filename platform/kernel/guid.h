#pragma once
// A GUID as the platform lays it out in memory: data1..data3 little-endian,
// then eight bytes.

#include <array>
#include <cstdint>
#include <cstring>

namespace kplat {

struct Guid {
    uint32_t data1 = 0;
    uint16_t data2 = 0;
    uint16_t data3 = 0;
    std::array<uint8_t, 8> data4{};

    friend bool operator==(const Guid&, const Guid&) = default;

    // The 16-byte memory form.
    std::array<uint8_t, 16> bytes() const
    {
        std::array<uint8_t, 16> out{};
        for (int i = 0; i < 4; ++i)
            out[i] = static_cast<uint8_t>(data1 >> (8 * i));
        out[4] = static_cast<uint8_t>(data2);
        out[5] = static_cast<uint8_t>(data2 >> 8);
        out[6] = static_cast<uint8_t>(data3);
        out[7] = static_cast<uint8_t>(data3 >> 8);
        std::memcpy(out.data() + 8, data4.data(), 8);
        return out;
    }

    static Guid fromBytes(const uint8_t* p)
    {
        Guid g;
        g.data1 = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
        g.data2 = static_cast<uint16_t>(p[4] | p[5] << 8);
        g.data3 = static_cast<uint16_t>(p[6] | p[7] << 8);
        std::memcpy(g.data4.data(), p + 8, 8);
        return g;
    }
};

} // namespace kplat

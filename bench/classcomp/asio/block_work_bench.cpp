// The ASIO driver's output work per block, on a record and rings in memory:
// one client's block copied into the clipped ring, and 1, 2, 4 and 8
// clients adding into the accumulator, the last one converting, 16 output
// channels, integer and float formats. Prints nanoseconds per block (all
// clients together) and per client, which must stay flat as clients grow.
//
// Usage: bench_asio_block_work [block frames]; default 96 (8 ms at 48 kHz).

#include "classcomp/asio/output_mixing.h"
#include "classcomp/kernel/asio_info.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using namespace orvo::asio;
namespace k = orvo::kernel;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kChannels = 16;
constexpr uint32_t kRingBlocks = 10;

struct Device {
    std::vector<uint8_t> record = std::vector<uint8_t>(k::asio_info::kSize, 0);
    std::vector<uint8_t> clipped = std::vector<uint8_t>(kJoinedRingMappingBytes, 0);
    std::vector<uint8_t> accumulator = std::vector<uint8_t>(kJoinedRingMappingBytes, 0);
    PlaybackRings rings;
    Device(uint32_t blockFrames, bool isFloat, uint32_t started)
    {
        k::AsioInfo info(record.data());
        info.setOutputChannelCount(kChannels);
        info.setRingBlocks(kRingBlocks);
        info.setSampleFormat(isFloat ? 1 : 0);
        info.setStartedClientCount(started);
        DescribePlaybackRings(record.data(), clipped.data(), accumulator.data(), blockFrames, rings);
    }
    // What the kernel does as block n comes due.
    void turnOver(uint64_t n)
    {
        const uint32_t t = uint32_t(n % kRingBlocks);
        k::AsioInfo(record.data()).setMixCounter(t, 0);
    }
};

struct Client {
    std::vector<uint8_t> area;
    std::vector<uint8_t> active = std::vector<uint8_t>(kChannels, 1);
    Client(uint32_t blockFrames, bool isFloat, uint32_t seed) : area(2 * kChannels * blockFrames * 4)
    {
        for (size_t i = 0; i < area.size() / 4; ++i) {
            uint32_t v = isFloat ? 0x3E800000u + (uint32_t(i) * 977u + seed) % 0x100000u // about 0.25
                                 : (uint32_t(i) * 2654435761u + seed) >> 2;
            std::memcpy(area.data() + 4 * i, &v, 4);
        }
    }
    OutputBlock block(uint64_t n) const { return OutputBlock{area.data(), uint32_t(n & 1), active.data()}; }
};

// Nanoseconds per block, the best of five runs of `blocks` blocks.
template <class Body> double nsPerBlock(uint64_t blocks, Body body)
{
    double best = 1e300;
    for (int run = 0; run < 5; ++run) {
        const auto start = Clock::now();
        for (uint64_t n = 0; n < blocks; ++n)
            body(n);
        const double ns = double(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count());
        best = std::min(best, ns / double(blocks));
    }
    return best;
}

} // namespace

int main(int argc, char** argv)
{
    const uint32_t frames = argc > 1 ? uint32_t(std::atoi(argv[1])) : 96;
    if (frames == 0 || 2ull * kChannels * frames * 4 > kPlaybackAreaLimit) {
        std::fprintf(stderr, "usage: %s [block frames, 1..%u]\n", argv[0], unsigned(kPlaybackAreaLimit / (8 * kChannels)));
        return 2;
    }
    const uint64_t blocks = std::max<uint64_t>(2000, 20'000'000 / (uint64_t(frames) * kChannels));
    std::printf("ASIO driver output work per block: %u channels, %u-frame blocks, %u ring blocks\n", kChannels, frames,
                kRingBlocks);
    for (const bool isFloat : {false, true}) {
        const char* format = isFloat ? "float" : "int";
        {
            Device d(frames, isFloat, 1);
            Client c(frames, isFloat, 1);
            const double ns = nsPerBlock(blocks, [&](uint64_t n) {
                d.turnOver(n + 3);
                WriteSingleClientBlock(d.rings, c.block(n), n + 3);
            });
            std::printf("  %-5s outputReady, one client (copy)        %9.0f ns per block\n", format, ns);
        }
        double perClientOne = 0;
        for (const uint32_t clients : {1u, 2u, 4u, 8u}) {
            Device d(frames, isFloat, clients);
            std::vector<Client> all;
            for (uint32_t i = 0; i < clients; ++i)
                all.emplace_back(frames, isFloat, i + 1);
            const double ns = nsPerBlock(blocks, [&](uint64_t n) {
                d.turnOver(n + 3);
                for (const Client& c : all)
                    MixClientBlock(d.rings, c.block(n), n + 3);
            });
            const double perClient = ns / clients;
            if (clients == 1)
                perClientOne = perClient;
            std::printf("  %-5s outputReady, mixing, %u client%s       %9.0f ns per block, %6.0f per client (x%.2f)\n",
                        format, clients, clients == 1 ? " " : "s", ns, perClient, perClient / perClientOne);
        }
    }
    return 0;
}

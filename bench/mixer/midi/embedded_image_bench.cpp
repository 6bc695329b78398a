// Loading the embedded firmware image: deciphering its 663,128 bytes and
// checking every entry's CRC, as a GUI program does once at start-up.

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "mixer/midi/embedded_image.h"

using namespace Orvo;

namespace {

void Decipher(benchmark::State& state)
{
    std::vector<uint8_t> bytes(kEmbeddedImageSize);
    for (auto _ : state) {
        std::memcpy(bytes.data(), kEmbeddedImageEnciphered, bytes.size());
        obinDecipherEmbedded(bytes.data(), bytes.size());
        benchmark::DoNotOptimize(bytes.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kEmbeddedImageSize));
}

void CheckCrcs(benchmark::State& state)
{
    std::vector<uint8_t> bytes(kEmbeddedImageEnciphered, kEmbeddedImageEnciphered + kEmbeddedImageSize);
    obinDecipherEmbedded(bytes.data(), bytes.size());
    for (auto _ : state)
        benchmark::DoNotOptimize(obinCheckCrcs(bytes.data(), bytes.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kEmbeddedImageSize));
}

// The work of a load on a buffer already there: decipher, convert, check.
void DecipherAndCheck(benchmark::State& state)
{
    std::vector<uint8_t> bytes(kEmbeddedImageSize);
    for (auto _ : state) {
        std::memcpy(bytes.data(), kEmbeddedImageEnciphered, bytes.size());
        obinDecipherEmbedded(bytes.data(), bytes.size());
        if (!obinToHostOrder(bytes.data(), bytes.size()) || !obinCheckCrcs(bytes.data(), bytes.size()))
            state.SkipWithError("the embedded image does not check");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kEmbeddedImageSize));
}

// The whole load as a program does it once: a fresh buffer, decipher,
// convert, check, index.
void DecipherAndLoad(benchmark::State& state)
{
    for (auto _ : state) {
        OBinFileBuffer image;
        if (!loadEmbeddedImage(image))
            state.SkipWithError("the embedded image does not load");
        benchmark::DoNotOptimize(image.regions().data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kEmbeddedImageSize));
}

BENCHMARK(Decipher)->Unit(benchmark::kMicrosecond);
BENCHMARK(CheckCrcs)->Unit(benchmark::kMicrosecond);
BENCHMARK(DecipherAndCheck)->Unit(benchmark::kMicrosecond);
BENCHMARK(DecipherAndLoad)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();

// Fuzzes the OBin reader with random bytes and with mutated valid images.
//
// Input byte 0 picks the mode. Even: the rest is the image. Odd: the rest
// describes a valid image of up to four blocks (each in either order), then a
// list of (offset, byte) mutations applied to it; this gets past the CRC
// checks far more often than random bytes do.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "mixer/midi/obin.h"
#include "mixer/midi/obin_file_buffer.h"
#include "fuzz_images.h"

using namespace Orvo;
using Orvo::fuzz::Reader;
using Orvo::fuzz::mutatedImage;

namespace {

void exercise(const std::vector<uint8_t>& image)
{
    std::vector<uint8_t> raw = image;
    obinFindBlock(0x3A710018u, 0, raw.data(), raw.size());
    obinCountBlocks(0x3A710019u, raw.data(), raw.size());
    uint8_t header[obin::kHeaderSize];
    uint32_t offset;
    obinCopyHeader(header, &offset, 0x3A710018u, 1, raw.data(), raw.size());
    obinSwapImage(raw.data(), raw.size());
    obinCheckCrcs(raw.data(), raw.size());

    OBinFileBuffer buf;
    const bool ok = buf.ReadFromBuffer(image.data(), static_cast<int>(image.size()));
    if (ok != !buf.regions().empty() && !image.empty())
        __builtin_trap(); // a loaded image always has regions, a rejected one none
    buf.IndexRegions(); // also over bytes that failed to load
    for (const ObinRegion& r : buf.regions()) {
        volatile uint8_t sink = 0;
        for (const ObinEntryRef& e : r.entries)
            for (uint32_t i = 0; i < e.entry.length(); i += 61)
                sink = sink ^ e.data[i];
        (void)sink;
    }
    buf.LatestVersion(0x3A710018u);
    buf.FindRegion(0x3A710019u, 0);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::freopen("/dev/null", "w", stdout); // the reader prints an "ERROR:" line for every image it refuses
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    Reader in{data + 1, size - 1};
    if (data[0] & 1)
        exercise(mutatedImage(in));
    else
        exercise(std::vector<uint8_t>(data + 1, data + size));
    return 0;
}

// Fuzzes the firmware-update engine: a mutated image (never checked first,
// as the engine may be handed any bytes) written into the simulated
// bootloader, whose replies the fuzz bytes may replace with arbitrary ones,
// cut short or hold back. Runs on a virtual clock, so silences cost nothing.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <vector>

#include "fuzz_images.h"
#include "mixer/midi/fw_update.h"
#include "platform/win32/clock.h"
#include "sim/mixer/bootloader.h"

using namespace Orvo;

namespace {

struct Harness {
    fuzz::Reader* in = nullptr;
    sim::Bootloader* boot = nullptr;
    std::deque<std::vector<uint8_t>> replies;
    std::vector<uint8_t> current;
    unsigned lastPercent = 0;
    bool finalSeen = false;
};

Harness* h = nullptr;

bool sendHook(int length, const uint8_t* bytes)
{
    if (length <= 0 || static_cast<uint32_t>(length) > kFwUpdateMaxMessage)
        __builtin_trap(); // the engine never sends more than its frame
    h->boot->receive(bytes, static_cast<size_t>(length));
    return true;
}

bool recvHook(uint32_t* length, const uint8_t** bytes)
{
    // Once the fuzz bytes are used up the device answers faithfully.
    const uint8_t what = h->in->n ? h->in->byte() : 0xFF;
    if (what < 0x10) { // an arbitrary reply instead of the device's
        h->current.clear();
        for (int n = h->in->byte() % 30; n > 0; --n)
            h->current.push_back(h->in->byte());
        if (!h->current.empty())
            h->current[0] = static_cast<uint8_t>(0x80 + h->current[0] % 6);
    } else if (what < 0x14 || h->replies.empty()) { // nothing yet
        w32::Sleep(what < 0x14 ? 500 : 1);
        return false;
    } else {
        h->current = std::move(h->replies.front());
        h->replies.pop_front();
        if (what < 0x18)
            h->current.resize(h->current.size() / 2);
    }
    *length = static_cast<uint32_t>(h->current.size());
    *bytes = h->current.data();
    return true;
}

void progressHook(uint8_t percent, int)
{
    if (h->finalSeen || (percent != 100 && percent > 99))
        __builtin_trap(); // one final call, and nothing above 99 before it
    h->finalSeen = percent == 100;
    if (!h->finalSeen && percent < h->lastPercent)
        __builtin_trap(); // progress never moves back
    h->lastPercent = percent;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::freopen("/dev/null", "w", stdout); // the engine prints an "ERROR:" line for every refused image or reply
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    fuzz::Reader in{data, size};
    const uint8_t setup = in.byte();
    std::vector<uint8_t> image = fuzz::mutatedImage(in, 0x800);

    w32::VirtualClock clock(0xFFFFF000u, true); // wraps during the run
    w32::Clock* previous = w32::setClock(&clock);
    sim::Bootloader boot(0x3A710018u + (setup & 1), {{0x0000, 0x800}, {0x1000, 0x800}, {0x2000, 0x800}});
    boot.faults().wrongChunkCrcs = (setup >> 1) & 3;
    boot.faults().wrongRegionCrcs = (setup >> 3) & 3;
    boot.faults().wrongRegion = (setup & 0xE0) == 0xE0;
    Harness harness;
    harness.in = &in;
    harness.boot = &boot;
    h = &harness;
    boot.setReplySink([](const uint8_t* b, size_t n) { h->replies.emplace_back(b, b + n); });
    fwUpdateSetSendHook(sendHook);
    fwUpdateSetRecvHook(recvHook);
    UpdateForceFlag = (setup >> 5) & 1;

    const uint32_t result = fwUpdateRun(image.data(), static_cast<uint32_t>(image.size()), progressHook);
    // Every run but an unsent request ends with one final report; success
    // means the device was told the update is finished.
    if (result != FW_ERR_SEND && !harness.finalSeen)
        __builtin_trap();
    if (result == FW_OK && !boot.restarted())
        __builtin_trap();

    fwUpdateSetSendHook(nullptr);
    fwUpdateSetRecvHook(nullptr);
    w32::setClock(previous);
    h = nullptr;
    return 0;
}

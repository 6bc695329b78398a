#include "sim/machine/demo_client.h"
#include "sim/machine/kernel_session.h"

#include "classcomp/kernel/asio_info.h"
#include "classcomp/kernel/io_control.h"
#include "platform/object/process.h"
#include "platform/win32/machine_link.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

namespace orvo::demo {

namespace {

using namespace orvo::kernel;

// Largest magnitude per input channel in the record-ring half that clients
// read after block `count` (the other half is being written).
void gatherPeaks(const AsioInfo& info, const uint8_t* ring, uint64_t count, std::vector<double>& peaks)
{
    const uint32_t frames = info.blockFrames();
    const bool isFloat = info.sampleFormat() == 1;
    const size_t half = static_cast<size_t>(count & 1) * frames;
    for (size_t ch = 0; ch < peaks.size(); ++ch) {
        const uint8_t* p = ring + (ch * 2 * frames + half) * 4;
        double peak = peaks[ch];
        for (uint32_t i = 0; i < frames; ++i, p += 4) {
            double v;
            if (isFloat) {
                float f;
                std::memcpy(&f, p, 4);
                v = std::fabs(f);
            } else {
                int32_t x;
                std::memcpy(&x, p, 4);
                v = std::fabs(static_cast<double>(x)) / 2147483648.0;
            }
            peak = std::max(peak, v);
        }
        peaks[ch] = peak;
    }
}

void printPeaks(std::vector<double>& peaks)
{
    std::printf("  peak dBFS per input:");
    for (double& p : peaks) {
        if (p > 0)
            std::printf(" %5.1f", 20 * std::log10(p));
        else
            std::printf("  -inf");
        p = 0;
    }
    std::printf("\n");
}

constexpr uint32_t kRate = 48000;
constexpr uint32_t kBlockFrames = 256;

int streamAsClient(const w32::GUID& interfaceClass, int seconds)
{
    // Unless it is a process of its own beside the machine process, the
    // client is a simulated process of its own.
    ob::Ref<ob::Process> process = ob::Process::create();
    std::optional<ob::ProcessScope> scope;
    if (!w32::machine::remote())
        scope.emplace(process);
    KernelSession session;
    if (!session.open(interfaceClass)) {
        std::puts("client: the device interface did not open");
        return 1;
    }
    uint32_t rate = 0;
    uint32_t version = 0;
    StreamSetup setup;
    bool ok = session.message(kMsgDriverVersion, device_message::kGet, 0, &version) &&
              session.startStream(kRate, kBlockFrames, setup) &&
              session.message(kMsgSampleRate, device_message::kGet, 0, &rate);
    if (ok) {
        std::printf("client: driver version 0x%08X, registered in slot %u at %u Hz, %u-frame blocks\n", version,
                    setup.clientSlot, rate, kBlockFrames);
        uint8_t* record = reinterpret_cast<uint8_t*>(uintptr_t(setup.statusRecord));
        AsioInfo info(record);
        const uint8_t* ring = reinterpret_cast<const uint8_t*>(uintptr_t(setup.recordRing));
        std::vector<double> peaks(info.inputChannelCount(), 0.0);
        uint64_t wakeups = 0;
        BlockTally tally;
        bool counting = false;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        auto nextReport = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (std::chrono::steady_clock::now() < end) {
            if (session.waitBlock(100)) {
                ++wakeups;
                keepBoosted(record, setup.clientSlot);
                const uint64_t count = info.asioBlockCount();
                if (count > 0) {
                    gatherPeaks(info, ring, count, peaks);
                    // The wall clock counts from the stream's first block.
                    if (!counting)
                        tally.start(count, wallTicks());
                    counting = true;
                    tally.see(count);
                }
            }
            if (std::chrono::steady_clock::now() >= nextReport) {
                nextReport += std::chrono::seconds(1);
                std::printf("  blocks %6llu  wake-ups %6llu  measured rate %u Hz\n",
                            static_cast<unsigned long long>(info.asioBlockCount()),
                            static_cast<unsigned long long>(wakeups), info.measuredSampleRate());
                printPeaks(peaks);
            }
        }
        const kplat::Ticks now = wallTicks();
        const uint64_t expected = tally.expectedFrames(now, rate);
        const uint64_t delivered = tally.deliveredFrames(kBlockFrames);
        const int64_t lost = int64_t(expected) - int64_t(delivered);
        std::printf("  transfers: reads %u completed, %u failed; writes %u completed, %u failed (missed start "
                    "frames fail); late blocks %u\n",
                    info.readsCompleted(), info.readsFailed(), info.writesCompleted(), info.writesFailed(),
                    info.lateBlocks());
        // Frames count in whole blocks, and a transfer completes up to two
        // blocks at once: within two blocks delivery kept up.
        const double seconds = tally.seconds(now);
        std::printf("  rate check: %llu frames delivered in %.2f s of wall time = %.0f Hz against %u Hz: ",
                    static_cast<unsigned long long>(delivered), seconds, seconds > 0 ? double(delivered) / seconds : 0.0,
                    rate);
        if (lost <= int64_t(2 * kBlockFrames))
            std::puts("no frames lost");
        else
            std::printf("%lld frames lost (%.2f %%)\n", static_cast<long long>(lost), 100.0 * double(lost) / double(expected));
        ok = counting && wakeups > 0;
    }
    session.close();
    std::puts(ok ? "client: closed, buffers disposed" : "client: streaming did not run");
    return ok ? 0 : 1;
}

} // namespace

int runKernelClient(const w32::GUID& interfaceClass, int seconds)
{
    // A thread of its own: the kernel raises it while blocks are due, and
    // the raise ends with the thread.
    int result = 1;
    std::thread client([&] { result = streamAsClient(interfaceClass, seconds); });
    client.join();
    return result;
}

} // namespace orvo::demo

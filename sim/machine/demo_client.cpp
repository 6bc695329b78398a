#include "sim/machine/demo_client.h"
#include "sim/machine/kernel_session.h"

#include "classcomp/kernel/asio_info.h"
#include "classcomp/kernel/io_control.h"
#include "platform/kernel/io_manager.h"
#include "platform/object/event.h"
#include "platform/object/process.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
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

} // namespace

int runKernelClient(const std::u16string& link, int seconds)
{
    // The client is a process of its own.
    ob::Ref<ob::Process> process = ob::Process::create();
    ob::ProcessScope scope(process);
    KernelSession session;
    if (!session.open(link)) {
        std::puts("client: the device interface did not open");
        return 1;
    }
    uint32_t rate = 0;
    uint32_t version = 0;
    auto event = ob::Event::create(ob::Event::Kind::ManualReset, false);
    ob::Handle eventHandle = 0;
    process->insert(event, ob::kEventAllAccess, eventHandle);
    uint8_t in[8] = {};
    std::memcpy(in, &eventHandle, 4);
    uint8_t result[init_buffers_result::kSize] = {};
    bool ok = session.message(kMsgDriverVersion, device_message::kGet, 0, &version) &&
              session.message(kMsgClientProcessId, device_message::kSet, process->id()) &&
              session.message(kMsgSampleRate, device_message::kSet, 48000) &&
              session.message(kMsgSampleRate, device_message::kGet, 0, &rate) &&
              session.message(kMsgBlockFrames, device_message::kSet, 256) &&
              session.control(kIoCtlInitBuffers, in, sizeof in, result, sizeof result) &&
              session.message(kMsgClientStarted, device_message::kSet, 1);
    if (ok) {
        uint32_t recordAddress, ringAddress, slot;
        std::memcpy(&recordAddress, result + init_buffers_result::kStatusRecordOffset, 4);
        std::memcpy(&ringAddress, result + init_buffers_result::kRecordRingOffset, 4);
        std::memcpy(&slot, result + init_buffers_result::kClientSlotOffset, 4);
        std::printf("client: driver version 0x%08X, registered in slot %u at %u Hz, 256-frame blocks\n", version,
                    slot, rate);
        AsioInfo info(reinterpret_cast<uint8_t*>(uintptr_t(recordAddress)));
        const uint8_t* ring = reinterpret_cast<const uint8_t*>(uintptr_t(ringAddress));
        std::vector<double> peaks(info.inputChannelCount(), 0.0);
        uint64_t wakeups = 0;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        auto nextReport = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (std::chrono::steady_clock::now() < end) {
            if (ob::waitForObject(*event, 100) == ob::kWaitObject0) {
                ++wakeups;
                event->reset();
                if (const uint64_t count = info.asioBlockCount(); count > 0)
                    gatherPeaks(info, ring, count, peaks);
            }
            if (std::chrono::steady_clock::now() >= nextReport) {
                nextReport += std::chrono::seconds(1);
                std::printf("  blocks %6llu  wake-ups %6llu  measured rate %u Hz\n",
                            static_cast<unsigned long long>(info.asioBlockCount()),
                            static_cast<unsigned long long>(wakeups), info.measuredSampleRate());
                printPeaks(peaks);
            }
        }
        std::printf("  transfers: reads %u completed, %u failed; writes %u completed, %u failed; late blocks %u\n",
                    info.readsCompleted(), info.readsFailed(), info.writesCompleted(), info.writesFailed(),
                    info.lateBlocks());
        ok = info.asioBlockCount() > 0 && wakeups > 0;
    }
    session.close();
    std::puts(ok ? "client: closed, buffers disposed" : "client: streaming did not run");
    return ok ? 0 : 1;
}

} // namespace orvo::demo

#include "sim/machine/demo_client.h"

#include "classcomp/kernel/asio_info.h"
#include "classcomp/kernel/io_control.h"
#include "platform/kernel/io_manager.h"
#include "platform/object/event.h"
#include "platform/object/process.h"

#include <chrono>
#include <cstdio>
#include <cstring>

namespace orvo::demo {

namespace {

using namespace orvo::kernel;

struct Session {
    kplat::io::FileRef file;

    bool control(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength)
    {
        uint32_t bytes = 0;
        kplat::Status s = kplat::io::deviceIoControl(file, code, in, inLength, out, outLength, &bytes, kplat::Caller{});
        if (kplat::failed(s))
            std::printf("  request 0x%06X failed: 0x%08X\n", code, static_cast<uint32_t>(s));
        return kplat::succeeded(s);
    }
    bool message(uint32_t selector, uint32_t operation, uint32_t value, uint32_t* reply = nullptr)
    {
        uint8_t in[device_message::kSize] = {};
        uint8_t out[device_message::kReplySize] = {};
        std::memcpy(in + device_message::kSelectorOffset, &selector, 4);
        std::memcpy(in + device_message::kOperationOffset, &operation, 4);
        std::memcpy(in + device_message::kValueOffset, &value, 4);
        bool ok = control(kIoCtlMessage, in, sizeof in, out, sizeof out);
        if (ok && reply)
            std::memcpy(reply, out, 4);
        return ok;
    }
};

} // namespace

int runKernelClient(const std::u16string& link, int seconds)
{
    // The client is a process of its own.
    ob::Ref<ob::Process> process = ob::Process::create();
    ob::ProcessScope scope(process);
    Session session;
    if (kplat::failed(kplat::io::openDeviceInterface(link, kplat::Caller{}, session.file))) {
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
        uint32_t recordAddress, slot;
        std::memcpy(&recordAddress, result + init_buffers_result::kStatusRecordOffset, 4);
        std::memcpy(&slot, result + init_buffers_result::kClientSlotOffset, 4);
        std::printf("client: driver version 0x%08X, registered in slot %u at %u Hz, 256-frame blocks\n", version,
                    slot, rate);
        AsioInfo info(reinterpret_cast<uint8_t*>(uintptr_t(recordAddress)));
        uint64_t wakeups = 0;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        auto nextReport = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (std::chrono::steady_clock::now() < end) {
            if (ob::waitForObject(*event, 100) == ob::kWaitObject0) {
                ++wakeups;
                event->reset();
            }
            if (std::chrono::steady_clock::now() >= nextReport) {
                nextReport += std::chrono::seconds(1);
                std::printf("  blocks %6llu  wake-ups %6llu  measured rate %u Hz\n",
                            static_cast<unsigned long long>(info.asioBlockCount()),
                            static_cast<unsigned long long>(wakeups), info.measuredSampleRate());
            }
        }
        std::printf("  transfers: reads %u completed, %u failed; writes %u completed, %u failed; late blocks %u\n",
                    info.readsCompleted(), info.readsFailed(), info.writesCompleted(), info.writesFailed(),
                    info.lateBlocks());
        ok = info.asioBlockCount() > 0 && wakeups > 0;
    }
    kplat::io::closeFile(session.file);
    std::puts(ok ? "client: closed, buffers disposed" : "client: streaming did not run");
    return ok ? 0 : 1;
}

} // namespace orvo::demo

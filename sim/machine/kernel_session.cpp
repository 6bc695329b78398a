#include "sim/machine/kernel_session.h"

#include "classcomp/kernel/asio_info.h"
#include "classcomp/kernel/io_control.h"

#include <cstdio>
#include <cstring>

namespace orvo::demo {

using namespace orvo::kernel;

bool KernelSession::open(const std::u16string& link)
{
    return kplat::succeeded(kplat::io::openDeviceInterface(link, kplat::Caller{}, file));
}

bool KernelSession::control(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength)
{
    uint32_t bytes = 0;
    kplat::Status s = kplat::io::deviceIoControl(file, code, in, inLength, out, outLength, &bytes, kplat::Caller{});
    if (kplat::failed(s))
        std::printf("  request 0x%06X failed: 0x%08X\n", code, static_cast<uint32_t>(s));
    return kplat::succeeded(s);
}

bool KernelSession::message(uint32_t selector, uint32_t operation, uint32_t value, uint32_t* reply)
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

bool KernelSession::startStream(uint32_t processId, uint32_t eventHandle, uint32_t rate, uint32_t blockFrames,
                                StreamSetup& out)
{
    uint8_t in[kInitBuffersInputBytes] = {};
    std::memcpy(in, &eventHandle, 4);
    uint8_t result[init_buffers_result::kSize] = {};
    uint8_t negotiateIn[kNegotiateInputBytes] = {0, 0, 0, 0, 1, 0, 0, 0}; // keep the token
    uint8_t negotiateOut[kNegotiateOutputBytes] = {};
    const bool ok = message(kMsgClientProcessId, device_message::kSet, processId) &&
                    message(kMsgSampleRate, device_message::kSet, rate) &&
                    message(kMsgBlockFrames, device_message::kSet, blockFrames) &&
                    control(kIoCtlInitBuffers, in, sizeof in, result, sizeof result) &&
                    control(kIoCtlNegotiateThreadPriority, negotiateIn, sizeof negotiateIn, negotiateOut,
                            sizeof negotiateOut) &&
                    control(kIoCtlElevateThreadPriority, nullptr, 0, nullptr, 0);
    if (!ok)
        return false;
    std::memcpy(&out.statusRecord, result + init_buffers_result::kStatusRecordOffset, 4);
    std::memcpy(&out.recordRing, result + init_buffers_result::kRecordRingOffset, 4);
    std::memcpy(&out.clientSlot, result + init_buffers_result::kClientSlotOffset, 4);
    keepBoosted(reinterpret_cast<uint8_t*>(uintptr_t(out.statusRecord)), out.clientSlot);
    return message(kMsgClientStarted, device_message::kSet, 1);
}

void keepBoosted(uint8_t* statusRecord, uint32_t clientSlot)
{
    AsioInfo(statusRecord).setClientDeadline(clientSlot, kplat::kernelClock().now() + kplat::msToTicks(100));
}

void KernelSession::close()
{
    if (file)
        kplat::io::closeFile(file);
    file.reset();
}

} // namespace orvo::demo

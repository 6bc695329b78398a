#include "classcomp/asio/device_api.h"

#include "classcomp/asio/buffer_samples.h"
#include "classcomp/asio/debug_log.h"
#include "classcomp/asio/device_slots.h"
#include "classcomp/asio/registry_settings.h"
#include "classcomp/asio/transport.h"
#include "classcomp/asio/usb_device_open.h"
#include "classcomp/kernel/asio_info.h"
#include "classcomp/kernel/io_control.h"

namespace orvo::asio {

namespace {
namespace k = orvo::kernel;
constexpr uint32_t kSet = k::device_message::kSet;
} // namespace

AudioDeviceInterfaceWrapper* uOrvoAudioOpen(int slot)
{
    uLog(2, "uOrvoAudioOpen()");
    return uCreateOrvoAudioDeviceInterfaceWrapper(slot, true);
}

void uOrvoAudioClose(int slot, AudioDeviceInterfaceWrapper* wrapper)
{
    DeleteDeviceInterfaceWrapper(slot, wrapper);
}

uint32_t uOrvoAudioGetSampleRate(int slot, AudioDeviceInterfaceWrapper* wrapper)
{
    uint32_t rate = 0;
    {
        MappingLease record = GetAsioInfo(slot, wrapper);
        if (!record) {
            uLog(2, "Unable to get sample rate due to lacking driver connection.");
            return kFallbackSampleRate;
        }
        rate = k::AsioInfo(record.get()).sampleRate();
    }
    if (rate != 0)
        return rate;
    // Any rate set makes the kernel driver load its rate list.
    uOrvoAudioSetSampleRate(slot, wrapper, 0);
    MappingLease record = GetAsioInfo(slot, wrapper);
    rate = record ? k::AsioInfo(record.get()).sampleRate() : 0;
    if (rate != 0)
        return rate;
    uLog(2, "Unable to get sample rate due to lacking driver sample rate init state.");
    return kFallbackSampleRate;
}

int uOrvoAudioSetSampleRate(int slot, AudioDeviceInterfaceWrapper* wrapper, uint32_t rate)
{
    {
        MappingLease record = GetAsioInfo(slot, wrapper);
        if (!record)
            return 1;
        k::AsioInfo(record.get())
            .setClientBlockSamples(uint32_t(
                BufferSamplesForMillisecs(int32_t(RegistryReadBufferSizeMillisecs(slot)), int32_t(rate))));
    }
    if (!DeviceMessageValue(slot, wrapper, k::kMsgSampleRate, kSet, rate, nullptr)) {
        uLog(1, "Failed to set sample rate to %d", int(rate));
        return 1;
    }
    uLog(1, "Successfully set sample rate to %d", int(rate));
    return 0;
}

uint32_t BufferModeForMillisecs(int32_t milliseconds)
{
    return milliseconds <= 3 ? 0 : uint32_t(milliseconds % 3);
}

int uOrvoAudioSetKernelBufferMillisecs(int slot, AudioDeviceInterfaceWrapper* wrapper, int32_t milliseconds)
{
    uLog(2, "Setting kernel driver buffer millisecs to %d", milliseconds);
    RegistrySetBufferSizeMillisecs(slot, uint32_t(milliseconds));
    return PushKernelBufferMillisecs(slot, wrapper, milliseconds);
}

int PushKernelBufferMillisecs(int slot, AudioDeviceInterfaceWrapper* wrapper, int32_t milliseconds)
{
    const int32_t frames =
        BufferSamplesForMillisecs(milliseconds, int32_t(uOrvoAudioGetSampleRate(slot, wrapper)));
    const bool framesSent = DeviceMessageValue(slot, wrapper, k::kMsgBlockFrames, kSet, uint32_t(frames), nullptr);
    const bool modeSent =
        DeviceMessageValue(slot, wrapper, k::kMsgBufferMode, kSet, BufferModeForMillisecs(milliseconds), nullptr);
    return framesSent && modeSent ? 0 : 1;
}

bool IsDeviceAvailable(int slot)
{
    uLog(2, "Expensive call to check whether device is available.\n\n");
    w32::GUID guid;
    if (!uRegistryTryReadKernelInterfaceGuid(slot, guid))
        return false;
    return OpenUsbDevice(guid, true) == nullptr;
}

} // namespace orvo::asio

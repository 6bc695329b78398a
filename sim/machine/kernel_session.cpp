#include "sim/machine/kernel_session.h"

#include "classcomp/kernel/asio_info.h"
#include "classcomp/kernel/io_control.h"
#include "platform/win32/device_io.h"
#include "platform/win32/error.h"
#include "platform/win32/handles.h"
#include "platform/win32/setupapi.h"
#include "platform/win32/synch.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace orvo::demo {

using namespace orvo::kernel;

bool KernelSession::open(const w32::GUID& cls, uint32_t index)
{
    interfaceClass = cls;
    w32::HDEVINFO set = w32::SetupDiGetClassDevsW(&cls, nullptr, 0, w32::DIGCF_PRESENT | w32::DIGCF_DEVICEINTERFACE);
    if (set == w32::INVALID_HANDLE_VALUE)
        return false;
    w32::SP_DEVICE_INTERFACE_DATA data;
    data.cbSize = sizeof data;
    std::u16string path;
    if (w32::SetupDiEnumDeviceInterfaces(set, nullptr, &cls, index, &data)) {
        w32::DWORD needed = 0;
        w32::SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &needed, nullptr);
        std::vector<uint64_t> storage(needed / 8 + 1);
        auto* detail = reinterpret_cast<w32::SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
        detail->cbSize = sizeof(w32::SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (w32::SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed, nullptr, nullptr))
            path = detail->DevicePath;
    }
    w32::SetupDiDestroyDeviceInfoList(set);
    if (path.empty())
        return false;
    file = w32::CreateFileW(path.c_str(), w32::GENERIC_READ | w32::GENERIC_WRITE, 0, nullptr, w32::OPEN_EXISTING,
                            w32::FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == w32::INVALID_HANDLE_VALUE) {
        file = nullptr;
        return false;
    }
    return true;
}

bool KernelSession::control(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength)
{
    w32::DWORD bytes = 0;
    if (w32::DeviceIoControl(file, code, const_cast<void*>(in), inLength, out, outLength, &bytes, nullptr))
        return true;
    std::printf("  request 0x%06X failed: error %u\n", code, w32::GetLastError());
    return false;
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

bool KernelSession::startStream(uint32_t rate, uint32_t blockFrames, StreamSetup& out)
{
    uint32_t clientId = 0;
    if (!message(kMsgClientProcessId, device_message::kSet, w32::GetCurrentProcessId()) ||
        !message(kMsgSampleRate, device_message::kSet, rate) ||
        !message(kMsgBlockFrames, device_message::kSet, blockFrames) ||
        !control(kIoCtlGetClientId, nullptr, 0, &clientId, sizeof clientId))
        return false;
    const w32::GUID& g = interfaceClass;
    char name[128];
    std::snprintf(name, sizeof name, "OrvoUAC2AsioBufferReady%d%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  static_cast<int>(clientId), static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0],
                  g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    const std::u16string wide(name, name + std::strlen(name));
    event = w32::CreateEventW(nullptr, w32::TRUE, w32::FALSE, wide.c_str());
    if (!event)
        return false;
    uint8_t in[kInitBuffersInputBytes] = {};
    const uint32_t eventHandle = w32::handleValue(event);
    std::memcpy(in, &eventHandle, 4);
    uint8_t result[init_buffers_result::kSize] = {};
    uint8_t negotiateIn[kNegotiateInputBytes] = {0, 0, 0, 0, 1, 0, 0, 0}; // keep the token
    uint8_t negotiateOut[kNegotiateOutputBytes] = {};
    const bool ok = control(kIoCtlInitBuffers, in, sizeof in, result, sizeof result) &&
                    control(kIoCtlNegotiateThreadPriority, negotiateIn, sizeof negotiateIn, negotiateOut,
                            sizeof negotiateOut) &&
                    control(kIoCtlElevateThreadPriority, nullptr, 0, nullptr, 0);
    if (!ok)
        return false;
    std::memcpy(&out.statusRecord, result + init_buffers_result::kStatusRecordOffset, 4);
    std::memcpy(&out.recordRing, result + init_buffers_result::kRecordRingOffset, 4);
    std::memcpy(&out.clippedRing, result + init_buffers_result::kClippedRingOffset, 4);
    std::memcpy(&out.unclippedRing, result + init_buffers_result::kUnclippedRingOffset, 4);
    std::memcpy(&out.clientSlot, result + init_buffers_result::kClientSlotOffset, 4);
    keepBoosted(reinterpret_cast<uint8_t*>(uintptr_t(out.statusRecord)), out.clientSlot);
    return message(kMsgClientStarted, device_message::kSet, 1);
}

bool KernelSession::waitBlock(uint32_t ms)
{
    if (w32::WaitForSingleObject(event, ms) != w32::WAIT_OBJECT_0)
        return false;
    w32::ResetEvent(event);
    return true;
}

void keepBoosted(uint8_t* statusRecord, uint32_t clientSlot)
{
    AsioInfo info(statusRecord);
    info.setClientDeadline(clientSlot, info.lastBlockTime() + kplat::msToTicks(100));
}

void KernelSession::close()
{
    if (file)
        w32::CloseHandle(file);
    if (event)
        w32::CloseHandle(event);
    file = nullptr;
    event = nullptr;
}

} // namespace orvo::demo

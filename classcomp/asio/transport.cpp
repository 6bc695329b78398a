#include "classcomp/asio/transport.h"

#include "classcomp/asio/debug_log.h"
#include "classcomp/asio/device_slots.h"
#include "classcomp/kernel/asio_info.h"
#include "classcomp/kernel/io_control.h"
#include "platform/win32/clock.h"
#include "platform/win32/device_io.h"
#include "platform/win32/error.h"
#include "platform/win32/handles.h"

#include <cstring>

namespace orvo::asio {

namespace {

namespace k = orvo::kernel;
namespace msg = orvo::kernel::device_message;

uint32_t u32At(const void* p, size_t offset)
{
    uint32_t v;
    std::memcpy(&v, static_cast<const uint8_t*>(p) + offset, 4);
    return v;
}

bool isMessage(uint32_t code, const void* input, uint32_t inputLength)
{
    return code == k::kIoCtlMessage && input && inputLength >= msg::kSize;
}

bool isProcessIdMessage(uint32_t code, const void* input, uint32_t inputLength)
{
    return isMessage(code, input, inputLength) && u32At(input, msg::kSelectorOffset) == k::kMsgClientProcessId &&
           u32At(input, msg::kOperationOffset) == msg::kSet;
}

// Each request's name in the progress line and in the failure line.
struct RequestNames {
    uint32_t code;
    const char* progress;
    const char* failure;
};
constexpr RequestNames kRequestNames[] = {
    {k::kIoCtlGetClientId, "kIoCtlGetClientId", "get client id"},
    {k::kIoCtlInitBuffers, "kIoCtlInitBuffers", "init buffers"},
    {k::kIoCtlGetAsioInfo, "kIoCtlGetAsioInfo", "get asio info"},
    {k::kIoCtlDisposeOfBuffers, "kIoCtlDisposeOfBuffers", "dispose of buffers"},
    {k::kIoCtlMessage, "UnknownIoCtl", "message"},
};

const RequestNames& namesOf(uint32_t code)
{
    static constexpr RequestNames kUnknown{0, "UnknownIoCtl", "unknown"};
    for (const RequestNames& n : kRequestNames)
        if (n.code == code)
            return n;
    return kUnknown;
}

// Under the wrapper lock, on a valid handle: selector 9 straight through the
// handle, one attempt, no retry of its own (a failure leaves processIdSent
// clear, so it goes again before the next request).
void sendProcessIdLocked(AudioDeviceInterfaceWrapper& w)
{
    uint8_t request[msg::kSize] = {};
    uint8_t reply[msg::kReplySize] = {};
    const uint32_t fields[3] = {k::kMsgClientProcessId, msg::kSet, w32::GetCurrentProcessId()};
    std::memcpy(request, fields, sizeof fields);
    w32::DWORD bytes = 0;
    w.processIdSent =
        w32::DeviceIoControl(w.handle, k::kIoCtlMessage, request, sizeof request, reply, sizeof reply, &bytes, nullptr);
}

bool recordDead(const uint8_t* record)
{
    return k::AsioInfo(const_cast<uint8_t*>(record)).recordDead() != 0;
}

} // namespace

bool WrappedDeviceIoctl(int slot, AudioDeviceInterfaceWrapper* wrapper, uint32_t code, const void* input,
                        uint32_t inputLength, void* output, uint32_t outputLength)
{
    if (!wrapper) {
        uLog(1, "No handle in wrapped device IOCTL");
        return false;
    }
    AudioDeviceInterfaceWrapper& w = *wrapper;
    const bool processIdMessage = isProcessIdMessage(code, input, inputLength);
    for (int attempt = 0; attempt < kRequestAttempts; ++attempt) {
        if (!w.closing.load()) {
            w32::EnterCriticalSection(&w.lock);
            if (isMessage(code, input, inputLength))
                uLog(2, "%s %d", u32At(input, msg::kOperationOffset) ? "SET" : "GET",
                     int(u32At(input, msg::kSelectorOffset)));
            else
                uLog(2, "%s", namesOf(code).progress);
            const bool invalid = w.handle == w32::INVALID_HANDLE_VALUE;
            w32::DWORD error = w32::ERROR_INVALID_HANDLE;
            if (!invalid) {
                if (!w.processIdSent && !processIdMessage)
                    sendProcessIdLocked(w);
                w32::DWORD bytes = 0;
                if (w32::DeviceIoControl(w.handle, code, const_cast<void*>(input), inputLength, output, outputLength,
                                         &bytes, nullptr)) {
                    if (processIdMessage)
                        w.processIdSent = true;
                    w32::LeaveCriticalSection(&w.lock);
                    return true;
                }
                error = w32::GetLastError();
            } else {
                uLog(2, "Short-circuited failure of IOCTL due to INVALID_HANDLE_VALUE");
            }
            if (!w.noReopen.load() &&
                (attempt == 0 || error == w32::ERROR_BAD_COMMAND || error == w32::ERROR_BUSY || invalid)) {
                uLog(1, "Device handle became invalid; trying to re-open.");
                CloseWrapperHandle(w);
                OpenSlotDevice(slot, w);
                if (w.handle == w32::INVALID_HANDLE_VALUE) {
                    uLog(2, "Failed to re-create device handle; pausing");
                    w32::Sleep(kReopenPauseMs);
                }
            } else {
                uLog(1, "IOCTL 0x%lx (%s) failed, last error 0x%lx", static_cast<unsigned long>(code),
                     namesOf(code).failure, static_cast<unsigned long>(error));
            }
            w32::LeaveCriticalSection(&w.lock);
        }
        w32::Sleep(kRetrySleepMs);
    }
    return false;
}

bool SendDeviceMessage(int slot, AudioDeviceInterfaceWrapper* wrapper, uint32_t selector, uint32_t operation,
                       const uint8_t* payload, uint8_t* reply)
{
    uint8_t request[msg::kSize] = {};
    std::memcpy(request + msg::kSelectorOffset, &selector, 4);
    std::memcpy(request + msg::kOperationOffset, &operation, 4);
    if (payload)
        std::memcpy(request + msg::kValueOffset, payload, msg::kSize - msg::kValueOffset);
    uint8_t answer[msg::kReplySize] = {};
    if (!WrappedDeviceIoctl(slot, wrapper, k::kIoCtlMessage, request, sizeof request, answer, sizeof answer)) {
        uLog(1, "IOCTL failed in SendDeviceMessage\n");
        return false;
    }
    if (reply)
        std::memcpy(reply, answer, sizeof answer);
    return true;
}

bool DeviceMessageValue(int slot, AudioDeviceInterfaceWrapper* wrapper, uint32_t selector, uint32_t operation,
                        uint32_t value, uint32_t* outValue)
{
    uint8_t payload[msg::kSize - msg::kValueOffset] = {};
    std::memcpy(payload, &value, 4);
    uint8_t reply[msg::kReplySize] = {};
    if (!SendDeviceMessage(slot, wrapper, selector, operation, payload, reply)) {
        uLog(1, "Error: IOCTL failed to %s value %d",
             operation == msg::kGet   ? "get"
             : operation == msg::kSet ? "set"
                                      : "reset",
             int(selector));
        return false;
    }
    if (outValue)
        *outValue = u32At(reply, 0);
    return true;
}

MappingLease GetAsioInfo(int slot, AudioDeviceInterfaceWrapper* wrapper, bool refresh)
{
    if (!wrapper)
        return {};
    AudioDeviceInterfaceWrapper& w = *wrapper;
    // One hold of the lock from the request to the lease: no other thread
    // can replace the handle between them.
    w32::EnterCriticalSection(&w.lock);
    MappingLease lease;
    if (!refresh && w.asioInfo && !recordDead(w.asioInfo)) {
        lease = LeaseCurrentMappings(w, w.asioInfo);
        w32::LeaveCriticalSection(&w.lock);
        return lease;
    }
    uint8_t reply[k::kAsioInfoOutputBytes] = {};
    if (!WrappedDeviceIoctl(slot, &w, k::kIoCtlGetAsioInfo, nullptr, 0, reply, sizeof reply)) {
        uLog(1, "Bad result from get asio info IOCTL");
        w32::LeaveCriticalSection(&w.lock);
        return {};
    }
    auto* record = reinterpret_cast<uint8_t*>(uintptr_t(u32At(reply, 0)));
    if (!record) {
        w32::LeaveCriticalSection(&w.lock);
        return {};
    }
    if (recordDead(record)) {
        // The old handle stays open while leases on its mappings remain.
        CloseWrapperHandle(w);
        if (!WrappedDeviceIoctl(slot, &w, k::kIoCtlGetAsioInfo, nullptr, 0, reply, sizeof reply)) {
            uLog(1, "Second attempt -- bad result from get asio info IOCTL");
            w32::LeaveCriticalSection(&w.lock);
            return {};
        }
        record = reinterpret_cast<uint8_t*>(uintptr_t(u32At(reply, 0)));
        if (!record) {
            w32::LeaveCriticalSection(&w.lock);
            return {};
        }
    }
    w.asioInfo = record;
    lease = LeaseCurrentMappings(w, record);
    w32::LeaveCriticalSection(&w.lock);
    return lease;
}

} // namespace orvo::asio

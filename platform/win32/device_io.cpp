// The only user-mode file that calls the kernel side. Everything that
// crosses is plain data (paths, codes, buffers, the caller's ids and
// handles); with a machine process (machine_link.h) the same calls cross its
// connection instead.

#include "platform/win32/device_io.h"

#include "platform/kernel/io_manager.h"
#include "platform/kernel/status.h"
#include "platform/object/thread.h"
#include "platform/win32/error.h"
#include "platform/win32/handles.h"
#include "platform/win32/machine_link.h"
#include "platform/win32/setupapi.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace w32 {

namespace {

std::atomic<DeviceIoControlWatcher> g_watcher{nullptr};

constexpr auto kDeviceInfoSetType = static_cast<ob::ObjectType>(static_cast<uint16_t>(ob::ObjectType::FirstCustom) + 1);

class DeviceFile final : public ob::Object {
public:
    explicit DeviceFile(kplat::io::FileRef f) : ob::Object(ob::ObjectType::File), file(std::move(f)) {}
    const kplat::io::FileRef file;

protected:
    void lastHandleClosed(ob::Process&) override { kplat::io::closeFile(file); }
};

class DeviceInfoSet final : public ob::Object {
public:
    DeviceInfoSet(GUID c, std::vector<std::u16string> p) : ob::Object(kDeviceInfoSetType), cls(c), paths(std::move(p)) {}
    const GUID cls;
    const std::vector<std::u16string> paths;
};

kplat::Guid toKernel(const GUID& g)
{
    kplat::Guid k;
    k.data1 = g.Data1;
    k.data2 = g.Data2;
    k.data3 = g.Data3;
    std::memcpy(k.data4.data(), g.Data4, 8);
    return k;
}

kplat::Caller caller()
{
    return {GetCurrentProcessId(), GetCurrentThreadId(), ob::Process::currentRef()};
}

BOOL fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

std::mutex g_enumFaultMutex;
DWORD g_enumFaultError = 0;
int g_enumFaultCount = 0;
DWORD g_enumFaultsTaken = 0;

// True (and the last error set) when an armed enumeration fault fires.
bool enumerationFaultFires()
{
    std::lock_guard lock(g_enumFaultMutex);
    if (g_enumFaultCount == 0)
        return false;
    if (g_enumFaultCount > 0)
        --g_enumFaultCount;
    ++g_enumFaultsTaken;
    SetLastError(g_enumFaultError);
    return true;
}

} // namespace

DWORD errorFromNtStatus(int32_t status)
{
    namespace st = kplat::status;
    constexpr int32_t kDeviceBusy = kplat::statusFromBits(0x80000011);
    struct Row {
        int32_t status;
        DWORD error;
    };
    static const Row table[] = {
        {st::kSuccess, ERROR_SUCCESS},
        {st::kBufferOverflow, ERROR_MORE_DATA},
        {kDeviceBusy, ERROR_BUSY},
        {st::kUnsuccessful, ERROR_GEN_FAILURE},
        {st::kNotImplemented, ERROR_INVALID_FUNCTION},
        {st::kInvalidHandle, ERROR_INVALID_HANDLE},
        {st::kInvalidParameter, ERROR_INVALID_PARAMETER},
        {st::kNoSuchDevice, ERROR_FILE_NOT_FOUND},
        {st::kInvalidDeviceRequest, ERROR_INVALID_FUNCTION},
        {st::kAccessDenied, ERROR_ACCESS_DENIED},
        {st::kBufferTooSmall, ERROR_INSUFFICIENT_BUFFER},
        {st::kObjectTypeMismatch, ERROR_INVALID_HANDLE},
        {st::kObjectNameNotFound, ERROR_FILE_NOT_FOUND},
        {st::kInsufficientResources, ERROR_NO_SYSTEM_RESOURCES},
        {st::kDeviceNotConnected, ERROR_DEVICE_NOT_CONNECTED},
        {st::kIoTimeout, ERROR_SEM_TIMEOUT},
        {st::kInternalError, ERROR_INTERNAL_ERROR},
        {st::kCancelled, ERROR_OPERATION_ABORTED},
        {st::kCannotDelete, ERROR_ACCESS_DENIED},
        {st::kInvalidDeviceState, ERROR_BAD_COMMAND},
        {st::kRetry, ERROR_RETRY},
        {st::kNotFound, ERROR_NOT_FOUND},
    };
    for (const Row& r : table)
        if (r.status == status)
            return r.error;
    // Other successes map to success; other failures as the platform maps
    // a status it has no entry for.
    return status >= 0 && (static_cast<uint32_t>(status) >> 30) == 0 ? ERROR_SUCCESS : ERROR_MR_MID_NOT_FOUND;
}

HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, LPCWSTR enumerator, HWND parent, DWORD flags)
{
    (void)parent;
    if (!classGuid || enumerator || !(flags & DIGCF_DEVICEINTERFACE)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return INVALID_HANDLE_VALUE;
    }
    // Interfaces are listed only while their device is started, so "present" holds for all.
    std::vector<std::u16string> paths;
    if (!machine::remote())
        paths = kplat::io::deviceInterfaces(toKernel(*classGuid));
    else if (!machine::listInterfaces(*classGuid, paths))
        return INVALID_HANDLE_VALUE;
    auto set = std::make_shared<DeviceInfoSet>(*classGuid, std::move(paths));
    HANDLE h = nullptr;
    if (ob::Status s = insertHandle(set, 0, h); s != ob::Status::Ok) {
        SetLastError(errorFromObjectManager(s));
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* deviceInfo, const GUID* interfaceClass,
                                 DWORD memberIndex, SP_DEVICE_INTERFACE_DATA* data)
{
    if (deviceInfo || !interfaceClass)
        return fail(ERROR_INVALID_PARAMETER);
    ob::Ref<DeviceInfoSet> s = referenceHandle<DeviceInfoSet>(set, kDeviceInfoSetType, 0);
    if (!s)
        return FALSE;
    if (enumerationFaultFires())
        return FALSE;
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return fail(ERROR_INVALID_USER_BUFFER);
    if (!(*interfaceClass == s->cls) || memberIndex >= s->paths.size())
        return fail(ERROR_NO_MORE_ITEMS);
    data->InterfaceClassGuid = s->cls;
    data->Flags = SPINT_ACTIVE;
    data->Reserved = memberIndex + 1;
    return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, const SP_DEVICE_INTERFACE_DATA* data,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD detailSize,
                                      DWORD* requiredSize, SP_DEVINFO_DATA* deviceInfo)
{
    if (deviceInfo)
        return fail(ERROR_INVALID_PARAMETER);
    ob::Ref<DeviceInfoSet> s = referenceHandle<DeviceInfoSet>(set, kDeviceInfoSetType, 0);
    if (!s)
        return FALSE;
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved == 0
        || data->Reserved > s->paths.size())
        return fail(ERROR_INVALID_PARAMETER);
    const std::u16string& path = s->paths[data->Reserved - 1];
    const DWORD needed =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (path.size() + 1) * sizeof(WCHAR));
    if (requiredSize)
        *requiredSize = needed;
    if (!detail)
        return fail(detailSize == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_USER_BUFFER);
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
        return fail(ERROR_INVALID_USER_BUFFER);
    if (detailSize < needed)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(detail->DevicePath, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    return TRUE;
}

void failInterfaceEnumeration(DWORD error, int count)
{
    std::lock_guard lock(g_enumFaultMutex);
    g_enumFaultError = error;
    g_enumFaultCount = count;
    g_enumFaultsTaken = 0;
}

DWORD failedInterfaceEnumerations()
{
    std::lock_guard lock(g_enumFaultMutex);
    return g_enumFaultsTaken;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set)
{
    if (!referenceHandle<DeviceInfoSet>(set, kDeviceInfoSetType, 0))
        return FALSE;
    return CloseHandle(set);
}

HANDLE CreateFileW(LPCWSTR path, DWORD desiredAccess, DWORD shareMode, const SECURITY_ATTRIBUTES* attributes,
                   DWORD creationDisposition, DWORD flags, HANDLE templateFile)
{
    (void)shareMode;
    (void)attributes;
    (void)flags; // requests are synchronous whether or not the handle is overlapped
    if (!path || templateFile) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (creationDisposition != OPEN_EXISTING) {
        SetLastError(ERROR_ACCESS_DENIED); // devices are not made by opening them
        return INVALID_HANDLE_VALUE;
    }
    if (machine::remote())
        return machine::createFile(path, desiredAccess);
    kplat::io::FileRef file;
    const kplat::Status st = kplat::io::openDeviceInterface(path, caller(), file);
    if (kplat::failed(st)) {
        SetLastError(errorFromNtStatus(st));
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = nullptr;
    if (ob::Status s = insertHandle(std::make_shared<DeviceFile>(file), desiredAccess, h); s != ob::Status::Ok) {
        kplat::io::closeFile(file);
        SetLastError(errorFromObjectManager(s));
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return h;
}

void watchDeviceIoControl(DeviceIoControlWatcher watcher) { g_watcher.store(watcher); }

BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID input, DWORD inputLength, LPVOID output,
                     DWORD outputLength, DWORD* bytesReturned, OVERLAPPED* overlapped)
{
    if (overlapped || !bytesReturned || (!input && inputLength) || (!output && outputLength))
        return fail(ERROR_INVALID_PARAMETER);
    *bytesReturned = 0;
    if (const DeviceIoControlWatcher watcher = g_watcher.load())
        watcher(ioControlCode, input, inputLength);
    if (machine::remote())
        return machine::deviceIoControl(device, ioControlCode, input, inputLength, output, outputLength, bytesReturned);
    ob::Ref<DeviceFile> f = referenceHandle<DeviceFile>(device, ob::ObjectType::File, 0);
    if (!f)
        return FALSE;
    uint32_t bytes = 0;
    const kplat::Status st =
        kplat::io::deviceIoControl(f->file, ioControlCode, input, inputLength, output, outputLength, &bytes, caller());
    const DWORD error = errorFromNtStatus(st);
    if (kplat::failed(st) && (static_cast<uint32_t>(st) >> 30) == 3) // an error: nothing came back
        return fail(error);
    *bytesReturned = bytes;
    if (error != ERROR_SUCCESS)
        return fail(error); // a warning: what was returned stands
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

} // namespace w32

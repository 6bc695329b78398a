#include "classcomp/asio/usb_device_open.h"

#include "classcomp/asio/debug_log.h"
#include "platform/win32/device_io.h"
#include "platform/win32/error.h"
#include "platform/win32/setupapi.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

namespace orvo::asio {

namespace {

constexpr size_t kMaxPathChars = 260;

std::string narrow(const w32::WCHAR* text)
{
    std::string out;
    for (; *text; ++text)
        out += *text < 0x80 ? char(*text) : '?';
    return out;
}

w32::HANDLE openInterface(w32::HDEVINFO set, const w32::SP_DEVICE_INTERFACE_DATA& data)
{
    w32::DWORD needed = 0;
    w32::SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &needed, nullptr);
    if (needed < sizeof(w32::SP_DEVICE_INTERFACE_DETAIL_DATA_W))
        needed = sizeof(w32::SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    auto* detail = static_cast<w32::SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(std::malloc(needed));
    if (!detail) {
        uLog(3, "Failed to allocate function class device data");
        return w32::INVALID_HANDLE_VALUE;
    }
    detail->cbSize = sizeof(w32::SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!w32::SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed, nullptr, nullptr)) {
        uLog(3, "Failed to get device interface detail");
        std::free(detail);
        return w32::INVALID_HANDLE_VALUE;
    }
    w32::WCHAR path[kMaxPathChars] = {};
    size_t n = 0;
    while (n + 1 < kMaxPathChars && detail->DevicePath[n]) {
        path[n] = detail->DevicePath[n];
        ++n;
    }
    std::free(detail);
    w32::HANDLE h = w32::CreateFileW(path, w32::GENERIC_READ | w32::GENERIC_WRITE,
                                     w32::FILE_SHARE_READ | w32::FILE_SHARE_WRITE, nullptr, w32::OPEN_EXISTING,
                                     w32::FILE_FLAG_OVERLAPPED, nullptr);
    if (h == w32::INVALID_HANDLE_VALUE)
        uLog(3, "FAILED to open %s\n", narrow(path).c_str());
    return h;
}

} // namespace

w32::HANDLE OpenUsbDevice(const w32::GUID& interfaceClass, bool probe)
{
    w32::HDEVINFO set =
        w32::SetupDiGetClassDevsW(&interfaceClass, nullptr, 0, w32::DIGCF_PRESENT | w32::DIGCF_DEVICEINTERFACE);
    if (set == w32::INVALID_HANDLE_VALUE) {
        uLog(1, "Unable to get class devices for GUID");
        return w32::INVALID_HANDLE_VALUE;
    }
    w32::HANDLE result = w32::INVALID_HANDLE_VALUE;
    uint32_t failedIndexes = 0;
    for (w32::DWORD index = 0;; ++index) {
        w32::SP_DEVICE_INTERFACE_DATA data;
        data.cbSize = sizeof data;
        if (!w32::SetupDiEnumDeviceInterfaces(set, nullptr, &interfaceClass, index, &data)) {
            if (w32::GetLastError() == w32::ERROR_NO_MORE_ITEMS) {
                uLog(2, "OpenUsbDevice -- no more items");
                break;
            }
            if (++failedIndexes >= kMaxFailedInterfaceIndexes) {
                uLog(1, "OpenUsbDevice -- giving up after %u failed indexes", failedIndexes);
                break;
            }
            continue;
        }
        if (probe) {
            result = nullptr;
            break;
        }
        result = openInterface(set, data);
        if (result != w32::INVALID_HANDLE_VALUE)
            break;
    }
    w32::SetupDiDestroyDeviceInfoList(set);
    return result;
}

} // namespace orvo::asio

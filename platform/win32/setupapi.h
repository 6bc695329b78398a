#pragma once
// Device-interface enumeration in the manner of SetupAPI: the present
// interfaces of a class GUID, in the order they were registered, and their
// paths, which CreateFileW opens (device_io.h).

#include "platform/win32/types.h"
#include "platform/win32/window.h"

namespace w32 {

using HDEVINFO = HANDLE;

inline constexpr DWORD DIGCF_PRESENT = 0x02;
inline constexpr DWORD DIGCF_DEVICEINTERFACE = 0x10;
inline constexpr DWORD SPINT_ACTIVE = 0x1;
inline constexpr DWORD ERROR_INVALID_FLAGS = 1004;

struct SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize = 0; // the caller sets sizeof(SP_DEVICE_INTERFACE_DATA)
    GUID InterfaceClassGuid;
    DWORD Flags = 0;
    uintptr_t Reserved = 0;
};

struct SP_DEVICE_INTERFACE_DETAIL_DATA_W {
    DWORD cbSize = 0; // the caller sets sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)
    WCHAR DevicePath[1];
};

struct SP_DEVINFO_DATA;

// Only interface enumeration (DIGCF_DEVICEINTERFACE with a class GUID) is
// offered; anything else fails with ERROR_INVALID_FLAGS. The set is a
// snapshot taken now. INVALID_HANDLE_VALUE on failure.
HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, LPCWSTR enumerator, HWND parent, DWORD flags);
// ERROR_NO_MORE_ITEMS past the last interface.
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* deviceInfo, const GUID* interfaceClass,
                                 DWORD memberIndex, SP_DEVICE_INTERFACE_DATA* data);
// With detail null and size 0: ERROR_INSUFFICIENT_BUFFER and the size needed.
BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, const SP_DEVICE_INTERFACE_DATA* data,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD detailSize,
                                      DWORD* requiredSize, SP_DEVINFO_DATA* deviceInfo);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);

// Fault injection: the next `count` SetupDiEnumDeviceInterfaces calls (-1:
// all) fail with `error`; the number of calls failed so since.
void failInterfaceEnumeration(DWORD error, int count);
DWORD failedInterfaceEnumerations();

} // namespace w32

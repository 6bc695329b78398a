#pragma once
// The entry points the driver library exports, with C linkage and their
// platform names, and the process attach/detach handler (DllMain).

#include "platform/com/com.h"
#include "platform/win32/types.h"

#include <cstdint>

#define ORVO_ASIO_EXPORT __attribute__((visibility("default")))

namespace orvo::asio {
inline constexpr w32::DWORD DLL_PROCESS_DETACH = 0;
inline constexpr w32::DWORD DLL_PROCESS_ATTACH = 1;
inline constexpr w32::DWORD DLL_THREAD_ATTACH = 2;
inline constexpr w32::DWORD DLL_THREAD_DETACH = 3;
} // namespace orvo::asio

extern "C" {
ORVO_ASIO_EXPORT com::HRESULT DllCanUnloadNow();
ORVO_ASIO_EXPORT com::HRESULT DllGetClassObject(com::REFCLSID clsid, com::REFIID riid, void** object);
ORVO_ASIO_EXPORT w32::BOOL DllMain(void* instance, w32::DWORD reason, void* reserved);
ORVO_ASIO_EXPORT com::HRESULT DllRegisterServer();
ORVO_ASIO_EXPORT com::HRESULT DllUnregisterServer();
ORVO_ASIO_EXPORT bool uOrvoAudioIsDeviceAvailable(int32_t slot);
}

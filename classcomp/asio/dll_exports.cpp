#include "classcomp/asio/dll_exports.h"

#include "classcomp/asio/com_server.h"
#include "classcomp/asio/debug_log.h"
#include "classcomp/asio/device_api.h"
#include "classcomp/asio/device_slots.h"
#include "classcomp/asio/driver_threads.h"

using namespace orvo::asio;

extern "C" {

// Not while a monitor or statistics thread still runs the library's code.
com::HRESULT DllCanUnloadNow()
{
    const com::HRESULT objects = CanUnloadNow();
    return objects == com::S_OK && DriverThreadsRunning() ? com::S_FALSE : objects;
}

com::HRESULT DllGetClassObject(com::REFCLSID clsid, com::REFIID riid, void** object)
{
    return GetClassObject(clsid, riid, object);
}

w32::BOOL DllMain(void* instance, w32::DWORD reason, void* reserved)
{
    (void)instance;
    (void)reserved;
    if (reason == DLL_PROCESS_DETACH) {
        uLog(2, "DLL_PROCESS_DETACH invoked.");
        ShutdownDeviceSlots();
        ReleaseDeviceSlotTable();
    }
    return w32::TRUE;
}

// The kernel driver writes and removes the registration of each device.
com::HRESULT DllRegisterServer()
{
    return com::S_OK;
}

com::HRESULT DllUnregisterServer()
{
    return com::S_OK;
}

bool uOrvoAudioIsDeviceAvailable(int32_t slot)
{
    return IsDeviceAvailable(slot);
}

} // extern "C"

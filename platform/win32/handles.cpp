#include "platform/win32/handles.h"

#include "platform/object/thread.h"
#include "platform/win32/error.h"

namespace w32 {

ob::Status insertHandle(ob::Ref<ob::Object> object, DWORD access, HANDLE& out)
{
    ob::Handle h = 0;
    ob::Status s = ob::Process::current().insert(std::move(object), access, h);
    out = s == ob::Status::Ok ? handleFromValue(h) : nullptr;
    return s;
}

ob::Ref<ob::Object> referenceHandleAny(HANDLE handle, ob::ObjectType type, DWORD access)
{
    ob::Ref<ob::Object> o;
    ob::Status s = ob::Process::current().reference(handleValue(handle), type, access, o);
    if (s != ob::Status::Ok) {
        SetLastError(errorFromObjectManager(s));
        return nullptr;
    }
    return o;
}

BOOL CloseHandle(HANDLE handle)
{
    const uint32_t v = handleValue(handle);
    if (v == ob::kCurrentProcessHandle || v == ob::kCurrentThreadHandle)
        return TRUE; // closing a pseudo handle does nothing, as on the platform
    ob::Status s = ob::Process::current().close(v);
    if (s != ob::Status::Ok) {
        SetLastError(errorFromObjectManager(s));
        return FALSE;
    }
    return TRUE;
}

BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE sourceHandle, HANDLE targetProcess, HANDLE* targetHandle,
                     DWORD desiredAccess, BOOL inheritHandle, DWORD options)
{
    (void)inheritHandle;
    ob::Ref<ob::Process> source = referenceHandle<ob::Process>(sourceProcess, ob::ObjectType::Process, 0);
    ob::Ref<ob::Process> target = referenceHandle<ob::Process>(targetProcess, ob::ObjectType::Process, 0);
    if (!source || !target)
        return FALSE;
    ob::Handle h = 0;
    ob::Status s =
        source->duplicate(handleValue(sourceHandle), *target, desiredAccess, (options & DUPLICATE_SAME_ACCESS) != 0, h);
    if (s != ob::Status::Ok) {
        SetLastError(errorFromObjectManager(s));
        return FALSE;
    }
    if (options & DUPLICATE_CLOSE_SOURCE)
        source->close(handleValue(sourceHandle));
    if (targetHandle)
        *targetHandle = handleFromValue(h);
    return TRUE;
}

HANDLE GetCurrentProcess()
{
    return handleFromValue(ob::kCurrentProcessHandle);
}

HANDLE GetCurrentThread()
{
    return handleFromValue(ob::kCurrentThreadHandle);
}

DWORD GetCurrentProcessId()
{
    return ob::Process::current().id();
}

DWORD GetCurrentThreadId()
{
    return ob::Thread::current()->id();
}

} // namespace w32

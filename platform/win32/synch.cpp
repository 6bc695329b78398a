#include "platform/win32/synch.h"

#include "platform/object/event.h"
#include "platform/object/shared_signal.h"
#include "platform/object/thread.h"
#include "platform/registry/registry.h"
#include "platform/win32/error.h"
#include "platform/win32/handles.h"
#include "platform/win32/machine_link.h"
#include "platform/win32/security.h"

#include <string>
#include <vector>

namespace w32 {

namespace {

std::string objectName(LPCWSTR name)
{
    std::u16string s;
    for (; *name; ++name)
        s += *name;
    return reg::utf8(s);
}

// A machine event (machine_link.h) is set, reset and waited on in its shared page.
std::shared_ptr<ob::SharedSignal> machineEventOf(HANDLE h, DWORD access, bool& denied)
{
    return machine::sharedEvent(h, access, denied).signal;
}

ob::Ref<ob::Event> eventOf(HANDLE h)
{
    return referenceHandle<ob::Event>(h, ob::ObjectType::Event, EVENT_MODIFY_STATE);
}

// Only objects that can be waited on; others fail as the platform's do.
ob::Ref<ob::DispatcherObject> waitableOf(HANDLE h)
{
    ob::Ref<ob::Object> o;
    ob::Status s = ob::Process::current().reference(handleValue(h), ob::ObjectType::Event, SYNCHRONIZE, o);
    for (ob::ObjectType t : {ob::ObjectType::Thread, ob::ObjectType::Process}) {
        if (s != ob::Status::TypeMismatch)
            break;
        s = ob::Process::current().reference(handleValue(h), t, SYNCHRONIZE, o);
    }
    if (s != ob::Status::Ok) {
        SetLastError(errorFromObjectManager(s));
        return nullptr;
    }
    return std::static_pointer_cast<ob::DispatcherObject>(o);
}

} // namespace

HANDLE CreateEventW(const SECURITY_ATTRIBUTES* attributes, BOOL manualReset, BOOL initialState, LPCWSTR name)
{
    if (!checkSecurityAttributes(attributes))
        return nullptr;
    if (name && *name && machine::remote())
        return machine::createEvent(manualReset, initialState, name);
    const ob::Event::Kind kind = manualReset ? ob::Event::Kind::ManualReset : ob::Event::Kind::AutoReset;
    ob::Ref<ob::Event> event;
    bool existed = false;
    if (name && *name) {
        ob::Event::Named named = ob::Event::createNamed(objectName(name), kind, initialState != FALSE);
        if (named.status != ob::Status::Ok) {
            SetLastError(errorFromObjectManager(named.status));
            return nullptr;
        }
        event = std::move(named.event);
        existed = named.existed;
    } else {
        event = ob::Event::create(kind, initialState != FALSE);
    }
    HANDLE h = nullptr;
    if (ob::Status s = insertHandle(event, EVENT_ALL_ACCESS, h); s != ob::Status::Ok) {
        SetLastError(errorFromObjectManager(s));
        return nullptr;
    }
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

HANDLE OpenEventW(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name)
{
    (void)inheritHandle;
    if (!name || !*name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (machine::remote())
        return machine::openEvent(desiredAccess, name);
    ob::Ref<ob::Event> event;
    if (ob::Status s = ob::Event::openNamed(objectName(name), event); s != ob::Status::Ok) {
        SetLastError(errorFromObjectManager(s));
        return nullptr;
    }
    HANDLE h = nullptr;
    if (ob::Status s = insertHandle(event, desiredAccess, h); s != ob::Status::Ok) {
        SetLastError(errorFromObjectManager(s));
        return nullptr;
    }
    return h;
}

BOOL SetEvent(HANDLE event)
{
    bool denied = false;
    if (auto shared = machineEventOf(event, EVENT_MODIFY_STATE, denied)) {
        shared->set();
        return TRUE;
    }
    if (denied)
        return FALSE;
    ob::Ref<ob::Event> e = eventOf(event);
    if (!e)
        return FALSE;
    e->set(0);
    return TRUE;
}

BOOL ResetEvent(HANDLE event)
{
    bool denied = false;
    if (auto shared = machineEventOf(event, EVENT_MODIFY_STATE, denied)) {
        shared->reset();
        return TRUE;
    }
    if (denied)
        return FALSE;
    ob::Ref<ob::Event> e = eventOf(event);
    if (!e)
        return FALSE;
    e->reset();
    return TRUE;
}

BOOL PulseEvent(HANDLE event)
{
    bool denied = false;
    if (auto shared = machineEventOf(event, EVENT_MODIFY_STATE, denied)) {
        shared->pulse();
        return TRUE;
    }
    if (denied)
        return FALSE;
    ob::Ref<ob::Event> e = eventOf(event);
    if (!e)
        return FALSE;
    e->pulse(0);
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds)
{
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    bool denied = false;
    if (count == 1) {
        const machine::SharedEvent shared = machine::sharedEvent(handles[0], SYNCHRONIZE, denied);
        if (shared.signal)
            return shared.signal->wait(shared.autoReset, milliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
        if (denied)
            return WAIT_FAILED;
    } else {
        // A machine event is waited on alone: its state is in another
        // process's page, outside this process's dispatcher.
        for (DWORD i = 0; i < count; ++i)
            if (machine::sharedEvent(handles[i], 0, denied).signal) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return WAIT_FAILED;
            }
    }
    std::vector<ob::Ref<ob::DispatcherObject>> refs; // held for the wait
    std::vector<ob::DispatcherObject*> objects;
    for (DWORD i = 0; i < count; ++i) {
        ob::Ref<ob::DispatcherObject> o = waitableOf(handles[i]);
        if (!o)
            return WAIT_FAILED;
        objects.push_back(o.get());
        refs.push_back(std::move(o));
    }
    ob::Status error = ob::Status::Ok;
    const DWORD r = ob::waitForObjects(objects, waitAll != FALSE, milliseconds, nullptr, &error);
    if (r == WAIT_FAILED)
        SetLastError(errorFromObjectManager(error));
    return r;
}

} // namespace w32

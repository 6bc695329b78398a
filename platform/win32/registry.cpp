#include "platform/win32/registry.h"

#include "platform/object/process.h"
#include "platform/registry/registry.h"
#include "platform/win32/error.h"
#include "platform/win32/handles.h"

#include <algorithm>
#include <cstring>

namespace w32 {

namespace {

class KeyObject final : public ob::Object {
public:
    explicit KeyObject(reg::KeyRef k) : ob::Object(ob::ObjectType::Key), key(std::move(k)) {}
    const reg::KeyRef key;
};

LSTATUS errorFromRegistry(reg::Error e)
{
    switch (e) {
    case reg::Error::Ok: return ERROR_SUCCESS;
    case reg::Error::NotFound: return ERROR_FILE_NOT_FOUND;
    case reg::Error::HasSubkeys: return ERROR_ACCESS_DENIED;
    case reg::Error::ChildMustBeVolatile: return ERROR_CHILD_MUST_BE_VOLATILE;
    case reg::Error::InvalidName: return ERROR_INVALID_PARAMETER;
    case reg::Error::KeyDeleted: return ERROR_KEY_DELETED;
    case reg::Error::Io: return ERROR_REGISTRY_IO_FAILED;
    case reg::Error::Corrupt: return ERROR_REGISTRY_CORRUPT;
    }
    return ERROR_GEN_FAILURE;
}

std::u16string text(LPCWSTR s)
{
    return s ? std::u16string(s) : std::u16string();
}

// The opened key behind `key` with at least `access`.
LSTATUS resolve(HKEY key, REGSAM access, reg::KeyRef& out)
{
    if (key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER) {
        out = reg::Registry::machine().hiveRoot(key == HKEY_LOCAL_MACHINE ? reg::Hive::LocalMachine
                                                                          : reg::Hive::CurrentUser);
        return ERROR_SUCCESS;
    }
    const uint32_t h = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(key));
    ob::Ref<KeyObject> k;
    ob::Status s = ob::Process::current().reference(h, ob::ObjectType::Key, access & ~0x20000u, k);
    if (s != ob::Status::Ok)
        return static_cast<LSTATUS>(errorFromObjectManager(s));
    out = k->key;
    return ERROR_SUCCESS;
}

LSTATUS insertKey(const reg::KeyRef& key, REGSAM access, HKEY* result)
{
    HANDLE h = nullptr;
    ob::Status s = insertHandle(std::make_shared<KeyObject>(key), access, h);
    if (s != ob::Status::Ok)
        return static_cast<LSTATUS>(errorFromObjectManager(s));
    *result = reinterpret_cast<HKEY>(h);
    return ERROR_SUCCESS;
}

// Copies a value's data out as RegQueryValueEx and RegEnumValue do.
LSTATUS copyData(const reg::Value& v, DWORD* type, BYTE* data, DWORD* size)
{
    if (type)
        *type = static_cast<DWORD>(v.type);
    if (!size)
        return data ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
    const DWORD needed = static_cast<DWORD>(v.data.size());
    if (data) {
        if (*size < needed) {
            *size = needed;
            return ERROR_MORE_DATA;
        }
        if (needed)
            std::memcpy(data, v.data.data(), needed);
    }
    *size = needed;
    return ERROR_SUCCESS;
}

LSTATUS copyName(const std::u16string& name, LPWSTR out, DWORD* length)
{
    if (!out || !length)
        return ERROR_INVALID_PARAMETER;
    if (*length < name.size() + 1)
        return ERROR_MORE_DATA;
    std::copy(name.begin(), name.end(), out);
    out[name.size()] = 0;
    *length = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

} // namespace

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired, HKEY* result)
{
    (void)options;
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    reg::KeyRef base, opened;
    if (LSTATUS e = resolve(key, 0, base))
        return e;
    if (reg::Error e = reg::Registry::machine().open(base, text(subKey), opened); e != reg::Error::Ok)
        return errorFromRegistry(e);
    return insertKey(opened, desired, result);
}

LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options, REGSAM desired,
                        const SECURITY_ATTRIBUTES* attributes, HKEY* result, DWORD* disposition)
{
    (void)reserved;
    (void)keyClass;
    (void)attributes;
    if (!result || (options & ~REG_OPTION_VOLATILE))
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    reg::KeyRef base, made;
    if (LSTATUS e = resolve(key, 0, base))
        return e;
    bool created = false;
    reg::Error e = reg::Registry::machine().create(base, text(subKey), (options & REG_OPTION_VOLATILE) != 0, made,
                                                   &created);
    if (e != reg::Error::Ok)
        return errorFromRegistry(e);
    if (disposition)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return insertKey(made, desired, result);
}

LSTATUS RegCloseKey(HKEY key)
{
    if (key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER)
        return ERROR_SUCCESS;
    const uint32_t h = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(key));
    ob::Ref<KeyObject> k;
    if (ob::Status s = ob::Process::current().reference(h, ob::ObjectType::Key, 0, k); s != ob::Status::Ok)
        return static_cast<LSTATUS>(errorFromObjectManager(s));
    return static_cast<LSTATUS>(errorFromObjectManager(ob::Process::current().close(h)));
}

LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey)
{
    reg::KeyRef base;
    if (LSTATUS e = resolve(key, 0, base))
        return e;
    return errorFromRegistry(reg::Registry::machine().deleteKey(base, text(subKey)));
}

LSTATUS RegDeleteValueW(HKEY key, LPCWSTR valueName)
{
    reg::KeyRef k;
    if (LSTATUS e = resolve(key, KEY_SET_VALUE, k))
        return e;
    return errorFromRegistry(reg::Registry::machine().deleteValue(k, text(valueName)));
}

LSTATUS RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data, DWORD size)
{
    (void)reserved;
    if (!data && size)
        return ERROR_INVALID_PARAMETER; // the platform reads `size` bytes: refuse rather than guess
    reg::KeyRef k;
    if (LSTATUS e = resolve(key, KEY_SET_VALUE, k))
        return e;
    return errorFromRegistry(
        reg::Registry::machine().setValue(k, text(valueName), static_cast<reg::ValueType>(type), data, size));
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, DWORD* reserved, DWORD* type, BYTE* data, DWORD* size)
{
    if (reserved)
        return ERROR_INVALID_PARAMETER;
    reg::KeyRef k;
    if (LSTATUS e = resolve(key, KEY_QUERY_VALUE, k))
        return e;
    reg::Value v;
    if (reg::Error e = reg::Registry::machine().queryValue(k, text(valueName), v); e != reg::Error::Ok)
        return errorFromRegistry(e);
    return copyData(v, type, data, size);
}

LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, DWORD* nameLength, DWORD* reserved, LPWSTR keyClass,
                      DWORD* classLength, void* lastWriteTime)
{
    (void)keyClass;
    (void)lastWriteTime;
    if (reserved)
        return ERROR_INVALID_PARAMETER;
    if (classLength)
        *classLength = 0;
    reg::KeyRef k;
    if (LSTATUS e = resolve(key, KEY_ENUMERATE_SUB_KEYS, k))
        return e;
    std::vector<std::u16string> subs;
    if (reg::Error e = reg::Registry::machine().subkeys(k, subs); e != reg::Error::Ok)
        return errorFromRegistry(e);
    if (index >= subs.size())
        return ERROR_NO_MORE_ITEMS;
    return copyName(subs[index], name, nameLength);
}

LSTATUS RegEnumValueW(HKEY key, DWORD index, LPWSTR name, DWORD* nameLength, DWORD* reserved, DWORD* type,
                      BYTE* data, DWORD* dataSize)
{
    if (reserved)
        return ERROR_INVALID_PARAMETER;
    reg::KeyRef k;
    if (LSTATUS e = resolve(key, KEY_QUERY_VALUE, k))
        return e;
    std::vector<reg::Value> values;
    if (reg::Error e = reg::Registry::machine().values(k, values); e != reg::Error::Ok)
        return errorFromRegistry(e);
    if (index >= values.size())
        return ERROR_NO_MORE_ITEMS;
    if (LSTATUS e = copyName(values[index].name, name, nameLength))
        return e;
    return copyData(values[index], type, data, dataSize);
}

} // namespace w32

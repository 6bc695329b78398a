#include "platform/kernel/kernel_registry.h"

#include "platform/kernel/fault.h"
#include "platform/kernel/level.h"
#include "platform/registry/registry.h"

#include <map>
#include <mutex>
#include <string>

namespace kplat {

namespace {

// Kernel key handles: values from a table, never the address of anything, so
// a closed handle is recognised (a value is not reused) instead of reaching
// freed memory. Kernel handle values have the top bit set.
struct KeyTable {
    std::mutex mutex;
    std::map<uintptr_t, reg::KeyRef> open;
    uintptr_t next = 0x80000004;
};

KeyTable& keyTable()
{
    static KeyTable table;
    return table;
}

uintptr_t handleValue(KeyHandle key) { return reinterpret_cast<uintptr_t>(key); }

// The key behind an open handle; anything else is a violation, as the
// platform stops on an invalid kernel handle.
reg::KeyRef keyOf(KeyHandle key, const char* what)
{
    KeyTable& table = keyTable();
    std::lock_guard lock(table.mutex);
    auto it = table.open.find(handleValue(key));
    if (it == table.open.end())
        violation(std::string(what) + " with a registry key handle that is not open");
    return it->second;
}

Status fromRegistry(reg::Error e)
{
    switch (e) {
    case reg::Error::Ok: return status::kSuccess;
    case reg::Error::NotFound: return status::kObjectNameNotFound;
    case reg::Error::HasSubkeys: return status::kCannotDelete;
    case reg::Error::ChildMustBeVolatile: return status::kChildMustBeVolatile;
    case reg::Error::InvalidName: return status::kObjectNameInvalid;
    case reg::Error::KeyDeleted: return status::kKeyDeleted;
    case reg::Error::Io: return status::kRegistryIoFailed;
    case reg::Error::Corrupt: return status::kRegistryCorrupt;
    }
    return status::kUnsuccessful;
}

bool startsWithNoCase(std::u16string_view text, std::u16string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char16_t a = text[i], b = prefix[i];
        if (a >= u'A' && a <= u'Z')
            a = static_cast<char16_t>(a - u'A' + u'a');
        if (b >= u'A' && b <= u'Z')
            b = static_cast<char16_t>(b - u'A' + u'a');
        if (a != b)
            return false;
    }
    return true;
}

// "\Registry\Machine\X\Y" → "X\Y" under the machine hive, the only one the
// kernel names.
bool machineSubPath(std::u16string_view path, std::u16string_view& subPath)
{
    constexpr std::u16string_view machine = u"\\Registry\\Machine";
    if (!startsWithNoCase(path, machine))
        return false;
    subPath = path.substr(machine.size());
    if (!subPath.empty()) {
        if (subPath.front() != u'\\')
            return false;
        subPath.remove_prefix(1);
    }
    return true;
}

reg::KeyRef machineRoot()
{
    return reg::Registry::machine().hiveRoot(reg::Hive::LocalMachine);
}

Status newHandle(const reg::KeyRef& ref, KeyHandle* out)
{
    if (consumeFault(FaultKind::Allocation))
        return status::kInsufficientResources;
    KeyTable& table = keyTable();
    std::lock_guard lock(table.mutex);
    uintptr_t value = table.next;
    table.next += 4;
    table.open.emplace(value, ref);
    *out = reinterpret_cast<KeyHandle>(value);
    return status::kSuccess;
}

} // namespace

Status createRegistryKeyAbsolute(std::u16string_view path)
{
    requirePassive("creating a registry key");
    std::u16string_view sub;
    if (!machineSubPath(path, sub))
        return status::kObjectNameNotFound;
    reg::KeyRef key;
    return fromRegistry(reg::Registry::machine().create(machineRoot(), sub, false, key));
}

Status createKey(std::u16string_view path, KeyOptions options, KeyHandle* out, KeyDisposition* disposition)
{
    requirePassive("creating a registry key");
    *out = nullptr;
    std::u16string_view sub;
    if (!machineSubPath(path, sub))
        return status::kObjectNameNotFound;
    reg::Registry& registry = reg::Registry::machine();
    // Like the platform call, only the last component is made: its parent must exist.
    size_t cut = sub.rfind(u'\\');
    reg::KeyRef parent = machineRoot();
    if (cut != std::u16string_view::npos) {
        Status s = fromRegistry(registry.open(machineRoot(), sub.substr(0, cut), parent));
        if (failed(s))
            return s;
    }
    std::u16string_view leaf = cut == std::u16string_view::npos ? sub : sub.substr(cut + 1);
    reg::KeyRef key;
    bool created = false;
    Status s = fromRegistry(registry.create(parent, leaf, options == KeyOptions::Volatile, key, &created));
    if (failed(s))
        return s;
    if (disposition)
        *disposition = created ? KeyDisposition::CreatedNew : KeyDisposition::OpenedExisting;
    return newHandle(key, out);
}

Status openKey(std::u16string_view path, KeyHandle* out)
{
    requirePassive("opening a registry key");
    *out = nullptr;
    std::u16string_view sub;
    if (!machineSubPath(path, sub))
        return status::kObjectNameNotFound;
    reg::KeyRef key;
    Status s = fromRegistry(reg::Registry::machine().open(machineRoot(), sub, key));
    if (failed(s))
        return s;
    return newHandle(key, out);
}

Status setValueKey(KeyHandle key, std::u16string_view valueName, uint32_t type, const void* data, uint32_t size)
{
    requirePassive("setting a registry value");
    reg::KeyRef ref = keyOf(key, "setting a registry value");
    return fromRegistry(
        reg::Registry::machine().setValue(ref, valueName, static_cast<reg::ValueType>(type), data, size));
}

Status deleteKey(KeyHandle key)
{
    requirePassive("deleting a registry key");
    reg::KeyRef ref = keyOf(key, "deleting a registry key");
    return fromRegistry(reg::Registry::machine().deleteKey(ref, u""));
}

Status closeKey(KeyHandle key)
{
    requirePassive("closing a registry key");
    KeyTable& table = keyTable();
    std::lock_guard lock(table.mutex);
    if (table.open.erase(handleValue(key)) == 0)
        violation("closing a registry key handle that is not open");
    return status::kSuccess;
}

size_t openKeyHandles()
{
    KeyTable& table = keyTable();
    std::lock_guard lock(table.mutex);
    return table.open.size();
}

} // namespace kplat

#pragma once
// The registry of the simulated machine: one store shared by the kernel
// stand-in, the Win32 stand-in and (through a QSettings format over the same
// files) the Qt programs. Each hive is one file under the registry root; see
// hive_format.h for the file and docs/architecture.md for the rules.
//
// Keys are addressed by path below a hive ("Software\ASIO\X", separator '\').
// Names match without regard to ASCII case and keep the case they were
// created with. Subkeys list in case-insensitive order, values in the order
// they were first written. A value is a type and raw bytes: string data is
// UTF-16LE as the writer gave it (with its terminating zero when the writer
// counted it).

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace reg {

enum class Hive : uint8_t { LocalMachine, CurrentUser };
const char* hiveFileStem(Hive hive); // "HKLM", "HKCU"

enum class ValueType : uint32_t {
    None = 0,
    Sz = 1,
    ExpandSz = 2,
    Binary = 3,
    Dword = 4,
    MultiSz = 7,
    Qword = 11,
};

enum class Error : uint8_t {
    Ok,
    NotFound,            // no such key or value
    HasSubkeys,          // a key with subkeys cannot be deleted
    ChildMustBeVolatile, // a lasting key cannot be made below a volatile one
    InvalidName,         // empty or over-long name component, or the hive root
    KeyDeleted,          // the opened key has been deleted since
    Io,                  // the store could not be read, locked or written
    Corrupt,             // a hive file that does not parse
};
const char* toString(Error error);

struct Value {
    std::u16string name; // empty: the key's default value
    ValueType type = ValueType::None;
    std::vector<uint8_t> data;
};

// An opened key: where it is and which key it was when opened, so that a key
// deleted (and perhaps made again) since is noticed.
struct KeyRef {
    Hive hive = Hive::LocalMachine;
    std::u16string path; // as stored (the case it was created with); empty for the hive root
    uint64_t id = 0;
};

// Lengths the platform allows.
inline constexpr size_t kMaxKeyNameLength = 255;
inline constexpr size_t kMaxValueNameLength = 16383;

class HiveStore;

class Registry {
public:
    // A registry stored under `root` (created when missing).
    explicit Registry(std::filesystem::path root);
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // The machine's registry: under $ORVO_REGISTRY_ROOT, or
    // $HOME/.local/state/orvo/registry when that is not set.
    static Registry& machine();
    // Moves the machine's registry to `root` (tests, the demo).
    static void setMachineRoot(std::filesystem::path root);

    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path hiveFile(Hive hive) const;

    KeyRef hiveRoot(Hive hive) const { return {hive, u"", 1}; }

    // Opens `subPath` below `base` (empty: base itself).
    Error open(const KeyRef& base, std::u16string_view subPath, KeyRef& out);
    // Creates each missing key of `subPath` below `base` and opens the last;
    // `created` tells whether it was made. An existing key keeps its kind.
    Error create(const KeyRef& base, std::u16string_view subPath, bool isVolatile, KeyRef& out,
                 bool* created = nullptr);
    // Deletes `subPath` below `base` (empty: base itself); fails while it has subkeys.
    Error deleteKey(const KeyRef& base, std::u16string_view subPath);

    Error setValue(const KeyRef& key, std::u16string_view name, ValueType type, const void* data, size_t size);
    Error queryValue(const KeyRef& key, std::u16string_view name, Value& out);
    Error deleteValue(const KeyRef& key, std::u16string_view name);
    Error subkeys(const KeyRef& key, std::vector<std::u16string>& out);
    Error values(const KeyRef& key, std::vector<Value>& out);
    Error isVolatile(const KeyRef& key, bool& out);

    // The machine restarts: every volatile key of every hive is gone.
    Error reboot();

private:
    HiveStore& store(Hive hive);
    std::filesystem::path root_;
    std::unique_ptr<HiveStore> stores_[2];
};

// Convenience for callers that hold UTF-8 or want UTF-16LE string data.
std::u16string utf16(std::string_view utf8);
std::string utf8(std::u16string_view utf16);
// UTF-16LE bytes of `s` followed by a terminating zero (REG_SZ data as written).
std::vector<uint8_t> szData(std::u16string_view s);

} // namespace reg

#pragma once
// The registry as the kernel calls it: keys by absolute path
// ("\Registry\Machine\Software\..."), kernel handles to opened keys, string,
// expandable-string and dword values, and key deletion, over the machine's
// registry store. Passive level only. A handle that is not open (closed
// already, or never opened) is a violation in every call that takes one.

#include "platform/kernel/status.h"

#include <cstdint>
#include <string_view>

namespace kplat {

class RegistryKey;
using KeyHandle = RegistryKey*;

enum class KeyOptions : uint8_t { NonVolatile, Volatile };
enum class KeyDisposition : uint8_t { CreatedNew, OpenedExisting };

inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegExpandSz = 2;
inline constexpr uint32_t kRegDword = 4;

namespace status {
constexpr Status kObjectNameInvalid = statusFromBits(0xC0000033);
constexpr Status kRegistryCorrupt = statusFromBits(0xC000014C);
constexpr Status kRegistryIoFailed = statusFromBits(0xC000014D);
constexpr Status kKeyDeleted = statusFromBits(0xC000017C);
constexpr Status kChildMustBeVolatile = statusFromBits(0xC0000181);
} // namespace status

// Creates the key (lasting) with every missing parent; success if it exists.
Status createRegistryKeyAbsolute(std::u16string_view path);
// Creates or opens the key; its missing parents must exist.
Status createKey(std::u16string_view path, KeyOptions options, KeyHandle* out,
                 KeyDisposition* disposition = nullptr);
Status openKey(std::u16string_view path, KeyHandle* out);
Status setValueKey(KeyHandle key, std::u16string_view valueName, uint32_t type, const void* data, uint32_t size);
// Fails with status::kCannotDelete while the key has subkeys. The handle
// still has to be closed.
Status deleteKey(KeyHandle key);
Status closeKey(KeyHandle key);
// Kernel key handles not yet closed (for tests).
size_t openKeyHandles();

} // namespace kplat

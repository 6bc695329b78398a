#pragma once
// One hive in memory and its file format. The file is UTF-8 text, one record
// a line, written whole and replaced atomically:
//
//   orvo-registry 1 <next key id>
//   key <id> <flags> <path>          flags "v" volatile, "-" lasting
//   value <type> <name> <data>       type as the platform numbers it
//
// Keys come in pre-order (a parent before its children), the hive root first
// with path "\"; other paths are "\Software\ASIO\X". Each value line belongs
// to the key line above it. Names are percent-encoded UTF-8 (bytes up to
// space, DEL, '%', '@' and '\' as %XX); a default value's name is "@". Data
// is the raw bytes in lower-case hex, "-" when empty. Anything else is
// corrupt, and is reported, never repaired.

#include "platform/registry/registry.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace reg {

struct KeyNode {
    std::u16string name;
    uint64_t id = 0;
    bool isVolatile = false;
    std::vector<Value> values;    // in the order first written
    std::vector<KeyNode> subkeys; // in case-insensitive name order

    KeyNode* child(std::u16string_view childName);
    const KeyNode* child(std::u16string_view childName) const;
    Value* value(std::u16string_view valueName);
    // Adds a subkey at its place in the order and returns it.
    KeyNode& addChild(std::u16string childName, uint64_t id, bool isVolatile);
};

struct HiveTree {
    KeyNode root{u"", 1, false, {}, {}};
    uint64_t nextId = 2;
};

// ASCII case-insensitive comparison, as key and value names match.
bool namesEqual(std::u16string_view a, std::u16string_view b);
int compareNames(std::u16string_view a, std::u16string_view b);

std::string serialize(const HiveTree& tree);
// Fills `out`; on failure returns false with the line number in `error`.
bool parse(std::string_view text, HiveTree& out, std::string* error = nullptr);

} // namespace reg

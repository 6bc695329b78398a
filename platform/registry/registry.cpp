#include "platform/registry/registry.h"

#include "platform/registry/hive_format.h"
#include "platform/registry/hive_store.h"

#include <algorithm>
#include <cstdlib>
#include <system_error>

namespace reg {

namespace {

// Splits a sub-path into its names; false for an empty or over-long name.
bool split(std::u16string_view path, std::vector<std::u16string_view>& out)
{
    out.clear();
    if (path.empty())
        return true;
    size_t start = 0;
    for (;;) {
        const size_t sep = path.find(u'\\', start);
        const std::u16string_view name = path.substr(start, sep == std::u16string_view::npos ? sep : sep - start);
        if (name.empty() || name.size() > kMaxKeyNameLength)
            return false;
        out.push_back(name);
        if (sep == std::u16string_view::npos)
            return true;
        start = sep + 1;
    }
}

// The key `ref` names, if it is still the key that was opened.
template <class Tree, class Node = std::conditional_t<std::is_const_v<Tree>, const KeyNode, KeyNode>>
Error resolve(Tree& tree, const KeyRef& ref, Node*& out)
{
    std::vector<std::u16string_view> names;
    if (!split(ref.path, names))
        return Error::InvalidName;
    Node* node = &tree.root;
    for (std::u16string_view n : names) {
        node = node->child(n);
        if (!node)
            return Error::KeyDeleted;
    }
    if (node->id != ref.id)
        return Error::KeyDeleted;
    out = node;
    return Error::Ok;
}

std::u16string join(const std::u16string& base, std::u16string_view name)
{
    return base.empty() ? std::u16string(name) : base + u'\\' + std::u16string(name);
}

void dropVolatile(KeyNode& key, bool& changed)
{
    for (auto it = key.subkeys.begin(); it != key.subkeys.end();) {
        if (it->isVolatile) {
            it = key.subkeys.erase(it);
            changed = true;
        } else {
            dropVolatile(*it, changed);
            ++it;
        }
    }
}

std::mutex& machineMutex()
{
    static std::mutex m;
    return m;
}

std::unique_ptr<Registry>& machineRegistry()
{
    static std::unique_ptr<Registry> r;
    return r;
}

std::filesystem::path defaultRoot()
{
    if (const char* env = std::getenv("ORVO_REGISTRY_ROOT"); env && *env)
        return env;
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && *home ? home : "/tmp") / ".local/state/orvo/registry";
}

} // namespace

const char* hiveFileStem(Hive hive)
{
    return hive == Hive::LocalMachine ? "HKLM" : "HKCU";
}

const char* toString(Error error)
{
    switch (error) {
    case Error::Ok: return "ok";
    case Error::NotFound: return "not found";
    case Error::HasSubkeys: return "key has subkeys";
    case Error::ChildMustBeVolatile: return "child must be volatile";
    case Error::InvalidName: return "invalid name";
    case Error::KeyDeleted: return "key deleted";
    case Error::Io: return "i/o error";
    case Error::Corrupt: return "corrupt hive";
    }
    return "?";
}

Registry::Registry(std::filesystem::path root) : root_(std::move(root))
{
    std::error_code ec;
    std::filesystem::create_directories(root_, ec); // a failure shows at the first write
    for (Hive h : {Hive::LocalMachine, Hive::CurrentUser})
        stores_[static_cast<int>(h)] = std::make_unique<HiveStore>(hiveFile(h));
}

Registry::~Registry() = default;

Registry& Registry::machine()
{
    std::lock_guard lock(machineMutex());
    auto& r = machineRegistry();
    if (!r)
        r = std::make_unique<Registry>(defaultRoot());
    return *r;
}

void Registry::setMachineRoot(std::filesystem::path root)
{
    std::lock_guard lock(machineMutex());
    machineRegistry() = std::make_unique<Registry>(std::move(root));
}

std::filesystem::path Registry::hiveFile(Hive hive) const
{
    return root_ / (std::string(hiveFileStem(hive)) + ".reg");
}

HiveStore& Registry::store(Hive hive)
{
    return *stores_[static_cast<int>(hive)];
}

Error Registry::open(const KeyRef& base, std::u16string_view subPath, KeyRef& out)
{
    std::vector<std::u16string_view> names;
    if (!split(subPath, names))
        return Error::InvalidName;
    return store(base.hive).read([&](const HiveTree& tree) {
        const KeyNode* node = nullptr;
        if (Error e = resolve(tree, base, node); e != Error::Ok)
            return e;
        std::u16string path = base.path;
        for (std::u16string_view n : names) {
            node = node->child(n);
            if (!node)
                return Error::NotFound;
            path = join(path, node->name);
        }
        out = {base.hive, std::move(path), node->id};
        return Error::Ok;
    });
}

Error Registry::create(const KeyRef& base, std::u16string_view subPath, bool isVolatile, KeyRef& out, bool* created)
{
    std::vector<std::u16string_view> names;
    if (!split(subPath, names))
        return Error::InvalidName;
    bool made = false;
    Error e = store(base.hive).modify([&](HiveTree& tree, bool& changed) {
        KeyNode* node = nullptr;
        if (Error r = resolve(tree, base, node); r != Error::Ok)
            return r;
        std::u16string path = base.path;
        for (std::u16string_view n : names) {
            KeyNode* next = node->child(n);
            if (!next) {
                if (node->isVolatile && !isVolatile)
                    return Error::ChildMustBeVolatile;
                next = &node->addChild(std::u16string(n), tree.nextId++, isVolatile);
                changed = made = true;
            }
            node = next;
            path = join(path, node->name);
        }
        out = {base.hive, std::move(path), node->id};
        return Error::Ok;
    });
    if (created)
        *created = e == Error::Ok && made;
    return e;
}

Error Registry::deleteKey(const KeyRef& base, std::u16string_view subPath)
{
    std::vector<std::u16string_view> names;
    if (!split(subPath, names))
        return Error::InvalidName;
    return store(base.hive).modify([&](HiveTree& tree, bool& changed) {
        KeyNode* node = nullptr;
        if (Error r = resolve(tree, base, node); r != Error::Ok)
            return r;
        KeyNode* parent = nullptr;
        if (names.empty()) {
            if (base.path.empty())
                return Error::InvalidName; // the hive root stays
            std::vector<std::u16string_view> basePath;
            split(base.path, basePath);
            parent = &tree.root;
            for (size_t i = 0; i + 1 < basePath.size(); ++i)
                parent = parent->child(basePath[i]);
        } else {
            for (std::u16string_view n : names) {
                parent = node;
                node = node->child(n);
                if (!node)
                    return Error::NotFound;
            }
        }
        if (!node->subkeys.empty())
            return Error::HasSubkeys;
        std::erase_if(parent->subkeys, [&](const KeyNode& k) { return &k == node; });
        changed = true;
        return Error::Ok;
    });
}

Error Registry::setValue(const KeyRef& key, std::u16string_view name, ValueType type, const void* data, size_t size)
{
    if (name.size() > kMaxValueNameLength)
        return Error::InvalidName;
    const auto* bytes = static_cast<const uint8_t*>(data);
    return store(key.hive).modify([&](HiveTree& tree, bool& changed) {
        KeyNode* node = nullptr;
        if (Error r = resolve(tree, key, node); r != Error::Ok)
            return r;
        Value* v = node->value(name);
        if (!v) {
            node->values.push_back(Value{std::u16string(name), type, {}});
            v = &node->values.back();
        } else if (v->type == type && std::equal(v->data.begin(), v->data.end(), bytes, bytes + size)) {
            return Error::Ok; // the hive already says this: the file is not rewritten
        }
        v->type = type;
        v->data.assign(bytes, bytes + size);
        changed = true;
        return Error::Ok;
    });
}

Error Registry::queryValue(const KeyRef& key, std::u16string_view name, Value& out)
{
    return store(key.hive).read([&](const HiveTree& tree) {
        const KeyNode* node = nullptr;
        if (Error r = resolve(tree, key, node); r != Error::Ok)
            return r;
        for (const Value& v : node->values) {
            if (namesEqual(v.name, name)) {
                out = v;
                return Error::Ok;
            }
        }
        return Error::NotFound;
    });
}

Error Registry::deleteValue(const KeyRef& key, std::u16string_view name)
{
    return store(key.hive).modify([&](HiveTree& tree, bool& changed) {
        KeyNode* node = nullptr;
        if (Error r = resolve(tree, key, node); r != Error::Ok)
            return r;
        const size_t before = node->values.size();
        std::erase_if(node->values, [&](const Value& v) { return namesEqual(v.name, name); });
        changed = node->values.size() != before;
        return changed ? Error::Ok : Error::NotFound;
    });
}

Error Registry::subkeys(const KeyRef& key, std::vector<std::u16string>& out)
{
    return store(key.hive).read([&](const HiveTree& tree) {
        const KeyNode* node = nullptr;
        if (Error r = resolve(tree, key, node); r != Error::Ok)
            return r;
        out.clear();
        for (const KeyNode& k : node->subkeys)
            out.push_back(k.name);
        return Error::Ok;
    });
}

Error Registry::values(const KeyRef& key, std::vector<Value>& out)
{
    return store(key.hive).read([&](const HiveTree& tree) {
        const KeyNode* node = nullptr;
        if (Error r = resolve(tree, key, node); r != Error::Ok)
            return r;
        out = node->values;
        return Error::Ok;
    });
}

Error Registry::isVolatile(const KeyRef& key, bool& out)
{
    return store(key.hive).read([&](const HiveTree& tree) {
        const KeyNode* node = nullptr;
        if (Error r = resolve(tree, key, node); r != Error::Ok)
            return r;
        out = node->isVolatile;
        return Error::Ok;
    });
}

Error Registry::reboot()
{
    for (Hive h : {Hive::LocalMachine, Hive::CurrentUser}) {
        Error e = store(h).modify([](HiveTree& tree, bool& changed) {
            dropVolatile(tree.root, changed);
            return Error::Ok;
        });
        if (e != Error::Ok)
            return e;
    }
    return Error::Ok;
}

std::u16string utf16(std::string_view s)
{
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        char32_t cp;
        size_t n;
        if (c < 0x80) {
            cp = c;
            n = 1;
        } else if ((c >> 5) == 6) {
            cp = c & 0x1F;
            n = 2;
        } else if ((c >> 4) == 14) {
            cp = c & 0x0F;
            n = 3;
        } else if ((c >> 3) == 30) {
            cp = c & 0x07;
            n = 4;
        } else {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        if (i + n > s.size()) {
            out += u'\uFFFD';
            break;
        }
        bool ok = true;
        for (size_t k = 1; k < n; ++k) {
            const unsigned char cc = static_cast<unsigned char>(s[i + k]);
            ok = ok && (cc >> 6) == 2;
            cp = cp << 6 | (cc & 0x3F);
        }
        i += ok ? n : 1;
        if (!ok) {
            out += u'\uFFFD';
        } else if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::string utf8(std::u16string_view s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        char32_t cp = s[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        }
        // A lone surrogate is kept as its three-byte form, so names round-trip.
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | cp >> 6);
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | cp >> 12);
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | cp >> 18);
            out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

std::vector<uint8_t> szData(std::u16string_view s)
{
    std::vector<uint8_t> out;
    out.reserve(2 * s.size() + 2);
    for (char16_t c : s) {
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

} // namespace reg

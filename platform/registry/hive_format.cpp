#include "platform/registry/hive_format.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace reg {

namespace {

char16_t fold(char16_t c)
{
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

bool mustEscape(unsigned char c)
{
    return c <= 0x20 || c == 0x7F || c == '%' || c == '@' || c == '\\';
}

void appendEscaped(std::string& out, std::u16string_view name)
{
    static const char* hex = "0123456789ABCDEF";
    for (unsigned char c : utf8(name)) {
        if (mustEscape(c)) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<std::u16string> unescape(std::string_view s)
{
    std::string bytes;
    for (size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '%') {
            if (i + 2 >= s.size())
                return std::nullopt;
            const int hi = hexDigit(s[i + 1]), lo = hexDigit(s[i + 2]);
            if (hi < 0 || lo < 0)
                return std::nullopt;
            bytes += static_cast<char>(hi << 4 | lo);
            i += 2;
        } else if (mustEscape(c)) {
            return std::nullopt;
        } else {
            bytes += static_cast<char>(c);
        }
    }
    return utf16(bytes);
}

void appendHex(std::string& out, const std::vector<uint8_t>& data)
{
    static const char* hex = "0123456789abcdef";
    if (data.empty()) {
        out += '-';
        return;
    }
    for (uint8_t b : data) {
        out += hex[b >> 4];
        out += hex[b & 15];
    }
}

std::optional<std::vector<uint8_t>> parseHex(std::string_view s)
{
    std::vector<uint8_t> out;
    if (s == "-")
        return out;
    if (s.empty() || s.size() % 2)
        return std::nullopt;
    out.reserve(s.size() / 2);
    for (size_t i = 0; i < s.size(); i += 2) {
        const int hi = hexDigit(s[i]), lo = hexDigit(s[i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        out.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return out;
}

template <class T> bool parseNumber(std::string_view s, T& out)
{
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && p == s.data() + s.size();
}

std::vector<std::string_view> fields(std::string_view line)
{
    std::vector<std::string_view> out;
    size_t start = 0;
    for (;;) {
        size_t sp = line.find(' ', start);
        out.push_back(line.substr(start, sp == std::string_view::npos ? std::string_view::npos : sp - start));
        if (sp == std::string_view::npos)
            return out;
        start = sp + 1;
    }
}

// `path` is the key's path as written: "\\" for the hive root, else
// "\\A\\B" with each name escaped.
void writeKey(std::string& out, const KeyNode& key, const std::string& path)
{
    out += "key ";
    out += std::to_string(key.id);
    out += key.isVolatile ? " v " : " - ";
    out += path;
    out += '\n';
    for (const Value& v : key.values) {
        out += "value ";
        out += std::to_string(static_cast<uint32_t>(v.type));
        out += ' ';
        if (v.name.empty())
            out += '@';
        else
            appendEscaped(out, v.name);
        out += ' ';
        appendHex(out, v.data);
        out += '\n';
    }
    for (const KeyNode& sub : key.subkeys) {
        std::string subPath = path.size() == 1 ? std::string() : path;
        subPath += '\\';
        appendEscaped(subPath, sub.name);
        writeKey(out, sub, subPath);
    }
}

} // namespace

bool namesEqual(std::u16string_view a, std::u16string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) {
               return fold(x) == fold(y);
           });
}

int compareNames(std::u16string_view a, std::u16string_view b)
{
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const char16_t x = fold(a[i]), y = fold(b[i]);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

KeyNode* KeyNode::child(std::u16string_view childName)
{
    for (KeyNode& k : subkeys)
        if (namesEqual(k.name, childName))
            return &k;
    return nullptr;
}

const KeyNode* KeyNode::child(std::u16string_view childName) const
{
    return const_cast<KeyNode*>(this)->child(childName);
}

Value* KeyNode::value(std::u16string_view valueName)
{
    for (Value& v : values)
        if (namesEqual(v.name, valueName))
            return &v;
    return nullptr;
}

KeyNode& KeyNode::addChild(std::u16string childName, uint64_t childId, bool childVolatile)
{
    auto at = std::find_if(subkeys.begin(), subkeys.end(),
                           [&](const KeyNode& k) { return compareNames(k.name, childName) > 0; });
    return *subkeys.insert(at, KeyNode{std::move(childName), childId, childVolatile, {}, {}});
}

std::string serialize(const HiveTree& tree)
{
    std::string out = "orvo-registry 1 " + std::to_string(tree.nextId) + "\n";
    writeKey(out, tree.root, "\\");
    return out;
}

bool parse(std::string_view text, HiveTree& out, std::string* error)
{
    HiveTree tree;
    tree.root.id = 0; // until its line is read
    KeyNode* current = nullptr;
    size_t lineNo = 0;
    auto fail = [&](const char* why) {
        if (error)
            *error = "line " + std::to_string(lineNo) + ": " + why;
        return false;
    };
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t nl = text.find('\n', pos);
        if (nl == std::string_view::npos)
            return fail("unterminated line");
        const std::string_view line = text.substr(pos, nl - pos);
        pos = nl + 1;
        ++lineNo;
        const std::vector<std::string_view> f = fields(line);
        if (lineNo == 1) {
            if (f.size() != 3 || f[0] != "orvo-registry" || f[1] != "1" || !parseNumber(f[2], tree.nextId))
                return fail("bad header");
            continue;
        }
        if (f[0] == "key") {
            uint64_t id = 0;
            if (f.size() != 4 || !parseNumber(f[1], id) || id == 0 || id >= tree.nextId || (f[2] != "v" && f[2] != "-")
                || f[3].empty() || f[3][0] != '\\')
                return fail("bad key line");
            const bool isVolatile = f[2] == "v";
            if (f[3] == "\\") {
                if (tree.root.id != 0 || id != 1 || isVolatile)
                    return fail("bad hive root");
                tree.root.id = 1;
                current = &tree.root;
                continue;
            }
            if (tree.root.id == 0)
                return fail("key before the hive root");
            KeyNode* parent = &tree.root;
            std::string_view rest = f[3].substr(1);
            for (;;) {
                const size_t sep = rest.find('\\');
                const std::optional<std::u16string> name = unescape(rest.substr(0, sep));
                if (!name || name->empty() || name->size() > kMaxKeyNameLength)
                    return fail("bad key name");
                if (sep == std::string_view::npos) {
                    if (parent->child(*name))
                        return fail("key twice");
                    if (parent->isVolatile && !isVolatile)
                        return fail("lasting key below a volatile one");
                    current = &parent->addChild(*name, id, isVolatile);
                    break;
                }
                parent = parent->child(*name);
                if (!parent)
                    return fail("key before its parent");
                rest = rest.substr(sep + 1);
            }
            continue;
        }
        if (f[0] == "value") {
            uint32_t type = 0;
            if (!current || f.size() != 4 || !parseNumber(f[1], type))
                return fail("bad value line");
            Value v;
            v.type = static_cast<ValueType>(type);
            if (f[2] != "@") {
                const std::optional<std::u16string> name = unescape(f[2]);
                if (!name || name->empty())
                    return fail("bad value name");
                v.name = *name;
            }
            const std::optional<std::vector<uint8_t>> data = parseHex(f[3]);
            if (!data)
                return fail("bad value data");
            if (current->value(v.name))
                return fail("value twice");
            v.data = *data;
            current->values.push_back(std::move(v));
            continue;
        }
        return fail("unknown record");
    }
    if (lineNo == 0)
        return fail("empty file");
    if (tree.root.id != 1)
        return fail("no hive root");
    out = std::move(tree);
    return true;
}

} // namespace reg

#include "platform/com/guid_string.h"

#include <string_view>

namespace com {

namespace {

constexpr size_t kBraceFormLength = 38;

int hexValue(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

bool readHex(std::u16string_view text, size_t at, size_t digits, uint32_t& out)
{
    out = 0;
    for (size_t i = 0; i < digits; ++i) {
        const int v = hexValue(text[at + i]);
        if (v < 0)
            return false;
        out = out << 4 | static_cast<uint32_t>(v);
    }
    return true;
}

bool parse(std::u16string_view text, GUID& guid)
{
    if (text.size() != kBraceFormLength || text.front() != u'{' || text.back() != u'}' || text[9] != u'-'
        || text[14] != u'-' || text[19] != u'-' || text[24] != u'-')
        return false;
    uint32_t v = 0;
    if (!readHex(text, 1, 8, v))
        return false;
    guid.Data1 = v;
    if (!readHex(text, 10, 4, v))
        return false;
    guid.Data2 = static_cast<uint16_t>(v);
    if (!readHex(text, 15, 4, v))
        return false;
    guid.Data3 = static_cast<uint16_t>(v);
    constexpr size_t kByteAt[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (size_t i = 0; i < 8; ++i) {
        if (!readHex(text, kByteAt[i], 2, v))
            return false;
        guid.Data4[i] = static_cast<uint8_t>(v);
    }
    return true;
}

} // namespace

HRESULT CLSIDFromString(LPCOLESTR text, CLSID* clsid)
{
    if (!clsid)
        return E_INVALIDARG;
    *clsid = GUID_NULL;
    if (!text)
        return NOERROR;
    GUID guid;
    if (!parse(std::u16string_view(text), guid))
        return CO_E_CLASSSTRING;
    *clsid = guid;
    return NOERROR;
}

HRESULT IIDFromString(LPCOLESTR text, IID* iid) { return CLSIDFromString(text, iid); }

int StringFromGUID2(REFIID guid, LPOLESTR out, int chars)
{
    if (!out || chars < static_cast<int>(kBraceFormLength + 1))
        return 0;
    static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
    size_t at = 0;
    auto put = [&](uint32_t value, int digits) {
        for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
            out[at++] = kDigits[(value >> shift) & 0xF];
    };
    out[at++] = u'{';
    put(guid.Data1, 8);
    out[at++] = u'-';
    put(guid.Data2, 4);
    out[at++] = u'-';
    put(guid.Data3, 4);
    out[at++] = u'-';
    for (int i = 0; i < 8; ++i) {
        if (i == 2)
            out[at++] = u'-';
        put(guid.Data4[i], 2);
    }
    out[at++] = u'}';
    out[at] = 0;
    return static_cast<int>(kBraceFormLength + 1);
}

} // namespace com

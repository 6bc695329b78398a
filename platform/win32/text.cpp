#include "platform/win32/text.h"

#include "platform/registry/registry.h"
#include "platform/win32/error.h"

namespace w32 {

namespace {

// Code page 1252, bytes 0x80..0x9F; the five unassigned bytes map to the C1
// controls of the same value, as the platform's table does.
constexpr char16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t wideOf(unsigned char c)
{
    return c >= 0x80 && c < 0xA0 ? kHighControls[c - 0x80] : char16_t(c);
}

// The 1252 byte of a character, or -1.
int ansiOf(char16_t c)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return c;
    for (int i = 0; i < 32; ++i)
        if (kHighControls[i] == c)
            return 0x80 + i;
    return -1;
}

bool isHighSurrogate(char16_t c) { return c >= 0xD800 && c < 0xDC00; }
bool isLowSurrogate(char16_t c) { return c >= 0xDC00 && c < 0xE000; }

int fail(DWORD error)
{
    SetLastError(error);
    return 0;
}

} // namespace

UINT GetACP() { return kAnsiCodePage; }

int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* wide, int wideLength, char* out, int outBytes,
                        const char* defaultChar, BOOL* usedDefault)
{
    if (!wide || wideLength == 0 || wideLength < -1 || outBytes < 0 || (outBytes > 0 && !out))
        return fail(ERROR_INVALID_PARAMETER);
    const size_t count =
        wideLength == -1 ? std::char_traits<char16_t>::length(wide) + 1 : static_cast<size_t>(wideLength);
    const std::u16string_view text(wide, count);
    std::string result;
    if (codePage == CP_UTF8) {
        if (flags != 0)
            return fail(ERROR_INVALID_FLAGS);
        if (defaultChar || usedDefault)
            return fail(ERROR_INVALID_PARAMETER);
        result = reg::utf8(text);
    } else if (codePage == CP_ACP || codePage == kAnsiCodePage) {
        if (flags & ~WC_NO_BEST_FIT_CHARS)
            return fail(ERROR_INVALID_FLAGS);
        const char fallback = defaultChar ? *defaultChar : '?';
        bool defaulted = false;
        for (size_t i = 0; i < text.size(); ++i) {
            const int byte = ansiOf(text[i]);
            if (byte >= 0) {
                result += static_cast<char>(byte);
                continue;
            }
            if (isHighSurrogate(text[i]) && i + 1 < text.size() && isLowSurrogate(text[i + 1]))
                ++i; // one character, one default
            result += fallback;
            defaulted = true;
        }
        if (usedDefault)
            *usedDefault = defaulted ? TRUE : FALSE;
    } else {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (outBytes == 0)
        return static_cast<int>(result.size());
    if (result.size() > static_cast<size_t>(outBytes))
        return fail(ERROR_INSUFFICIENT_BUFFER);
    result.copy(out, result.size());
    return static_cast<int>(result.size());
}

int MultiByteToWideChar(UINT codePage, DWORD flags, const char* narrow, int narrowLength, WCHAR* out, int outChars)
{
    if (!narrow || narrowLength == 0 || narrowLength < -1 || outChars < 0 || (outChars > 0 && !out))
        return fail(ERROR_INVALID_PARAMETER);
    if (flags != 0)
        return fail(ERROR_INVALID_FLAGS);
    const size_t count = narrowLength == -1 ? std::char_traits<char>::length(narrow) + 1
                                            : static_cast<size_t>(narrowLength);
    const std::string_view text(narrow, count);
    std::u16string result;
    if (codePage == CP_UTF8)
        result = reg::utf16(text);
    else if (codePage == CP_ACP || codePage == kAnsiCodePage)
        result = wideFromAnsi(text);
    else
        return fail(ERROR_INVALID_PARAMETER);
    if (outChars == 0)
        return static_cast<int>(result.size());
    if (result.size() > static_cast<size_t>(outChars))
        return fail(ERROR_INSUFFICIENT_BUFFER);
    result.copy(out, result.size());
    return static_cast<int>(result.size());
}

std::u16string wideFromAnsi(std::string_view ansi)
{
    std::u16string wide;
    wide.reserve(ansi.size());
    for (char c : ansi)
        wide += wideOf(static_cast<unsigned char>(c));
    return wide;
}

std::string utf8FromAnsi(std::string_view ansi) { return reg::utf8(wideFromAnsi(ansi)); }

} // namespace w32

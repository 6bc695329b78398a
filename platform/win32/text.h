#pragma once
// Conversion between UTF-16 and the narrow code pages. The machine's ANSI
// code page is 1252 (Western European), as on the systems the product ships
// for; UTF-8 is there too. A character 1252 cannot hold becomes the default
// character ("?", or the caller's) and is reported through usedDefault; no
// best-fit substitution is made.

#include "platform/win32/types.h"

#include <string>
#include <string_view>

namespace w32 {

inline constexpr UINT CP_ACP = 0;
inline constexpr UINT CP_UTF8 = 65001;
inline constexpr UINT kAnsiCodePage = 1252;
inline constexpr DWORD WC_NO_BEST_FIT_CHARS = 0x00000400;
inline constexpr DWORD ERROR_INVALID_FLAGS = 1004;
inline constexpr DWORD ERROR_NO_UNICODE_TRANSLATION = 1113;

UINT GetACP();

// wideLength -1: up to and including the terminating zero (counted in the
// result). outBytes 0: returns the bytes needed. A buffer too small fails
// with ERROR_INSUFFICIENT_BUFFER and returns 0.
int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* wide, int wideLength, char* out, int outBytes,
                        const char* defaultChar, BOOL* usedDefault);
int MultiByteToWideChar(UINT codePage, DWORD flags, const char* narrow, int narrowLength, WCHAR* out,
                        int outChars);

// For the stand-in itself: ANSI (1252) text to UTF-16 and to UTF-8.
std::u16string wideFromAnsi(std::string_view ansi);
std::string utf8FromAnsi(std::string_view ansi);

} // namespace w32

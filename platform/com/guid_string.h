#pragma once
// Identifiers as text: the brace form "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}"
// (hexadecimal digits of either case when read; upper case when written).

#include "platform/com/com.h"

namespace com {

using LPCOLESTR = const char16_t*;
using LPOLESTR = char16_t*;

// Null text gives GUID_NULL. Anything but the brace form gives
// CO_E_CLASSSTRING and GUID_NULL; a null result pointer E_INVALIDARG.
HRESULT CLSIDFromString(LPCOLESTR text, CLSID* clsid);
HRESULT IIDFromString(LPCOLESTR text, IID* iid);
// Writes the brace form and its zero; returns 39, or 0 when `chars` is too small.
int StringFromGUID2(REFIID guid, LPOLESTR out, int chars);

} // namespace com

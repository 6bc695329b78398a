#pragma once
// Text descriptions of OBin images, one directive a line:
//
//   block peripheral=0x3A710018 region=0 version=1.0.5.94 base=0x08008000
//         size=0x40000 text="QX1600 application" [order=other] [pad=N]
//         [crc=0x...]
//   entry address=0x08008000 synthetic=4096 seed=7 [banner="..."]
//   entry address=0x08009000 hex=00112233
//   image pad-to=663128
//
// A directive may run on over lines that start with blanks; '#' starts a
// comment. Numbers are decimal or 0x-hex; a version is
// major.minor.patch.build.

#include <string>

#include "tools/obin_writer.h"

namespace Orvo::tools {

// Parses a description; on failure returns false with a message naming the
// line in `error`.
bool parseDescription(const std::string& text, ImageSpec& spec, std::string& error);

// Parses a fault given as kind:block:entry:value (kinds: flip, crc, magic,
// length, count, offset, datalength, trailing, truncate).
bool parseFault(const std::string& text, Fault& fault);

} // namespace Orvo::tools

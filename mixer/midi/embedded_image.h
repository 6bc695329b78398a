#pragma once
// The firmware image each GUI program carries, enciphered with XXTEA under
// kEmbeddedImageKey. Its bytes are generated at build time by orvo-obin from
// tools/firmware/embedded.obindesc.

#include <cstdint>

#include "mixer/midi/obin_file_buffer.h"
#include "mixer/midi/xxtea.h"

namespace Orvo {

extern const uint8_t kEmbeddedImageEnciphered[kEmbeddedImageSize];

// Deciphers a copy of the embedded image and loads it into `image`.
bool loadEmbeddedImage(OBinFileBuffer& image);

} // namespace Orvo

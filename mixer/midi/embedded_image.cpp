#include "mixer/midi/embedded_image.h"

#include <utility>
#include <vector>

namespace Orvo {

bool loadEmbeddedImage(OBinFileBuffer& image)
{
    std::vector<uint8_t> bytes(kEmbeddedImageEnciphered, kEmbeddedImageEnciphered + kEmbeddedImageSize);
    obinDecipherEmbedded(bytes.data(), bytes.size());
    return image.ReadFromBuffer(std::move(bytes));
}

} // namespace Orvo

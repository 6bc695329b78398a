#include <gtest/gtest.h>

#include <vector>

#include "mixer/midi/embedded_image.h"
#include "sim/mixer/flash_region.h"

using namespace Orvo;

namespace {
constexpr uint32_t kQx1600 = 0x3A710018u;
constexpr uint32_t kZr90Alpha = 0x3A710019u;
} // namespace

TEST(EmbeddedImage, DeciphersToAValidImageOfBothModels)
{
    // As stored it is no image at all.
    OBinFileBuffer raw;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(raw.ReadFromBuffer(kEmbeddedImageEnciphered, static_cast<int>(kEmbeddedImageSize)));
    testing::internal::GetCapturedStdout();

    OBinFileBuffer image;
    ASSERT_TRUE(loadEmbeddedImage(image));
    EXPECT_EQ(image.size(), 663128u);
    EXPECT_TRUE(obinCheckCrcs(image.data(), image.size()));
    EXPECT_EQ(image.CountRegions(kQx1600), 2u);
    EXPECT_EQ(image.CountRegions(kZr90Alpha), 2u);

    // The versions the programs show: 1.0.5 build 94 and 1.0.5 build 133.
    ASSERT_NE(image.FindRegion(kQx1600, 0), nullptr);
    ASSERT_NE(image.FindRegion(kZr90Alpha, 0), nullptr);
    EXPECT_EQ(image.FindRegion(kQx1600, 0)->header.version(), 0x0100055Eu);
    EXPECT_EQ(image.FindRegion(kZr90Alpha, 0)->header.version(), 0x01000585u);
    EXPECT_EQ(loadLe32(image.LatestVersion(kQx1600)), 0x0100055Eu);
    EXPECT_EQ(loadLe32(image.LatestVersion(kZr90Alpha)), 0x01000585u);
}

TEST(EmbeddedImage, RegionCrcsAreThoseOfTheWrittenRegions)
{
    OBinFileBuffer image;
    ASSERT_TRUE(loadEmbeddedImage(image));
    for (const ObinRegion& r : image.regions()) {
        sim::FlashRegion flash(r.header.base(), r.header.size());
        for (const ObinEntryRef& e : r.entries)
            ASSERT_TRUE(flash.write(e.entry.address(), e.data, e.entry.length()));
        EXPECT_EQ(flash.crc(), r.header.regionCrc()) << r.header.peripheralId() << " " << r.header.regionNumber();
    }
}

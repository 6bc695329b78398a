#include <gtest/gtest.h>

#include "mixer/midi/obin_file_buffer.h"
#include "tools/obin_description.h"

using namespace Orvo;
using namespace Orvo::tools;

TEST(ObinDescription, DescribesBlocksInEitherOrder)
{
    const std::string text = R"(# two blocks
block peripheral=0x3A710018 region=0 version=1.2.3.4 base=0x1000 size=0x100
      text="first block" order=other
entry address=0x1000 hex=00ff10
entry address=0x1010 synthetic=20 seed=3 banner="ab"
block peripheral=0x3A710019 region=2 version=0.0.0.1 base=0 size=64 crc=0x1234 pad=3
image pad-to=300
)";
    ImageSpec spec;
    std::string error;
    ASSERT_TRUE(parseDescription(text, spec, error)) << error;
    ASSERT_EQ(spec.blocks.size(), 2u);
    EXPECT_TRUE(spec.blocks[0].otherOrder);
    EXPECT_EQ(spec.blocks[0].text, "first block");
    EXPECT_EQ(spec.blocks[0].version, 0x01020304u);
    EXPECT_EQ(spec.blocks[0].entries[0].data, (std::vector<uint8_t>{0x00, 0xFF, 0x10}));
    EXPECT_EQ(spec.blocks[0].entries[1].data.size(), 20u);
    EXPECT_EQ(spec.blocks[0].entries[1].data[1], 'b');
    EXPECT_EQ(*spec.blocks[1].regionCrc, 0x1234u);

    const std::vector<uint8_t> image = buildImage(spec);
    EXPECT_EQ(image.size(), 300u);
    OBinFileBuffer buf;
    ASSERT_TRUE(buf.ReadFromBuffer(image.data(), static_cast<int>(image.size())));
    EXPECT_EQ(buf.FindRegion(0x3A710019u, 2)->header.regionCrc(), 0x1234u);
    EXPECT_EQ(buf.FindRegion(0x3A710019u, 2)->header.blockLength(), 300u - buf.regions()[0].header.blockLength());
}

TEST(ObinDescription, ErrorsNameTheLine)
{
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"entry address=1 hex=00\n", "line 1: entry before any block"},
        {"block peripheral=1 region=0 base=0 size=4\n", "line 1: block needs version"},
        {"\n\nblock peripheral=1 region=0 version=1.2.3 base=0 size=4\n", "line 3: block needs version"},
        {"block peripheral=1 region=0 version=1.2.3.4 base=0 size=4\nentry address=0 hex=0\n", "line 2: bad hex"},
        {"frob x=1\n", "line 1: unknown directive 'frob'"},
    };
    for (const auto& c : cases) {
        ImageSpec spec;
        std::string error;
        EXPECT_FALSE(parseDescription(c.text, spec, error));
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    }
}

TEST(ObinDescription, Faults)
{
    Fault f;
    ASSERT_TRUE(parseFault("count:1:0:0x10000000", f));
    EXPECT_EQ(f.kind, Fault::Kind::EntryCount);
    EXPECT_EQ(f.block, 1u);
    EXPECT_EQ(f.value, 0x10000000u);
    EXPECT_FALSE(parseFault("count:1:0", f));
    EXPECT_FALSE(parseFault("melt:0:0:0", f));

    ImageSpec spec;
    std::string error;
    ASSERT_TRUE(parseDescription("block peripheral=1 region=0 version=1.0.0.0 base=0 size=8\n"
                                 "entry address=0 hex=0102\n",
                                 spec, error));
    std::vector<uint8_t> image = buildImage(spec);
    EXPECT_FALSE(applyFault(image, spec, {Fault::Kind::EntryCrc, 1, 0, 0}));
    EXPECT_FALSE(applyFault(image, spec, {Fault::Kind::FlipDataByte, 0, 0, 2}));
    EXPECT_TRUE(applyFault(image, spec, {Fault::Kind::FlipDataByte, 0, 0, 1}));
    EXPECT_EQ(image.back(), 0x03);
}

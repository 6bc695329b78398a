#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>

#include "mixer/midi/crc32.h"
#include "mixer/midi/obin.h"
#include "mixer/midi/obin_file_buffer.h"
#include "obin_test_images.h"

using namespace Orvo;
using namespace Orvo::testimages;
using tools::Fault;
using K = tools::Fault::Kind;

namespace {

std::vector<uint8_t> build(const tools::ImageSpec& spec, std::vector<Fault> faults = {})
{
    std::vector<uint8_t> image = tools::buildImage(spec);
    for (const Fault& f : faults)
        EXPECT_TRUE(tools::applyFault(image, spec, f));
    return image;
}

struct LoadResult {
    bool ok;
    std::string out;
    size_t regions;
};

LoadResult load(OBinFileBuffer& buf, const std::vector<uint8_t>& image)
{
    testing::internal::CaptureStdout();
    const bool ok = buf.ReadFromBuffer(image.data(), static_cast<int>(image.size()));
    return {ok, testing::internal::GetCapturedStdout(), buf.regions().size()};
}

void expectFields(const OBinFileBuffer& buf, const tools::ImageSpec& spec)
{
    ASSERT_EQ(buf.regions().size(), spec.blocks.size());
    for (size_t i = 0; i < spec.blocks.size(); ++i) {
        const tools::BlockSpec& b = spec.blocks[i];
        const ObinRegion& r = buf.regions()[i];
        EXPECT_EQ(r.header.peripheralId(), b.peripheral);
        EXPECT_EQ(r.header.regionNumber(), b.region);
        EXPECT_EQ(r.header.version(), b.version);
        EXPECT_EQ(r.header.base(), b.base);
        EXPECT_EQ(r.header.size(), b.size);
        EXPECT_EQ(r.header.regionCrc(), tools::regionCrcOf(b));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.header.text())), b.text);
        ASSERT_EQ(r.entries.size(), b.entries.size());
        for (size_t e = 0; e < b.entries.size(); ++e) {
            EXPECT_EQ(r.entries[e].entry.address(), b.entries[e].address);
            ASSERT_EQ(r.entries[e].entry.length(), b.entries[e].data.size());
            EXPECT_EQ(0, std::memcmp(r.entries[e].data, b.entries[e].data.data(), b.entries[e].data.size()));
        }
    }
}

std::string tempPath(const std::string& name)
{
    return testing::TempDir() + "obin_test_" + name;
}

std::vector<uint8_t> fileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

} // namespace

// Every image is a whole: one fault anywhere rejects it and leaves no index.
struct ImageCase {
    const char* name;
    std::function<void(tools::ImageSpec&)> shape; // byte orders of the blocks
    std::vector<Fault> faults;
    bool loads;
    const char* message; // part of what is printed on failure
};

void PrintTo(const ImageCase& c, std::ostream* os)
{
    *os << c.name;
}

class ObinImageCases : public testing::TestWithParam<ImageCase> {};

TEST_P(ObinImageCases, LoadsOrIsRejectedWhole)
{
    const ImageCase& c = GetParam();
    tools::ImageSpec spec = threeBlocks();
    if (c.shape)
        c.shape(spec);
    OBinFileBuffer buf;
    const LoadResult r = load(buf, build(spec, c.faults));
    EXPECT_EQ(r.ok, c.loads) << r.out;
    if (c.loads) {
        expectFields(buf, spec);
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(obinCheckCrcs(buf.data(), buf.size()));
    } else {
        EXPECT_EQ(r.regions, 0u);
        EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
        EXPECT_EQ(buf.FindRegion(kModelA, 0), nullptr);
    }
}

const auto allOther = [](tools::ImageSpec& s) {
    for (auto& b : s.blocks)
        b.otherOrder = true;
};
const auto middleOther = [](tools::ImageSpec& s) { s.blocks[1].otherOrder = true; };
constexpr const char* kConv = "ERROR: ReadFromBuffer Invalid obin endian conversion\r\n";
constexpr const char* kCrc = "ERROR: ReadFromBuffer Invalid obin CRC's\r\n";

INSTANTIATE_TEST_SUITE_P(
    Table, ObinImageCases,
    testing::Values(
        ImageCase{"HostOrder", nullptr, {}, true, ""},
        ImageCase{"OtherOrder", allOther, {}, true, ""},
        ImageCase{"MixedOrders", middleOther, {}, true, ""},
        ImageCase{"FlippedDataByte", nullptr, {{K::FlipDataByte, 1, 0, 999}}, false, kCrc},
        ImageCase{"FlippedDataByteOtherOrder", allOther, {{K::FlipDataByte, 0, 1, 0}}, false, kCrc},
        ImageCase{"WrongEntryCrc", nullptr, {{K::EntryCrc, 2, 0, 0x12345678}}, false, kCrc},
        ImageCase{"TenTrailingBytes", nullptr, {{K::Trailing, 0, 0, 10}}, false, kConv},
        ImageCase{"SeventyTrailingBytes", nullptr, {{K::Trailing, 0, 0, 70}}, false, kConv},
        ImageCase{"ShorterThanAHeader", nullptr, {{K::Truncate, 0, 0, 40}}, false, kConv},
        ImageCase{"ThreeBytes", nullptr, {{K::Truncate, 0, 0, 3}}, false, kConv},
        ImageCase{"LastBlockCut", nullptr, {{K::Truncate, 0, 0, 1500}}, false, kConv},
        ImageCase{"BadMagic", nullptr, {{K::Magic, 1, 0, 0x6E624F22}}, false, kConv},
        ImageCase{"BlockLengthZero", nullptr, {{K::BlockLength, 0, 0, 0}}, false, kConv},
        ImageCase{"BlockLengthBelowEntries", nullptr, {{K::BlockLength, 0, 0, 68 + 16}}, false, kConv},
        ImageCase{"BlockLengthHuge", middleOther, {{K::BlockLength, 1, 0, 0xFFFFFFFF}}, false, kConv},
        // 68 + 16 n wraps to 68 in 32 bits.
        ImageCase{"EntryCountOverflows", nullptr, {{K::EntryCount, 0, 0, 0x10000000}}, false, kConv},
        ImageCase{"EntryCountOverflowsOtherOrder", allOther, {{K::EntryCount, 2, 0, 0x10000000}}, false, kConv},
        ImageCase{"EntryCountTooBig", nullptr, {{K::EntryCount, 1, 0, 1000}}, false, kConv},
        ImageCase{"EntryDataPastBlock", nullptr, {{K::EntryDataOffset, 1, 0, 100}}, false, kCrc},
        ImageCase{"EntryOffsetWraps", nullptr,
                  {{K::EntryDataOffset, 0, 0, 0xFFFFFFF0}, {K::EntryLength, 0, 0, 0x20}}, false, kCrc},
        ImageCase{"EntryLengthHuge", allOther, {{K::EntryLength, 2, 0, 0x7FFFFFFF}}, false, kCrc},
        ImageCase{"EntryInNextBlock", nullptr, {{K::EntryLength, 0, 1, 200}}, false, kCrc}),
    [](const testing::TestParamInfo<ImageCase>& i) { return std::string(i.param.name); });

TEST(ObinImage, EmptyImageWalksButNeverChecks)
{
    EXPECT_TRUE(obinToHostOrder(nullptr, 0));
    EXPECT_FALSE(obinCheckCrcs(nullptr, 0));
    OBinFileBuffer buf;
    const LoadResult r = load(buf, {});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.out, kCrc);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(buf.WriteToFile(tempPath("empty").c_str()));
    EXPECT_NE(testing::internal::GetCapturedStdout().find("WriteToFile Invalid obin CRC's"), std::string::npos);
    EXPECT_FALSE(FileBuffer::CanOpen(tempPath("empty").c_str()));
}

TEST(ObinImage, BadLengthsGivenToTheBuffersAreRefused)
{
    const std::vector<uint8_t> image = build(threeBlocks());
    for (int length : {-1, -68, static_cast<int>(FileBuffer::kMaxLength) + 1}) {
        OBinFileBuffer buf;
        ASSERT_TRUE(buf.ReadFromBuffer(image.data(), static_cast<int>(image.size())));
        testing::internal::CaptureStdout();
        EXPECT_FALSE(buf.ReadFromBuffer(image.data(), length));
        EXPECT_NE(testing::internal::GetCapturedStdout().find("Invalid buffer length"), std::string::npos);
        EXPECT_EQ(buf.size(), 0u);
        EXPECT_TRUE(buf.regions().empty());
        FileBuffer plain;
        testing::internal::CaptureStdout();
        EXPECT_FALSE(plain.ReadFromBuffer(image.data(), length));
        testing::internal::GetCapturedStdout();
    }
    FileBuffer plain;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(plain.ReadFromBuffer(nullptr, 5));
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(plain.ReadFromBuffer(nullptr, 0));
}

TEST(ObinImage, FindCountAndLatestVersion)
{
    OBinFileBuffer buf;
    ASSERT_TRUE(load(buf, build(threeBlocks())).ok);
    EXPECT_EQ(buf.CountRegions(kModelA), 2u);
    EXPECT_EQ(buf.CountRegions(kModelB), 1u);
    EXPECT_EQ(buf.CountRegions(0x3A710020u), 0u);
    ASSERT_NE(buf.FindRegion(kModelA, 1), nullptr);
    EXPECT_EQ(buf.FindRegion(kModelA, 1)->header.base(), 0x20000000u);
    EXPECT_EQ(buf.FindRegion(kModelB, 1), nullptr); // the other model has no region 1
    EXPECT_EQ(buf.FindRegion(kModelA, 2), nullptr);

    // Region 0 holds 1.0.5 build 4, region 1 build 3: region 0 wins.
    const uint8_t* latest = buf.LatestVersion(kModelA);
    ASSERT_NE(latest, nullptr);
    EXPECT_EQ(latest, buf.FindRegion(kModelA, 0)->header.bytes() + obin::kVersionAt);
    EXPECT_EQ(loadLe32(latest), tools::versionWord(1, 0, 5, 4));
    EXPECT_EQ(buf.LatestVersion(0x3A710020u), nullptr);
}

TEST(ObinImage, LatestVersionTieGoesToTheLowerRegion)
{
    tools::ImageSpec spec = threeBlocks();
    spec.blocks[0].version = spec.blocks[1].version = tools::versionWord(2, 1, 0, 7);
    std::swap(spec.blocks[0], spec.blocks[1]); // region 1 first in the image
    OBinFileBuffer buf;
    ASSERT_TRUE(load(buf, build(spec)).ok);
    EXPECT_EQ(buf.LatestVersion(kModelA), buf.FindRegion(kModelA, 0)->header.bytes() + obin::kVersionAt);

    spec.blocks[0].version = tools::versionWord(2, 1, 0, 8); // now region 1 is newer
    ASSERT_TRUE(load(buf, build(spec)).ok);
    EXPECT_EQ(buf.LatestVersion(kModelA), buf.FindRegion(kModelA, 1)->header.bytes() + obin::kVersionAt);
}

TEST(ObinImage, PlainRoutinesWalkRawImages)
{
    tools::ImageSpec spec = threeBlocks();
    spec.blocks[0].otherOrder = true;
    std::vector<uint8_t> image = build(spec);
    const std::vector<size_t> at = tools::blockOffsets(spec);
    // Search and count see host-order blocks only, and step over the others.
    EXPECT_EQ(obinFindBlock(kModelA, 0, image.data(), image.size()), nullptr);
    EXPECT_EQ(obinFindBlock(kModelA, 1, image.data(), image.size()), image.data() + at[1]);
    EXPECT_EQ(obinCountBlocks(kModelA, image.data(), image.size()), 1u);
    EXPECT_FALSE(obinCheckCrcs(image.data(), image.size()));

    ASSERT_TRUE(obinToHostOrder(image.data(), image.size()));
    EXPECT_EQ(image, build(threeBlocks()));
    uint8_t header[obin::kHeaderSize];
    uint32_t offset = 0;
    ASSERT_TRUE(obinCopyHeader(header, &offset, kModelB, 0, image.data(), image.size()));
    EXPECT_EQ(offset, at[2]);
    EXPECT_EQ(0, std::memcmp(header, image.data() + at[2], obin::kHeaderSize));
    EXPECT_FALSE(obinCopyHeader(header, &offset, kModelB, 1, image.data(), image.size()));

    // A block that does not fit is not found, nor anything after it.
    EXPECT_EQ(obinFindBlock(kModelB, 0, image.data(), image.size() - 1), nullptr);
    EXPECT_EQ(obinCountBlocks(kModelA, image.data(), at[1] + 67), 1u);

    // Swapping the whole image twice gives it back; once gives the other order.
    std::vector<uint8_t> swapped = image;
    ASSERT_TRUE(obinSwapImage(swapped.data(), swapped.size()));
    tools::ImageSpec other = threeBlocks();
    for (auto& b : other.blocks)
        b.otherOrder = true;
    EXPECT_EQ(swapped, build(other));
    ASSERT_TRUE(obinSwapImage(swapped.data(), swapped.size()));
    EXPECT_EQ(swapped, image);
}

TEST(ObinImage, SwapWordsWorksInPlace)
{
    uint8_t b[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    obinSwapWords(b, b, 2);
    const uint8_t want[8] = {4, 3, 2, 1, 8, 7, 6, 5};
    EXPECT_EQ(0, std::memcmp(b, want, 8));
    uint8_t shifted[12] = {1, 2, 3, 4, 5, 6, 7, 8};
    obinSwapWords(shifted + 4, shifted, 2); // dst after src: last word first
    const uint8_t want2[12] = {1, 2, 3, 4, 4, 3, 2, 1, 8, 7, 6, 5};
    EXPECT_EQ(0, std::memcmp(shifted, want2, 12));
}

TEST(ObinFile, OtherOrderFileIsWrittenBackInHostOrder)
{
    tools::ImageSpec other = threeBlocks();
    for (auto& b : other.blocks)
        b.otherOrder = true;
    const std::string in = tempPath("other.obin"), out = tempPath("host.obin");
    {
        std::ofstream f(in, std::ios::binary);
        const std::vector<uint8_t> bytes = build(other);
        f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    EXPECT_TRUE(FileBuffer::CanOpen(in.c_str()));
    OBinFileBuffer buf;
    ASSERT_TRUE(buf.ReadFromFile(in));
    EXPECT_EQ(buf.path(), in);
    expectFields(buf, threeBlocks());
    ASSERT_TRUE(buf.WriteToFile(out.c_str()));
    EXPECT_EQ(buf.path(), out);
    EXPECT_EQ(fileBytes(out), build(threeBlocks()));
    std::remove(in.c_str());
    std::remove(out.c_str());
}

TEST(ObinFile, UnreadableOrInvalidFiles)
{
    OBinFileBuffer buf;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(buf.ReadFromFile(tempPath("missing.obin")));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "ERROR: ReadFromFile Unable to open binary file '" + tempPath("missing.obin") + "'\r\n");

    const std::string bad = tempPath("bad.obin");
    {
        tools::ImageSpec spec = threeBlocks();
        std::vector<uint8_t> bytes = build(spec, {{K::FlipDataByte, 2, 0, 5}});
        std::ofstream(bad, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                   static_cast<std::streamsize>(bytes.size()));
    }
    testing::internal::CaptureStdout();
    EXPECT_FALSE(buf.ReadFromFile(bad.c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: ReadFromFile Invalid obin CRC's '" + bad + "'\r\n");
    EXPECT_TRUE(buf.regions().empty());
    testing::internal::CaptureStdout();
    EXPECT_FALSE(buf.WriteToFile(tempPath("never.obin").c_str()));
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(FileBuffer::CanOpen(tempPath("never.obin").c_str()));
    std::remove(bad.c_str());
}

TEST(ObinFile, AppendFileIndexesTheWhole)
{
    tools::ImageSpec first = threeBlocks();
    tools::ImageSpec second;
    second.blocks.push_back(block(kModelB, 1, tools::versionWord(1, 0, 5, 133), 0x20000000, {64}, 30));
    second.blocks[0].otherOrder = true;
    const std::string path = tempPath("second.obin");
    {
        std::vector<uint8_t> bytes = build(second);
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
    }
    OBinFileBuffer buf;
    ASSERT_TRUE(load(buf, build(first)).ok);
    ASSERT_TRUE(buf.AppendFile(path.c_str()));
    EXPECT_EQ(buf.regions().size(), 4u);
    ASSERT_NE(buf.FindRegion(kModelB, 1), nullptr);
    EXPECT_EQ(buf.CountRegions(kModelB), 2u);

    // Appending to a buffer whose own load failed gives no index.
    OBinFileBuffer broken;
    EXPECT_FALSE(load(broken, build(first, {{K::FlipDataByte, 0, 0, 0}})).ok);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(broken.AppendFile(path.c_str()));
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(broken.regions().empty());
    std::remove(path.c_str());
}

TEST(ObinFile, CopiesIndexTheirOwnBytes)
{
    OBinFileBuffer buf;
    ASSERT_TRUE(load(buf, build(threeBlocks())).ok);
    OBinFileBuffer copy(buf);
    ASSERT_EQ(copy.regions().size(), 3u);
    EXPECT_EQ(copy.regions()[0].header.bytes(), copy.data());
    EXPECT_EQ(copy.regions()[2].entries[0].data, copy.data() + (buf.regions()[2].entries[0].data - buf.data()));
    OBinFileBuffer assigned;
    assigned = copy;
    EXPECT_EQ(assigned.regions()[1].header.bytes() - assigned.data(), buf.regions()[1].header.bytes() - buf.data());
    OBinFileBuffer moved(std::move(assigned));
    EXPECT_EQ(moved.regions()[0].header.bytes(), moved.data());
}

#include "mixer/midi/obin_file_buffer.h"

#include <cstdio>
#include <fstream>

namespace Orvo {

bool FileBuffer::copyIn(const uint8_t* data, int length, const char* who)
{
    if (length < 0 || static_cast<size_t>(length) > kMaxLength || (data == nullptr && length > 0)) {
        std::printf("ERROR: %s Invalid buffer length %d\r\n", who, length);
        bytes_.clear();
        return false;
    }
    bytes_.assign(data, data + length);
    return true;
}

bool FileBuffer::ReadFromBuffer(const uint8_t* data, int length)
{
    return copyIn(data, length, "ReadFromBuffer");
}

bool FileBuffer::ReadFromFile(const char* path)
{
    std::ifstream in;
    if (path != nullptr)
        in.open(path, std::ios::binary | std::ios::ate);
    if (!in.is_open()) {
        std::printf("ERROR: ReadFromFile Unable to open binary file '%s'\r\n", path ? path : "");
        bytes_.clear();
        return false;
    }
    const std::streamoff end = in.tellg();
    bool ok = end >= 0 && static_cast<uint64_t>(end) <= kMaxLength;
    if (ok) {
        bytes_.resize(static_cast<size_t>(end));
        in.seekg(0);
        in.read(reinterpret_cast<char*>(bytes_.data()), end);
        ok = in.gcount() == end;
    }
    if (!ok) {
        std::printf("ERROR: ReadFromFile Unable to read binary file '%s'\r\n", path);
        bytes_.clear();
        return false;
    }
    path_ = path;
    return true;
}

bool FileBuffer::WriteToFile(const char* path)
{
    std::ofstream out;
    if (path != nullptr)
        out.open(path, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) {
        std::printf("ERROR: WriteToFile Unable to create binary file '%s'\r\n", path ? path : "");
        return false;
    }
    out.write(reinterpret_cast<const char*>(bytes_.data()), static_cast<std::streamsize>(bytes_.size()));
    out.flush();
    path_ = path;
    return out.good();
}

bool FileBuffer::CanOpen(const char* path)
{
    if (path == nullptr)
        return false;
    std::ifstream in(path, std::ios::binary);
    return in.is_open();
}

OBinFileBuffer::OBinFileBuffer(const OBinFileBuffer& other) : FileBuffer(other)
{
    if (!other.regions_.empty())
        IndexRegions();
}

OBinFileBuffer& OBinFileBuffer::operator=(const OBinFileBuffer& other)
{
    if (this != &other) {
        FileBuffer::operator=(other);
        regions_.clear();
        if (!other.regions_.empty())
            IndexRegions();
    }
    return *this;
}

bool OBinFileBuffer::ReadFromBuffer(const uint8_t* data, int length)
{
    regions_.clear();
    return copyIn(data, length, "ReadFromBuffer") && loadBytes("ReadFromBuffer");
}

bool OBinFileBuffer::ReadFromBuffer(std::vector<uint8_t>&& bytes)
{
    regions_.clear();
    if (bytes.size() > kMaxLength) {
        std::printf("ERROR: ReadFromBuffer Invalid buffer length %zu\r\n", bytes.size());
        bytes_.clear();
        return false;
    }
    bytes_ = std::move(bytes);
    return loadBytes("ReadFromBuffer");
}

bool OBinFileBuffer::loadBytes(const char* who)
{
    if (!obinToHostOrder(bytes_.data(), bytes_.size())) {
        std::printf("ERROR: %s Invalid obin endian conversion\r\n", who);
        return false;
    }
    if (!obinCheckCrcs(bytes_.data(), bytes_.size())) {
        std::printf("ERROR: %s Invalid obin CRC's\r\n", who);
        return false;
    }
    IndexRegions();
    return true;
}

bool OBinFileBuffer::ReadFromFile(const char* path)
{
    regions_.clear();
    if (!FileBuffer::ReadFromFile(path))
        return false;
    if (!obinToHostOrder(bytes_.data(), bytes_.size())) {
        std::printf("ERROR: ReadFromFile Invalid obin endian conversion '%s'\r\n", path);
        return false;
    }
    if (!obinCheckCrcs(bytes_.data(), bytes_.size())) {
        std::printf("ERROR: ReadFromFile Invalid obin CRC's '%s'\r\n", path);
        return false;
    }
    IndexRegions();
    return true;
}

bool OBinFileBuffer::WriteToFile(const char* path)
{
    if (!obinCheckCrcs(bytes_.data(), bytes_.size())) {
        std::printf("ERROR: WriteToFile Invalid obin CRC's '%s'\r\n", path ? path : "");
        return false;
    }
    return FileBuffer::WriteToFile(path);
}

bool OBinFileBuffer::AppendFile(const char* path)
{
    OBinFileBuffer other;
    if (!other.ReadFromFile(path))
        return false;
    regions_.clear();
    bytes_.insert(bytes_.end(), other.bytes_.begin(), other.bytes_.end());
    // What was here before may have failed its own load; never index a
    // buffer that is not a valid image as a whole.
    if (!obinCheckCrcs(bytes_.data(), bytes_.size())) {
        std::printf("ERROR: AppendFile Invalid obin CRC's '%s'\r\n", path);
        return false;
    }
    IndexRegions();
    return true;
}

void OBinFileBuffer::IndexRegions()
{
    regions_.clear();
    const uint8_t* image = bytes_.data();
    const size_t length = bytes_.size();
    // Only checked images are indexed, but the walk keeps to the bounds of
    // the bytes whatever they hold.
    for (size_t off = 0; length - off >= obin::kHeaderSize;) {
        const ObinRegionHeader h(image + off);
        if (h.magic() != obin::kMagic)
            break;
        const uint32_t blockLength = h.blockLength();
        const uint32_t n = h.entryCount();
        if (blockLength > length - off || !obin::entriesFit(blockLength, n))
            break;
        ObinRegion region{h, {}};
        region.entries.reserve(n);
        for (uint32_t i = 0; i < n; ++i) {
            const ObinRegionEntry e = h.entry(i);
            if (!obin::dataInBlock(blockLength, e.dataOffset(), e.length())) {
                regions_.clear();
                return;
            }
            region.entries.push_back({e, image + off + e.dataOffset()});
        }
        regions_.push_back(std::move(region));
        off += blockLength;
    }
}

const ObinRegion* OBinFileBuffer::FindRegion(uint32_t peripheral, uint32_t region) const
{
    for (const ObinRegion& r : regions_)
        if (r.header.peripheralId() == peripheral && r.header.regionNumber() == region)
            return &r;
    return nullptr;
}

uint32_t OBinFileBuffer::CountRegions(uint32_t peripheral) const
{
    uint32_t count = 0;
    for (const ObinRegion& r : regions_)
        if (r.header.peripheralId() == peripheral)
            ++count;
    return count;
}

const uint8_t* OBinFileBuffer::LatestVersion(uint32_t peripheral) const
{
    const uint32_t count = CountRegions(peripheral);
    const ObinRegion* best = nullptr;
    for (uint32_t i = 0; i < count; ++i) {
        const ObinRegion* r = FindRegion(peripheral, i);
        if (r != nullptr && (best == nullptr || r->header.version() > best->header.version()))
            best = r;
    }
    return best ? best->header.bytes() + obin::kVersionAt : nullptr;
}

} // namespace Orvo

#pragma once
// Byte buffers read from and written to files, and the validated OBin image
// with its index of regions.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "mixer/midi/obin.h"

namespace Orvo {

class FileBuffer {
public:
    // Largest buffer accepted from memory or from a file.
    static constexpr size_t kMaxLength = 64u * 1024 * 1024;

    FileBuffer() = default;
    FileBuffer(const FileBuffer&) = default;
    FileBuffer& operator=(const FileBuffer&) = default;
    FileBuffer(FileBuffer&&) = default;
    FileBuffer& operator=(FileBuffer&&) = default;
    virtual ~FileBuffer() = default;

    // Replaces the bytes with a copy of the range. A negative length, a
    // length above kMaxLength or a null range with a length are refused
    // (bytes cleared, false).
    virtual bool ReadFromBuffer(const uint8_t* data, int length);
    virtual bool ReadFromFile(const char* path);
    virtual bool WriteToFile(const char* path);

    bool ReadFromFile(const std::string& path) { return ReadFromFile(path.c_str()); }
    static bool CanOpen(const char* path);

    const std::string& path() const { return path_; }
    const std::vector<uint8_t>& bytes() const { return bytes_; }
    const uint8_t* data() const { return bytes_.data(); }
    size_t size() const { return bytes_.size(); }

protected:
    bool copyIn(const uint8_t* data, int length, const char* who);

    std::string path_;
    std::vector<uint8_t> bytes_;
};

struct ObinEntryRef {
    ObinRegionEntry entry;
    const uint8_t* data;
};

struct ObinRegion {
    ObinRegionHeader header;
    std::vector<ObinEntryRef> entries;
};

class OBinFileBuffer : public FileBuffer {
public:
    OBinFileBuffer() = default;
    // The index points into the bytes, so a copy builds its own.
    OBinFileBuffer(const OBinFileBuffer& other);
    OBinFileBuffer& operator=(const OBinFileBuffer& other);
    OBinFileBuffer(OBinFileBuffer&&) = default;
    OBinFileBuffer& operator=(OBinFileBuffer&&) = default;
    ~OBinFileBuffer() override = default;

    bool ReadFromBuffer(const uint8_t* data, int length) override;
    // The same, taking the bytes over instead of copying them.
    bool ReadFromBuffer(std::vector<uint8_t>&& bytes);
    bool ReadFromFile(const char* path) override;
    bool WriteToFile(const char* path) override;
    using FileBuffer::ReadFromFile;

    // Reads another image file and appends it; the whole buffer is then
    // checked again and re-indexed.
    bool AppendFile(const char* path);

    void IndexRegions();
    const ObinRegion* FindRegion(uint32_t peripheral, uint32_t region) const;
    uint32_t CountRegions(uint32_t peripheral) const;
    // The version field (4 bytes, little-endian) of the peripheral's region
    // with the greatest version; on a tie the lower region number. Null when
    // the peripheral has no regions.
    const uint8_t* LatestVersion(uint32_t peripheral) const;

    const std::vector<ObinRegion>& regions() const { return regions_; }

private:
    bool loadBytes(const char* who);

    std::vector<ObinRegion> regions_;
};

} // namespace Orvo

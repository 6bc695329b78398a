#include "sim/mixer/bootloader.h"

#include "mixer/midi/crc32.h"
#include "mixer/midi/le_bytes.h"
#include "mixer/midi/obin_file_buffer.h"

namespace Orvo::sim {

std::vector<BootRegionLayout> modelFlashLayout(uint32_t peripheral)
{
    if (peripheral == 0x3A710018u || peripheral == 0x3A710019u)
        return {{0x08008000u, 0x58000u}, {0x20000000u, 0x20000u}};
    return {};
}

Bootloader::Bootloader(uint32_t peripheral, std::vector<BootRegionLayout> layout) : peripheral_(peripheral)
{
    for (const BootRegionLayout& r : layout) {
        flash_.emplace_back(r.base, r.size);
        versions_.push_back(0);
    }
}

void Bootloader::answer(std::vector<uint8_t> bytes)
{
    if (faults_.silentAfter >= 0 && received_ > static_cast<size_t>(faults_.silentAfter))
        return;
    if (faults_.shortReplies)
        bytes.resize(1);
    if (reply_)
        reply_(bytes.data(), bytes.size());
}

void Bootloader::ack(uint32_t value)
{
    std::vector<uint8_t> r(5);
    r[0] = 0x81;
    storeLe32(r.data() + 1, value);
    answer(std::move(r));
}

void Bootloader::receive(const uint8_t* m, size_t n)
{
    ++received_;
    if (n == 0)
        return;
    const uint8_t command = m[0];
    if (faults_.refuseTimes > 0 && command == faults_.refuseCommand) {
        --faults_.refuseTimes;
        refuse(faults_.refuseCode);
        return;
    }
    switch (command) {
    case 0xC0: // request update
        restarted_ = false;
        writing_ = false;
        answer({0x80});
        return;
    case 0xC2: // region count
        answer({0x84, static_cast<uint8_t>(faults_.zeroRegions ? 0 : flash_.size())});
        return;
    case 0xC4: { // region info
        if (n != 5)
            return refuse(kRefuseMalformed);
        const uint32_t r = loadLe32(m + 1);
        if (r >= flash_.size())
            return refuse(kRefuseNoSuchRegion);
        std::vector<uint8_t> info(25, 0);
        info[0] = 0x83;
        storeLe32(&info[1], peripheral_);
        storeLe32(&info[5], faults_.wrongRegion ? r + 1 : r);
        storeLe32(&info[9], versions_[r]);
        storeLe32(&info[13], flash_[r].base());
        storeLe32(&info[17], flash_[r].size());
        storeLe32(&info[21], flash_[r].crc());
        answer(std::move(info));
        return;
    }
    case 0xC5: { // start region
        if (n != 25)
            return refuse(kRefuseMalformed);
        const uint32_t pid = loadLe32(m + 1), r = loadLe32(m + 5);
        if (pid != peripheral_)
            return refuse(kRefuseOtherPeripheral);
        if (r >= flash_.size())
            return refuse(kRefuseNoSuchRegion);
        if (loadLe32(m + 13) != flash_[r].base() || loadLe32(m + 17) != flash_[r].size())
            return refuse(kRefuseLayout);
        flash_[r].erase();
        versions_[r] = 0;
        writing_ = true;
        writingRegion_ = r;
        declaredVersion_ = loadLe32(m + 9);
        declaredCrc_ = loadLe32(m + 21);
        ack(0);
        return;
    }
    case 0xC6:
    case 0xC7: { // write chunk
        if (n < 6 || n != 6u + m[5])
            return refuse(kRefuseMalformed);
        if (!writing_)
            return refuse(kRefuseNotStarted);
        if (!flash_[writingRegion_].write(loadLe32(m + 1), m + 6, m[5]))
            return refuse(kRefuseOutsideRegion);
        if (command == 0xC6) {
            uint32_t crc = obinCrc32(m + 6, m[5]);
            if (faults_.wrongChunkCrcs > 0) {
                --faults_.wrongChunkCrcs;
                crc ^= 0x00010000u;
            }
            ack(crc);
        }
        return;
    }
    case 0xC8: { // end region
        if (n != 5)
            return refuse(kRefuseMalformed);
        if (!writing_ || loadLe32(m + 1) != writingRegion_)
            return refuse(kRefuseNotStarted);
        writing_ = false;
        uint32_t crc = flash_[writingRegion_].crc();
        // A region counts as programmed only when it holds what was declared.
        versions_[writingRegion_] = crc == declaredCrc_ ? declaredVersion_ : 0;
        if (faults_.wrongRegionCrcs > 0) {
            --faults_.wrongRegionCrcs;
            crc ^= 0x00000100u;
        }
        ack(crc);
        return;
    }
    case 0xC1: // finished: restart into the application
        writing_ = false;
        restarted_ = true;
        return;
    default:
        return; // unknown messages are ignored
    }
}

void Bootloader::programRegion(uint32_t region, uint32_t version,
                               const std::vector<std::pair<uint32_t, std::vector<uint8_t>>>& entries)
{
    FlashRegion& f = flash_.at(region);
    f.erase();
    for (const auto& [address, data] : entries)
        f.write(address, data.data(), data.size());
    versions_[region] = version;
}

void Bootloader::programFrom(const OBinFileBuffer& image)
{
    for (uint32_t r = 0; r < flash_.size(); ++r) {
        const ObinRegion* region = image.FindRegion(peripheral_, r);
        if (region == nullptr)
            continue;
        std::vector<std::pair<uint32_t, std::vector<uint8_t>>> entries;
        for (const ObinEntryRef& e : region->entries)
            entries.emplace_back(e.entry.address(), std::vector<uint8_t>(e.data, e.data + e.entry.length()));
        programRegion(r, region->header.version(), entries);
    }
}

} // namespace Orvo::sim

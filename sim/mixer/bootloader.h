#pragma once
// The simulated mixer's bootloader at the level of firmware-update messages
// (the payloads that travel inside 's' data-channel messages): it answers the
// host's C0, C2, C4, C5, C6/C7, C8 and C1, keeps a flash image per region,
// checks every chunk, and after C1 "restarts" as the application with the
// versions it was programmed with. Faults can be switched on for tests.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "sim/mixer/flash_region.h"

namespace Orvo {
class OBinFileBuffer;
}

namespace Orvo::sim {

struct BootRegionLayout {
    uint32_t base;
    uint32_t size;
};

// The flash layout of the two models (region 0 application, 1 DSP); the
// embedded image is described to fit it.
std::vector<BootRegionLayout> modelFlashLayout(uint32_t peripheral);

// Refusal codes the bootloader answers with (0x82 replies).
enum BootRefusal : uint8_t {
    kRefuseNoSuchRegion = 0x31,
    kRefuseOtherPeripheral = 0x32,
    kRefuseLayout = 0x33,
    kRefuseMalformed = 0x34,
    kRefuseNotStarted = 0x35,
    kRefuseOutsideRegion = 0x36,
};

class Bootloader {
public:
    using ReplySink = std::function<void(const uint8_t* bytes, size_t length)>;

    struct Faults {
        uint8_t refuseCommand = 0;  // refuse this command (0: none) ...
        uint8_t refuseCode = 0;     // ... with this code ...
        int refuseTimes = 0;        // ... this many times
        int wrongChunkCrcs = 0;     // answer this many C6 with a wrong CRC
        int wrongRegionCrcs = 0;    // answer this many C8 with a wrong CRC
        bool wrongRegion = false;   // describe region r + 1 when asked for r
        bool zeroRegions = false;   // report a region count of 0
        int silentAfter = -1;       // answer nothing after this many messages (-1: never silent)
        bool shortReplies = false;  // cut every reply to its first byte
    };

    Bootloader(uint32_t peripheral, std::vector<BootRegionLayout> layout);

    void setReplySink(ReplySink sink) { reply_ = std::move(sink); }
    // One host message.
    void receive(const uint8_t* bytes, size_t length);

    // Writes a region as an update would and marks it valid with its version:
    // the device then holds that firmware.
    void programRegion(uint32_t region, uint32_t version, const std::vector<std::pair<uint32_t, std::vector<uint8_t>>>& entries);
    // Programs every region the image has for this peripheral.
    void programFrom(const OBinFileBuffer& image);

    Faults& faults() { return faults_; }
    uint32_t peripheral() const { return peripheral_; }
    uint32_t regionCount() const { return static_cast<uint32_t>(flash_.size()); }
    const FlashRegion& flash(uint32_t region) const { return flash_.at(region); }
    uint32_t regionVersion(uint32_t region) const { return versions_.at(region); }
    // True once C1 has restarted it into the application.
    bool restarted() const { return restarted_; }
    // The application's version: that of region 0.
    uint32_t applicationVersion() const { return versions_.empty() ? 0 : versions_[0]; }
    size_t messagesReceived() const { return received_; }

private:
    void answer(std::vector<uint8_t> bytes);
    void refuse(uint8_t code) { answer({0x82, code}); }
    void ack(uint32_t value);

    uint32_t peripheral_;
    std::vector<FlashRegion> flash_;
    std::vector<uint32_t> versions_; // 0: region not valid
    ReplySink reply_;
    Faults faults_;
    size_t received_ = 0;
    bool restarted_ = false;
    // The region being written between C5 and C8.
    bool writing_ = false;
    uint32_t writingRegion_ = 0;
    uint32_t declaredVersion_ = 0;
    uint32_t declaredCrc_ = 0;
};

} // namespace Orvo::sim

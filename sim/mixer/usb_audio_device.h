#pragma once
// One USB port of a simulated mixer: a USB Audio Class 2 device as the bus
// of the kernel stand-in sees it. It answers the descriptors, the clock
// requests and the interrupt pipe, records with a known signal and takes
// playback packets, and shows faults on demand.
//
// Threading: the bus calls the DeviceBackend methods from one thread at a
// time. The test-facing controls (faults, rate changes from the front panel,
// unplug) may be called from any thread; isochronous packets pick them up at
// the next packet. Counters may be read at any time; the playback recorder
// only while the bus is not streaming.

#include "platform/kernel/usb_device_backend.h"
#include "sim/mixer/descriptors.h"
#include "sim/mixer/faults.h"
#include "sim/mixer/playback_recorder.h"
#include "sim/mixer/profile.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>

namespace sim::mixer {

// Counters of one device. Each is written by one side only.
struct DeviceCounters {
    // Isochronous IN.
    std::atomic<uint64_t> inPackets{0};    // packets answered with data
    std::atomic<uint64_t> inFrames{0};     // frames sent
    std::atomic<uint64_t> inEmpty{0};      // packets answered empty (zero-length, late start, invalid clock)
    std::atomic<uint64_t> inFailed{0};     // packets failed by a fault
    std::atomic<uint64_t> inOverflow{0};   // packets whose frames did not fit the host's buffer
    std::atomic<uint64_t> inInactive{0};   // IN polls while the record interface was idle
    // Isochronous OUT.
    std::atomic<uint64_t> outPackets{0};
    std::atomic<uint64_t> outFrames{0};
    std::atomic<uint64_t> outMalformed{0}; // length not a whole number of frames
    std::atomic<uint64_t> outFailed{0};
    std::atomic<uint64_t> outInactive{0};
    std::atomic<uint64_t> firstOutMicroframe{0};
    std::atomic<uint64_t> lastOutMicroframe{0};
    // Control requests to the clock.
    std::atomic<uint64_t> clockValidReads{0};
    std::atomic<uint64_t> rateReads{0};
    std::atomic<uint64_t> rateSets{0};
    std::atomic<uint64_t> rangeReads{0};
    std::atomic<uint64_t> stalledRequests{0};
    std::atomic<uint64_t> endpointHaltClears{0};
    // Interrupt pipe.
    std::atomic<uint64_t> interruptMessagesSent{0};
    std::atomic<uint64_t> interruptMessagesDropped{0};
};

class UsbAudioDevice final : public kplat::usb::DeviceBackend {
public:
    // `portLetter` is 'A' or 'B'; the serial string is "%010u" of the serial
    // number followed by the port letter.
    UsbAudioDevice(Profile profile, uint32_t serialNumber, char portLetter = 'A');
    ~UsbAudioDevice() override;

    // --- DeviceBackend (the bus side) ---
    std::span<const uint8_t> deviceDescriptor() const override;
    std::span<const uint8_t> configurationDescriptor() const override;
    bool highSpeed() const override;
    std::optional<std::u16string> stringDescriptor(uint8_t index, uint16_t langId) const override;
    kplat::usb::ControlResult controlTransfer(const kplat::usb::SetupPacket& setup, std::span<uint8_t> data) override;
    void setConfiguration(uint8_t value) override;
    void setInterface(uint8_t interfaceNumber, uint8_t alternateSetting) override;
    kplat::usb::IsochPacketResult isochIn(uint8_t endpointAddress, uint64_t microframe,
                                          std::span<uint8_t> packet) override;
    kplat::usb::IsochPacketResult isochOut(uint8_t endpointAddress, uint64_t microframe,
                                           std::span<const uint8_t> packet) override;
    std::optional<std::vector<uint8_t>> interruptIn(uint8_t endpointAddress) override;
    bool attached() const override;

    // --- The device itself ---
    const Profile& profile() const { return profile_; }
    const Descriptors& descriptors() const { return descriptors_; }
    uint32_t serialNumber() const { return serialNumber_; }
    char portLetter() const { return portLetter_; }
    std::u16string serialString() const;

    uint32_t sampleRate() const;
    uint8_t configuration() const;
    uint8_t alternateSetting(uint8_t interfaceNumber) const;

    // The user turns the rate knob: a supported rate is taken and announced
    // on the interrupt pipe. False if the rate is not offered.
    bool changeRateFromPanel(uint32_t rate);
    // The rate changes with no interrupt message (any rate).
    void changeRateSilently(uint32_t rate);
    // Queue a raw interrupt message of any length (up to the endpoint's 6 bytes
    // a real device could send; longer ones test the host's checks).
    void injectInterruptMessage(std::vector<uint8_t> message);
    size_t pendingInterruptMessages() const;

    void setFaults(const Faults& faults);
    Faults faults() const;

    // Unplugging makes the device answer nothing; attached() tells the bus.
    void unplug();
    void replug();

    const DeviceCounters& counters() const { return counters_; }
    // Playback recording is off until enabled. Reconfigure only while the bus
    // is not streaming.
    PlaybackRecorder& playback() { return recorder_; }
    const PlaybackRecorder& playback() const { return recorder_; }

    // Frames the record clock has produced by the start of `microframe`,
    // valid while the rate and drift have not changed since the device was
    // made (tests use it to predict frame indices).
    uint64_t nominalFrameAt(uint64_t microframe) const;

private:
    // State the isochronous path keeps for itself; refreshed from the shared
    // state when its epoch moves.
    struct SampleClock {
        uint64_t anchorMicroframe = 0;
        uint64_t anchorFrame = 0;
        uint64_t numerator = 0; // rate × (10^6 + ppm); frames per microframe × kClockDenominator
        uint64_t base = 0;      // numerator / denominator
        uint64_t fraction = 0;  // numerator % denominator
        uint64_t nextMicroframe = 0;
        uint64_t nextFrame = 0;
        uint64_t nextRemainder = 0;
        uint64_t frameAt(uint64_t microframe) const;
        void rebase(uint64_t microframe, uint64_t numerator);
        // Frames the clock produces during `microframe`; `first` gets the
        // index of the first of them.
        uint32_t advance(uint64_t microframe, uint64_t& first);
    };
    struct Hot {
        uint8_t configuration = 0;
        uint8_t playbackAlt = 0;
        uint8_t recordAlt = 0;
        uint64_t recordStarts = 0;
        uint64_t recordStartMicroframe = 0;
        bool recordStartPending = false;
        uint32_t rate = 0;
        Faults faults;
        bool packetFaults = false;
        SampleClock clock;
    };

    void syncHot(uint64_t microframe);
    void bumpEpoch() { epoch_.fetch_add(1, std::memory_order_release); }
    void setRateLocked(uint32_t rate, bool announce);
    kplat::usb::ControlResult classRequest(const kplat::usb::SetupPacket& setup, std::span<uint8_t> data);
    kplat::usb::ControlResult standardRequest(const kplat::usb::SetupPacket& setup, std::span<uint8_t> data);
    bool isClockEntity(uint8_t entity) const;
    kplat::usb::ControlResult stall();

    const Profile profile_;
    const uint32_t serialNumber_;
    const char portLetter_;
    Descriptors descriptors_;
    std::array<uint8_t, 18> deviceDescriptor_{};
    std::atomic<bool> attached_{true};
    std::atomic<bool> fullSpeed_{false};

    mutable std::mutex mutex_; // guards the shared state below
    uint8_t configuration_ = 0;
    uint8_t playbackAlt_ = 0;
    uint8_t recordAlt_ = 0;
    uint64_t recordStarts_ = 0; // selections of the record interface's streaming setting
    uint32_t rate_ = 0;
    Faults faults_;
    std::deque<std::vector<uint8_t>> interruptQueue_;
    std::atomic<uint64_t> epoch_{1};

    // Isochronous path only.
    uint64_t seenEpoch_ = 0;
    Hot hot_;

    DeviceCounters counters_;
    PlaybackRecorder recorder_;
};

} // namespace sim::mixer

#include "sim/mixer/usb_audio_device.h"

#include "sim/mixer/test_signal.h"
#include "sim/mixer/uac2.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>

namespace sim::mixer {

using kplat::usb::ControlResult;
using kplat::usb::DeviceStatus;
using kplat::usb::IsochPacketResult;
using kplat::usb::SetupPacket;

namespace {

// Frames per microframe are kept as a fraction over 8,000 × 10^6 so that the
// drift in ppm stays exact.
constexpr uint64_t kPpmScale = 1'000'000;
constexpr uint64_t kClockDenominator = uint64_t{uac2::kMicroframesPerSecond} * kPpmScale;
constexpr size_t kInterruptQueueLimit = 16;

__extension__ typedef unsigned __int128 Wide;

// Single writer per counter: a plain load and store is enough and stays cheap.
inline void bump(std::atomic<uint64_t>& counter, uint64_t by = 1) {
    counter.store(counter.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
}

inline void putLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// One recorded frame of the test signal (see test_signal.h). Kept simple
// so that it vectorises: this is the device's whole per-sample cost.
inline void fillFrame(uint8_t* out, uint32_t channels, uint32_t frameBits) {
    for (uint32_t c = 0; c < channels; ++c) {
        const uint32_t v = (c + 1) << 24 | frameBits;
        if constexpr (std::endian::native == std::endian::little)
            std::memcpy(out + 4 * c, &v, 4);
        else
            putLe32(out + 4 * c, v);
    }
}

inline uint32_t getLe32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

uint64_t clockNumerator(uint32_t rate, int32_t ppm) {
    const int64_t scale = static_cast<int64_t>(kPpmScale) + ppm;
    return scale <= 0 ? 0 : uint64_t{rate} * static_cast<uint64_t>(scale);
}

} // namespace

// --- sample clock ---------------------------------------------------------

uint64_t UsbAudioDevice::SampleClock::frameAt(uint64_t microframe) const {
    if (microframe == nextMicroframe)
        return nextFrame;
    if (microframe <= anchorMicroframe)
        return anchorFrame;
    const Wide t = static_cast<Wide>(microframe - anchorMicroframe) * numerator;
    return anchorFrame + static_cast<uint64_t>(t / kClockDenominator);
}

void UsbAudioDevice::SampleClock::rebase(uint64_t microframe, uint64_t newNumerator) {
    const uint64_t frame = frameAt(microframe);
    anchorMicroframe = microframe;
    anchorFrame = frame;
    numerator = newNumerator;
    base = numerator / kClockDenominator;
    fraction = numerator % kClockDenominator;
    nextMicroframe = microframe;
    nextFrame = frame;
    nextRemainder = 0;
}

uint32_t UsbAudioDevice::SampleClock::advance(uint64_t microframe, uint64_t& first) {
    if (microframe != nextMicroframe) {
        // A gap (or a repeat) in the polling: the clock kept running.
        if (microframe < anchorMicroframe)
            microframe = anchorMicroframe;
        const Wide t = static_cast<Wide>(microframe - anchorMicroframe) * numerator;
        nextFrame = anchorFrame + static_cast<uint64_t>(t / kClockDenominator);
        nextRemainder = static_cast<uint64_t>(t % kClockDenominator);
        nextMicroframe = microframe;
    }
    first = nextFrame;
    uint64_t frames = base;
    nextRemainder += fraction;
    if (nextRemainder >= kClockDenominator) {
        nextRemainder -= kClockDenominator;
        ++frames;
    }
    nextFrame += frames;
    nextMicroframe = microframe + 1;
    return static_cast<uint32_t>(frames);
}

// --- construction and identity ----------------------------------------------

UsbAudioDevice::UsbAudioDevice(Profile profile, uint32_t serialNumber, char portLetter)
    : profile_(std::move(profile)), serialNumber_(serialNumber), portLetter_(portLetter) {
    descriptors_ = buildDescriptors(profile_, serialString());
    deviceDescriptor_ = descriptors_.device;
    rate_ = profile_.initialRate;
    hot_.rate = rate_;
    hot_.clock.rebase(0, clockNumerator(rate_, 0));
}

UsbAudioDevice::~UsbAudioDevice() = default;

std::u16string UsbAudioDevice::serialString() const {
    char text[16];
    std::snprintf(text, sizeof text, "%010u%c", serialNumber_, portLetter_);
    std::u16string s;
    for (const char* c = text; *c; ++c)
        s += static_cast<char16_t>(*c);
    return s;
}

std::span<const uint8_t> UsbAudioDevice::deviceDescriptor() const { return deviceDescriptor_; }

std::span<const uint8_t> UsbAudioDevice::configurationDescriptor() const { return descriptors_.configuration; }

bool UsbAudioDevice::highSpeed() const { return !fullSpeed_.load(std::memory_order_relaxed); }

bool UsbAudioDevice::attached() const { return attached_.load(std::memory_order_acquire); }

std::optional<std::u16string> UsbAudioDevice::stringDescriptor(uint8_t index, uint16_t langId) const {
    if (!attached())
        return std::nullopt;
    if (index == 0)
        return std::u16string(1, char16_t{0x0409}); // the one language offered
    if (langId != 0x0409)
        return std::nullopt;
    auto it = descriptors_.strings.find(index);
    if (it == descriptors_.strings.end())
        return std::nullopt;
    return it->second;
}

// --- configuration ------------------------------------------------------------

void UsbAudioDevice::setConfiguration(uint8_t value) {
    std::lock_guard lock(mutex_);
    if (value != 0 && value != kConfigurationValue)
        return;
    configuration_ = value;
    playbackAlt_ = 0;
    recordAlt_ = 0;
    bumpEpoch();
}

void UsbAudioDevice::setInterface(uint8_t interfaceNumber, uint8_t alternateSetting) {
    std::lock_guard lock(mutex_);
    if (configuration_ == 0 || alternateSetting > 1)
        return;
    if (interfaceNumber == kPlaybackInterface)
        playbackAlt_ = alternateSetting;
    else if (interfaceNumber == kRecordInterface) {
        if (alternateSetting == 1 && recordAlt_ == 0)
            ++recordStarts_;
        recordAlt_ = alternateSetting;
    }
    bumpEpoch();
}

uint8_t UsbAudioDevice::configuration() const {
    std::lock_guard lock(mutex_);
    return configuration_;
}

uint8_t UsbAudioDevice::alternateSetting(uint8_t interfaceNumber) const {
    std::lock_guard lock(mutex_);
    return interfaceNumber == kPlaybackInterface ? playbackAlt_ : interfaceNumber == kRecordInterface ? recordAlt_ : 0;
}

// --- rate, faults, plug -------------------------------------------------------

uint32_t UsbAudioDevice::sampleRate() const {
    std::lock_guard lock(mutex_);
    return rate_;
}

void UsbAudioDevice::setRateLocked(uint32_t rate, bool announce) {
    if (rate == rate_)
        return;
    rate_ = rate;
    bumpEpoch();
    if (!announce)
        return;
    // Interrupt data message: class-specific interface interrupt, CUR of the
    // sampling-frequency control of the clock source on interface 0.
    std::vector<uint8_t> message{0x00, uac2::kRequestCur, 0x00, uac2::kCsSamFreqControl, kControlInterface,
                                 kClockSourceId};
    if (interruptQueue_.size() == kInterruptQueueLimit) {
        interruptQueue_.pop_front();
        bump(counters_.interruptMessagesDropped);
    }
    interruptQueue_.push_back(std::move(message));
}

bool UsbAudioDevice::changeRateFromPanel(uint32_t rate) {
    std::lock_guard lock(mutex_);
    if (!profile_.supportsRate(rate))
        return false;
    setRateLocked(rate, true);
    return true;
}

void UsbAudioDevice::changeRateSilently(uint32_t rate) {
    std::lock_guard lock(mutex_);
    setRateLocked(rate, false);
}

void UsbAudioDevice::injectInterruptMessage(std::vector<uint8_t> message) {
    std::lock_guard lock(mutex_);
    interruptQueue_.push_back(std::move(message));
}

size_t UsbAudioDevice::pendingInterruptMessages() const {
    std::lock_guard lock(mutex_);
    return interruptQueue_.size();
}

void UsbAudioDevice::setFaults(const Faults& faults) {
    std::lock_guard lock(mutex_);
    faults_ = faults;
    fullSpeed_.store(faults.fullSpeed, std::memory_order_relaxed);
    const uint16_t vendor = faults.vendorId.value_or(profile_.vendorId);
    deviceDescriptor_[8] = static_cast<uint8_t>(vendor & 0xFF);
    deviceDescriptor_[9] = static_cast<uint8_t>(vendor >> 8);
    bumpEpoch();
}

Faults UsbAudioDevice::faults() const {
    std::lock_guard lock(mutex_);
    return faults_;
}

void UsbAudioDevice::unplug() { attached_.store(false, std::memory_order_release); }

void UsbAudioDevice::replug() {
    std::lock_guard lock(mutex_);
    configuration_ = 0;
    playbackAlt_ = 0;
    recordAlt_ = 0;
    interruptQueue_.clear();
    bumpEpoch();
    attached_.store(true, std::memory_order_release);
}

uint64_t UsbAudioDevice::nominalFrameAt(uint64_t microframe) const {
    const Wide t = static_cast<Wide>(microframe) * clockNumerator(profile_.initialRate, 0);
    return static_cast<uint64_t>(t / kClockDenominator);
}

// --- control pipe ---------------------------------------------------------------

ControlResult UsbAudioDevice::stall() {
    bump(counters_.stalledRequests);
    return {DeviceStatus::Stall, 0};
}

bool UsbAudioDevice::isClockEntity(uint8_t entity) const {
    return entity == kClockSourceId || entity == kPlaybackUsbTerminalId || entity == kRecordUsbTerminalId;
}

ControlResult UsbAudioDevice::controlTransfer(const SetupPacket& setup, std::span<uint8_t> data) {
    if (!attached())
        return {DeviceStatus::NoResponse, 0};
    std::lock_guard lock(mutex_);
    const uint8_t type = setup.bmRequestType >> 5 & 0x3;
    if (type == 0)
        return standardRequest(setup, data);
    if (type == 1 && (setup.bmRequestType & 0x1F) == 1)
        return classRequest(setup, data);
    return stall();
}

ControlResult UsbAudioDevice::standardRequest(const SetupPacket& setup, std::span<uint8_t> data) {
    const bool in = setup.bmRequestType & 0x80;
    const uint8_t recipient = setup.bmRequestType & 0x1F;
    if (in && setup.bRequest == uac2::kRequestGetStatus && setup.wValue == 0) {
        // Self powered; no halted endpoint, no remote wake-up.
        const uint8_t status[2] = {static_cast<uint8_t>(recipient == 0 ? 1 : 0), 0};
        const uint32_t n = std::min<uint32_t>({2u, setup.wLength, static_cast<uint32_t>(data.size())});
        std::memcpy(data.data(), status, n);
        return {DeviceStatus::Ok, n};
    }
    if (!in && recipient == 2 && setup.bRequest == uac2::kRequestClearFeature &&
        setup.wValue == uac2::kFeatureEndpointHalt) {
        const uint8_t ep = static_cast<uint8_t>(setup.wIndex);
        if (ep == kPlaybackEndpoint || ep == kRecordEndpoint || ep == kInterruptEndpoint) {
            bump(counters_.endpointHaltClears);
            return {DeviceStatus::Ok, 0};
        }
    }
    return stall();
}

ControlResult UsbAudioDevice::classRequest(const SetupPacket& setup, std::span<uint8_t> data) {
    if (faults_.failControlRequests > 0) {
        --faults_.failControlRequests;
        return {faults_.controlFailure, 0};
    }
    const bool in = setup.bmRequestType & 0x80;
    const uint8_t interfaceNumber = static_cast<uint8_t>(setup.wIndex & 0xFF);
    const uint8_t entity = static_cast<uint8_t>(setup.wIndex >> 8);
    const uint8_t selector = static_cast<uint8_t>(setup.wValue >> 8);
    const uint8_t channel = static_cast<uint8_t>(setup.wValue & 0xFF);
    if (interfaceNumber != kControlInterface || !isClockEntity(entity) || channel != 0)
        return stall();
    const uint32_t room = std::min<uint32_t>(setup.wLength, static_cast<uint32_t>(data.size()));

    if (selector == uac2::kCsClockValidControl && in && setup.bRequest == uac2::kRequestCur) {
        bump(counters_.clockValidReads);
        if (room < 1)
            return stall();
        data[0] = faults_.clockInvalid ? 0 : 1;
        return {DeviceStatus::Ok, 1};
    }
    if (selector != uac2::kCsSamFreqControl)
        return stall();

    if (setup.bRequest == uac2::kRequestCur && in) {
        bump(counters_.rateReads);
        uint8_t value[4];
        putLe32(value, rate_);
        const uint32_t n = std::min(room, 4u);
        std::memcpy(data.data(), value, n);
        return {DeviceStatus::Ok, n};
    }
    if (setup.bRequest == uac2::kRequestCur && !in) {
        bump(counters_.rateSets);
        if (setup.wLength != 4 || data.size() < 4)
            return stall();
        const uint32_t rate = getLe32(data.data());
        // A rate the clock does not offer is ignored: the old one stays.
        if (profile_.supportsRate(rate))
            setRateLocked(rate, true);
        return {DeviceStatus::Ok, 4};
    }
    if (setup.bRequest == uac2::kRequestRange && in) {
        bump(counters_.rangeReads);
        // Layout-3 parameter block: wNumSubRanges, then {min, max, res} each.
        const auto& ranges = profile_.rates;
        const uint32_t total = 2 + 12 * static_cast<uint32_t>(ranges.size());
        const uint32_t n = std::min(room, total);
        uint8_t* out = data.data();
        uint8_t entry[12];
        const uint16_t count = static_cast<uint16_t>(ranges.size());
        const uint8_t head[2] = {static_cast<uint8_t>(count & 0xFF), static_cast<uint8_t>(count >> 8)};
        uint32_t written = 0;
        auto emit = [&](const uint8_t* bytes, uint32_t len) {
            const uint32_t take = std::min(len, n - written);
            std::memcpy(out + written, bytes, take);
            written += take;
        };
        emit(head, 2);
        for (const RateRange& r : ranges) {
            if (written == n)
                break;
            putLe32(entry, r.min);
            putLe32(entry + 4, r.max);
            putLe32(entry + 8, r.res);
            emit(entry, 12);
        }
        return {DeviceStatus::Ok, n};
    }
    return stall();
}

// --- interrupt pipe ---------------------------------------------------------------

std::optional<std::vector<uint8_t>> UsbAudioDevice::interruptIn(uint8_t endpointAddress) {
    if (!attached() || endpointAddress != kInterruptEndpoint)
        return std::nullopt;
    std::lock_guard lock(mutex_);
    if (configuration_ == 0 || interruptQueue_.empty())
        return std::nullopt;
    std::vector<uint8_t> message = std::move(interruptQueue_.front());
    interruptQueue_.pop_front();
    bump(counters_.interruptMessagesSent);
    return message;
}

// --- isochronous pipes ------------------------------------------------------------

void UsbAudioDevice::syncHot(uint64_t microframe) {
    const uint64_t epoch = epoch_.load(std::memory_order_acquire);
    if (epoch == seenEpoch_)
        return;
    std::lock_guard lock(mutex_);
    seenEpoch_ = epoch_.load(std::memory_order_relaxed);
    if (recordStarts_ != hot_.recordStarts) {
        hot_.recordStarts = recordStarts_;
        hot_.recordStartPending = true;
    }
    hot_.configuration = configuration_;
    hot_.playbackAlt = playbackAlt_;
    hot_.recordAlt = recordAlt_;
    const uint64_t numerator = clockNumerator(rate_, faults_.driftPpm);
    if (numerator != hot_.clock.numerator)
        hot_.clock.rebase(microframe, numerator);
    hot_.rate = rate_;
    hot_.faults = faults_;
    hot_.packetFaults = faults_.clockInvalid || faults_.lateStartMicroframes != 0 || !faults_.inZeroLength.empty() ||
                        !faults_.inFailed.empty() || !faults_.outFailed.empty();
}

IsochPacketResult UsbAudioDevice::isochIn(uint8_t endpointAddress, uint64_t microframe, std::span<uint8_t> packet) {
    if (!attached())
        return {DeviceStatus::NoResponse, 0};
    syncHot(microframe);
    if (endpointAddress != kRecordEndpoint || hot_.configuration == 0 || hot_.recordAlt != 1) {
        bump(counters_.inInactive);
        return {DeviceStatus::NoResponse, 0};
    }
    uint64_t first = 0;
    const uint32_t frames = hot_.clock.advance(microframe, first);
    if (hot_.recordStartPending) {
        hot_.recordStartPending = false;
        hot_.recordStartMicroframe = microframe;
    }
    if (hot_.packetFaults) {
        const Faults& f = hot_.faults;
        if (f.inFailed.hits(microframe)) {
            bump(counters_.inFailed);
            return {f.packetFailure, 0};
        }
        if (f.clockInvalid || microframe - hot_.recordStartMicroframe < f.lateStartMicroframes ||
            f.inZeroLength.hits(microframe)) {
            bump(counters_.inEmpty);
            return {DeviceStatus::Ok, 0};
        }
    }
    const uint32_t channels = profile_.record.channels();
    const uint32_t bytes = packetBytes(frames, channels);
    if (bytes > packet.size()) {
        // More than the host left room for: the packet is lost (babble).
        bump(counters_.inOverflow);
        return {DeviceStatus::Error, 0};
    }
    uint8_t* out = packet.data();
    for (uint32_t i = 0; i < frames; ++i, out += channels * 4) {
        const uint32_t frameBits = static_cast<uint32_t>((first + i) & kSignalFrameMask);
        fillFrame(out, channels, frameBits);
    }
    bump(counters_.inPackets);
    bump(counters_.inFrames, frames);
    return {DeviceStatus::Ok, bytes};
}

IsochPacketResult UsbAudioDevice::isochOut(uint8_t endpointAddress, uint64_t microframe,
                                           std::span<const uint8_t> packet) {
    if (!attached())
        return {DeviceStatus::NoResponse, 0};
    syncHot(microframe);
    if (endpointAddress != kPlaybackEndpoint || hot_.configuration == 0 || hot_.playbackAlt != 1) {
        bump(counters_.outInactive);
        return {DeviceStatus::NoResponse, 0};
    }
    if (hot_.packetFaults && hot_.faults.outFailed.hits(microframe)) {
        bump(counters_.outFailed);
        return {hot_.faults.packetFailure, 0};
    }
    const uint32_t frameBytes = packetBytes(1, profile_.playback.channels());
    const uint32_t size = static_cast<uint32_t>(packet.size());
    const uint32_t frames = frameBytes == 0 ? 0 : size / frameBytes;
    if (frameBytes == 0 || size % frameBytes != 0)
        bump(counters_.outMalformed);
    if (counters_.outPackets.load(std::memory_order_relaxed) == 0)
        counters_.firstOutMicroframe.store(microframe, std::memory_order_relaxed);
    counters_.lastOutMicroframe.store(microframe, std::memory_order_relaxed);
    bump(counters_.outPackets);
    bump(counters_.outFrames, frames);
    recorder_.record(microframe, packet.data(), frames);
    return {DeviceStatus::Ok, size};
}

} // namespace sim::mixer

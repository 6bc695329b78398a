#include "sim/mixer/descriptors.h"

#include "sim/mixer/uac2.h"

#include <cassert>
#include <stdexcept>

namespace sim::mixer {

namespace {

class Writer {
public:
    explicit Writer(std::vector<uint8_t>& out) : out_(out) {}
    void u8(uint32_t v) { out_.push_back(static_cast<uint8_t>(v)); }
    void u16(uint32_t v) {
        u8(v & 0xFF);
        u8(v >> 8 & 0xFF);
    }
    void u32(uint32_t v) {
        u16(v & 0xFFFF);
        u16(v >> 16);
    }
    size_t size() const { return out_.size(); }
    void patch16(size_t at, uint32_t v) {
        out_[at] = static_cast<uint8_t>(v & 0xFF);
        out_[at + 1] = static_cast<uint8_t>(v >> 8 & 0xFF);
    }

private:
    std::vector<uint8_t>& out_;
};

void interfaceDescriptor(Writer& w, uint8_t number, uint8_t alt, uint8_t endpoints, uint8_t subclass,
                         uint8_t iInterface) {
    w.u8(9);
    w.u8(uac2::kDescInterface);
    w.u8(number);
    w.u8(alt);
    w.u8(endpoints);
    w.u8(uac2::kClassAudio);
    w.u8(subclass);
    w.u8(uac2::kProtocolIpVersion2);
    w.u8(iInterface);
}

void streamingInterface(Writer& w, uint8_t number, uint8_t terminalLink, const StreamFormat& format,
                        uint8_t namesIndex, uint8_t endpoint, uint8_t endpointAttributes, uint16_t maxPacket,
                        uint8_t iInterface) {
    // Alternate setting 0: zero bandwidth.
    interfaceDescriptor(w, number, 0, 0, uac2::kSubclassAudioStreaming, iInterface);
    // Alternate setting 1: streaming.
    interfaceDescriptor(w, number, 1, 1, uac2::kSubclassAudioStreaming, iInterface);

    // AS_GENERAL.
    w.u8(16);
    w.u8(uac2::kDescCsInterface);
    w.u8(uac2::kAsGeneral);
    w.u8(terminalLink);
    w.u8(0); // bmControls
    w.u8(uac2::kFormatTypeI);
    w.u32(format.floatSamples ? uac2::kFormatIeeeFloat : uac2::kFormatPcm);
    w.u8(format.channels());
    w.u32(0); // bmChannelConfig: no spatial positions
    w.u8(namesIndex);

    // FORMAT_TYPE I: four bytes per sample, all 32 bits used.
    w.u8(6);
    w.u8(uac2::kDescCsInterface);
    w.u8(uac2::kAsFormatType);
    w.u8(uac2::kFormatTypeI);
    w.u8(4);
    w.u8(32);

    // Standard isochronous endpoint.
    w.u8(7);
    w.u8(uac2::kDescEndpoint);
    w.u8(endpoint);
    w.u8(endpointAttributes);
    w.u16(maxPacket);
    w.u8(1); // every microframe

    // Class-specific endpoint: no controls, no lock delay.
    w.u8(8);
    w.u8(uac2::kDescCsEndpoint);
    w.u8(uac2::kEpGeneral);
    w.u8(0);
    w.u8(0);
    w.u8(0);
    w.u16(0);
}

void inputTerminal(Writer& w, uint8_t id, uint16_t type, uint32_t channels, uint8_t namesIndex) {
    w.u8(17);
    w.u8(uac2::kDescCsInterface);
    w.u8(uac2::kAcInputTerminal);
    w.u8(id);
    w.u16(type);
    w.u8(0); // bAssocTerminal
    w.u8(kClockSourceId);
    w.u8(channels);
    w.u32(0); // bmChannelConfig
    w.u8(namesIndex);
    w.u16(0); // bmControls
    w.u8(0);  // iTerminal
}

void outputTerminal(Writer& w, uint8_t id, uint16_t type, uint8_t source) {
    w.u8(12);
    w.u8(uac2::kDescCsInterface);
    w.u8(uac2::kAcOutputTerminal);
    w.u8(id);
    w.u16(type);
    w.u8(0); // bAssocTerminal
    w.u8(source);
    w.u8(kClockSourceId);
    w.u16(0); // bmControls
    w.u8(0);  // iTerminal
}

// Assigns channel names to consecutive string indices up to 255. Names that
// would need a higher index are left out: hosts reading them wrap modulo 256
// and find whatever string lives there.
uint8_t addNames(std::map<uint8_t, std::u16string>& strings, uint32_t& next, const StreamFormat& format) {
    if (format.channels() == 0 || next > 255)
        return 0;
    const auto first = static_cast<uint8_t>(next);
    for (const auto& name : format.channelNames) {
        if (next > 255)
            break;
        strings[static_cast<uint8_t>(next++)] = name;
    }
    return first;
}

} // namespace

uint16_t isochMaxPacketField(uint32_t highestRate, uint32_t channels) {
    uint32_t bytes = packetBytes(highestRate / uac2::kMicroframesPerSecond + 1, channels);
    if (bytes > uac2::kMaxIsochPacketBytes)
        bytes = uac2::kMaxIsochPacketBytes;
    const uint32_t transactions = bytes <= 1024 ? 1 : bytes <= 2048 ? 2 : 3;
    const uint32_t perTransaction = (bytes + transactions - 1) / transactions;
    return static_cast<uint16_t>(perTransaction | (transactions - 1) << 11);
}

Descriptors buildDescriptors(const Profile& profile, const std::u16string& serial) {
    for (const StreamFormat* f : {&profile.playback, &profile.record}) {
        if (f->channels() > 255)
            throw std::invalid_argument("a streaming interface carries at most 255 channels");
        for (const auto& n : f->channelNames)
            if (n.size() > 126)
                throw std::invalid_argument("a string descriptor carries at most 126 characters");
    }

    Descriptors d;
    d.strings[kManufacturerString] = profile.manufacturer;
    d.strings[kProductString] = profile.product;
    d.strings[kSerialString] = serial;
    d.strings[kClockString] = u"Internal Clock";
    d.strings[kPlaybackInterfaceString] = u"Playback";
    d.strings[kRecordInterfaceString] = u"Record";
    uint32_t next = kFirstChannelNameString;
    d.playbackNamesIndex = addNames(d.strings, next, profile.playback);
    d.recordNamesIndex = addNames(d.strings, next, profile.record);

    auto& dev = d.device;
    dev = {18, uac2::kDescDevice,
           0x00, 0x02, // bcdUSB 2.00
           0xEF, 0x02, 0x01, // miscellaneous class, interface association
           64,
           static_cast<uint8_t>(profile.vendorId & 0xFF), static_cast<uint8_t>(profile.vendorId >> 8),
           static_cast<uint8_t>(profile.productId & 0xFF), static_cast<uint8_t>(profile.productId >> 8),
           static_cast<uint8_t>(profile.bcdDevice & 0xFF), static_cast<uint8_t>(profile.bcdDevice >> 8),
           kManufacturerString, kProductString, kSerialString,
           1};

    Writer w(d.configuration);
    w.u8(9);
    w.u8(uac2::kDescConfiguration);
    w.u16(0); // wTotalLength, patched below
    w.u8(3);  // bNumInterfaces
    w.u8(kConfigurationValue);
    w.u8(0);    // iConfiguration
    w.u8(0xC0); // self powered
    w.u8(50);   // 100 mA

    // Interface association: the three interfaces form one audio function.
    w.u8(8);
    w.u8(uac2::kDescInterfaceAssociation);
    w.u8(kControlInterface);
    w.u8(3);
    w.u8(uac2::kClassAudio);
    w.u8(0);
    w.u8(uac2::kProtocolIpVersion2);
    w.u8(kProductString);

    interfaceDescriptor(w, kControlInterface, 0, 1, uac2::kSubclassAudioControl, 0);
    const size_t header = w.size();
    w.u8(9);
    w.u8(uac2::kDescCsInterface);
    w.u8(uac2::kAcHeader);
    w.u16(0x0200); // bcdADC
    w.u8(uac2::kFunctionCategoryProAudio);
    w.u16(0); // wTotalLength of the class-specific descriptors, patched below
    w.u8(0);  // bmControls

    // Internal programmable clock; frequency read/write, validity read-only.
    w.u8(8);
    w.u8(uac2::kDescCsInterface);
    w.u8(uac2::kAcClockSource);
    w.u8(kClockSourceId);
    w.u8(0x03);
    w.u8(0x07);
    w.u8(0);
    w.u8(kClockString);

    inputTerminal(w, kPlaybackUsbTerminalId, uac2::kTerminalUsbStreaming, profile.playback.channels(),
                  d.playbackNamesIndex);
    outputTerminal(w, kPlaybackLineTerminalId, uac2::kTerminalLineConnector, kPlaybackUsbTerminalId);
    inputTerminal(w, kRecordLineTerminalId, uac2::kTerminalLineConnector, profile.record.channels(),
                  d.recordNamesIndex);
    outputTerminal(w, kRecordUsbTerminalId, uac2::kTerminalUsbStreaming, kRecordLineTerminalId);
    w.patch16(header + 6, static_cast<uint32_t>(w.size() - header));

    // Interrupt endpoint for the interrupt data messages, polled every 1 ms.
    w.u8(7);
    w.u8(uac2::kDescEndpoint);
    w.u8(kInterruptEndpoint);
    w.u8(uac2::kEpInterrupt);
    w.u16(uac2::kInterruptMessageBytes);
    w.u8(4);

    const uint32_t top = profile.highestRate();
    streamingInterface(w, kPlaybackInterface, kPlaybackUsbTerminalId, profile.playback, d.playbackNamesIndex,
                       kPlaybackEndpoint, uac2::kEpIsoAsyncData,
                       isochMaxPacketField(top, profile.playback.channels()), kPlaybackInterfaceString);
    streamingInterface(w, kRecordInterface, kRecordUsbTerminalId, profile.record, d.recordNamesIndex,
                       kRecordEndpoint, uac2::kEpIsoAsyncImplicitFeedback,
                       isochMaxPacketField(top, profile.record.channels()), kRecordInterfaceString);

    assert(w.size() <= 0xFFFF);
    w.patch16(2, static_cast<uint32_t>(w.size()));
    return d;
}

} // namespace sim::mixer

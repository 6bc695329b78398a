#pragma once
// The descriptors of a simulated mixer, built from its profile: the device
// descriptor, a USB Audio Class 2 configuration (interface association,
// audio control with clock source and terminals, two streaming interfaces)
// and the string table.

#include "sim/mixer/profile.h"

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sim::mixer {

// Entity ids of the audio function. Requests for the clock may name the clock
// source itself or one of the USB streaming terminals it clocks: the
// streaming interfaces' bTerminalLink names those terminals, and hosts
// address the clock through them.
inline constexpr uint8_t kClockSourceId = 0x29;
inline constexpr uint8_t kPlaybackUsbTerminalId = 0x01; // input terminal, USB streaming
inline constexpr uint8_t kPlaybackLineTerminalId = 0x02;
inline constexpr uint8_t kRecordLineTerminalId = 0x03;
inline constexpr uint8_t kRecordUsbTerminalId = 0x04; // output terminal, USB streaming

// Interfaces.
inline constexpr uint8_t kControlInterface = 0;
inline constexpr uint8_t kPlaybackInterface = 1;
inline constexpr uint8_t kRecordInterface = 2;

// Endpoints.
inline constexpr uint8_t kPlaybackEndpoint = 0x01; // isochronous OUT
inline constexpr uint8_t kRecordEndpoint = 0x82;   // isochronous IN
inline constexpr uint8_t kInterruptEndpoint = 0x83;

inline constexpr uint8_t kConfigurationValue = 1;

// String indices. Channel names follow from kFirstChannelNameString:
// playback names first, then record names.
inline constexpr uint8_t kManufacturerString = 1;
inline constexpr uint8_t kProductString = 2;
inline constexpr uint8_t kSerialString = 3;
inline constexpr uint8_t kClockString = 4;
inline constexpr uint8_t kPlaybackInterfaceString = 5;
inline constexpr uint8_t kRecordInterfaceString = 6;
inline constexpr uint8_t kFirstChannelNameString = 8;

// Bytes a packet needs for `frames` frames of `channels` 32-bit samples.
inline constexpr uint32_t packetBytes(uint32_t frames, uint32_t channels) { return frames * channels * 4; }

// wMaxPacketSize for a streaming endpoint: one frame more than the nominal
// frames per microframe at the profile's highest rate, split into up to three
// transactions (bits 11..12 count the additional ones).
uint16_t isochMaxPacketField(uint32_t highestRate, uint32_t channels);

struct Descriptors {
    std::array<uint8_t, 18> device{};
    std::vector<uint8_t> configuration;
    std::map<uint8_t, std::u16string> strings;
    uint8_t playbackNamesIndex = 0; // iChannelNames of the playback direction
    uint8_t recordNamesIndex = 0;
};

// `serial` is the serial-number string descriptor's text.
Descriptors buildDescriptors(const Profile& profile, const std::u16string& serial);

} // namespace sim::mixer

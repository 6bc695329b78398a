#pragma once
// USB and USB Audio Class 2 numbers the simulated mixer speaks.

#include <cstdint>

namespace sim::mixer::uac2 {

// Descriptor types.
inline constexpr uint8_t kDescDevice = 0x01;
inline constexpr uint8_t kDescConfiguration = 0x02;
inline constexpr uint8_t kDescInterface = 0x04;
inline constexpr uint8_t kDescEndpoint = 0x05;
inline constexpr uint8_t kDescInterfaceAssociation = 0x0B;
inline constexpr uint8_t kDescCsInterface = 0x24;
inline constexpr uint8_t kDescCsEndpoint = 0x25;

// Interface class, subclasses and the class-2 protocol.
inline constexpr uint8_t kClassAudio = 0x01;
inline constexpr uint8_t kSubclassAudioControl = 0x01;
inline constexpr uint8_t kSubclassAudioStreaming = 0x02;
inline constexpr uint8_t kProtocolIpVersion2 = 0x20;
inline constexpr uint8_t kFunctionCategoryProAudio = 0x0A;

// Audio control interface descriptor subtypes.
inline constexpr uint8_t kAcHeader = 0x01;
inline constexpr uint8_t kAcInputTerminal = 0x02;
inline constexpr uint8_t kAcOutputTerminal = 0x03;
inline constexpr uint8_t kAcClockSource = 0x0A;

// Audio streaming interface descriptor subtypes.
inline constexpr uint8_t kAsGeneral = 0x01;
inline constexpr uint8_t kAsFormatType = 0x02;
inline constexpr uint8_t kEpGeneral = 0x01;

// Terminal types.
inline constexpr uint16_t kTerminalUsbStreaming = 0x0101;
inline constexpr uint16_t kTerminalLineConnector = 0x0603;

// Format type I and its bmFormats bits.
inline constexpr uint8_t kFormatTypeI = 0x01;
inline constexpr uint32_t kFormatPcm = 0x00000001;
inline constexpr uint32_t kFormatIeeeFloat = 0x00000004;

// Class-specific requests.
inline constexpr uint8_t kRequestCur = 0x01;
inline constexpr uint8_t kRequestRange = 0x02;
// Clock source control selectors.
inline constexpr uint8_t kCsSamFreqControl = 0x01;
inline constexpr uint8_t kCsClockValidControl = 0x02;

// Standard requests the device answers itself.
inline constexpr uint8_t kRequestGetStatus = 0x00;
inline constexpr uint8_t kRequestClearFeature = 0x01;
inline constexpr uint16_t kFeatureEndpointHalt = 0x0000;

// Endpoint attributes: isochronous, asynchronous; data or implicit feedback.
inline constexpr uint8_t kEpInterrupt = 0x03;
inline constexpr uint8_t kEpIsoAsyncData = 0x05;
inline constexpr uint8_t kEpIsoAsyncImplicitFeedback = 0x25;

// Interrupt data message: bInfo, bAttribute, wValue, wIndex.
inline constexpr uint32_t kInterruptMessageBytes = 6;

// 125 us microframes per second at high speed.
inline constexpr uint32_t kMicroframesPerSecond = 8000;
// Largest isochronous packet at high speed: three 1,024-byte transactions.
inline constexpr uint32_t kMaxIsochPacketBytes = 3 * 1024;

} // namespace sim::mixer::uac2

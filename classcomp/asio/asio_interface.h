#pragma once
// The ASIO driver interface as the ASIO driver implements it and hosts call
// it: the IASIO methods in their slot order, the records they exchange, the
// host callbacks and the constants both sides use. Declared here from the
// published ASIO interface (no header of its owner is copied); every value,
// name length and record layout below is the published interface's.
//
// Widths: the published interface uses `long` and `unsigned long`, which are
// 32 bits on its Windows targets; here they are fixed 32-bit types (AsioLong,
// AsioULong) so that the records keep their published layout on Linux x86-64,
// where `long` is 64 bits. Pointers keep the platform's size.
//
// Calling convention: on the 32-bit Windows target the IASIO methods after
// the three IUnknown ones are plain C++ member functions (thiscall), the
// IUnknown ones __stdcall, and the host callbacks cdecl. On Linux x86-64
// there is only one convention, so none is written.

#include "platform/com/com.h"

#include <cstdint>

namespace orvo::asio {

using AsioLong = int32_t;
using AsioULong = uint32_t;

using ASIOBool = AsioLong;
inline constexpr ASIOBool ASIOFalse = 0;
inline constexpr ASIOBool ASIOTrue = 1;

using ASIOSampleRate = double;

// Error codes (ASIOError).
using ASIOError = AsioLong;
inline constexpr ASIOError ASE_OK = 0;
inline constexpr ASIOError ASE_SUCCESS = 0x3f4847a0; // the answer of `future` for a supported selector
inline constexpr ASIOError ASE_NotPresent = -1000;
inline constexpr ASIOError ASE_HWMalfunction = -999;
inline constexpr ASIOError ASE_InvalidParameter = -998;
inline constexpr ASIOError ASE_InvalidMode = -997;
inline constexpr ASIOError ASE_SPNotAdvancing = -996;
inline constexpr ASIOError ASE_NoClock = -995;
inline constexpr ASIOError ASE_NoMemory = -994;

// Sample types (ASIOSampleType); the driver uses the 32-bit little-endian ones.
using ASIOSampleType = AsioLong;
inline constexpr ASIOSampleType ASIOSTInt16LSB = 16;
inline constexpr ASIOSampleType ASIOSTInt24LSB = 17;
inline constexpr ASIOSampleType ASIOSTInt32LSB = 18;
inline constexpr ASIOSampleType ASIOSTFloat32LSB = 19;
inline constexpr ASIOSampleType ASIOSTFloat64LSB = 20;

// Name fields: 32 bytes with their zero; the driver name buffer a host
// passes to getDriverName is as long; error texts take up to 124 bytes.
inline constexpr int kAsioNameLength = 32;
inline constexpr int kAsioDriverNameLength = 32;
inline constexpr int kAsioErrorMessageLength = 124;

// 64-bit values as two 32-bit halves, high half first.
struct ASIOSamples {
    AsioULong hi;
    AsioULong lo;
};
using ASIOTimeStamp = ASIOSamples; // nanoseconds

// Time info flags (AsioTimeInfo::flags).
inline constexpr AsioULong kSystemTimeValid = 1;
inline constexpr AsioULong kSamplePositionValid = 1 << 1;
inline constexpr AsioULong kSampleRateValid = 1 << 2;
inline constexpr AsioULong kSpeedValid = 1 << 3;
inline constexpr AsioULong kSampleRateChanged = 1 << 4;
inline constexpr AsioULong kClockSourceChanged = 1 << 5;

// Time code flags (ASIOTimeCode::flags).
inline constexpr AsioULong kTcValid = 1;
inline constexpr AsioULong kTcRunning = 1 << 1;
inline constexpr AsioULong kTcReverse = 1 << 2;
inline constexpr AsioULong kTcOnspeed = 1 << 3;
inline constexpr AsioULong kTcStill = 1 << 4;
inline constexpr AsioULong kTcSpeedValid = 1 << 8;

struct ASIOTimeCode {
    double speed;
    ASIOSamples timeCodeSamples;
    AsioULong flags;
    char future[64];
};

struct AsioTimeInfo {
    double speed;
    ASIOTimeStamp systemTime;
    ASIOSamples samplePosition;
    ASIOSampleRate sampleRate;
    AsioULong flags;
    char reserved[12];
};

struct ASIOTime {
    AsioLong reserved[4];
    AsioTimeInfo timeInfo;
    ASIOTimeCode timeCode;
};

struct ASIOClockSource {
    AsioLong index;
    AsioLong associatedChannel;
    AsioLong associatedGroup;
    ASIOBool isCurrentSource;
    char name[kAsioNameLength];
};

struct ASIOChannelInfo {
    AsioLong channel; // set by the host
    ASIOBool isInput; // set by the host
    ASIOBool isActive;
    AsioLong channelGroup;
    ASIOSampleType type;
    char name[kAsioNameLength];
};

struct ASIOBufferInfo {
    ASIOBool isInput; // set by the host
    AsioLong channelNum; // set by the host
    void* buffers[2]; // the two halves, set by the driver
};

// The host's callbacks, in their published order.
struct ASIOCallbacks {
    void (*bufferSwitch)(AsioLong doubleBufferIndex, ASIOBool directProcess);
    void (*sampleRateDidChange)(ASIOSampleRate rate);
    AsioLong (*asioMessage)(AsioLong selector, AsioLong value, void* message, double* opt);
    ASIOTime* (*bufferSwitchTimeInfo)(ASIOTime* params, AsioLong doubleBufferIndex, ASIOBool directProcess);
};

// Selectors of asioMessage (driver to host).
inline constexpr AsioLong kAsioSelectorSupported = 1;
inline constexpr AsioLong kAsioEngineVersion = 2;
inline constexpr AsioLong kAsioResetRequest = 3;
inline constexpr AsioLong kAsioBufferSizeChange = 4;
inline constexpr AsioLong kAsioResyncRequest = 5;
inline constexpr AsioLong kAsioLatenciesChanged = 6;
inline constexpr AsioLong kAsioSupportsTimeInfo = 7;
inline constexpr AsioLong kAsioSupportsTimeCode = 8;
inline constexpr AsioLong kAsioMMCCommand = 9;
inline constexpr AsioLong kAsioSupportsInputMonitor = 10;
inline constexpr AsioLong kAsioSupportsInputGain = 11;
inline constexpr AsioLong kAsioSupportsInputMeter = 12;
inline constexpr AsioLong kAsioSupportsOutputGain = 13;
inline constexpr AsioLong kAsioSupportsOutputMeter = 14;
inline constexpr AsioLong kAsioOverload = 15;

// Selectors of IASIO::future (host to driver).
inline constexpr AsioLong kAsioEnableTimeCodeRead = 1;
inline constexpr AsioLong kAsioDisableTimeCodeRead = 2;
inline constexpr AsioLong kAsioSetInputMonitor = 3;
inline constexpr AsioLong kAsioTransport = 4;
inline constexpr AsioLong kAsioSetInputGain = 5;
inline constexpr AsioLong kAsioGetInputMeter = 6;
inline constexpr AsioLong kAsioSetOutputGain = 7;
inline constexpr AsioLong kAsioGetOutputMeter = 8;
inline constexpr AsioLong kAsioCanInputMonitor = 9;
inline constexpr AsioLong kAsioCanTimeInfo = 10;
inline constexpr AsioLong kAsioCanTimeCode = 11;
inline constexpr AsioLong kAsioCanTransport = 12;
inline constexpr AsioLong kAsioCanInputGain = 13;
inline constexpr AsioLong kAsioCanInputMeter = 14;
inline constexpr AsioLong kAsioCanOutputGain = 15;
inline constexpr AsioLong kAsioCanOutputMeter = 16;

// The driver object's interface. Hosts obtain it from the class factory,
// asking for the interface whose identifier is the driver's class
// identifier. Slots 0..2 are IUnknown's, then init (3) .. outputReady (23).
class IASIO : public com::IUnknown {
public:
    virtual ASIOBool init(void* sysHandle) = 0;
    virtual void getDriverName(char* name) = 0; // kAsioDriverNameLength bytes
    virtual AsioLong getDriverVersion() = 0;
    virtual void getErrorMessage(char* string) = 0; // kAsioErrorMessageLength bytes
    virtual ASIOError start() = 0;
    virtual ASIOError stop() = 0;
    virtual ASIOError getChannels(AsioLong* numInputChannels, AsioLong* numOutputChannels) = 0;
    virtual ASIOError getLatencies(AsioLong* inputLatency, AsioLong* outputLatency) = 0;
    virtual ASIOError getBufferSize(AsioLong* minSize, AsioLong* maxSize, AsioLong* preferredSize,
                                    AsioLong* granularity) = 0;
    virtual ASIOError canSampleRate(ASIOSampleRate sampleRate) = 0;
    virtual ASIOError getSampleRate(ASIOSampleRate* sampleRate) = 0;
    virtual ASIOError setSampleRate(ASIOSampleRate sampleRate) = 0;
    virtual ASIOError getClockSources(ASIOClockSource* clocks, AsioLong* numSources) = 0;
    virtual ASIOError setClockSource(AsioLong reference) = 0;
    virtual ASIOError getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) = 0;
    virtual ASIOError getChannelInfo(ASIOChannelInfo* info) = 0;
    virtual ASIOError createBuffers(ASIOBufferInfo* bufferInfos, AsioLong numChannels, AsioLong bufferSize,
                                    ASIOCallbacks* callbacks) = 0;
    virtual ASIOError disposeBuffers() = 0;
    virtual ASIOError controlPanel() = 0;
    virtual ASIOError future(AsioLong selector, void* opt) = 0;
    virtual ASIOError outputReady() = 0;

protected:
    ~IASIO() = default;
};

// The exports of an in-process server, as a host looks them up by name.
using DllGetClassObjectFn = com::HRESULT (*)(com::REFCLSID clsid, com::REFIID iid, void** object);
using DllCanUnloadNowFn = com::HRESULT (*)();

} // namespace orvo::asio

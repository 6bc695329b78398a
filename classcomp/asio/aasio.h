#pragma once
// The driver object an ASIO host creates for one connected mixer: IASIO over
// the device of one slot, bound to the slot by the class identifier the host
// asks for. This half holds creation, init and the query methods; buffers,
// streaming and output mixing come with the streaming thread.

#include "classcomp/asio/asio_interface.h"
#include "classcomp/asio/com_server.h"
#include "classcomp/asio/device_wrapper.h"

#include <cstdint>

namespace orvo::asio {

inline constexpr size_t kMaxChannelsPerDirection = 20;
inline constexpr size_t kPlaybackAreaBytes = 480004;

class AAsio final : public IASIO, public CUnknown {
public:
    static CUnknown* CreateInstance(com::IUnknown* outer, HRESULT* result);

    // IUnknown, through the owner.
    HRESULT QueryInterface(REFIID riid, void** object) override { return GetOwner()->QueryInterface(riid, object); }
    w32::ULONG AddRef() override { return GetOwner()->AddRef(); }
    w32::ULONG Release() override { return GetOwner()->Release(); }

    HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override;

    ASIOBool init(void* sysHandle) override;
    void getDriverName(char* name) override;
    AsioLong getDriverVersion() override;
    void getErrorMessage(char* string) override;
    ASIOError start() override;
    ASIOError stop() override;
    ASIOError getChannels(AsioLong* numInputChannels, AsioLong* numOutputChannels) override;
    ASIOError getLatencies(AsioLong* inputLatency, AsioLong* outputLatency) override;
    ASIOError getBufferSize(AsioLong* minSize, AsioLong* maxSize, AsioLong* preferredSize,
                            AsioLong* granularity) override;
    ASIOError canSampleRate(ASIOSampleRate sampleRate) override;
    ASIOError getSampleRate(ASIOSampleRate* sampleRate) override;
    ASIOError setSampleRate(ASIOSampleRate sampleRate) override;
    ASIOError getClockSources(ASIOClockSource* clocks, AsioLong* numSources) override;
    ASIOError setClockSource(AsioLong reference) override;
    ASIOError getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) override;
    ASIOError getChannelInfo(ASIOChannelInfo* info) override;
    ASIOError createBuffers(ASIOBufferInfo* bufferInfos, AsioLong numChannels, AsioLong bufferSize,
                            ASIOCallbacks* callbacks) override;
    ASIOError disposeBuffers() override;
    ASIOError controlPanel() override;
    ASIOError future(AsioLong selector, void* opt) override;
    ASIOError outputReady() override;

    void ReadBufferSizeAndSampleRate(bool notify);
    bool requestReset();
    void notifySampleRateChanged(ASIOSampleRate rate);

    int32_t deviceIndex() const { return fDeviceIndex; }
    AudioDeviceInterfaceWrapper* device() const { return fDevice; }
    uint32_t blockFrames() const { return fBlockFrames; }
    uint32_t sampleRate() const { return fSampleRate; }
    bool inited() const { return fInited; }

private:
    AAsio(com::IUnknown* outer, HRESULT* result);
    ~AAsio() override;
    void timerOn();

    double fSamplePosition = 0;
    ASIOCallbacks* fCallbacks = nullptr;
    ASIOTime fAsioTime{};
    ASIOTimeStamp fSystemTime{};
    bool fTimeInfoMode = false;
    bool fTimeCodeRead = false;
    char fErrorMessage[128] = {};
    uint32_t fBufferIndex = 0;
    uint64_t fClientProcessedBlockCount = 0;
    uint8_t* fPlaybackBuffers = nullptr;
    bool fInited = false;
    bool fRunning = false;
    w32::HANDLE fStreamingThread = nullptr;
    void* fSysHandle = nullptr;
    uint8_t fInputChannelActive[kMaxChannelsPerDirection] = {};
    uint8_t fOutputChannelActive[kMaxChannelsPerDirection] = {};
    bool fIsBufferSizeInited = false;
    int32_t fDeviceIndex = 0;
    uint32_t fBlockFrames = 0;
    uint32_t fSampleRate = 0;
    AudioDeviceInterfaceWrapper* fDevice = nullptr;
};

} // namespace orvo::asio

#pragma once
// The driver object an ASIO host creates for one connected mixer: IASIO over
// the device of one slot, bound to the slot by the class identifier the host
// asks for. aasio.cpp holds creation, init and the query methods;
// aasio_buffers.cpp buffers, start, stop, the buffer switch and output.
//
// The host's threads and the streaming thread share the members without a
// lock; those both sides write or read while the other writes are atomics.

#include "classcomp/asio/asio_interface.h"
#include "classcomp/asio/com_server.h"
#include "classcomp/asio/device_wrapper.h"

#include <atomic>
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

    // For the streaming thread.
    bool isStreamingWanted() const;
    bool isRunning() const { return fRunning.load(); }
    bool isBufferSizeInited() const { return fIsBufferSizeInited.load(); }
    // Moves on at every disposeBuffers: a registration made before belongs
    // to buffers the host has given up, even when it asks again at once.
    uint32_t buffersGeneration() const { return fBuffersGeneration.load(); }
    void setIsBufferSizeInited(bool on);
    void setClientProcessedBlockCount(uint64_t count) { fClientProcessedBlockCount.store(count); }
    void clearOutputReady() { fInOutputReady.store(false); }
    void attachSharedBuffers(uint8_t* record, uint8_t* clipped, uint8_t* unclipped, uint8_t* status);
    // Forgets the four mappings (before the kernel driver undoes them).
    void detachSharedBuffers();
    // True when the host was called (running, with callbacks).
    bool switchBuffers(uint32_t index);
    void clearBuffers();
    void clearJoinedPlaybackBuffers();
    // The late-block rule of output mixing at the wake for `processed`
    // (`stopping`: in the tail after this client's stop).
    void finishLateBlock(uint64_t processed, bool stopping = false);
    // Valid until the streaming thread detaches the mappings, disposed
    // buffers or not.
    void silenceAfterLastBlock(uint64_t processed);
    void streamingThreadStarted();
    // The streaming thread's last act: true when the object was released on
    // that thread and is to be deleted now.
    bool streamingThreadEnded();
    static void DeleteReleasedOnStreamingThread(AAsio* object) { delete object; }

    int32_t deviceIndex() const { return fDeviceIndex; }
    AudioDeviceInterfaceWrapper* device() const { return fDevice; }
    uint32_t blockFrames() const { return fBlockFrames.load(); }
    uint32_t sampleRate() const { return fSampleRate.load(); }
    double sampleRateHz() const { return double(fSampleRate.load()); }
    bool inited() const { return fInited.load(); }
    bool sharedBuffersAttached() const { return fSharedBuffersAttached.load(); }
    const uint8_t* outputChannelActive() const { return fOutputChannelActive; }
    uint8_t* playbackArea() const { return fPlaybackBuffers; }
    w32::HANDLE streamingThread() const { return fStreamingThread; }

protected:
    bool DeferDestruction() override;

private:
    AAsio(com::IUnknown* outer, HRESULT* result);
    ~AAsio() override;
    void timerOn();
    bool waitForSharedBuffers();
    void callBufferSwitchTimeInfo();
    bool onStreamingThread() const;

    double fSamplePosition = 0;
    std::atomic<ASIOCallbacks*> fCallbacks{nullptr};
    ASIOTime fAsioTime{};
    ASIOTimeStamp fSystemTime{};
    bool fTimeInfoMode = false;
    bool fTimeCodeRead = false;
    char fErrorMessage[128] = {};
    uint32_t fBufferIndex = 0;
    std::atomic<uint64_t> fClientProcessedBlockCount{0};
    std::atomic<uint8_t*> fSharedRecordBuffers{nullptr};
    uint8_t* fPlaybackBuffers = nullptr;
    std::atomic<uint8_t*> fSharedJoinedPlaybackBuffersUnclipped{nullptr};
    std::atomic<uint8_t*> fSharedJoinedPlaybackBuffersClipped{nullptr};
    std::atomic<uint8_t*> fAsioInfo{nullptr};
    std::atomic<bool> fInited{false};
    std::atomic<bool> fRunning{false};
    w32::HANDLE fStreamingThread = nullptr;
    std::atomic<uint32_t> fStreamingThreadId{0}; // 0 once the thread has ended
    void* fSysHandle = nullptr;
    uint8_t fInputChannelActive[kMaxChannelsPerDirection] = {};
    uint8_t fOutputChannelActive[kMaxChannelsPerDirection] = {};
    std::atomic<bool> fIsBufferSizeInited{false};
    std::atomic<bool> fSharedBuffersAttached{false};
    std::atomic<bool> fInOutputReady{false};
    std::atomic<bool> fReleasedOnStreamingThread{false};
    std::atomic<bool> fSwitching{false};
    std::atomic<uint32_t> fBuffersGeneration{0}; // a buffer switch is calling the host
    int32_t fDeviceIndex = 0;
    std::atomic<uint32_t> fBlockFrames{0};
    std::atomic<uint32_t> fSampleRate{0};
    AudioDeviceInterfaceWrapper* fDevice = nullptr;
};

} // namespace orvo::asio

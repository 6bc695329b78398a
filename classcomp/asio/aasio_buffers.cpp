// AAsio: buffer creation, start and stop, the buffer switch, output and the
// operations through which the streaming thread drives the object.

#include "classcomp/asio/aasio.h"

#include "classcomp/asio/buffer_samples.h"
#include "classcomp/asio/debug_log.h"
#include "classcomp/asio/device_api.h"
#include "classcomp/asio/hi_lo.h"
#include "classcomp/asio/output_mixing.h"
#include "classcomp/asio/registry_settings.h"
#include "classcomp/asio/transport.h"
#include "classcomp/kernel/asio_info.h"
#include "platform/win32/clock.h"
#include "platform/win32/message.h"
#include "platform/win32/synch.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>

namespace orvo::asio {

namespace {

namespace k = orvo::kernel;

constexpr int kDeviceChecks = 3;
constexpr uint32_t kDeviceCheckPauseMs = 200;
constexpr uint32_t kAttachPollMs = 10;
constexpr uint32_t kAttachLimitMs = 2000;
// Ring blocks cleared at attach: more than the kernel driver's ring has.
constexpr size_t kClearedRingBlocks = 16;

} // namespace

ASIOError AAsio::createBuffers(ASIOBufferInfo* bufferInfos, AsioLong numChannels, AsioLong bufferSize,
                               ASIOCallbacks* callbacks)
{
    bool available = false;
    for (int i = 0; i < kDeviceChecks && !available; ++i) {
        available = IsDeviceAvailable(fDeviceIndex);
        if (!available)
            w32::Sleep(kDeviceCheckPauseMs);
    }
    if (!available) {
        uLog(2, "Refuse to create buffers due to non-open device");
        if (bufferInfos)
            *bufferInfos = ASIOBufferInfo{};
        return ASE_InvalidMode;
    }
    ReadBufferSizeAndSampleRate(false);
    uOrvoAudioSetKernelBufferMillisecs(fDeviceIndex, fDevice, int32_t(RegistryReadBufferSizeMillisecs(fDeviceIndex)));
    const uint32_t frames = fBlockFrames.load();
    if (bufferSize < 0 || uint32_t(bufferSize) != frames) {
        uLog(1, "Tried to create buffers with wrong/old buffer size (%d, %d)", int(frames), int(bufferSize));
        return ASE_InvalidMode;
    }
    uint32_t inputs = 0, outputs = 0;
    {
        MappingLease record = GetAsioInfo(fDeviceIndex, fDevice);
        if (record) {
            inputs = k::AsioInfo(record.get()).inputChannelCount();
            outputs = k::AsioInfo(record.get()).outputChannelCount();
        }
    }
    // The enable flags and the playback area bound what a host can be given.
    if (inputs > kMaxChannelsPerDirection || outputs > kMaxChannelsPerDirection ||
        2ull * outputs * frames * 4 > kPlaybackAreaLimit) {
        uLog(1, "Refuse to create buffers for %u inputs and %u outputs of %u frames: at most %u channels each way "
                "and %u bytes of output halves",
             unsigned(inputs), unsigned(outputs), unsigned(frames), unsigned(kMaxChannelsPerDirection),
             unsigned(kPlaybackAreaLimit));
        return ASE_InvalidMode;
    }
    setIsBufferSizeInited(true);
    uLog(1, "Setting up buffer of %d samples", int(frames));
    if (!waitForSharedBuffers()) {
        // The streaming thread registers only while this is set.
        setIsBufferSizeInited(false);
        return ASE_InvalidMode;
    }
    std::fill(std::begin(fInputChannelActive), std::end(fInputChannelActive), 0);
    std::fill(std::begin(fOutputChannelActive), std::end(fOutputChannelActive), 0);
    uint32_t inputsSeen = 0, outputsSeen = 0;
    for (AsioLong i = 0; i < numChannels && bufferInfos; ++i) {
        ASIOBufferInfo& info = bufferInfos[i];
        const bool input = info.isInput != ASIOFalse;
        const uint32_t count = input ? inputs : outputs;
        if (info.channelNum < 0 || uint32_t(info.channelNum) >= count)
            return ASE_InvalidParameter;
        const size_t k = size_t(info.channelNum);
        uint8_t* base = input ? fSharedRecordBuffers.load() : fPlaybackBuffers;
        (input ? fInputChannelActive : fOutputChannelActive)[k] = 1;
        info.buffers[0] = base + 4 * (2 * k) * frames;
        info.buffers[1] = base + 4 * (2 * k + 1) * frames;
        if (++(input ? inputsSeen : outputsSeen) > count)
            return ASE_InvalidParameter;
    }
    fCallbacks = callbacks;
    if (callbacks && callbacks->asioMessage && callbacks->asioMessage(kAsioSupportsTimeInfo, 0, nullptr, nullptr)) {
        fTimeInfoMode = true;
        fAsioTime = ASIOTime{};
        fAsioTime.timeInfo.speed = 1.0;
        fAsioTime.timeInfo.sampleRate = ASIOSampleRate(uOrvoAudioGetSampleRate(fDeviceIndex, fDevice));
        fAsioTime.timeInfo.flags = kSystemTimeValid | kSamplePositionValid | kSampleRateValid;
        fAsioTime.timeCode.speed = 1.0;
        fAsioTime.timeCode.flags = kTcValid | kTcRunning;
    } else {
        fTimeInfoMode = false;
    }
    if (MappingLease record = GetAsioInfo(fDeviceIndex, fDevice)) {
        w32::OutputDebugStringA("createBuffers success");
        std::atomic_ref<uint32_t>(
            *reinterpret_cast<uint32_t*>(record.get() + k::asio_info::kBuffersInitialisedCounterOffset))
            .fetch_sub(1);
    }
    return ASE_OK;
}

bool AAsio::waitForSharedBuffers()
{
    if (!fStreamingThread)
        return false;
    for (uint32_t waited = 0; fInited.load() && !fSharedBuffersAttached.load();) {
        w32::Sleep(kAttachPollMs);
        if (!fIsBufferSizeInited.load() || waited > kAttachLimitMs)
            break;
        uLogRaw(2, ".");
        waited += kAttachPollMs;
        if (w32::WaitForSingleObject(fStreamingThread, 0) == w32::WAIT_OBJECT_0)
            break; // the thread has ended
    }
    return fSharedBuffersAttached.load();
}

ASIOError AAsio::disposeBuffers()
{
    uLog(2, "AAsio::disposeBuffers");
    // The streaming thread sees the flag, leaves its block loop and gives
    // the registration back to the kernel driver; the next createBuffers
    // waits for a new one.
    fBuffersGeneration.fetch_add(1);
    fIsBufferSizeInited = false;
    fSharedBuffersAttached = false;
    fCallbacks = nullptr;
    stop();
    return ASE_OK;
}

ASIOError AAsio::start()
{
    uLog(2, "AAsio::start");
    if (!fCallbacks)
        return ASE_NotPresent;
    fSamplePosition = 0;
    fSystemTime = ASIOTimeStamp{};
    fBufferIndex = 0;
    fRunning = true;
    return ASE_OK;
}

ASIOError AAsio::stop()
{
    uLog(2, "AAsio::stop");
    fRunning = false;
    // Once stop returns no buffer switch runs: the host may let go of its
    // buffers. (On the streaming thread itself, inside a callback, there is
    // nothing to wait for.)
    if (!onStreamingThread())
        while (fSwitching.load())
            std::this_thread::yield();
    return ASE_OK;
}

void AAsio::setIsBufferSizeInited(bool on)
{
    uLog(2, "AAsio::setIsBufferSizeInited: %d", int(on));
    fIsBufferSizeInited = on;
}

void AAsio::attachSharedBuffers(uint8_t* record, uint8_t* clipped, uint8_t* unclipped, uint8_t* status)
{
    fSharedRecordBuffers = record;
    fSharedJoinedPlaybackBuffersClipped = clipped;
    fSharedJoinedPlaybackBuffersUnclipped = unclipped;
    fAsioInfo = status;
    if (!record) {
        uLog(1, "Record buffers are null");
        stop();
    }
    // Another process's started client may be playing through the joined
    // rings: they are cleared only while no client is started.
    const bool nobodyStarted = status && k::AsioInfo(status).startedClientCount() == 0;
    const uint32_t outputs = status ? std::min<uint32_t>(k::AsioInfo(status).outputChannelCount(), kMaxOutputChannels) : 0;
    const size_t clearBytes = std::min(kClearedRingBlocks * outputs * fBlockFrames.load() * 4, kJoinedRingMappingBytes);
    if (clipped) {
        if (nobodyStarted)
            std::memset(clipped, 0, clearBytes);
    } else {
        uLog(1, "fSharedJoinedPlaybackBuffersClipped is null");
        stop();
    }
    if (unclipped) {
        if (nobodyStarted)
            std::memset(unclipped, 0, clearBytes);
    } else {
        uLog(1, "fSharedJoinedPlaybackBuffersUnclipped is null");
        stop();
    }
    if (fPlaybackBuffers) {
        std::memset(fPlaybackBuffers, 0, kPlaybackAreaLimit);
    } else {
        uLog(1, "Playback buffers are null");
        stop();
    }
    fSharedBuffersAttached = record && clipped && unclipped && fPlaybackBuffers && status;
}

void AAsio::detachSharedBuffers()
{
    fSharedBuffersAttached = false;
    fSharedRecordBuffers = nullptr;
    fSharedJoinedPlaybackBuffersClipped = nullptr;
    fSharedJoinedPlaybackBuffersUnclipped = nullptr;
    fAsioInfo = nullptr;
}

bool AAsio::switchBuffers(uint32_t index)
{
    // Announced before the running flag is read; stop() clears the flag
    // before it looks at this (both sequentially consistent).
    fSwitching = true;
    struct Done {
        std::atomic<bool>& flag;
        ~Done() { flag = false; }
    } done{fSwitching};
    ASIOCallbacks* callbacks = fCallbacks;
    if (!fRunning.load() || !callbacks)
        return false;
    fBufferIndex = index;
    fSystemTime = SplitAtTwoTo32<ASIOTimeStamp>(double(w32::timeGetTime()) * 1'000'000.0);
    fSamplePosition += fBlockFrames.load();
    if (fTimeInfoMode)
        callBufferSwitchTimeInfo();
    else if (callbacks->bufferSwitch)
        callbacks->bufferSwitch(AsioLong(index), ASIOFalse);
    return true;
}

void AAsio::callBufferSwitchTimeInfo()
{
    getSamplePosition(&fAsioTime.timeInfo.samplePosition, &fAsioTime.timeInfo.systemTime);
    if (fTimeCodeRead) {
        // Ten minutes ahead of the sample position, in 64 bits: at high
        // rates the sum passes 2^32.
        const uint64_t samples =
            uint64_t(fAsioTime.timeInfo.sampleRate * 600.0) + fAsioTime.timeInfo.samplePosition.lo;
        fAsioTime.timeCode.timeCodeSamples = ASIOSamples{AsioULong(samples >> 32), AsioULong(samples)};
    }
    ASIOCallbacks* callbacks = fCallbacks;
    if (callbacks && callbacks->bufferSwitchTimeInfo)
        callbacks->bufferSwitchTimeInfo(&fAsioTime, AsioLong(fBufferIndex), ASIOFalse);
    fAsioTime.timeInfo.flags &= ~(kSampleRateChanged | kClockSourceChanged);
}

ASIOError AAsio::outputReady()
{
    uint8_t* status = fAsioInfo.load();
    if (!status)
        return ASE_InvalidMode;
    // Two threads (the host's and the streaming thread) may ask at once.
    if (fInOutputReady.exchange(true))
        return ASE_OK;
    PlaybackRings rings;
    if (!fSharedBuffersAttached.load() ||
        !DescribePlaybackRings(status, fSharedJoinedPlaybackBuffersClipped.load(),
                               fSharedJoinedPlaybackBuffersUnclipped.load(), fBlockFrames.load(), rings))
        return ASE_OK;
    const uint64_t processed = fClientProcessedBlockCount.load();
    const OutputBlock output{fPlaybackBuffers, uint32_t(processed & 1), fOutputChannelActive};
    if (k::AsioInfo(status).startedClientCount() <= 1)
        WriteSingleClientBlock(rings, output, processed + 3);
    else
        MixClientBlock(rings, output, processed + 3);
    return ASE_OK;
}

void AAsio::finishLateBlock(uint64_t processed, bool stopping)
{
    PlaybackRings rings;
    if (fSharedBuffersAttached.load() &&
        DescribePlaybackRings(fAsioInfo.load(), fSharedJoinedPlaybackBuffersClipped.load(),
                              fSharedJoinedPlaybackBuffersUnclipped.load(), fBlockFrames.load(), rings))
        FinishLateBlock(rings, processed, stopping);
}

void AAsio::silenceAfterLastBlock(uint64_t processed)
{
    PlaybackRings rings;
    if (DescribePlaybackRings(fAsioInfo.load(), fSharedJoinedPlaybackBuffersClipped.load(),
                              fSharedJoinedPlaybackBuffersUnclipped.load(), fBlockFrames.load(), rings))
        SilenceAfterLastBlock(rings, processed);
}

void AAsio::clearBuffers()
{
    uLog(2, "AAsio::clearBuffers");
    fIsBufferSizeInited = false;
    requestReset();
}

void AAsio::clearJoinedPlaybackBuffers()
{
    if (!fIsBufferSizeInited.load()) {
        uLogRaw(2, "!");
        return;
    }
    MappingLease record = GetAsioInfo(fDeviceIndex, fDevice, false);
    if (!record)
        return;
    const k::AsioInfo info(record.get());
    const size_t bytes = size_t(info.ringBlocks() + 1) * std::min<uint32_t>(info.outputChannelCount(), kMaxOutputChannels) *
                         fBlockFrames.load() * 4;
    uint8_t* clipped = fSharedJoinedPlaybackBuffersClipped.load();
    uint8_t* unclipped = fSharedJoinedPlaybackBuffersUnclipped.load();
    // Never under another process's started client.
    if (!ClearIdlePlaybackRings(record.get(), clipped, unclipped, bytes))
        return;
    uLogRaw(2, clipped ? "E" : "1");
    uLogRaw(2, unclipped ? "e" : "2");
}

} // namespace orvo::asio

#include "classcomp/asio/aasio.h"

#include "classcomp/asio/buffer_samples.h"
#include "classcomp/asio/debug_log.h"
#include "classcomp/asio/device_api.h"
#include "classcomp/asio/device_slots.h"
#include "classcomp/asio/hi_lo.h"
#include "classcomp/asio/registry_settings.h"
#include "classcomp/asio/streaming_thread.h"
#include "classcomp/asio/transport.h"
#include "classcomp/kernel/asio_info.h"
#include "platform/win32/clock.h"
#include "platform/win32/handles.h"
#include "platform/win32/process.h"
#include "platform/win32/synch.h"
#include "platform/win32/threads.h"
#include "platform/win32/reg_key.h"
#include "platform/win32/text.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace orvo::asio {

namespace {

namespace k = orvo::kernel;

constexpr int kInitHandleWaits = 3;
constexpr uint32_t kInitHandleWaitMs = 100;
constexpr float kRateTolerance = 0.1f;
constexpr uint32_t kThreadEndWaitMs = 500;

std::atomic<bool> g_slotTableReady{false};

// UTF-16 text into a host's fixed narrow field, in the ANSI code page, cut
// to fit with its zero.
void copyAnsi(const char16_t* text, char* out, size_t outBytes)
{
    std::string narrow;
    const int needed = w32::WideCharToMultiByte(w32::CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (needed > 0) {
        narrow.resize(size_t(needed));
        if (w32::WideCharToMultiByte(w32::CP_ACP, 0, text, -1, narrow.data(), needed, nullptr, nullptr) <= 0)
            narrow.clear();
    }
    const size_t n = std::min(std::strlen(narrow.c_str()), outBytes - 1);
    std::memcpy(out, narrow.c_str(), n);
    out[n] = 0;
}

} // namespace

CUnknown* AAsio::CreateInstance(com::IUnknown* outer, HRESULT* result)
{
    uLog(2, "Invoked AAsio::CreateInstance");
    auto* object = new (std::nothrow) AAsio(outer, result);
    if (object && !object->fPlaybackBuffers) {
        delete object;
        return nullptr;
    }
    return object;
}

AAsio::AAsio(com::IUnknown* outer, HRESULT* result) : CUnknown(u"ORVOASIO", outer, result)
{
    uLog(2, "AAsio constructing");
    fPlaybackBuffers = static_cast<uint8_t*>(std::calloc(1, kPlaybackAreaBytes));
}

AAsio::~AAsio()
{
    uLog(2, "Starting disposing of AAsio instance");
    fInited = false;
    stop();
    if (fStreamingThread) {
        // Released on the streaming thread itself, the thread deletes the
        // object as its last act: nothing to wait for.
        if (!fReleasedOnStreamingThread.load()) {
            uLog(2, "Waiting for asio thread to complete...");
            if (w32::WaitForSingleObject(fStreamingThread, kThreadEndWaitMs) != w32::WAIT_OBJECT_0) {
                uLog(1, "Error, asio thread is still running");
                // It uses the playback area, the wrapper and the callbacks:
                // none of them goes before it has ended.
                w32::WaitForSingleObject(fStreamingThread, w32::kInfinite);
            }
        }
        w32::CloseHandle(fStreamingThread);
        fStreamingThread = nullptr;
    }
    disposeBuffers();
    std::free(fPlaybackBuffers);
    fPlaybackBuffers = nullptr;
    if (fDevice)
        uOrvoAudioClose(fDeviceIndex, fDevice);
    fDevice = nullptr;
    uLog(2, "Finished disposing of AAsio instance");
}

bool AAsio::onStreamingThread() const
{
    const uint32_t id = fStreamingThreadId.load();
    return id != 0 && id == w32::GetCurrentThreadId();
}

bool AAsio::DeferDestruction()
{
    if (!onStreamingThread())
        return false;
    // A host that answers the reset request inside the callback: the thread
    // is still inside the object. It leaves its loop and deletes it.
    uLog(2, "AAsio released on its streaming thread; it ends and disposes of the object");
    fInited = false;
    stop();
    // The host has let go: no callback reaches it any more.
    fCallbacks = nullptr;
    fIsBufferSizeInited = false;
    fReleasedOnStreamingThread = true;
    return true;
}

void AAsio::streamingThreadStarted()
{
    fStreamingThreadId = w32::GetCurrentThreadId();
}

bool AAsio::streamingThreadEnded()
{
    fStreamingThreadId = 0;
    return fReleasedOnStreamingThread.load();
}

bool AAsio::isStreamingWanted() const
{
    const DeviceSlot* slot = DeviceSlotAt(fDeviceIndex);
    return fInited.load() && !(slot && slot->stopping.load());
}

HRESULT AAsio::NonDelegatingQueryInterface(REFIID riid, void** object)
{
    if (!g_slotTableReady.exchange(true))
        InitDeviceSlotTable();
    uLog(2, "Invoked AAsio::NonDelegatingQueryInterface... ");
    const CFactoryTemplate* table = FactoryTemplates();
    for (size_t n = 0; n < kFactoryTemplateCount; ++n) {
        if (!com::IsEqualGUID(riid, *table[n].clsid))
            continue;
        const HRESULT handed = GetInterface(static_cast<IASIO*>(this), object);
        uLog(2, " ...found known CLSID match at index %d", int(n));
        fDeviceIndex = int32_t(n);
        // A repeated query opens the device again: the wrapper it replaces
        // is released, so each one opened is released exactly once.
        AudioDeviceInterfaceWrapper* previous = fDevice;
        fDevice = uOrvoAudioOpen(fDeviceIndex);
        if (previous)
            uOrvoAudioClose(fDeviceIndex, previous);
        if (fDevice && GetAsioInfo(fDeviceIndex, fDevice))
            ReadBufferSizeAndSampleRate(false);
        return handed;
    }
    uLog(2, " ...failed to find CLSID match");
    return CUnknown::NonDelegatingQueryInterface(riid, object);
}

ASIOBool AAsio::init(void* sysHandle)
{
    uLog(3, "AAsio init");
    if (!fDevice)
        fDevice = uOrvoAudioOpen(fDeviceIndex);
    if (!fDevice) {
        uLog(1, "Failing ASIO init, because no device handle.");
        return ASIOFalse;
    }
    for (int i = 0; i < kInitHandleWaits && fDevice->handle == w32::INVALID_HANDLE_VALUE; ++i) {
        w32::Sleep(kInitHandleWaitMs);
        if (GetAsioInfo(fDeviceIndex, fDevice))
            break;
    }
    if (fDevice->handle == w32::INVALID_HANDLE_VALUE) {
        uLog(1, "Failing ASIO init, because no internal device handle.");
        return ASIOFalse;
    }
    fInited = true;
    fSysHandle = sysHandle;
    uOrvoAudioSetKernelBufferMillisecs(fDeviceIndex, fDevice, int32_t(RegistryReadBufferSizeMillisecs(fDeviceIndex)));
    timerOn();
    return ASIOTrue;
}

void AAsio::timerOn()
{
    uLog(2, "AAsio::timerOn");
    if (fStreamingThread && fStreamingThreadId.load() == 0 &&
        w32::WaitForSingleObject(fStreamingThread, 0) == w32::WAIT_OBJECT_0) {
        // A thread that ended early leaves no handle behind: a new one starts.
        w32::CloseHandle(fStreamingThread);
        fStreamingThread = nullptr;
    }
    if (fStreamingThread)
        return;
    w32::DWORD id = 0;
    fStreamingThreadId = 0;
    fStreamingThread = w32::CreateThread(nullptr, 0, &AsioKernelStreamingThread, this, 0, &id);
    if (!fStreamingThread)
        uLog(1, "Failed to create the ASIO streaming thread");
}

void AAsio::getDriverName(char* name)
{
    uLog(2, "Call to getDriverName");
    if (!name)
        return;
    std::u16string driverName;
    if (!uRegistryTryReadDriverName(fDeviceIndex, driverName))
        driverName = u"Orvo Device";
    copyAnsi(driverName.c_str(), name, kAsioDriverNameLength);
}

AsioLong AAsio::getDriverVersion()
{
    return 1;
}

void AAsio::getErrorMessage(char* string)
{
    if (string)
        std::strcpy(string, fErrorMessage);
}

ASIOError AAsio::getChannels(AsioLong* numInputChannels, AsioLong* numOutputChannels)
{
    MappingLease record = GetAsioInfo(fDeviceIndex, fDevice);
    const k::AsioInfo info(record.get());
    if (record && info.inputChannelCount() != 0 && info.outputChannelCount() != 0) {
        if (numInputChannels)
            *numInputChannels = AsioLong(info.inputChannelCount());
        if (numOutputChannels)
            *numOutputChannels = AsioLong(info.outputChannelCount());
        return ASE_OK;
    }
    uLog(2, "Refuse to report channels, due to non-open device");
    if (numInputChannels)
        *numInputChannels = 0;
    if (numOutputChannels)
        *numOutputChannels = 0;
    return ASE_InvalidMode;
}

ASIOError AAsio::getLatencies(AsioLong* inputLatency, AsioLong* outputLatency)
{
    if (inputLatency)
        *inputLatency = AsioLong(fBlockFrames);
    if (outputLatency)
        *outputLatency = AsioLong(2 * fBlockFrames);
    return ASE_OK;
}

ASIOError AAsio::getBufferSize(AsioLong* minSize, AsioLong* maxSize, AsioLong* preferredSize, AsioLong* granularity)
{
    const AsioLong n = BufferSamplesForMillisecs(int32_t(RegistryReadBufferSizeMillisecs(fDeviceIndex)),
                                                 int32_t(uOrvoAudioGetSampleRate(fDeviceIndex, fDevice)));
    for (AsioLong* out : {minSize, maxSize, preferredSize})
        if (out)
            *out = n;
    if (granularity)
        *granularity = 1;
    return ASE_OK;
}

ASIOError AAsio::canSampleRate(ASIOSampleRate sampleRate)
{
    MappingLease record = GetAsioInfo(fDeviceIndex, fDevice);
    if (!record) {
        uLog(2, "Refuse sample rate check due to non-open device");
        return ASE_InvalidMode;
    }
    const k::AsioInfo info(record.get());
    const uint32_t count = std::min<uint32_t>(info.sampleRateCount(), k::asio_info::kMaxSampleRates);
    for (uint32_t i = 0; i < count; ++i) {
        // In single precision, as hosts have always seen it: 48000.1 is
        // refused (its double lies just inside 0.1 of 48000, its float not).
        if (std::fabs(float(info.sampleRateAt(i)) - float(sampleRate)) < kRateTolerance) {
            uLog(2, "canSampleRate for %.0f is OK", sampleRate);
            return ASE_OK;
        }
    }
    uLog(2, "canSampleRate REFUSED for %.0f", sampleRate);
    return ASE_NoClock;
}

ASIOError AAsio::getSampleRate(ASIOSampleRate* sampleRate)
{
    if (sampleRate)
        *sampleRate = ASIOSampleRate(uOrvoAudioGetSampleRate(fDeviceIndex, fDevice));
    return ASE_OK;
}

ASIOError AAsio::setSampleRate(ASIOSampleRate sampleRate)
{
    const ASIOError can = canSampleRate(sampleRate);
    if (can != ASE_OK)
        return can;
    if (!GetAsioInfo(fDeviceIndex, fDevice))
        return ASE_NoClock;
    if (ASIOSampleRate(uOrvoAudioGetSampleRate(fDeviceIndex, fDevice)) == sampleRate) {
        uLog(2, "setSampleRate: no change, already %.0f", sampleRate);
        return ASE_OK;
    }
    uLog(2, "setSampleRate: changing to %.0f", sampleRate);
    if (uOrvoAudioSetSampleRate(fDeviceIndex, fDevice, uint32_t(sampleRate + 0.5)) != 0)
        return ASE_NoClock;
    requestReset();
    if (!fRunning)
        notifySampleRateChanged(sampleRate);
    return ASE_OK;
}

ASIOError AAsio::getClockSources(ASIOClockSource* clocks, AsioLong* numSources)
{
    if (clocks) {
        clocks->index = 0;
        clocks->associatedChannel = -1;
        clocks->associatedGroup = -1;
        clocks->isCurrentSource = ASIOTrue;
        std::strcpy(clocks->name, "Internal");
    }
    if (numSources)
        *numSources = 1;
    return ASE_OK;
}

ASIOError AAsio::setClockSource(AsioLong reference)
{
    if (reference != 0)
        return ASE_NotPresent;
    fAsioTime.timeInfo.flags |= kClockSourceChanged;
    return ASE_OK;
}

ASIOError AAsio::getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp)
{
    if (tStamp)
        *tStamp = fSystemTime;
    if (sPos)
        *sPos = SplitAtTwoTo32<ASIOSamples>(fSamplePosition);
    return ASE_OK;
}

ASIOError AAsio::getChannelInfo(ASIOChannelInfo* info)
{
    if (!info)
        return ASE_InvalidParameter;
    MappingLease record = GetAsioInfo(fDeviceIndex, fDevice);
    const k::AsioInfo status(record.get());
    if (!record || status.inputChannelCount() == 0 || status.outputChannelCount() == 0)
        return ASE_InvalidMode;
    const uint32_t count = info->isInput ? status.inputChannelCount() : status.outputChannelCount();
    if (info->channel < 0 || uint32_t(info->channel) >= count)
        return ASE_InvalidParameter;
    info->channelGroup = 0;
    info->type = status.sampleFormat() ? ASIOSTFloat32LSB : ASIOSTInt32LSB;
    const uint8_t* flags = info->isInput ? fInputChannelActive : fOutputChannelActive;
    info->isActive = size_t(info->channel) < kMaxChannelsPerDirection ? flags[info->channel] : ASIOFalse;

    // The names lie one after another, each zero-terminated, within their area.
    const uint8_t* area = record.get() + (info->isInput ? k::asio_info::kInputChannelNamesOffset
                                                        : k::asio_info::kOutputChannelNamesOffset);
    const size_t chars = k::asio_info::kChannelNamesBytes / 2;
    size_t at = 0;
    for (AsioLong skipped = 0; skipped < info->channel && at < chars; ++at)
        if (k::loadU8(area + 2 * at) == 0 && k::loadU8(area + 2 * at + 1) == 0)
            ++skipped;
    std::u16string name;
    for (; at < chars; ++at) {
        const char16_t c = char16_t(k::loadU8(area + 2 * at) | k::loadU8(area + 2 * at + 1) << 8);
        if (c == 0)
            break;
        name += c;
    }
    copyAnsi(name.c_str(), info->name, kAsioNameLength);
    return ASE_OK;
}

ASIOError AAsio::controlPanel()
{
    w32::CRegKey key;
    if (key.Open(w32::HKEY_LOCAL_MACHINE, u"Software\\Orvo\\Control Panel", w32::KEY_READ) != w32::ERROR_SUCCESS)
        return ASE_NotPresent;
    w32::WCHAR path[255] = {};
    w32::ULONG chars = 255;
    if (key.QueryStringValue(u"ControlPanelPath", path, &chars) != w32::ERROR_SUCCESS)
        return ASE_NotPresent;
    key.Close();
    w32::STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.wShowWindow = 1;
    w32::PROCESS_INFORMATION process{};
    if (w32::CreateProcessW(nullptr, path, nullptr, nullptr, w32::FALSE, 0, nullptr, nullptr, &startup, &process)) {
        w32::CloseHandle(process.hThread);
        w32::CloseHandle(process.hProcess);
    }
    return ASE_OK;
}

ASIOError AAsio::future(AsioLong selector, void* opt)
{
    (void)opt;
    switch (selector) {
    case kAsioEnableTimeCodeRead:
        fTimeCodeRead = true;
        return ASE_SUCCESS;
    case kAsioDisableTimeCodeRead:
        fTimeCodeRead = false;
        return ASE_SUCCESS;
    // Input monitoring is not there: only what the driver does is claimed.
    case kAsioCanTimeInfo:
    case kAsioCanTimeCode:
        return ASE_SUCCESS;
    default:
        return ASE_NotPresent;
    }
}

void AAsio::ReadBufferSizeAndSampleRate(bool notify)
{
    const uint32_t previous = fSampleRate;
    fSampleRate = uOrvoAudioGetSampleRate(fDeviceIndex, fDevice);
    if (notify && fSampleRate != previous)
        notifySampleRateChanged(ASIOSampleRate(fSampleRate));
    fBlockFrames = uint32_t(
        BufferSamplesForMillisecs(int32_t(RegistryReadBufferSizeMillisecs(fDeviceIndex)), int32_t(fSampleRate)));
    uLog(2, "ReadBufferSizeAndSampleRate: %d, %.0f", int(fBlockFrames), double(fSampleRate));
}

bool AAsio::requestReset()
{
    ASIOCallbacks* callbacks = fCallbacks.load();
    if (!callbacks) {
        uLog(1, "Reset attempted, but no callbacks of any kind");
        return false;
    }
    uLog(2, "Reset invoked [asioMessage=%d, bufferSwitch=%d, bufferSwitchTimeInfo=%d, sampleRateDidChange=%d]",
         callbacks->asioMessage != nullptr, callbacks->bufferSwitch != nullptr,
         callbacks->bufferSwitchTimeInfo != nullptr, callbacks->sampleRateDidChange != nullptr);
    if (callbacks->asioMessage)
        callbacks->asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
    return true;
}

void AAsio::notifySampleRateChanged(ASIOSampleRate rate)
{
    fAsioTime.timeInfo.flags |= kSampleRateChanged;
    fAsioTime.timeInfo.sampleRate = rate;
    ASIOCallbacks* callbacks = fCallbacks.load();
    if (callbacks && callbacks->sampleRateDidChange)
        callbacks->sampleRateDidChange(rate);
}

} // namespace orvo::asio

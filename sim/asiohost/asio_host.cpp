#include "sim/asiohost/asio_host.h"

#include "platform/com/guid_string.h"
#include "platform/registry/registry.h"
#include "platform/win32/files.h"
#include "platform/win32/handles.h"
#include "platform/win32/reg_key.h"
#include "platform/win32/synch.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace orvo::asiohost {

namespace {

using namespace orvo::asio;

std::atomic<AsioHost*> g_host{nullptr};

std::string hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string guidText(const com::GUID& guid)
{
    char16_t text[39];
    com::StringFromGUID2(guid, text, 39);
    return reg::utf8(text);
}

// The longest registry string the host reads, as the driver reads them.
constexpr w32::ULONG kValueChars = 255;

// Whole seconds of samples are plenty for a test recording; bounded so a
// long run cannot exhaust memory.
constexpr size_t kMaxRecordedSamples = 48000 * 600;

} // namespace

AsioHost::AsioHost(HostOptions options, HostReport& report) : options_(std::move(options)), report_(report)
{
    AsioHost* expected = nullptr;
    if (!g_host.compare_exchange_strong(expected, this))
        throw std::logic_error("one ASIO host per process");
    resetEvent_ = w32::CreateEventW(nullptr, w32::FALSE, w32::FALSE, nullptr);
    callbacks_ = ASIOCallbacks{&onBufferSwitch, &onSampleRateDidChange, &onAsioMessage, &onBufferSwitchTimeInfo};
}

AsioHost::~AsioHost()
{
    release();
    if (resetEvent_)
        w32::CloseHandle(resetEvent_);
    g_host.store(nullptr);
}

bool AsioHost::readClassId()
{
    const std::u16string keyPath = u"Software\\ASIO\\" + options_.driverName;
    w32::CRegKey key;
    if (const auto e = key.Open(w32::HKEY_LOCAL_MACHINE, keyPath.c_str(), w32::KEY_READ)) {
        report_.line("no driver entry HKLM\\" + reg::utf8(keyPath) + " (error " + std::to_string(e) + ")");
        return false;
    }
    char16_t text[kValueChars];
    w32::ULONG chars = kValueChars;
    if (const auto e = key.QueryStringValue(u"CLSID", text, &chars)) {
        report_.line("driver entry without a CLSID value (error " + std::to_string(e) + ")");
        return false;
    }
    if (com::CLSIDFromString(text, &classId_) != com::S_OK) {
        report_.line("CLSID value is not a class identifier: " + reg::utf8(text));
        return false;
    }
    report_.line("driver " + reg::utf8(options_.driverName) + ": class " + guidText(classId_));
    return true;
}

bool AsioHost::readServerPath(std::u16string& path)
{
    char16_t id[39];
    com::StringFromGUID2(classId_, id, 39);
    const std::u16string keyPath = u"Software\\Classes\\CLSID\\" + std::u16string(id) + u"\\InprocServer32";
    w32::CRegKey key;
    char16_t text[kValueChars];
    w32::ULONG chars = kValueChars;
    if (key.Open(w32::HKEY_LOCAL_MACHINE, keyPath.c_str(), w32::KEY_READ) != w32::ERROR_SUCCESS
        || key.QueryStringValue(nullptr, text, &chars) != w32::ERROR_SUCCESS) {
        report_.line("no class entry HKLM\\" + reg::utf8(keyPath));
        return false;
    }
    char16_t expanded[512];
    const w32::DWORD needed = w32::ExpandEnvironmentStringsW(text, expanded, 512);
    if (needed == 0 || needed > 512) {
        report_.line("server path does not expand: " + reg::utf8(text));
        return false;
    }
    path = expanded;
    return true;
}

bool AsioHost::load()
{
    std::u16string path;
    if (!readClassId() || !readServerPath(path))
        return false;
    library_ = w32::LoadLibraryW(path.c_str());
    if (!library_) {
        report_.line("library " + reg::utf8(path) + " does not load (error " + std::to_string(w32::GetLastError()) +
                     ")");
        return false;
    }
    report_.line("library " + reg::utf8(path) + " loaded");
    canUnloadNow_ = reinterpret_cast<DllCanUnloadNowFn>(w32::GetProcAddress(library_, "DllCanUnloadNow"));
    return createDriver();
}

bool AsioHost::createDriver()
{
    auto getClassObject = reinterpret_cast<DllGetClassObjectFn>(w32::GetProcAddress(library_, "DllGetClassObject"));
    if (!getClassObject) {
        report_.line("library exports no DllGetClassObject");
        return false;
    }
    com::IClassFactory* factory = nullptr;
    com::HRESULT hr = getClassObject(classId_, com::IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (com::FAILED(hr) || !factory) {
        report_.line("DllGetClassObject: " + hex(static_cast<uint32_t>(hr)));
        return false;
    }
    void* object = nullptr;
    hr = factory->CreateInstance(nullptr, classId_, &object);
    factory->Release();
    if (com::FAILED(hr) || !object) {
        report_.line("CreateInstance: " + hex(static_cast<uint32_t>(hr)));
        return false;
    }
    driver_ = static_cast<IASIO*>(object);
    report_.line("driver object created");
    return true;
}

bool AsioHost::init()
{
    if (!driver_)
        return false;
    const ASIOBool ok = driver_->init(nullptr);
    report_.line(std::string("init: ") + (ok ? "ASIOTrue" : "ASIOFalse"));
    if (!ok)
        return false;
    char name[kAsioDriverNameLength + 1] = {};
    driver_->getDriverName(name);
    report_.line("driver name: " + std::string(name, strnlen(name, kAsioDriverNameLength)));
    report_.line("driver version: " + std::to_string(driver_->getDriverVersion()));
    return true;
}

bool AsioHost::startStreaming()
{
    if (!options_.createBuffers || !driver_)
        return true;
    AsioLong inputs = 0, outputs = 0, minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
    ASIOSampleRate rate = 0;
    if (driver_->getChannels(&inputs, &outputs) != ASE_OK
        || driver_->getBufferSize(&minSize, &maxSize, &preferred, &granularity) != ASE_OK
        || driver_->getSampleRate(&rate) != ASE_OK) {
        report_.line("device not ready for buffers");
        return false;
    }
    report_.line("channels " + std::to_string(inputs) + " in, " + std::to_string(outputs) + " out; buffer size " +
                 std::to_string(preferred) + "; rate " + std::to_string(static_cast<long>(rate)));
    sampleRate_ = rate;
    inputPeaks_.assign(static_cast<size_t>(std::max<AsioLong>(inputs, 0)), 0);
    buffers_.clear();
    types_.clear();
    for (AsioLong direction = 1; direction >= 0; --direction) {
        const AsioLong count = direction ? inputs : outputs;
        for (AsioLong channel = 0; channel < count; ++channel) {
            buffers_.push_back(ASIOBufferInfo{direction, channel, {nullptr, nullptr}});
            ASIOChannelInfo info{};
            info.channel = channel;
            info.isInput = direction;
            types_.push_back(driver_->getChannelInfo(&info) == ASE_OK ? info.type : ASIOSTInt32LSB);
        }
    }
    blockFrames_ = preferred;
    recording_.assign(std::min(kMaxRecordedSamples, static_cast<size_t>(rate * options_.milliseconds / 1000) +
                                                        static_cast<size_t>(preferred)),
                      0);
    recorded_ = 0;
    const ASIOError created = driver_->createBuffers(buffers_.data(), static_cast<AsioLong>(buffers_.size()),
                                                     preferred, &callbacks_);
    report_.line("createBuffers: " + std::to_string(created));
    if (created != ASE_OK)
        return false;
    buffersCreated_ = true;
    if (options_.timing && !timing_.opened())
        openTiming();
    const ASIOError startResult = driver_->start();
    report_.line("start: " + std::to_string(startResult));
    started_ = startResult == ASE_OK;
    return started_;
}

bool AsioHost::run()
{
    const uint32_t begin = w32::GetTickCount();
    for (;;) {
        if (resetRequested_.exchange(false)) {
            report_.line("answering the reset request: dispose, release, create, init");
            releaseDriver();
            ++resets_;
            if (!createDriver() || !init() || !startStreaming())
                return false;
            continue;
        }
        const uint32_t elapsed = w32::GetTickCount() - begin;
        if (elapsed >= options_.milliseconds)
            return true;
        w32::WaitForSingleObject(resetEvent_, options_.milliseconds - elapsed);
    }
}

void AsioHost::releaseDriver()
{
    if (!driver_)
        return;
    if (started_)
        report_.line("stop: " + std::to_string(driver_->stop()));
    if (buffersCreated_)
        report_.line("disposeBuffers: " + std::to_string(driver_->disposeBuffers()));
    started_ = buffersCreated_ = false;
    const w32::ULONG left = driver_->Release();
    driver_ = nullptr;
    report_.line("Release: " + std::to_string(left));
    // Only now: the driver's streaming thread, which records, has ended with the object.
    writeRecording();
}

void AsioHost::release()
{
    releaseDriver();
    if (!library_)
        return;
    if (switches_.load() > 0)
        report_.line("buffer switches: " + std::to_string(switches_.load()));
    reportStream();
    if (timing_.opened()) {
        report_.line("timing: " + timing_.summary());
        timing_.close();
    }
    const com::HRESULT canUnload = canUnloadNow_ ? canUnloadNow_() : com::S_FALSE;
    report_.line(std::string("DllCanUnloadNow: ") + (canUnload == com::S_OK ? "S_OK" : hex(canUnload)));
    if (canUnload != com::S_OK) {
        report_.line("library kept loaded");
        library_ = nullptr; // deliberately leaked: objects of it may live on
        return;
    }
    w32::FreeLibrary(library_);
    library_ = nullptr;
    canUnloadNow_ = nullptr;
    report_.line("library unloaded");
}

void AsioHost::switchBuffers(int32_t index)
{
    if (index < 0 || index > 1 || blockFrames_ <= 0)
        return;
    for (size_t i = 0; i < buffers_.size(); ++i) {
        void* half = buffers_[i].buffers[index];
        if (!half)
            continue;
        if (buffers_[i].isInput) {
            const auto* in = static_cast<const int32_t*>(half);
            if (buffers_[i].channelNum == 0)
                for (int32_t f = 0; f < blockFrames_ && recorded_ < recording_.size(); ++f)
                    recording_[recorded_++] = in[f];
            const size_t channel = static_cast<size_t>(buffers_[i].channelNum);
            if (channel < inputPeaks_.size())
                for (int32_t f = 0; f < blockFrames_; ++f)
                    inputPeaks_[channel] = std::max(inputPeaks_[channel], static_cast<uint32_t>(std::abs(static_cast<int64_t>(in[f]))));
            continue;
        }
        const bool isFloat = types_[i] == ASIOSTFloat32LSB;
        const auto channel = static_cast<uint32_t>(buffers_[i].channelNum);
        for (int32_t f = 0; f < blockFrames_; ++f) {
            const int32_t value = signalSample(options_, channel, signalFrame_ + static_cast<uint64_t>(f));
            if (isFloat)
                static_cast<float*>(half)[f] = static_cast<float>(value / 2147483648.0);
            else
                static_cast<int32_t*>(half)[f] = value;
        }
    }
    signalFrame_ += static_cast<uint64_t>(blockFrames_);
    const uint32_t now = w32::GetTickCount();
    if (switches_.load() == 0)
        firstSwitchMs_ = now;
    lastSwitchMs_ = now;
    framesSwitched_ += static_cast<uint64_t>(blockFrames_);
    switches_.fetch_add(1);
    timing_.seeSwitch(static_cast<uint32_t>(blockFrames_), static_cast<uint32_t>(sampleRate_));
    driver_->outputReady();
}

int32_t AsioHost::signalSample(const HostOptions& options, uint32_t channel, uint64_t frame)
{
    const HostOptions::Signal signal = options.signal;
    if (signal == HostOptions::Signal::Count)
        return static_cast<int32_t>((frame % 65536) << 8);
    if (signal == HostOptions::Signal::Level) {
        // Exact for levels that are sums of powers of two; 1.0 is the largest sample.
        const double level = std::clamp(channel % 2 ? -options.level : options.level, -1.0, 1.0);
        return level >= 1.0 ? INT32_MAX : static_cast<int32_t>(level * 2147483648.0);
    }
    double value = 0; // -1..1
    if (signal == HostOptions::Signal::Ramp)
        value = static_cast<double>(frame % 256) / 128.0 - 1.0;
    else if (signal == HostOptions::Signal::Sine)
        value = 0.5 * std::sin(2.0 * M_PI * static_cast<double>(frame % 48) / 48.0);
    return static_cast<int32_t>(value * 2147483647.0);
}

void AsioHost::reportStream()
{
    if (framesSwitched_ == 0)
        return;
    const uint32_t ms = lastSwitchMs_ - firstSwitchMs_;
    const uint64_t blocks = framesSwitched_ / static_cast<uint64_t>(std::max(blockFrames_, 1));
    char text[160];
    std::snprintf(text, sizeof text, "streamed %llu blocks of %d frames in %.3f s of wall time: %.0f frames/s (rate %.0f)",
                  static_cast<unsigned long long>(blocks), blockFrames_, ms / 1000.0,
                  ms ? static_cast<double>(framesSwitched_ - static_cast<uint64_t>(blockFrames_)) * 1000.0 / ms : 0.0,
                  sampleRate_);
    report_.line(text);
    std::string levels = "input peak level per channel (dBFS):";
    for (size_t c = 0; c < inputPeaks_.size(); ++c) {
        std::snprintf(text, sizeof text, " %zu:%.1f", c + 1,
                      inputPeaks_[c] ? 20.0 * std::log10(inputPeaks_[c] / 2147483648.0) : -144.0);
        levels += text;
    }
    report_.line(levels);
}

// The status record through a handle of the host's own on the kernel
// interface the driver entry names.
void AsioHost::openTiming()
{
    const std::u16string keyPath = u"Software\\ASIO\\" + options_.driverName;
    w32::CRegKey key;
    char16_t text[kValueChars];
    w32::ULONG chars = kValueChars;
    com::GUID interfaceClass{};
    if (key.Open(w32::HKEY_LOCAL_MACHINE, keyPath.c_str(), w32::KEY_READ) != w32::ERROR_SUCCESS ||
        key.QueryStringValue(u"KernelInterface", text, &chars) != w32::ERROR_SUCCESS ||
        com::CLSIDFromString(text, &interfaceClass) != com::S_OK) {
        report_.line("timing: no kernel interface in the driver entry");
        return;
    }
    const size_t switches = static_cast<size_t>(sampleRate_ * options_.milliseconds / 1000 / std::max(blockFrames_, 1)) + 1024;
    const char* origin = std::getenv("ORVO_KERNEL_CLOCK_ORIGIN");
    if (!origin)
        report_.line("timing: no ORVO_KERNEL_CLOCK_ORIGIN, so no latency");
    if (!timing_.open(interfaceClass, switches, origin ? std::strtoull(origin, nullptr, 10) : 0))
        report_.line("timing: the status record cannot be mapped");
}

void AsioHost::writeRecording()
{
    if (options_.recordPath.empty() || recorded_ == 0)
        return;
    if (std::FILE* f = std::fopen(options_.recordPath.c_str(), "wb")) {
        std::fwrite(recording_.data(), sizeof(int32_t), recorded_, f);
        std::fclose(f);
        report_.line("recorded " + std::to_string(recorded_) + " samples to " + options_.recordPath);
    }
}

void AsioHost::onBufferSwitch(AsioLong index, ASIOBool directProcess)
{
    AsioHost* host = g_host.load();
    if (!host)
        return;
    if (host->switches_.load() == 0)
        host->report_.line("callback bufferSwitch(" + std::to_string(index) + ", " + std::to_string(directProcess) +
                           ") first");
    host->switchBuffers(index);
}

ASIOTime* AsioHost::onBufferSwitchTimeInfo(ASIOTime* time, AsioLong index, ASIOBool directProcess)
{
    AsioHost* host = g_host.load();
    if (!host)
        return time;
    if (host->switches_.load() == 0)
        host->report_.line("callback bufferSwitchTimeInfo(" + std::to_string(index) + ", " +
                           std::to_string(directProcess) + ") first, flags " +
                           std::to_string(time ? time->timeInfo.flags : 0));
    host->switchBuffers(index);
    return time;
}

void AsioHost::onSampleRateDidChange(ASIOSampleRate rate)
{
    if (AsioHost* host = g_host.load())
        host->report_.line("callback sampleRateDidChange(" + std::to_string(static_cast<long>(rate)) + ")");
}

AsioLong AsioHost::onAsioMessage(AsioLong selector, AsioLong value, void* message, double* opt)
{
    (void)message;
    (void)opt;
    AsioHost* host = g_host.load();
    if (!host)
        return 0;
    host->report_.line("callback asioMessage(" + std::to_string(selector) + ", " + std::to_string(value) + ")");
    switch (selector) {
    case kAsioSelectorSupported:
        return value == kAsioResetRequest || value == kAsioEngineVersion || value == kAsioSupportsTimeInfo ? 1 : 0;
    case kAsioEngineVersion:
        return 2;
    case kAsioResetRequest:
        // Never released from here: this is the driver's streaming thread.
        host->resetRequested_.store(true);
        w32::SetEvent(host->resetEvent_);
        return 1;
    case kAsioSupportsTimeInfo:
        return host->options_.supportsTimeInfo ? 1 : 0;
    default:
        return 0;
    }
}

} // namespace orvo::asiohost

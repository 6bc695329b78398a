// A stand-in ASIO driver library for the host's tests: it exports the
// in-process server's entry points, serves the 100 class identifiers with an
// object that answers the IASIO methods with fixed values, and streams from
// a thread of its own once started. Everything it is asked is appended, one
// line each, to the file named by ORVO_FAKE_ASIO_LOG; ORVO_FAKE_ASIO_RESET
// makes the first object ask for a reset after that many blocks.

#include "classcomp/asio/asio_interface.h"
#include "classcomp/common/class_ids.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef FAKE_WITH_UNIQUE_SYMBOL
// A GNU unique symbol (a static of an exported inline function) makes the
// library undeletable for the host's loader.
__attribute__((visibility("default"))) inline int& uniqueCounter()
{
    static int counter = 0;
    return counter;
}
#endif

namespace {

using namespace orvo::asio;

std::atomic<int> g_objects{0};
std::atomic<int> g_createdObjects{0};
std::mutex g_logMutex;

std::string threadName()
{
    std::ostringstream s;
    s << std::this_thread::get_id();
    return s.str();
}

void note(const std::string& line)
{
    const char* path = std::getenv("ORVO_FAKE_ASIO_LOG");
    if (!path)
        return;
    std::lock_guard lock(g_logMutex);
    if (std::FILE* f = std::fopen(path, "a")) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
}

bool sameGuid(const com::GUID& a, const orvo::classcomp::ClassId& b)
{
    return a.Data1 == b.data1 && a.Data2 == b.data2 && a.Data3 == b.data3 && std::memcmp(a.Data4, b.data4, 8) == 0;
}

int slotOf(const com::GUID& id)
{
    for (size_t i = 0; i < orvo::classcomp::kClassIds.size(); ++i)
        if (sameGuid(id, orvo::classcomp::kClassIds[i]))
            return static_cast<int>(i);
    return -1;
}

class FakeDriver final : public IASIO {
public:
    explicit FakeDriver(int slot) : slot_(slot), resetAfter_(resetSetting()) { ++g_objects; }
    ~FakeDriver() { --g_objects; }

    com::HRESULT QueryInterface(com::REFIID, void** object) override
    {
        *object = nullptr;
        return com::E_NOINTERFACE;
    }
    w32::ULONG AddRef() override { return ++refs_; }
    w32::ULONG Release() override
    {
        const w32::ULONG left = --refs_;
        note("Release " + std::to_string(left) + " on " + threadName());
        if (left == 0) {
            stopThread();
            delete this;
        }
        return left;
    }

    ASIOBool init(void*) override
    {
        note("init slot " + std::to_string(slot_));
        return ASIOTrue;
    }
    void getDriverName(char* name) override { std::strcpy(name, "Fake Mixer"); }
    AsioLong getDriverVersion() override { return 1; }
    void getErrorMessage(char* text) override { text[0] = 0; }
    ASIOError start() override
    {
        note("start");
        running_ = true;
        thread_ = std::thread([this] { stream(); });
        return ASE_OK;
    }
    ASIOError stop() override
    {
        note("stop");
        stopThread();
        return ASE_OK;
    }
    ASIOError getChannels(AsioLong* in, AsioLong* out) override
    {
        *in = 2;
        *out = 2;
        return ASE_OK;
    }
    ASIOError getLatencies(AsioLong* in, AsioLong* out) override
    {
        *in = kFrames;
        *out = 2 * kFrames;
        return ASE_OK;
    }
    ASIOError getBufferSize(AsioLong* min, AsioLong* max, AsioLong* preferred, AsioLong* granularity) override
    {
        *min = *max = *preferred = kFrames;
        *granularity = 1;
        return ASE_OK;
    }
    ASIOError canSampleRate(ASIOSampleRate rate) override { return rate == 48000 ? ASE_OK : ASE_NoClock; }
    ASIOError getSampleRate(ASIOSampleRate* rate) override
    {
        *rate = 48000;
        return ASE_OK;
    }
    ASIOError setSampleRate(ASIOSampleRate rate) override { return canSampleRate(rate); }
    ASIOError getClockSources(ASIOClockSource*, AsioLong* n) override
    {
        *n = 0;
        return ASE_OK;
    }
    ASIOError setClockSource(AsioLong) override { return ASE_NotPresent; }
    ASIOError getSamplePosition(ASIOSamples*, ASIOTimeStamp*) override { return ASE_OK; }
    ASIOError getChannelInfo(ASIOChannelInfo* info) override
    {
        info->type = ASIOSTInt32LSB;
        return ASE_OK;
    }
    ASIOError createBuffers(ASIOBufferInfo* infos, AsioLong count, AsioLong size, ASIOCallbacks* callbacks) override
    {
        note("createBuffers " + std::to_string(count) + " x " + std::to_string(size));
        memory_.assign(static_cast<size_t>(count) * 2 * kFrames, 0);
        for (AsioLong i = 0; i < count; ++i) {
            for (int half = 0; half < 2; ++half) {
                int32_t* p = &memory_[(static_cast<size_t>(i) * 2 + half) * kFrames];
                if (infos[i].isInput)
                    for (int f = 0; f < kFrames; ++f)
                        p[f] = (infos[i].channelNum + 1) << 24 | (half * kFrames + f);
                infos[i].buffers[half] = p;
            }
        }
        callbacks_ = callbacks;
        timeInfo_ = callbacks->asioMessage(kAsioSupportsTimeInfo, 0, nullptr, nullptr) != 0;
        return ASE_OK;
    }
    ASIOError disposeBuffers() override
    {
        note("disposeBuffers");
        callbacks_ = nullptr;
        return ASE_OK;
    }
    ASIOError controlPanel() override { return ASE_NotPresent; }
    ASIOError future(AsioLong, void*) override { return ASE_NotPresent; }
    ASIOError outputReady() override
    {
        ++outputReadyCalls_;
        return ASE_OK;
    }

private:
    static constexpr int kFrames = 64;
    static int resetSetting()
    {
        const char* v = std::getenv("ORVO_FAKE_ASIO_RESET");
        return v && g_createdObjects.fetch_add(1) == 0 ? std::atoi(v) : -1;
    }

    void stream()
    {
        for (int block = 0; running_ && block < 20; ++block) {
            if (block == resetAfter_) {
                note("reset requested on " + threadName());
                callbacks_->asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
                return; // stalled, as the driver is after a reset request
            }
            if (timeInfo_) {
                ASIOTime time{};
                time.timeInfo.flags = kSystemTimeValid | kSamplePositionValid | kSampleRateValid;
                callbacks_->bufferSwitchTimeInfo(&time, block & 1, ASIOFalse);
            } else {
                callbacks_->bufferSwitch(block & 1, ASIOFalse);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    void stopThread()
    {
        running_ = false;
        if (thread_.joinable())
            thread_.join();
    }

    const int slot_;
    const int resetAfter_;
    std::atomic<w32::ULONG> refs_{0};
    std::atomic<bool> running_{false};
    std::thread thread_;
    std::vector<int32_t> memory_;
    ASIOCallbacks* callbacks_ = nullptr;
    bool timeInfo_ = false;
    std::atomic<int> outputReadyCalls_{0};
};

class Factory final : public com::IClassFactory {
public:
    explicit Factory(int slot) : slot_(slot) { ++g_objects; }
    ~Factory() { --g_objects; }
    com::HRESULT QueryInterface(com::REFIID, void** object) override
    {
        *object = nullptr;
        return com::E_NOINTERFACE;
    }
    w32::ULONG AddRef() override { return ++refs_; }
    w32::ULONG Release() override
    {
        const w32::ULONG left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }
    com::HRESULT CreateInstance(com::IUnknown* outer, com::REFIID iid, void** object) override
    {
        *object = nullptr;
        const bool asked = slotOf(iid) == slot_;
        note(std::string("CreateInstance ") + (asked ? "with the class identifier" : "with another interface"));
        if (outer || !asked)
            return com::E_NOINTERFACE;
        auto* driver = new FakeDriver(slot_);
        driver->AddRef();
        *object = static_cast<IASIO*>(driver);
        return com::S_OK;
    }
    com::HRESULT LockServer(w32::BOOL) override { return com::S_OK; }

private:
    const int slot_;
    w32::ULONG refs_ = 0;
};

struct UnloadLog {
    ~UnloadLog() { note("unloaded"); }
} g_unloadLog;

} // namespace

extern "C" __attribute__((visibility("default"))) com::HRESULT DllGetClassObject(com::REFCLSID clsid,
                                                                                  com::REFIID iid, void** object)
{
    *object = nullptr;
#ifdef FAKE_WITH_UNIQUE_SYMBOL
    ++uniqueCounter();
#endif
    note(std::string("DllGetClassObject ") + (iid == com::IID_IClassFactory ? "IClassFactory" : "other"));
    const int slot = slotOf(clsid);
    if (slot < 0)
        return com::CLASS_E_CLASSNOTAVAILABLE;
    auto* factory = new Factory(slot);
    factory->AddRef();
    *object = static_cast<com::IClassFactory*>(factory);
    return com::S_OK;
}

extern "C" __attribute__((visibility("default"))) com::HRESULT DllCanUnloadNow()
{
    return g_objects.load() == 0 ? com::S_OK : com::S_FALSE;
}

#pragma once
// An ASIO host inside the test, driving the driver object against the
// simulated mixer through the kernel driver. One clock drives the machine:
// the user-mode clock is the kernel clock, so the streaming thread's waits
// move virtual time on and run the stream; the test itself only watches.

#include "device_fixture.h"

#include "classcomp/asio/aasio.h"
#include "classcomp/asio/dll_exports.h"
#include "classcomp/asio/registry_settings.h"
#include "platform/kernel/clock.h"
#include "platform/object/process.h"
#include "platform/win32/synch.h"
#include "platform/win32/threads.h"
#include "sim/mixer/test_signal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace orvo::asio::testing {

// What a host does with the driver, and what it sees. Callbacks have no
// context: one host is active at a time.
class TestHost {
public:
    TestHost() { active() = this; }
    ~TestHost() { active() = nullptr; }

    IASIO* driver = nullptr;
    std::vector<ASIOBufferInfo> buffers;
    AsioLong inputs = 0, outputs = 0, frames = 0;
    bool answersTimeInfo = true;
    bool callsOutputReady = true;
    // Output: what each output channel plays at host frame n (none: silence).
    std::function<uint32_t(uint32_t channel, uint64_t frame, const TestHost&)> play;
    // Runs inside the buffer switch, after the output is written.
    std::function<void(TestHost&)> inSwitch;
    // Runs inside the reset request (on the streaming thread).
    std::function<void(TestHost&)> onReset;

    std::atomic<uint64_t> switches{0};
    std::atomic<int> resetRequests{0};
    std::atomic<int> timeInfoQuestions{0};
    std::atomic<int> rateChanges{0};
    std::atomic<uint64_t> inputErrors{0};
    std::vector<uint32_t> timeInfoFlags; // of each bufferSwitchTimeInfo, up to 64
    // Of each bufferSwitchTimeInfo, up to 64: the sample position and the
    // time code's samples.
    std::vector<uint64_t> samplePositions, timeCodeSamples;
    std::atomic<int> rateChangedSwitches{0}; // time infos flagged kSampleRateChanged
    std::atomic<double> changedRate{0};     // the last rate sampleRateDidChange gave
    std::vector<uint32_t> indexes;        // of each switch, up to 64
    uint64_t hostFrame = 0;               // frames handed over so far
    // The first input frame index of every switch (channel 0), up to 4,096.
    std::vector<uint32_t> inputFrames;
    ASIOCallbacks callbacks{&onBufferSwitch, &onRateChange, &onMessage, &onTimeInfo};
    // Guards the vectors above against the streaming thread.
    mutable std::mutex mutex;
    template <class T> std::vector<T> copy(const std::vector<T>& v) const
    {
        std::lock_guard lock(mutex);
        return v;
    }

    // createBuffers for every channel of the device at its size.
    ASIOError create()
    {
        EXPECT_EQ(driver->getChannels(&inputs, &outputs), ASE_OK);
        AsioLong mn = 0, mx = 0, gran = 0;
        EXPECT_EQ(driver->getBufferSize(&mn, &mx, &frames, &gran), ASE_OK);
        buffers.clear();
        for (AsioLong c = 0; c < inputs; ++c)
            buffers.push_back(ASIOBufferInfo{ASIOTrue, c, {nullptr, nullptr}});
        for (AsioLong c = 0; c < outputs; ++c)
            buffers.push_back(ASIOBufferInfo{ASIOFalse, c, {nullptr, nullptr}});
        return driver->createBuffers(buffers.data(), AsioLong(buffers.size()), frames, &callbacks);
    }

    static TestHost*& active()
    {
        static TestHost* host = nullptr;
        return host;
    }

private:
    void onSwitch(AsioLong index)
    {
        std::unique_lock lock(mutex);
        if (indexes.size() < 64)
            indexes.push_back(uint32_t(index));
        for (const ASIOBufferInfo& b : buffers) {
            auto* half = static_cast<uint32_t*>(b.buffers[index]);
            if (b.isInput) {
                // Every input sample in its channel, frames consecutive.
                for (AsioLong f = 0; f < frames; ++f)
                    if (sim::mixer::sampleChannel(half[f]) != b.channelNum ||
                        sim::mixer::sampleFrameBits(half[f]) !=
                            ((sim::mixer::sampleFrameBits(half[0]) + uint32_t(f)) & sim::mixer::kSignalFrameMask))
                        ++inputErrors;
                if (b.channelNum == 0 && inputFrames.size() < 4096)
                    inputFrames.push_back(sim::mixer::sampleFrameBits(half[0]));
            } else {
                for (AsioLong f = 0; f < frames; ++f)
                    half[f] = play ? play(uint32_t(b.channelNum), hostFrame + uint64_t(f), *this) : 0;
            }
        }
        hostFrame += uint64_t(frames);
        lock.unlock();
        if (inSwitch)
            inSwitch(*this);
        switches.fetch_add(1);
        if (callsOutputReady)
            driver->outputReady();
    }
    static void onBufferSwitch(AsioLong index, ASIOBool) { active()->onSwitch(index); }
    static ASIOTime* onTimeInfo(ASIOTime* time, AsioLong index, ASIOBool)
    {
        TestHost* h = active();
        {
            std::lock_guard lock(h->mutex);
            if (h->timeInfoFlags.size() < 64)
                h->timeInfoFlags.push_back(time->timeInfo.flags);
            if (h->samplePositions.size() < 64) {
                h->samplePositions.push_back(uint64_t(time->timeInfo.samplePosition.hi) << 32 |
                                             time->timeInfo.samplePosition.lo);
                h->timeCodeSamples.push_back(uint64_t(time->timeCode.timeCodeSamples.hi) << 32 |
                                             time->timeCode.timeCodeSamples.lo);
            }
        }
        if (time->timeInfo.flags & kSampleRateChanged)
            h->rateChangedSwitches.fetch_add(1);
        h->onSwitch(index);
        return time;
    }
    static void onRateChange(ASIOSampleRate rate)
    {
        active()->changedRate.store(rate);
        active()->rateChanges.fetch_add(1);
    }
    static AsioLong onMessage(AsioLong selector, AsioLong, void*, double*)
    {
        TestHost* h = active();
        if (selector == kAsioSupportsTimeInfo) {
            h->timeInfoQuestions.fetch_add(1);
            return h->answersTimeInfo ? 1 : 0;
        }
        if (selector == kAsioResetRequest) {
            h->resetRequests.fetch_add(1);
            if (h->onReset)
                h->onReset(*h);
            return 1;
        }
        return 0;
    }
};

// The user-mode clock of a streaming test: the kernel clock, moved on only
// by the first object's streaming thread (the driver), 1 ms at a time, and
// only once every follower (other objects' streaming threads) is asleep, so
// that every client handles every block. Other threads wait for the time to
// come; with no driver running they move it themselves.
class DrivenClock final : public w32::Clock {
public:
    uint32_t tickCount() override { return uint32_t(kplat::kernelClock().now() / kplat::kTicksPerMs); }
    void sleep(uint32_t ms) override
    {
        const uint64_t deadline = kplat::kernelClock().now() + kplat::msToTicks(ms);
        const uint32_t me = w32::GetCurrentThreadId();
        int follower = -1;
        for (;;) {
            // One reading per step: a follower that found the time short of
            // its deadline, and then read it again after the driver moved it
            // on, would show itself asleep at a time it is about to wake at,
            // and the driver would move on before it took its block.
            const uint64_t now = kplat::kernelClock().now();
            if (now >= deadline)
                break;
            // Checked at every step: a streaming thread already asleep when
            // the test names it the driver (or a follower) must not wait for
            // itself (or keep the driver waiting).
            if (me == driverId_.load()) {
                waitForFollowers(now);
                kplat::kernelClock().advanceTo(std::min(deadline, now + kplat::msToTicks(1)));
                continue;
            }
            // Asleep at this point of time (1 + now, 0 when awake).
            follower = followerSlot(me);
            if (follower >= 0)
                asleepAt_[size_t(follower)] = now + 1;
            if (!driverRunning())
                kplat::kernelClock().advanceTo(deadline);
            else
                std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
        if (follower >= 0)
            asleepAt_[size_t(follower)] = 0;
    }
    // The clock lives for the process and is reset for each test.
    static DrivenClock& instance()
    {
        static DrivenClock* clock = new DrivenClock;
        return *clock;
    }
    void reset()
    {
        driver_ = nullptr;
        driverId_ = 0;
        followers_ = 0;
        for (auto& id : followerIds_)
            id = 0;
        asleepAt_[kMonitor] = 0;
        std::lock_guard lock(processMutex_);
        driverProcess_ = nullptr;
        followerProcesses_ = {};
        followerHandles_ = {};
    }
    // `thread` is a handle of the calling thread's process.
    void drive(w32::HANDLE thread)
    {
        {
            std::lock_guard lock(processMutex_);
            driverProcess_ = ob::Process::currentRef();
        }
        driver_ = thread;
        driverId_ = w32::GetThreadId(thread);
    }
    // Streaming threads the driver waits for; they count as asleep in
    // sleep() (the driver waits until that many threads sleep). `thread` is
    // a handle of the calling thread's process: the driver waits for the
    // thread for as long as it runs.
    void follow(w32::HANDLE thread) { followId(w32::GetThreadId(thread), thread); }
    // A thread known by its identifier only (one the driver started itself):
    // waited for within a bound, as it may have ended.
    void followId(uint32_t id, w32::HANDLE thread = nullptr)
    {
        const int n = followers_.load();
        if (n >= kMaxFollowers)
            return;
        {
            std::lock_guard lock(processMutex_);
            followerProcesses_[size_t(n)] = ob::Process::currentRef();
            followerHandles_[size_t(n)] = thread;
        }
        asleepAt_[size_t(n)] = 0;
        followerIds_[size_t(n)] = id;
        followers_ = n + 1;
    }

private:
    bool driverRunning() const
    {
        std::unique_lock lock(processMutex_);
        const ob::Ref<ob::Process> process = driverProcess_;
        lock.unlock();
        return running(process, driver_.load());
    }
    bool hasHandle(int i) const
    {
        std::lock_guard lock(processMutex_);
        return followerHandles_[size_t(i)] != nullptr;
    }
    bool followerRunning(int i) const
    {
        std::unique_lock lock(processMutex_);
        const ob::Ref<ob::Process> process = followerProcesses_[size_t(i)];
        const w32::HANDLE thread = followerHandles_[size_t(i)];
        lock.unlock();
        return running(process, thread);
    }
    // The handle is looked up in the process that named the thread, which
    // need not be the caller's.
    static bool running(const ob::Ref<ob::Process>& process, w32::HANDLE thread)
    {
        if (!process || !thread)
            return false;
        ob::ProcessScope scope(process);
        return w32::WaitForSingleObject(thread, 0) == w32::WAIT_TIMEOUT;
    }
    int followerSlot(uint32_t id) const
    {
        for (int i = 0; i < followers_.load(); ++i)
            if (followerIds_[size_t(i)].load() == id)
                return i;
        return id == monitorId() ? int(kMonitor) : -1;
    }
    // The slot's status monitor follows too, while it runs: time that ran
    // ahead of it would look like a machine that slept, and restart the stream.
    static uint32_t monitorId()
    {
        const uint32_t id = DeviceSlotAt(0)->monitorThreadId.load();
        return id != 0 ? id : ~0u;
    }
    // Every follower asleep since the time came to now: it has seen every
    // block before the next. Waited for as long as its thread runs (a bound
    // in real time let a loaded machine move the time on without it, and it
    // lost blocks as a late client does).
    void waitForFollowers(uint64_t time)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        const uint64_t now = time + 1;
        for (int i = 0; i < followers_.load(); ++i)
            for (uint32_t spins = 0; asleepAt_[size_t(i)].load() != now; ++spins) {
                if (spins % 1024 == 1023 &&
                    (hasHandle(i) ? !followerRunning(i) : std::chrono::steady_clock::now() >= until))
                    break;
                std::this_thread::yield();
            }
        while (monitorId() != ~0u && asleepAt_[kMonitor].load() != now && std::chrono::steady_clock::now() < until)
            std::this_thread::yield();
    }
    static constexpr int kMaxFollowers = 4;
    std::array<std::atomic<uint32_t>, kMaxFollowers> followerIds_{};
    static constexpr size_t kMonitor = kMaxFollowers;
    std::array<std::atomic<uint64_t>, kMaxFollowers + 1> asleepAt_{};
    mutable std::mutex processMutex_;
    ob::Ref<ob::Process> driverProcess_;
    std::array<ob::Ref<ob::Process>, kMaxFollowers> followerProcesses_;
    std::array<w32::HANDLE, kMaxFollowers> followerHandles_{};
    std::atomic<w32::HANDLE> driver_{nullptr};
    std::atomic<uint32_t> driverId_{0};
    std::atomic<int> followers_{0};
};

// What a host does: the factory of the slot's class, and the object asked
// for with the class identifier as the interface.
inline IASIO* createFromClassFactory(int slot)
{
    const com::CLSID& clsid = *FactoryTemplates()[slot].clsid;
    void* out = nullptr;
    EXPECT_EQ(DllGetClassObject(clsid, com::IID_IClassFactory, &out), com::S_OK);
    auto* factory = static_cast<com::IClassFactory*>(out);
    void* object = nullptr;
    EXPECT_EQ(factory->CreateInstance(nullptr, clsid, &object), com::S_OK);
    factory->Release();
    return static_cast<IASIO*>(object);
}

class HostFixture : public DeviceFixture {
protected:
    HostFixture() : userClock_(DrivenClock::instance())
    {
        userClock_.reset();
        previousUserClock_ = w32::setClock(&userClock_);
    }
    ~HostFixture() override
    {
        if (host_.driver)
            host_.driver->Release();
        host_.driver = nullptr;
        closeWrappers();
        // Its threads have ended with the object: the clock can go.
        EXPECT_TRUE(driverThreadsEnded());
        w32::setClock(previousUserClock_);
        EXPECT_EQ(DllCanUnloadNow(), com::S_OK);
    }

    IASIO* create(int slot)
    {
        host_.driver = createFromClassFactory(slot);
        return host_.driver;
    }
    AAsio* object() { return static_cast<AAsio*>(host_.driver); }

    // A mixer at `rate`, the object created and initialised for it, the
    // buffer time `ms`.
    void ready(uint32_t rate = 48000, uint32_t ms = 8)
    {
        ASSERT_NE(plugQx1600(), nullptr);
        ASSERT_TRUE(RegistrySetBufferSizeMillisecs(0, ms));
        again(rate);
    }
    // A new object for the mixer already there (the last one released).
    void again(uint32_t rate = 48000)
    {
        create(0);
        ASSERT_EQ(host_.driver->init(nullptr), ASIOTrue);
        userClock_.drive(object()->streamingThread());
        ASSERT_EQ(host_.driver->setSampleRate(double(rate)), ASE_OK);
    }

    bool waitForSwitches(uint64_t n)
    {
        const uint64_t target = host_.switches.load() + n;
        return waitFor([&] { return host_.switches.load() >= target; });
    }

    DrivenClock& userClock_;
    w32::Clock* previousUserClock_ = nullptr;
    TestHost host_;
};

} // namespace orvo::asio::testing

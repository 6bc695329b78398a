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
#include "platform/win32/synch.h"
#include "platform/win32/threads.h"
#include "sim/mixer/test_signal.h"

#include <gtest/gtest.h>

#include <algorithm>
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
        }
        h->onSwitch(index);
        return time;
    }
    static void onRateChange(ASIOSampleRate) { active()->rateChanges.fetch_add(1); }
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
        bool counted = false; // as a sleeping follower
        while (kplat::kernelClock().now() < deadline) {
            // Checked at every step: a streaming thread already asleep when
            // the test names it the driver must not wait for itself.
            if (me == driverId_.load()) {
                if (counted)
                    sleeping_.fetch_sub(1);
                counted = false;
                waitForFollowers();
                kplat::kernelClock().advanceTo(std::min(deadline, kplat::kernelClock().now() + kplat::msToTicks(1)));
                continue;
            }
            if (!counted)
                sleeping_.fetch_add(1);
            counted = true;
            if (!driverRunning())
                kplat::kernelClock().advanceTo(deadline);
            else
                std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
        if (counted)
            sleeping_.fetch_sub(1);
    }
    // Threads of a test may outlive it (a monitor the release did not wait
    // for): the clock lives for the process and is reset for each test.
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
    }
    void drive(w32::HANDLE thread)
    {
        driver_ = thread;
        driverId_ = w32::GetThreadId(thread);
    }
    // Streaming threads the driver waits for; they count as asleep in
    // sleep() (the driver waits until that many threads sleep).
    void follow(int threads) { followers_ = threads; }

private:
    bool driverRunning() const
    {
        const w32::HANDLE d = driver_.load();
        return d && w32::WaitForSingleObject(d, 0) == w32::WAIT_TIMEOUT;
    }
    void waitForFollowers()
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
        while (sleeping_.load() < followers_.load() && std::chrono::steady_clock::now() < until)
            std::this_thread::yield();
    }
    std::atomic<w32::HANDLE> driver_{nullptr};
    std::atomic<uint32_t> driverId_{0};
    std::atomic<int> followers_{0};
    std::atomic<int> sleeping_{0};
};

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
        // Its thread has ended with the object: the clock can go.
        w32::setClock(previousUserClock_);
        EXPECT_EQ(DllCanUnloadNow(), com::S_OK);
    }

    IASIO* create(int slot)
    {
        const com::CLSID& clsid = *FactoryTemplates()[slot].clsid;
        void* out = nullptr;
        EXPECT_EQ(DllGetClassObject(clsid, com::IID_IClassFactory, &out), com::S_OK);
        auto* factory = static_cast<com::IClassFactory*>(out);
        void* object = nullptr;
        EXPECT_EQ(factory->CreateInstance(nullptr, clsid, &object), com::S_OK);
        factory->Release();
        host_.driver = static_cast<IASIO*>(object);
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

    // Waits (in real time, moving nothing) until `done` or 20 s have passed.
    static bool waitFor(const std::function<bool()>& done)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done()) {
            if (std::chrono::steady_clock::now() > until)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
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

#include "mixer/midi/midi_notifier.h"
#include "mixer/midi/midi_port.h"

#include "platform/win32/clock.h"
#include "platform/win32/window.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace Orvo;

namespace {

class BarePort final : public MidiPortApi {
public:
    unsigned portCount() override { return 0; }
    std::string portName(unsigned) override { return {}; }
    void openPort(unsigned, const std::string&) override {}
    void closePort() override {}
    bool isPortOpen() const override { return false; }
    void setErrorCallback(MidiErrorCallback, void*) override {}
};

std::atomic<int> g_changes{0};
int countChange(void*)
{
    ++g_changes;
    return 0;
}

void waitForWindow()
{
    for (int i = 0; i < 5000 && notifierWindow() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_NE(notifierWindow(), 0u);
}

void waitForChanges(int n)
{
    for (int i = 0; i < 5000 && g_changes.load() < n; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

class Notifier : public ::testing::Test {
protected:
    w32::VirtualClock clock{0, true};
    void SetUp() override
    {
        w32::setClock(&clock);
        g_changes = 0;
    }
    void TearDown() override { w32::setClock(nullptr); }
};

} // namespace

TEST_F(Notifier, OneDeviceChangeCallsEachRegisteredCallback)
{
    BarePort input, output, silent;
    input.setDeviceChangeCallback(&countChange, &input);
    output.setDeviceChangeCallback(&countChange, &output);
    waitForWindow();
    const uint64_t before = clock.now64();
    w32::BroadcastDeviceChange();
    waitForChanges(2);
    EXPECT_EQ(g_changes.load(), 2);
    EXPECT_EQ(clock.now64() - before, 20u); // 10 ms after each callback, none for the port without one
}

TEST_F(Notifier, RunsWhileAnyPortIsRegistered)
{
    auto a = std::make_unique<BarePort>();
    EXPECT_TRUE(notifierRunning());
    notifierUnregister(nullptr); // not registered: nothing changes
    {
        BarePort b;
        b.setDeviceChangeCallback(&countChange, nullptr);
        a.reset();
        EXPECT_TRUE(notifierRunning());
        waitForWindow();
        w32::BroadcastDeviceChange();
        waitForChanges(1);
        EXPECT_EQ(g_changes.load(), 1);
    }
    EXPECT_FALSE(notifierRunning());
    EXPECT_EQ(w32::WindowCount(), 0u);
}

TEST_F(Notifier, StopsBeforeItsWindowExistsAndStartsAgain)
{
    for (int i = 0; i < 50; ++i) {
        BarePort p; // registered and unregistered at once, window or not
    }
    EXPECT_FALSE(notifierRunning());
    BarePort p;
    p.setDeviceChangeCallback(&countChange, nullptr);
    waitForWindow();
    w32::BroadcastDeviceChange();
    waitForChanges(1);
    EXPECT_EQ(g_changes.load(), 1);
}

TEST_F(Notifier, StopWhileACallbackRunsDoesNotDeadlock)
{
    static std::atomic<bool> inside{false}, release{false};
    inside = release = false;
    auto port = std::make_unique<BarePort>();
    port->setDeviceChangeCallback(
        [](void*) {
            inside = true;
            while (!release)
                std::this_thread::yield();
            return 0;
        },
        nullptr);
    waitForWindow();
    w32::BroadcastDeviceChange();
    while (!inside)
        std::this_thread::yield();
    std::thread releaser([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        release = true;
    });
    port->setDeviceChangeCallback(nullptr, nullptr);
    port.reset(); // the last port: stops the thread while its callback still runs
    releaser.join();
    EXPECT_FALSE(notifierRunning());
}

TEST_F(Notifier, FailedWindowMeansNoDeviceChanges)
{
    w32::FailCreateWindow(1);
    testing::internal::CaptureStdout();
    {
        BarePort p;
        p.setDeviceChangeCallback(&countChange, nullptr);
        for (int i = 0; i < 5000 && notifierRunning(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        w32::BroadcastDeviceChange();
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "RtMidi: FAILED! CreateWindow 8\r\n");
    EXPECT_EQ(g_changes.load(), 0);
    w32::FailRegisterClass(1);
    testing::internal::CaptureStdout();
    {
        BarePort p;
        for (int i = 0; i < 5000 && notifierRunning(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "RtMidi: FAILED! RegisterClassEx 8\r\n");
}

// The device transport against the simulated mixer through the kernel
// driver: wrappers, retries and re-opens, the process-id message on every
// new handle, replugging, and the status record hand-over.

#include "device_fixture.h"

#include "classcomp/asio/buffer_samples.h"
#include "classcomp/asio/device_api.h"
#include "classcomp/asio/registry_settings.h"
#include "classcomp/asio/transport.h"
#include "classcomp/asio/usb_device_open.h"
#include "classcomp/kernel/io_control.h"
#include "platform/win32/error.h"
#include "platform/win32/setupapi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using namespace orvo::asio;
namespace k = orvo::kernel;
constexpr uint32_t kSet = k::device_message::kSet;
constexpr uint32_t kGet = k::device_message::kGet;

class Transport : public orvo::asio::testing::DeviceFixture {};

TEST(BufferSamples, FramesForMillisecs)
{
    const struct {
        int32_t ms, rate, frames;
    } cases[] = {
        {8, 48000, 96},  {8, 44100, 88},   {1, 48000, 48},     {3, 44100, 45},   {10, 48000, 144},
        {50, 48000, 768}, {48, 192000, 3000}, {8, 96000, 192}, {0, 48000, 48},  {100, 48000, 768},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BufferSamplesForMillisecs(c.ms, c.rate), c.frames) << c.ms << " ms at " << c.rate;
    // The nearest size at 192 kHz lies past 3,000 frames; the search stops there.
    EXPECT_LE(BufferSamplesForMillisecs(50, 192000), kMaxBlockFrames);
    EXPECT_FLOAT_EQ(SamplesToMillisecsScaled(480, 48000), 29.99664f);
    EXPECT_EQ(SamplesToMillisecsScaled(0, 48000), 0.0f);
    EXPECT_EQ(SamplesToMillisecsScaled(480, 0), 0.0f);
}

TEST_F(Transport, The513thWrapperOfASlotIsRefused)
{
    ASSERT_NE(plugQx1600(), nullptr);
    enableLog();
    const std::string log = logOf([&] {
        for (uint32_t i = 0; i < kMaxWrappersPerSlot; ++i) {
            AudioDeviceInterfaceWrapper* w = keep(0, uOrvoAudioOpen(0));
            ASSERT_NE(w, nullptr);
            ASSERT_NE(w->handle, w32::INVALID_HANDLE_VALUE);
        }
        EXPECT_EQ(uOrvoAudioOpen(0), nullptr);
    });
    EXPECT_EQ(count(log, "... and failed to create device wrapper, because we've consumed 512 devices out of 512"), 1u);
    EXPECT_EQ(DeviceSlotAt(0)->wrapperCount, kMaxWrappersPerSlot);
    EXPECT_NE(DeviceSlotAt(0)->monitorThreadId.load(), 0u);
}

// Each request to an absent device costs two attempts, and no request
// reaches the kernel: each attempt finds no handle, tries to re-open,
// pauses 20 ms and sleeps 10 ms.
TEST_F(Transport, AnAbsentDeviceCostsTwoAttemptsOf30Ms)
{
    enableLog();
    const std::string log = logOf([&] {
        AudioDeviceInterfaceWrapper* w = keep(0, uOrvoAudioOpen(0));
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->handle, w32::INVALID_HANDLE_VALUE);
        EXPECT_EQ(DeviceSlotAt(0)->wrapperCount, 0u); // not listed, no monitor
        const uint32_t start = w32::GetTickCount();
        uint32_t rate = 0;
        EXPECT_FALSE(DeviceMessageValue(0, w, k::kMsgSampleRate, kGet, 0, &rate));
        EXPECT_EQ(w32::GetTickCount() - start, 2 * (kReopenPauseMs + kRetrySleepMs));
    });
    EXPECT_EQ(count(log, "GET 1"), 2u);
    EXPECT_EQ(count(log, "Short-circuited failure of IOCTL due to INVALID_HANDLE_VALUE"), 2u);
    EXPECT_EQ(count(log, "Device handle became invalid; trying to re-open."), 2u);
    EXPECT_EQ(count(log, "Failed to re-create device handle; pausing"), 2u);
    EXPECT_EQ(count(log, "Error: IOCTL failed to get value 1"), 1u);
}

TEST_F(Transport, AFailedFirstAttemptReopensUnlessNoReopen)
{
    ASSERT_NE(plugQx1600(), nullptr);
    enableLog();
    for (bool noReopen : {false, true}) {
        SCOPED_TRACE(noReopen);
        const std::string log = logOf([&] {
            AudioDeviceInterfaceWrapper* w = openUnlisted();
            ASSERT_NE(w->handle, w32::INVALID_HANDLE_VALUE);
            w->noReopen = noReopen;
            const w32::HANDLE before = w->handle;
            const uint32_t start = w32::GetTickCount();
            // A get of the block size is refused by the kernel (internal error).
            EXPECT_FALSE(DeviceMessageValue(0, w, k::kMsgBlockFrames, kGet, 0, nullptr));
            EXPECT_EQ(w32::GetTickCount() - start, 2 * kRetrySleepMs);
            EXPECT_NE(w->handle, w32::INVALID_HANDLE_VALUE);
            EXPECT_EQ(w->handle != before, !noReopen);
        });
        EXPECT_EQ(count(log, "Device handle became invalid; trying to re-open."), noReopen ? 0u : 1u);
        EXPECT_EQ(count(log, "IOCTL 0x220010 (message) failed, last error 0x54f"), noReopen ? 2u : 1u);
    }
}

// The kernel takes a rate change only from a handle whose process is known:
// the retry after a re-open goes through because selector 9 went first on
// the new handle.
TEST_F(Transport, TheProcessIdGoesFirstOnEveryNewHandle)
{
    k::DeviceContext* c = plugQx1600();
    ASSERT_NE(c, nullptr);
    AudioDeviceInterfaceWrapper* w = openUnlisted();
    ASSERT_NE(w->handle, w32::INVALID_HANDLE_VALUE);
    EXPECT_FALSE(w->processIdSent);
    ASSERT_EQ(uOrvoAudioSetSampleRate(0, w, 48000), 0);
    EXPECT_TRUE(w->processIdSent);
    EXPECT_EQ(c->ownerProcessId, w32::GetCurrentProcessId());
    EXPECT_EQ(mixerDevice_->sampleRate(), 48000u);

    // The handle goes bad behind the wrapper's back: the first attempt fails,
    // the wrapper re-opens, and the retried rate set is taken.
    w32::CloseHandle(w->handle);
    EXPECT_TRUE(DeviceMessageValue(0, w, k::kMsgSampleRate, kSet, 44100, nullptr));
    EXPECT_TRUE(w->processIdSent);
    EXPECT_EQ(mixerDevice_->sampleRate(), 44100u);
    EXPECT_EQ(uOrvoAudioGetSampleRate(0, w), 44100u);
}

TEST_F(Transport, AReplugWithANewInterfaceIsFoundThroughTheRegistry)
{
    k::DeviceContext* c = plugQx1600();
    ASSERT_NE(c, nullptr);
    const kplat::Guid first = c->interfaceGuid;
    AudioDeviceInterfaceWrapper* w = openUnlisted();
    ASSERT_EQ(uOrvoAudioSetSampleRate(0, w, 48000), 0);

    unplugMixer();
    EXPECT_FALSE(DeviceMessageValue(0, w, k::kMsgSampleRate, kGet, 0, nullptr));
    EXPECT_EQ(w->handle, w32::INVALID_HANDLE_VALUE);

    k::DeviceContext* again = plugQx1600();
    ASSERT_NE(again, nullptr);
    EXPECT_NE(again->interfaceGuid, first);
    uint32_t rate = 0;
    EXPECT_TRUE(DeviceMessageValue(0, w, k::kMsgSampleRate, kGet, 0, &rate));
    EXPECT_NE(w->handle, w32::INVALID_HANDLE_VALUE);
    EXPECT_EQ(uOrvoAudioSetSampleRate(0, w, 96000), 0);
    EXPECT_EQ(mixerDevice_->sampleRate(), 96000u);
}

TEST_F(Transport, ADeadRecordIsReplacedOnceAndItsMappingOutlivesItsLease)
{
    ASSERT_NE(plugQx1600(), nullptr);
    AudioDeviceInterfaceWrapper* w = openUnlisted();
    MappingLease streaming = GetAsioInfo(0, w);
    ASSERT_TRUE(streaming);
    uint8_t* const old = streaming.get();
    const w32::HANDLE oldHandle = w->handle;

    // The device went away between the kernel's answer and our look at it.
    k::AsioInfo(old).setRecordDead(1);
    MappingLease fresh = GetAsioInfo(0, w);
    ASSERT_TRUE(fresh);
    EXPECT_NE(fresh.get(), old);
    EXPECT_NE(w->handle, oldHandle);
    EXPECT_EQ(w->asioInfo, fresh.get());

    // The holder of the old mapping still reads it; its handle closes only
    // when the holder lets go.
    EXPECT_TRUE(readable(old));
    EXPECT_EQ(w->retired.size(), 1u);
    streaming.release();
    EXPECT_TRUE(w->retired.empty());
    EXPECT_FALSE(readable(old));
    EXPECT_TRUE(readable(fresh.get()));
}

TEST_F(Transport, AReopenUnderALeaseKeepsTheMappingUntilItIsReleased)
{
    ASSERT_NE(plugQx1600(), nullptr);
    AudioDeviceInterfaceWrapper* w = openUnlisted();
    MappingLease held = GetAsioInfo(0, w);
    ASSERT_TRUE(held);
    // A failed request re-opens the handle the lease's mapping came from.
    EXPECT_FALSE(DeviceMessageValue(0, w, k::kMsgBlockFrames, kGet, 0, nullptr));
    EXPECT_EQ(w->asioInfo, nullptr);
    EXPECT_TRUE(readable(held.get()));
    EXPECT_EQ(k::AsioInfo(held.get()).recordDead(), 0);
    const uint8_t* address = held.get();
    held.release();
    EXPECT_FALSE(readable(address));
}

// One wrapper, two threads: one keeps reading the record through leases
// while the other's failing requests replace the handle under it.
TEST_F(Transport, LeasesHoldTheirMappingWhileAnotherThreadReopens)
{
    ASSERT_NE(plugQx1600(), nullptr);
    AudioDeviceInterfaceWrapper* w = openUnlisted();
    ASSERT_EQ(uOrvoAudioSetSampleRate(0, w, 48000), 0);
    std::atomic<bool> done{false};
    std::atomic<int> reads{0}, wrong{0};
    std::thread reader([&] {
        while (!done.load()) {
            MappingLease record = GetAsioInfo(0, w);
            if (!record)
                continue;
            for (int i = 0; i < 2000; ++i)
                if (k::AsioInfo(record.get()).sampleRate() != 48000)
                    ++wrong;
            ++reads;
        }
    });
    while (reads.load() == 0)
        std::this_thread::yield();
    for (int i = 0; i < 40; ++i)
        EXPECT_FALSE(DeviceMessageValue(0, w, k::kMsgBlockFrames, kGet, 0, nullptr)); // re-opens
    done = true;
    reader.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_TRUE(w->retired.empty());
    EXPECT_EQ(w->leases, 0u);
}

TEST_F(Transport, EnumerationGivesUpAfterBoundedFailures)
{
    ASSERT_NE(plugQx1600(), nullptr);
    w32::GUID guid;
    ASSERT_TRUE(uRegistryTryReadKernelInterfaceGuid(0, guid));
    w32::failInterfaceEnumeration(w32::ERROR_INVALID_USER_BUFFER, -1);
    EXPECT_EQ(OpenUsbDevice(guid, false), w32::INVALID_HANDLE_VALUE);
    EXPECT_EQ(w32::failedInterfaceEnumerations(), kMaxFailedInterfaceIndexes);
    w32::failInterfaceEnumeration(0, 0);
    const w32::HANDLE h = OpenUsbDevice(guid, false);
    EXPECT_NE(h, w32::INVALID_HANDLE_VALUE);
    w32::CloseHandle(h);
}

TEST_F(Transport, DeletingTheLastWrapperEndsTheMonitor)
{
    ASSERT_NE(plugQx1600(), nullptr);
    AudioDeviceInterfaceWrapper* a = uOrvoAudioOpen(0);
    AudioDeviceInterfaceWrapper* b = uOrvoAudioOpen(0);
    DeviceSlot* slot = DeviceSlotAt(0);
    const uint32_t monitor = slot->monitorThreadId.load();
    EXPECT_NE(monitor, 0u);
    uOrvoAudioClose(0, a);
    EXPECT_EQ(slot->monitorThreadId.load(), monitor);
    uOrvoAudioClose(0, b);
    EXPECT_EQ(slot->monitorThreadId.load(), 0u);
    EXPECT_EQ(slot->wrapperCount, 0u);
}

TEST_F(Transport, ProcessDetachClosesEveryHandleAndEndsTheMonitors)
{
    k::DeviceContext* c = plugQx1600();
    ASSERT_NE(c, nullptr);
    AudioDeviceInterfaceWrapper* a = keep(0, uOrvoAudioOpen(0));
    AudioDeviceInterfaceWrapper* b = keep(0, uOrvoAudioOpen(0));
    MappingLease held = GetAsioInfo(0, a);
    ASSERT_TRUE(held);
    enableLog();
    const std::string log = logOf([] { ShutdownDeviceSlots(); });
    EXPECT_EQ(a->handle, w32::INVALID_HANDLE_VALUE);
    EXPECT_EQ(b->handle, w32::INVALID_HANDLE_VALUE);
    EXPECT_EQ(count(log, "Waiting for monitor status thread on index 0..."), 1u);
    EXPECT_EQ(count(log, "...done waiting."), 1u);
    // A stopping slot opens nothing.
    EXPECT_FALSE(DeviceMessageValue(0, a, k::kMsgSampleRate, kGet, 0, nullptr));
    EXPECT_EQ(a->handle, w32::INVALID_HANDLE_VALUE);
    // The lease still holds its mapping; letting go closes the last handle.
    EXPECT_TRUE(readable(held.get()));
    held.release();
    EXPECT_EQ(c->clientCount, 0u);
    InitDeviceSlotTable();
}

} // namespace

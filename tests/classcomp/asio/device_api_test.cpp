// The device functions end to end: the simulated mixer behind the kernel
// driver, reached through the transport.

#include "device_fixture.h"

#include "classcomp/asio/buffer_samples.h"
#include "classcomp/asio/device_api.h"
#include "classcomp/asio/registry_settings.h"
#include "classcomp/asio/transport.h"

#include <gtest/gtest.h>

namespace {

using namespace orvo::asio;
namespace k = orvo::kernel;

class DeviceApi : public orvo::asio::testing::DeviceFixture {};

TEST_F(DeviceApi, ARateSetReachesTheMixerAndReadsBack)
{
    k::DeviceContext* c = plugQx1600();
    ASSERT_NE(c, nullptr);
    AudioDeviceInterfaceWrapper* w = openUnlisted();
    ASSERT_NE(w->handle, w32::INVALID_HANDLE_VALUE);
    for (uint32_t rate : {48000u, 192000u, 44100u}) {
        EXPECT_EQ(uOrvoAudioSetSampleRate(0, w, rate), 0);
        EXPECT_EQ(mixerDevice_->sampleRate(), rate);
        EXPECT_EQ(uOrvoAudioGetSampleRate(0, w), rate);
        MappingLease record = GetAsioInfo(0, w);
        ASSERT_TRUE(record);
        EXPECT_EQ(k::AsioInfo(record.get()).clientBlockSamples(),
                  uint32_t(BufferSamplesForMillisecs(int32_t(RegistryReadBufferSizeMillisecs(0)), int32_t(rate))));
    }
    EXPECT_EQ(uOrvoAudioSetSampleRate(0, w, 22050), 1); // not offered
    EXPECT_EQ(mixerDevice_->sampleRate(), 44100u);
}

TEST_F(DeviceApi, TheBufferTimeBecomesTheKernelsBlockSizeAndMode)
{
    k::DeviceContext* c = plugQx1600();
    ASSERT_NE(c, nullptr);
    AudioDeviceInterfaceWrapper* w = openUnlisted();
    ASSERT_EQ(uOrvoAudioSetSampleRate(0, w, 48000), 0);
    const struct {
        int32_t ms;
        uint32_t mode;
    } cases[] = {{3, 0}, {4, 1}, {8, 2}, {9, 0}, {50, 2}};
    for (const auto& cs : cases) {
        SCOPED_TRACE(cs.ms);
        EXPECT_EQ(BufferModeForMillisecs(cs.ms), cs.mode);
        EXPECT_EQ(uOrvoAudioSetKernelBufferMillisecs(0, w, cs.ms), 0);
        const uint32_t frames = uint32_t(BufferSamplesForMillisecs(cs.ms, 48000));
        EXPECT_EQ(c->requestedBlockFrames, frames);
        EXPECT_EQ(c->outputDelayMode, cs.mode);
        MappingLease record = GetAsioInfo(0, w);
        ASSERT_TRUE(record);
        EXPECT_EQ(k::AsioInfo(record.get()).blockFrames(), frames);
        EXPECT_EQ(RegistryReadBufferSizeMillisecs(0), uint32_t(cs.ms)); // kept for the user
    }
    EXPECT_EQ(c->requestedBlockFrames, 768u);
}

TEST_F(DeviceApi, WithoutARateTheDeviceReads96000)
{
    // No device at all.
    AudioDeviceInterfaceWrapper* absent = keep(0, uOrvoAudioOpen(0));
    EXPECT_EQ(uOrvoAudioGetSampleRate(0, absent), kFallbackSampleRate);
    EXPECT_EQ(uOrvoAudioGetSampleRate(0, nullptr), kFallbackSampleRate);
    EXPECT_EQ(uOrvoAudioSetSampleRate(0, nullptr, 48000), 1);

    // A record that shows rate 0: one set of rate 0, which the kernel
    // refuses, and the fallback.
    ASSERT_NE(plugQx1600(), nullptr);
    AudioDeviceInterfaceWrapper* w = openUnlisted();
    ASSERT_EQ(uOrvoAudioSetSampleRate(0, w, 48000), 0);
    const uint64_t sets = mixerDevice_->counters().rateSets.load();
    {
        MappingLease record = GetAsioInfo(0, w);
        ASSERT_TRUE(record);
        k::AsioInfo(record.get()).setSampleRate(0);
    }
    EXPECT_EQ(uOrvoAudioGetSampleRate(0, w), kFallbackSampleRate);
    EXPECT_EQ(mixerDevice_->counters().rateSets.load(), sets);
    EXPECT_EQ(mixerDevice_->sampleRate(), 48000u);
}

TEST_F(DeviceApi, TheAvailabilityProbeOpensNothing)
{
    EXPECT_FALSE(IsDeviceAvailable(0)); // no registry entry
    k::DeviceContext* c = plugQx1600();
    ASSERT_NE(c, nullptr);
    const uint32_t clients = c->nextClientId;
    EXPECT_TRUE(IsDeviceAvailable(0));
    EXPECT_FALSE(IsDeviceAvailable(1));
    EXPECT_EQ(c->nextClientId, clients); // no handle was opened
    unplugMixer();
    EXPECT_FALSE(IsDeviceAvailable(0));
}

TEST_F(DeviceApi, OpeningListsTheWrapperAndStartsTheMonitor)
{
    ASSERT_NE(plugQx1600(), nullptr);
    AudioDeviceInterfaceWrapper* w = uOrvoAudioOpen(0);
    ASSERT_NE(w, nullptr);
    DeviceSlot* slot = DeviceSlotAt(0);
    EXPECT_EQ(slot->wrapperCount, 1u);
    EXPECT_EQ(slot->wrappers[0], w);
    EXPECT_NE(slot->monitorThreadId.load(), 0u);
    uOrvoAudioClose(0, w);
    EXPECT_EQ(slot->wrapperCount, 0u);
    EXPECT_EQ(slot->monitorThreadId.load(), 0u);
}

} // namespace

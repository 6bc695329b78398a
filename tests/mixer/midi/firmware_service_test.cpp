// Firmware update and flash-parameter write through the device service, end
// to end over the simulated MIDI bus against the simulated mixer, on a paced
// virtual clock; one update also runs in real time.

#include <gtest/gtest.h>
#include "eventually.h"
#include "paced_clock.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "mixer/midi/embedded_image.h"
#include "mixer/midi/midi_service.h"
#include "sim/midi/midi_bus.h"
#include "sim/mixer/midi_bootloader.h"
#include "sim/mixer/midi_mixer_bus.h"

using namespace Orvo;
using orvo::sim::MidiBus;
using orvo::sim::MidiMixer;
using orvo::sim::MidiMixerConfig;
using orvo::sim::MidiMixerFirmware;
using orvo::sim::MidiMixerOnBus;

namespace {

template <class P>
bool eventually(P pred)
{
    return orvo::testing::eventually(pred, 10000); // an update takes a while
}

struct Recorder {
    std::mutex mutex;
    std::vector<std::pair<int, int>> progress;
    std::vector<uint8_t> states; // device events seen, by state
    static void onProgress(Midi*, MidiDevice*, uint8_t percent, int error, void* self)
    {
        auto* r = static_cast<Recorder*>(self);
        std::lock_guard lock(r->mutex);
        r->progress.emplace_back(percent, error);
    }
    static void onDevice(Midi*, MidiDevice* d, void* self)
    {
        auto* r = static_cast<Recorder*>(self);
        std::lock_guard lock(r->mutex);
        r->states.push_back(d->state);
    }
};

MidiMixerConfig oldFirmware()
{
    MidiMixerConfig c;
    c.firmwareMajor = 1;
    c.firmwareMinor = 0;
    c.firmwarePatch = 4;
    c.firmwareBuild = 10;
    return c;
}

class FirmwareService : public testing::Test {
protected:
    explicit FirmwareService(bool realTime = false)
        : paced(realTime ? nullptr : std::make_unique<orvo::testing::PacedClock>())
    {
    }
    void SetUp() override
    {
        ASSERT_TRUE(loadEmbeddedImage(image));
        bus.setPortsChangedHook([] {
            if (Midi* m = Midi::Instance())
                Midi::OnDeviceChange(m);
        });
        attached = std::make_unique<MidiMixerOnBus>(bus, mixer);
        Midi::SetPortFactory(&bus);
        midi = Midi::GetInstance();
        midi->AddUpdateListener(&Recorder::onProgress, &rec);
        midi->AddDeviceListener(&Recorder::onDevice, &rec);
    }
    void TearDown() override
    {
        firmware.waitIdle();
        Midi::DestroyInstance();
        Midi::SetPortFactory(nullptr);
        attached.reset();
    }

    // The one device with this version and state, once discovery has it.
    MidiDevice* found(uint32_t version, uint8_t state)
    {
        MidiDevice* hit = nullptr;
        eventually([&] {
            midi->RequestRescan(true);
            hit = midi->DeviceCount() == 1 ? midi->DeviceAt(0) : nullptr;
            return hit && hit->state == state && hit->descriptor.firmwareVersion() == version;
        });
        return hit && hit->state == state && hit->descriptor.firmwareVersion() == version ? hit : nullptr;
    }

    std::unique_ptr<orvo::testing::PacedClock> paced; // first made, last gone
    // Finds the mixer with its old firmware and updates it: the result, and
    // what the service printed.
    std::pair<int, std::string> updateOldMixer()
    {
        MidiDevice* d = found(0x0100040Au, kDeviceApplication);
        if (d == nullptr)
            return {-1, "the mixer was not found"};
        testing::internal::CaptureStdout();
        const int result = midi->UpdateFirmware(d, image, false);
        return {result, testing::internal::GetCapturedStdout()};
    }

    OBinFileBuffer image;
    MidiBus bus;
    MidiMixer mixer{oldFirmware()};
    MidiMixerFirmware firmware{mixer, 200};
    std::unique_ptr<MidiMixerOnBus> attached;
    Midi* midi = nullptr;
    Recorder rec;
};

class FirmwareServiceRealTime : public FirmwareService {
protected:
    FirmwareServiceRealTime() : FirmwareService(true) {}
};

} // namespace

// The whole update, bootloader restart included, on the real clock.
TEST_F(FirmwareServiceRealTime, UpdatesARunningMixerThroughItsBootloader)
{
    const auto [result, out] = updateOldMixer();
    ASSERT_EQ(result, 0) << out;
    EXPECT_EQ(firmware.bootloader().regionVersion(0), 0x0100055Eu);
    EXPECT_NE(found(0x0100055Eu, kDeviceApplication), nullptr);
}

TEST_F(FirmwareService, UpdatesARunningMixerThroughItsBootloader)
{
    const auto [result, out] = updateOldMixer();
    ASSERT_EQ(result, 0) << out;
    EXPECT_EQ(firmware.enterRequests(), 1u);
    EXPECT_EQ(firmware.bootloader().regionVersion(0), 0x0100055Eu);
    EXPECT_EQ(firmware.bootloader().regionVersion(1), 0x0100055Eu);
    {
        std::lock_guard lock(rec.mutex);
        ASSERT_FALSE(rec.progress.empty());
        EXPECT_EQ(rec.progress.back(), (std::pair<int, int>{100, 0}));
        for (size_t i = 1; i + 1 < rec.progress.size(); ++i)
            EXPECT_GT(rec.progress[i].first, rec.progress[i - 1].first);
    }
    // The old record went; the mixer is found again with its new firmware.
    EXPECT_NE(found(0x0100055Eu, kDeviceApplication), nullptr);
    EXPECT_EQ(midi->Protocol().addressedA(), OwnProtocol::kNoDevice);
    EXPECT_FALSE(midi->Protocol().active());
    std::lock_guard lock(rec.mutex);
    EXPECT_NE(std::find(rec.states.begin(), rec.states.end(), kDeviceUpdating), rec.states.end());
    EXPECT_NE(std::find(rec.states.begin(), rec.states.end(), kDeviceRemoved), rec.states.end());
}

TEST_F(FirmwareService, MixerAlreadyInItsBootloaderGetsNoRestart)
{
    mixer.setBootloaderRunning(true);
    MidiDevice* d = found(0x0000040Au & 0x00FFFFFFu, kDeviceBootloader);
    ASSERT_NE(d, nullptr);
    testing::internal::CaptureStdout();
    EXPECT_EQ(midi->UpdateFirmware(d, image, false), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(firmware.enterRequests(), 0u);
    EXPECT_NE(found(0x0100055Eu, kDeviceApplication), nullptr);
}

TEST_F(FirmwareService, RescansDuringTheUpdateNeitherDeadlockNorBreakIt)
{
    MidiDevice* d = found(0x0100040Au, kDeviceApplication);
    ASSERT_NE(d, nullptr);
    std::atomic<bool> done{false};
    std::thread rescans([&] {
        while (!done) {
            midi->RequestRescan(true);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    testing::internal::CaptureStdout();
    const int result = midi->UpdateFirmware(d, image, false);
    testing::internal::GetCapturedStdout();
    done = true;
    rescans.join();
    EXPECT_EQ(result, 0);
    EXPECT_NE(found(0x0100055Eu, kDeviceApplication), nullptr);
}

TEST_F(FirmwareService, MixerThatNeverComesBack)
{
    MidiDevice* d = found(0x0100040Au, kDeviceApplication);
    ASSERT_NE(d, nullptr);
    firmware.setComesBack(false);
    testing::internal::CaptureStdout();
    const uint32_t start = w32::GetTickCount();
    EXPECT_EQ(midi->UpdateFirmware(d, image, false), 2);
    const uint32_t took = w32::GetTickCount() - start;
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("OMIDI: FAILED Device did not come back after entering bootloader 0x3a710018:"),
              std::string::npos)
        << out;
    EXPECT_GE(took, 18000u);
    EXPECT_EQ(midi->DeviceCount(), 0u);
    EXPECT_FALSE(midi->Protocol().active());
    EXPECT_TRUE(eventually([&] {
        std::lock_guard lock(rec.mutex);
        return !rec.states.empty() && rec.states.back() == kDeviceRemoved;
    }));
}

TEST_F(FirmwareService, InvalidDeviceRecord)
{
    MidiDevice stranger;
    testing::internal::CaptureStdout();
    EXPECT_EQ(midi->UpdateFirmware(&stranger, image, false), 2);
    EXPECT_FALSE(midi->WriteOFlashParam(&stranger, 3, 1));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("OMIDI: FAILED! UpdateFirmware() Invalid device object?\r\n"), std::string::npos);
    EXPECT_NE(out.find("OMIDI: FAILED! WriteOFlashParam() Invalid device object?\r\n"), std::string::npos);
    EXPECT_EQ(firmware.enterRequests(), 0u);
}

TEST_F(FirmwareService, FlashParameterWrite)
{
    MidiDevice* d = found(0x0100040Au, kDeviceApplication);
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(midi->WriteOFlashParam3(d, 0x12345678u));
    EXPECT_EQ(firmware.flashWrites(), (std::vector<MidiMixerFirmware::FlashWrite>{{3, 0x12345678u}}));

    firmware.setMissingAck(3);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(midi->WriteOFlashParam4(d, 7));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "OMIDI: OFLASH FAILED device did not ACK after PROTO_OFLASH_PARAM_CMD_UNLOCK1\r\n");
    EXPECT_EQ(firmware.flashWrites().size(), 2u); // written, but never acknowledged
    EXPECT_EQ(midi->Protocol().addressedA(), OwnProtocol::kNoDevice);
    EXPECT_FALSE(midi->Protocol().active());

    firmware.setMissingAck(1);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(midi->WriteOFlashParam3(d, 9));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(firmware.flashWrites().size(), 2u); // step 3 never sent
}

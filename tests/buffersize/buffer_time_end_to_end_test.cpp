// The buffer time end to end: the buffer-size program's slider, the
// registry, the ASIO driver's status monitor, the kernel driver's block size,
// and a streaming host that is asked to reset and goes on at the new size;
// then the control panel shows the new time too.

// The host fixtures first: the MIDI simulator's namespace orvo::sim would
// hide the mixer simulator's sim::mixer inside them. The bus before Qt (see
// tests/controlpanel/sim_mixers.h).
#include "host_fixture.h"
#include "sim/midi/midi_bus.h"

#include "buffersize/orvo_buffer_size.h"
#include "classcomp/asio/buffer_samples.h"
#include "classcomp/kernel/asio_info.h"
#include "controlpanel/orvo_control_panel.h"
#include "controlpanel/widgets/buffer_slider.h"
#include "mixer/midi/midi_service.h"
#include "mixer/model/mixer_model.h"
#include "resources/gui_resources.h"

#include <QApplication>
#include <QLabel>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

namespace {

using namespace orvo::asio;
namespace k = orvo::kernel;

// One application for the test program, on the offscreen platform.
class Application : public ::testing::Environment {
public:
    void SetUp() override
    {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        app_ = std::make_unique<QApplication>(argc_, argv_);
        initGuiResources();
    }
    void TearDown() override { app_.reset(); }

private:
    int argc_ = 1;
    char name_[32] = "buffer_time_end_to_end_test";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> app_;
};

[[maybe_unused]] const auto* const kApplication = ::testing::AddGlobalTestEnvironment(new Application);

class BufferTimeEndToEnd : public orvo::asio::testing::HostFixture {
protected:
    // The control panel's device service finds no port on an empty bus; the
    // mixer's MIDI side is left out (see the architecture notes).
    BufferTimeEndToEnd() { Orvo::Midi::SetPortFactory(&midiBus_); }
    ~BufferTimeEndToEnd() override
    {
        orvo::model::shutdownDeviceService();
        Orvo::Midi::SetPortFactory(nullptr);
    }

    // The host's own thread keeps the time going while it has no driver
    // object: with no streaming thread to drive the clock, the control
    // panel's service threads, polling in their waits, would run it on
    // unchecked, and the new object's monitor would take that for a machine
    // that slept. Named the driver while it lives; it moves the time 1 ms
    // at a time, each step after the monitor has slept to it.
    class Timekeeper {
    public:
        explicit Timekeeper(orvo::asio::testing::DrivenClock& clock)
        {
            thread_ = w32::CreateThread(nullptr, 0, &Timekeeper::run, &stop_, 0, nullptr);
            EXPECT_NE(thread_, nullptr);
            if (thread_)
                clock.drive(thread_);
        }
        // Call once another thread drives the clock.
        ~Timekeeper()
        {
            stop_ = true;
            if (!thread_)
                return;
            w32::WaitForSingleObject(thread_, w32::kInfinite);
            w32::CloseHandle(thread_);
        }

    private:
        static w32::DWORD run(w32::LPVOID stop)
        {
            while (!static_cast<std::atomic<bool>*>(stop)->load())
                w32::Sleep(1);
            return 0;
        }
        std::atomic<bool> stop_{false};
        w32::HANDLE thread_ = nullptr;
    };

    uint32_t kernelBlockFrames() { return k::AsioInfo(context(port_)->asioInfo).blockFrames(); }

    orvo::sim::MidiBus midiBus_;
};

TEST_F(BufferTimeEndToEnd, TheBufferSizeProgramsSliderReachesAStreamingHost)
{
    // A host streaming at 8 ms: 96 frames at 48 kHz.
    ready(48000, 8);
    ASSERT_EQ(host_.create(), ASE_OK);
    ASSERT_EQ(host_.frames, 96);
    ASSERT_EQ(host_.driver->start(), ASE_OK);
    ASSERT_TRUE(waitForSwitches(50));
    ASSERT_EQ(kernelBlockFrames(), 96u);

    // Both programs, each showing the registry's time at its model's poll.
    OrvoBufferSize program;
    program.show();
    auto panel = std::make_unique<OrvoControlPanel>();
    program.model()->onSampleBufferTimer();
    panel->model()->onSampleBufferTimer();
    auto* slider = program.findChild<BufferSlider*>("horizontalSliderBufferSize");
    auto* label = program.findChild<QLabel*>("labelBufferSize");
    auto* page = panel->findChild<QWidget*>("pageQX1600");
    ASSERT_TRUE(slider && label && page);
    auto* panelLabel = page->findChild<QLabel*>("labelBufferSize");
    auto* panelSlider = page->findChild<QSlider*>("horizontalSliderBufferSize");
    ASSERT_TRUE(panelLabel && panelSlider);
    ASSERT_EQ(slider->value(), 8);
    ASSERT_EQ(panelSlider->value(), 8);

    // The slider dragged to 20 and released there.
    slider->setSliderDown(true);
    slider->setSliderPosition(20);
    EXPECT_EQ(label->text(), QString("20 ms"));
    EXPECT_EQ(RegistryReadBufferSizeMillisecs(0), 8u);
    slider->setSliderDown(false);
    EXPECT_EQ(RegistryReadBufferSizeMillisecs(0), 20u);

    // The monitor pushes it; the kernel's block size follows, and the host
    // is asked to reset.
    const uint32_t newFrames = uint32_t(BufferSamplesForMillisecs(20, 48000));
    ASSERT_EQ(newFrames, 288u);
    ASSERT_TRUE(waitFor([&] { return kernelBlockFrames() == newFrames && host_.resetRequests.load() > 0; }));

    // The host does what the request means: release, create, init, buffers
    // at the size the driver now reports.
    const uint64_t errorsBefore = host_.inputErrors.load();
    {
        Timekeeper keeper(userClock_);
        EXPECT_EQ(host_.driver->stop(), ASE_OK);
        EXPECT_EQ(host_.driver->disposeBuffers(), ASE_OK);
        EXPECT_EQ(host_.driver->Release(), 0u);
        host_.driver = nullptr;
        EXPECT_EQ(host_.resetRequests.load(), 1);
        again(48000);
    }
    ASSERT_EQ(host_.create(), ASE_OK);
    EXPECT_EQ(host_.frames, AsioLong(newFrames));
    ASSERT_EQ(host_.driver->start(), ASE_OK);
    const size_t before = host_.copy(host_.inputFrames).size();
    ASSERT_TRUE(waitForSwitches(100));
    EXPECT_EQ(kernelBlockFrames(), newFrames);
    const auto frames = host_.copy(host_.inputFrames);
    ASSERT_GT(frames.size(), before + 50);
    for (size_t i = before + 1; i < frames.size(); ++i)
        ASSERT_EQ(frames[i], (frames[i - 1] + newFrames) & sim::mixer::kSignalFrameMask) << "switch " << i;
    EXPECT_EQ(host_.inputErrors.load(), errorsBefore);
    EXPECT_EQ(host_.resetRequests.load(), 1);

    // The control panel shows it at its model's next poll.
    panel->model()->onSampleBufferTimer();
    EXPECT_EQ(panelSlider->value(), 20);
    EXPECT_EQ(panelLabel->text(), QString("20 ms"));
    EXPECT_EQ(slider->value(), 20);

    EXPECT_EQ(host_.driver->stop(), ASE_OK);
    EXPECT_EQ(host_.driver->disposeBuffers(), ASE_OK);
    panel.reset();
}

} // namespace

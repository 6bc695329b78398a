#pragma once
// MixerModel over the simulated MIDI bus with simulated mixers, on a paced
// virtual clock for the device service, with a registry of its own, and a
// GUI side connected to the model as the main window connects it.

#include "mixer/midi/midi_service.h"
#include "mixer/model/mixer_model.h"
#include "platform/registry/registry.h"
#include "qt_app.h"
#include "sim/midi/midi_bus.h"
#include "sim/mixer/midi_mixer_bus.h"

#include "../../platform/registry/temp_root.h"
#include "../midi/paced_clock.h"

#include <QCoreApplication>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace orvo::testing {

// What the main window would see, with its connection types: device reports
// and reported values blocking-queued, busy queued, progress and buffer size
// direct (the progress slot serves pending events, as the window's does).
struct GuiSide {
    QObject context;
    std::vector<Orvo::MidiDevice*> devices; // listed: added, not yet removed
    std::vector<int> removedCount;
    std::vector<int> channels;
    std::vector<std::pair<int, int>> values;
    std::vector<Orvo::MidiDevice*> reporters; // reportingDevice() of each value
    std::vector<bool> busy;
    std::vector<int> progress;
    std::vector<int> sizes;
    std::function<void(int, int)> onValue;

    void connectTo(MixerModel& model)
    {
        QObject::connect(
            &model, &MixerModel::addDevice, &context, [this](orvo_device_ptr_t d) { devices.push_back(d); },
            Qt::BlockingQueuedConnection);
        QObject::connect(
            &model, &MixerModel::removeDevice, &context,
            [this](orvo_device_ptr_t d) { std::erase(devices, d); }, Qt::BlockingQueuedConnection);
        QObject::connect(
            &model, &MixerModel::channelValueRecieved, &context, [this](int v) { channels.push_back(v); },
            Qt::BlockingQueuedConnection);
        QObject::connect(
            &model, &MixerModel::cpValueRecieved, &context,
            [this, &model](int key, int value) {
                values.emplace_back(key, value);
                reporters.push_back(model.reportingDevice());
                if (onValue)
                    onValue(key, value);
            },
            Qt::BlockingQueuedConnection);
        QObject::connect(
            &model, &MixerModel::firmwareProgress, &context,
            [this](int p) {
                progress.push_back(p);
                QCoreApplication::processEvents();
            },
            Qt::DirectConnection);
        QObject::connect(
            &model, &MixerModel::setBusy, &context, [this](bool b) { busy.push_back(b); }, Qt::QueuedConnection);
        QObject::connect(
            &model, &MixerModel::sampleBufferSizeChanged, &context, [this](int s) { sizes.push_back(s); },
            Qt::DirectConnection);
    }
    // The listed device with this serial number and state, or null.
    Orvo::MidiDevice* device(uint32_t serial, uint8_t state = Orvo::kDeviceApplication) const
    {
        for (Orvo::MidiDevice* d : devices)
            if (d->descriptor.serialNumber() == serial && d->state.load() == state)
                return d;
        return nullptr;
    }
};

template <class P>
bool waitFor(P pred, int ms = 10000)
{
    return QTest::qWaitFor(pred, ms);
}

class ModelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        qtApp();
        reg::Registry::setMachineRoot(root.path);
        bus.setPortsChangedHook([] {
            if (Orvo::Midi* m = Orvo::Midi::Instance())
                Orvo::Midi::OnDeviceChange(m);
        });
        Orvo::Midi::SetPortFactory(&bus);
    }
    void TearDown() override
    {
        models.clear();
        Orvo::Midi::DestroyInstance();
        Orvo::Midi::SetPortFactory(nullptr);
        attached.clear();
    }
    MixerModel& makeModel(GuiSide* gui = nullptr)
    {
        models.push_back(std::make_unique<MixerModel>());
        if (gui)
            gui->connectTo(*models.back());
        return *models.back();
    }
    sim::MidiMixer& plug(sim::MidiMixerConfig config)
    {
        mixers.push_back(std::make_unique<sim::MidiMixer>(config));
        attached.push_back(std::make_unique<sim::MidiMixerOnBus>(bus, *mixers.back()));
        return *mixers.back();
    }
    static sim::MidiMixerConfig secondModel(uint32_t serial)
    {
        sim::MidiMixerConfig c;
        c.usbId = MixerModel::kSecondModelUsbId;
        c.serialNumber = serial;
        c.name = "ZR90Alpha";
        c.firmwareMinor = 0;
        c.firmwarePatch = 5;
        c.firmwareBuild = 133;
        c.channel = 15;
        return c;
    }
    static sim::MidiMixerConfig firstModel(uint32_t serial)
    {
        sim::MidiMixerConfig c;
        c.serialNumber = serial;
        return c;
    }

    PacedClock paced; // first made, last gone
    TempRoot root;
    sim::MidiBus bus;
    std::vector<std::unique_ptr<sim::MidiMixer>> mixers;
    std::vector<std::unique_ptr<sim::MidiMixerOnBus>> attached;
    std::vector<std::unique_ptr<MixerModel>> models;
};

} // namespace orvo::testing

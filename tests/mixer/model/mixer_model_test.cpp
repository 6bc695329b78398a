// MixerModel against simulated mixers on the simulated MIDI bus, with the GUI
// side connected as the main window connects it.

#include "model_fixture.h"

#include "mixer/midi/embedded_image.h"
#include "mixer/midi/mixer_protocol.h"
#include "mixer/model/device_text.h"
#include "sim/mixer/midi_bootloader.h"

#include <QSignalSpy>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

using namespace Orvo;
using orvo::testing::GuiSide;
using orvo::testing::ModelTest;
using orvo::testing::waitFor;

namespace {

struct Warning {
    QString text, informative;
};

class RecordingPresenter final : public orvo::model::MessagePresenter {
public:
    void showWarning(const QString& text, const QString& informative) override
    {
        shown.push_back({text, informative});
    }
    std::vector<Warning> shown;
};

class Model : public ModelTest {
protected:
    // Finds every plugged mixer through the model, as the window's show does.
    bool findAll(MixerModel& model, GuiSide& gui, size_t count)
    {
        model.start();
        return waitFor([&] { return gui.devices.size() >= count; });
    }
};

} // namespace

// A record and a port pair of our own, and the listener callbacks called
// as the service calls them; sends land on a plain port of the bus.
class ModelCallbacks : public ModelTest {
protected:
    void SetUp() override
    {
        ModelTest::SetUp();
        bus.addInputPort("Mixer");
        bus.addOutputPort("Mixer", [this](const uint8_t* p, size_t n) {
            std::lock_guard lock(wireLock);
            wire.insert(wire.end(), p, p + n);
        });
        model = &makeModel();
        midi = Midi::GetInstance();
        PortPairList::Pairs pairs;
        pairs.push_back(std::make_unique<MidiPortPair>(MidiPortPair{0, "Mixer", 0, "Mixer"}));
        pairs.push_back(std::make_unique<MidiPortPair>(MidiPortPair{1, "Other", 1, "Other"}));
        midi->Pairs().replace(std::move(pairs));
        pair = midi->PortPairAt(0);
        other = midi->PortPairAt(1);
        device.descriptor.setUsbId(MixerModel::kFirstModelUsbId);
        device.state = kDeviceApplication;
        device.portPair = pair;
    }
    // What the model has sent so far. The service sends from its own thread
    // in queue order, so a marker queued behind the model's sends arrives
    // after all of them: waiting for it needs no guess of the time taken.
    std::vector<uint8_t> sent()
    {
        const std::vector<uint8_t> marker{0xB0, 0x66, 0x7F};
        EXPECT_TRUE(midi->SendControlChange(pair, 1, 0x66, 0x7F));
        const bool arrived = waitFor([&] {
            std::lock_guard lock(wireLock);
            return wire.size() >= marker.size() && std::equal(marker.begin(), marker.end(), wire.end() - 3);
        });
        EXPECT_TRUE(arrived) << "the marker never reached the wire";
        std::lock_guard lock(wireLock);
        std::vector<uint8_t> bytes = std::exchange(wire, {});
        if (arrived)
            bytes.resize(bytes.size() - marker.size());
        return bytes;
    }
    void sysex(MidiPortPair* on, uint32_t id, std::vector<uint8_t> payload)
    {
        MixerModel::sysexCallback(midi, on, id, payload.data(), static_cast<int>(payload.size()), model);
    }

    MixerModel* model = nullptr;
    Midi* midi = nullptr;
    MidiPortPair* pair = nullptr;
    MidiPortPair* other = nullptr;
    MidiDevice device;
    std::mutex wireLock;
    std::vector<uint8_t> wire;
};

TEST_F(ModelCallbacks, DeviceReports)
{
    QSignalSpy added(model, &MixerModel::addDevice);
    QSignalSpy removed(model, &MixerModel::removeDevice);
    struct Case {
        uint32_t usbId;
        uint8_t state;
        int adds, removes;
    } const cases[] = {
        {0x3A710020, kDeviceApplication, 0, 0}, {0x12340018, kDeviceRemoved, 0, 0},
        {MixerModel::kFirstModelUsbId, kDeviceApplication, 1, 0}, {MixerModel::kSecondModelUsbId, kDeviceBootloader, 1, 0},
        {MixerModel::kFirstModelUsbId, kDeviceUpdating, 1, 0}, {MixerModel::kSecondModelUsbId, kDeviceRemoved, 0, 1},
    };
    for (const Case& c : cases) {
        added.clear();
        removed.clear();
        MidiDevice d;
        d.descriptor.setUsbId(c.usbId);
        d.state = c.state;
        MixerModel::deviceChangeCallback(midi, &d, model);
        EXPECT_EQ(added.count(), c.adds) << std::hex << c.usbId;
        EXPECT_EQ(removed.count(), c.removes) << std::hex << c.usbId;
    }
    added.clear();
    removed.clear();
    MixerModel::deviceChangeCallback(midi, nullptr, model);
    EXPECT_EQ(added.count() + removed.count(), 0);
}

// The record of a removed current device is deleted right after the
// listeners: the model lets go of it before its listener returns.
TEST_F(ModelCallbacks, ARemovedCurrentDeviceIsDroppedBeforeTheRecordGoes)
{
    model->setCurrentDevice(&device);
    sent();
    ASSERT_EQ(model->currentDevice(), &device);
    device.state = kDeviceRemoved;
    MixerModel::deviceChangeCallback(midi, &device, model);
    EXPECT_EQ(model->currentDevice(), nullptr);
    EXPECT_FALSE(model->isReading());
    // A late message of its pair finds no current device.
    QSignalSpy channel(model, &MixerModel::channelValueRecieved);
    sysex(pair, kMixerSysExId, {8, 4});
    EXPECT_EQ(channel.count(), 0);
}

TEST_F(ModelCallbacks, SysExFromTheCurrentDevice)
{
    model->setCurrentDevice(&device); // starts a read: {7}
    EXPECT_EQ(sent(), (std::vector<uint8_t>{0xF0, 0x00, 0x00, 0x4E, 0x07, 0xF7}));
    ASSERT_TRUE(model->isReading());
    const std::vector<uint8_t> askValues{0xF0, 0x00, 0x00, 0x4E, 0x05, 0xF7};
    QSignalSpy channel(model, &MixerModel::channelValueRecieved);
    QSignalSpy busy(model, &MixerModel::setBusy);
    struct Case {
        const char* what;
        MidiPortPair* on;
        uint32_t id;
        std::vector<uint8_t> payload;
        bool reading;
        std::vector<int> channels;
        std::vector<uint8_t> sends;
        int busyFalse;
    };
    const Case cases[] = {
        {"{8,4} during a read", pair, kMixerSysExId, {8, 4}, true, {4}, askValues, 0},
        {"{8,4} outside a read", pair, kMixerSysExId, {8, 4}, false, {4}, {}, 0},
        {"{8} without its channel", pair, kMixerSysExId, {8}, true, {}, {}, 0},
        {"another id word", pair, 0x4E000103, {8, 4}, true, {}, {}, 0},
        {"another port pair", other, kMixerSysExId, {8, 4}, true, {}, {}, 0},
        {"{6} ends the read", pair, kMixerSysExId, {6}, true, {}, {}, 1},
        {"other first bytes", pair, kMixerSysExId, {9, 1}, true, {}, {}, 0},
    };
    for (const Case& c : cases) {
        channel.clear();
        busy.clear();
        model->setReading(c.reading);
        sysex(c.on, c.id, c.payload);
        std::vector<int> channels;
        for (const QList<QVariant>& args : channel)
            channels.push_back(args[0].toInt());
        EXPECT_EQ(channels, c.channels) << c.what;
        EXPECT_EQ(sent(), c.sends) << c.what;
        EXPECT_EQ(busy.count(), c.busyFalse) << c.what;
        if (c.busyFalse) {
            EXPECT_FALSE(busy[0][0].toBool()) << c.what;
            EXPECT_FALSE(model->isReading()) << c.what;
        }
    }
}

TEST_F(ModelCallbacks, ControlChangesByModelAndChannel)
{
    QSignalSpy values(model, &MixerModel::cpValueRecieved);
    struct Case {
        uint32_t usbId;
        uint8_t channel;
        int type;
        int delivered;
    } const cases[] = {
        {MixerModel::kFirstModelUsbId, 3, MIDI_CONTROL_CHANGE, 1},
        {MixerModel::kFirstModelUsbId, 15, MIDI_CONTROL_CHANGE, 1},
        {MixerModel::kFirstModelUsbId, 3, MIDI_NOTE_ON, 0},
        {MixerModel::kSecondModelUsbId, 3, MIDI_CONTROL_CHANGE, 0},
        {MixerModel::kSecondModelUsbId, 15, MIDI_CONTROL_CHANGE, 1},
    };
    MixerModel::channelMessageCallback(midi, pair, 1, MIDI_CONTROL_CHANGE, 66, 5, model);
    EXPECT_EQ(values.count(), 0); // no current device
    model->setCurrentDevice(&device);
    MixerModel::channelMessageCallback(midi, other, 1, MIDI_CONTROL_CHANGE, 66, 5, model);
    EXPECT_EQ(values.count(), 0); // another mixer's pair
    for (const Case& c : cases) {
        values.clear();
        device.descriptor.setUsbId(c.usbId);
        MixerModel::channelMessageCallback(midi, pair, c.channel, c.type, 66, 5, model);
        ASSERT_EQ(values.count(), c.delivered) << std::hex << c.usbId << " ch " << std::dec << int(c.channel);
        if (c.delivered) {
            EXPECT_EQ(values[0][0].toInt(), 66);
            EXPECT_EQ(values[0][1].toInt(), 5);
        }
    }
}

// The second of two models in one process takes nothing from the first:
// each hears the service's calls, and a model gone hears nothing more.
TEST_F(ModelCallbacks, TwoModelsEachHearTheServiceAndLeaveAlone)
{
    MixerModel& second = makeModel();
    QSignalSpy first(model, &MixerModel::addDevice);
    QSignalSpy other(&second, &MixerModel::addDevice);
    Midi::locks().deviceEvent.Signal();
    device.state = kDeviceApplication;
    midi->Devices().setStateAndQueue(&device, kDeviceApplication);
    ASSERT_TRUE(waitFor([&] { return first.count() == 1 && other.count() == 1; }, 3000));
    models.erase(models.begin()); // the first model goes
    midi->Devices().setStateAndQueue(&device, kDeviceApplication);
    ASSERT_TRUE(waitFor([&] { return other.count() == 2; }, 3000));
}

// The destructor returns only when the model's calls through the service
// have ended; a call blocked on a blocking-queued signal to the destroying
// thread is served meanwhile.
TEST_F(ModelCallbacks, DestructionWaitsForCallsInFlight)
{
    model->setCurrentDevice(&device);
    std::promise<void> entered;
    std::atomic<bool> released{false}, finished{false};
    QObject::connect(
        model, &MixerModel::cpValueRecieved, model,
        [&](int, int) {
            entered.set_value();
            while (!released.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            finished = true;
        },
        Qt::DirectConnection);
    std::thread service([&] { Midi::OnChannelMessage(midi->FramingPort(), 1, MIDI_CONTROL_CHANGE, 66, 5); });
    entered.get_future().wait();
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        released = true;
    });
    models.clear();
    EXPECT_TRUE(finished.load());
    releaser.join();
    service.join();
}

TEST_F(ModelCallbacks, DestructionServesABlockedReport)
{
    QObject window;
    std::atomic<bool> inside{false};
    QObject::connect(
        model, &MixerModel::addDevice, &window, [&](orvo_device_ptr_t) { inside = true; }, Qt::DirectConnection);
    int served = 0;
    QObject::connect(
        model, &MixerModel::addDevice, &window, [&](orvo_device_ptr_t) { ++served; }, Qt::BlockingQueuedConnection);
    midi->Devices().setStateAndQueue(&device, kDeviceApplication); // reported on the device-event thread
    while (!inside.load())
        std::this_thread::yield();
    models.clear(); // on the thread the blocked report waits for
    EXPECT_EQ(served, 1);
}

TEST_F(Model, FullSettingsReadOfBothModels)
{
    orvo::sim::MidiMixer& first = plug(firstModel(1000001));
    orvo::sim::MidiMixer& second = plug(secondModel(2000002));
    GuiSide gui;
    MixerModel& model = makeModel(&gui);
    ASSERT_TRUE(findAll(model, gui, 2));
    for (orvo::sim::MidiMixer* mixer : {&first, &second}) {
        MidiDevice* d = gui.device(mixer->config().serialNumber);
        ASSERT_NE(d, nullptr);
        gui.values.clear();
        gui.busy.clear();
        gui.channels.clear();
        model.setCurrentDevice(d);
        ASSERT_TRUE(waitFor([&] { return gui.busy.size() == 2; })) << mixer->config().name;
        EXPECT_EQ(gui.busy, (std::vector<bool>{true, false}));
        EXPECT_EQ(gui.channels, std::vector<int>{mixer->channel()});
        std::vector<std::pair<int, int>> expected;
        for (auto [key, value] : mixer->parameters())
            expected.emplace_back(key, value);
        std::sort(gui.values.begin(), gui.values.end());
        EXPECT_EQ(gui.values, expected) << mixer->config().name;
        EXPECT_FALSE(model.isReading());
    }
}

TEST_F(Model, NoEchoOfAReportedValue)
{
    orvo::sim::MidiMixer& mixer = plug(firstModel(1000001));
    GuiSide gui;
    MixerModel& model = makeModel(&gui);
    ASSERT_TRUE(findAll(model, gui, 1));
    model.setCurrentDevice(gui.devices[0]);
    ASSERT_TRUE(waitFor([&] { return gui.busy.size() == 2; }));
    mixer.clearReceived();
    std::vector<bool> refused, sent;
    gui.onValue = [&](int key, int value) {
        refused.push_back(!model.setParameter(1, key, value + 1));
        refused.push_back(!model.setMidiChannel(3));
        sent.push_back(model.sendParameter(1, key, value + 2));
    };
    mixer.sendRaw(0, {0xB0, 'O', 10}); // the mixer reports a change on channel 1
    ASSERT_TRUE(waitFor([&] { return !refused.empty(); }));
    EXPECT_EQ(refused, (std::vector<bool>{true, true}));
    EXPECT_EQ(sent, std::vector<bool>{true});
    ASSERT_TRUE(waitFor([&] { return !mixer.receivedControlChanges().empty(); }));
    QTest::qWait(50);
    EXPECT_EQ(mixer.receivedControlChanges(), (std::vector<orvo::sim::MidiMixer::ControlChange>{{0, 1, 'O', 12}}));
    EXPECT_EQ(mixer.channel(), 1);
    // Outside a delivery a change goes out.
    gui.onValue = nullptr;
    EXPECT_TRUE(model.setParameter(1, 'O', 20));
    EXPECT_TRUE(waitFor([&] { return mixer.receivedControlChanges().size() == 2; }));
}

// Values the previously selected mixer still sends while another is made
// current are not the new mixer's.
TEST_F(Model, LateValuesOfThePreviousSelection)
{
    orvo::sim::MidiMixer& previous = plug(firstModel(1000001));
    orvo::sim::MidiMixer& next = plug(firstModel(1000002));
    previous.setParameter('O', 99);
    next.setParameter('O', 11);
    GuiSide gui;
    MixerModel& model = makeModel(&gui);
    ASSERT_TRUE(findAll(model, gui, 2));
    MidiDevice* previousDevice = gui.device(1000001);
    MidiDevice* nextDevice = gui.device(1000002);
    model.setCurrentDevice(previousDevice);
    ASSERT_TRUE(waitFor([&] { return !gui.values.empty(); })); // its dump is arriving
    model.setCurrentDevice(nextDevice);
    const size_t from = gui.values.size();
    ASSERT_TRUE(waitFor([&] { return gui.busy.size() >= 3 && !gui.busy.back() && !model.isReading(); }));
    QTest::qWait(50);
    // One report checked before the change may still reach the slot; it
    // names the device it came from, so the window can drop it.
    std::vector<std::pair<int, int>> nextValues;
    for (size_t i = from; i < gui.values.size(); ++i) {
        ASSERT_TRUE(gui.reporters[i] == nextDevice || gui.reporters[i] == previousDevice);
        if (gui.reporters[i] == nextDevice)
            nextValues.push_back(gui.values[i]);
    }
    EXPECT_EQ(std::count(nextValues.begin(), nextValues.end(), std::make_pair(int('O'), 99)), 0);
    EXPECT_EQ(std::count(nextValues.begin(), nextValues.end(), std::make_pair(int('O'), 11)), 1);
}

// The buffer-size program's model: no device service, so no port of the
// mixers is opened or probed beside the control panel; the buffer size works.
TEST_F(Model, AModelWithoutDevicesOpensNoPort)
{
    orvo::sim::MidiMixer& mixer = plug(firstModel(1000001));
    MixerModel model(nullptr, MixerModel::Devices::Unused);
    EXPECT_EQ(Midi::Instance(), nullptr);
    model.start();
    mixer.setPlugged(false);
    mixer.setPlugged(true);
    model.onSampleBufferTimer();
    QTest::qWait(50);
    EXPECT_EQ(mixer.queriesSeen(0), 0u);
    EXPECT_EQ(Midi::Instance(), nullptr);
    EXPECT_EQ(model.bufferSize(), MixerModel::kDefaultBufferSize);
    MidiDevice device;
    model.setCurrentDevice(&device);
    EXPECT_EQ(model.currentDevice(), nullptr);
    EXPECT_FALSE(model.sendParameter(1, 'O', 1));
}

TEST_F(Model, ABootloaderMixerMadeCurrentIsNotRead)
{
    orvo::sim::MidiMixer& mixer = plug(firstModel(1000001));
    mixer.setBootloaderRunning(true);
    GuiSide gui;
    MixerModel& model = makeModel(&gui);
    ASSERT_TRUE(findAll(model, gui, 1));
    ASSERT_EQ(gui.devices[0]->state.load(), kDeviceBootloader);
    model.setCurrentDevice(gui.devices[0]);
    QTest::qWait(100);
    EXPECT_TRUE(gui.busy.empty());
    EXPECT_FALSE(model.isReading());
    EXPECT_EQ(model.currentDevice(), gui.devices[0]);
}

TEST_F(Model, UnpluggingTheCurrentMixerDuringItsRead)
{
    orvo::sim::MidiMixer& mixer = plug(firstModel(1000001));
    mixer.setReplyDelay(200);
    GuiSide gui;
    MixerModel& model = makeModel(&gui);
    ASSERT_TRUE(findAll(model, gui, 1));
    model.setCurrentDevice(gui.devices[0]);
    mixer.setPlugged(false);
    ASSERT_TRUE(waitFor([&] { return gui.devices.empty(); }));
    EXPECT_EQ(model.currentDevice(), nullptr);
    EXPECT_FALSE(model.setParameter(1, 'O', 3));
    QString text;
    int number = -1;
    model.deviceFirmwareVersion(text, number);
    EXPECT_EQ(text, "");
    EXPECT_EQ(number, 0);
}

class ModelFirmware : public Model {
protected:
    void SetUp() override
    {
        Model::SetUp();
        orvo::sim::MidiMixerConfig c = firstModel(1000001);
        c.firmwarePatch = 4;
        c.firmwareBuild = 10;
        mixer = &plug(c);
        firmware = std::make_unique<orvo::sim::MidiMixerFirmware>(*mixer, 200);
        model = &makeModel(&gui);
        model->setMessagePresenter(&presenter);
        ASSERT_TRUE(findAll(*model, gui, 1));
    }
    void TearDown() override
    {
        firmware->waitIdle();
        Model::TearDown();
        firmware.reset();
    }
    orvo::sim::MidiMixer* mixer = nullptr;
    std::unique_ptr<orvo::sim::MidiMixerFirmware> firmware;
    GuiSide gui;
    MixerModel* model = nullptr;
    RecordingPresenter presenter;
};

TEST_F(ModelFirmware, UpdateThroughTheModelEndToEnd)
{
    MidiDevice* d = gui.devices[0];
    model->setCurrentDevice(d);
    ASSERT_TRUE(waitFor([&] { return gui.busy.size() == 2; }));
    QString text;
    int number = 0;
    model->imageFirmwareVersion(text, number);
    EXPECT_EQ(text, "1.0.5");
    EXPECT_EQ(number, 0x0100055E);
    gui.busy.clear();
    model->updateFirmware();
    EXPECT_TRUE(presenter.shown.empty());
    ASSERT_GE(gui.progress.size(), 2u);
    EXPECT_EQ(gui.progress.front(), 0);
    EXPECT_EQ(gui.progress.back(), 100);
    EXPECT_TRUE(std::is_sorted(gui.progress.begin(), gui.progress.end()));
    EXPECT_FALSE(model->isUpdating());
    EXPECT_FALSE(model->isSuppressing());
    // The mixer comes back as a new record with the image's version.
    ASSERT_TRUE(waitFor([&] {
        MidiDevice* back = gui.device(1000001);
        return back && back->descriptor.firmwareVersion() == 0x0100055Eu;
    }));
    ASSERT_TRUE(waitFor([&] { return gui.busy.size() == 2; }));
    EXPECT_EQ(gui.busy, (std::vector<bool>{true, false}));
}

// A value the mixer reports as the update starts reaches the GUI through a
// blocking connection: the update must not stall the service's threads
// meanwhile, and the value's delivery must not lift the update's suppression.
TEST_F(ModelFirmware, ValuesArrivingDuringTheUpdate)
{
    model->setCurrentDevice(gui.devices[0]);
    ASSERT_TRUE(waitFor([&] { return !model->isReading() && gui.busy.size() == 2; }));
    gui.values.clear();
    std::vector<bool> accepted;
    std::vector<bool> updatingWhenDelivered;
    gui.onValue = [&](int key, int value) {
        updatingWhenDelivered.push_back(model->isUpdating());
        accepted.push_back(model->setParameter(1, key, value));
    };
    // Once the value has been delivered, changes stay refused while the update runs.
    std::vector<bool> acceptedDuringUpdate;
    QObject::connect(
        model, &MixerModel::firmwareProgress, &gui.context,
        [&](int) { acceptedDuringUpdate.push_back(model->setParameter(1, 'O', 1)); }, Qt::DirectConnection);
    // This thread serves no events now, so the service thread waits inside
    // the value's delivery until the update serves it.
    mixer->sendRaw(0, {0xB0, 'O', 5});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (model->reportingDevice() == nullptr && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_NE(model->reportingDevice(), nullptr) << "the value never reached its delivery";
    model->updateFirmware();
    EXPECT_TRUE(presenter.shown.empty()) << presenter.shown[0].informative.toStdString();
    EXPECT_EQ(gui.values, (std::vector<std::pair<int, int>>{{'O', 5}}));
    EXPECT_EQ(updatingWhenDelivered, std::vector<bool>{true});
    EXPECT_EQ(std::count(accepted.begin(), accepted.end(), true), 0);
    ASSERT_FALSE(acceptedDuringUpdate.empty());
    EXPECT_EQ(std::count(acceptedDuringUpdate.begin(), acceptedDuringUpdate.end(), true), 0);
    // The restarted mixer's rescans can take long on a loaded machine.
    EXPECT_TRUE(waitFor(
        [&] {
            MidiDevice* back = gui.device(1000001);
            return back && back->descriptor.firmwareVersion() == 0x0100055Eu;
        },
        30000));
}

TEST_F(ModelFirmware, ASetCurrentDeviceDuringTheUpdateStartsNoRead)
{
    MidiDevice* d = gui.devices[0];
    std::vector<bool> reading;
    QObject::connect(
        model, &MixerModel::firmwareProgress, &gui.context,
        [&](int p) {
            if (p == 50 || reading.empty()) {
                model->setCurrentDevice(nullptr);
                model->setCurrentDevice(gui.devices.empty() ? nullptr : gui.devices.back());
                reading.push_back(model->isReading());
            }
        },
        Qt::DirectConnection);
    model->setCurrentDevice(d);
    ASSERT_TRUE(waitFor([&] { return gui.busy.size() == 2; }));
    model->setReading(false);
    model->updateFirmware();
    ASSERT_FALSE(reading.empty());
    EXPECT_EQ(std::count(reading.begin(), reading.end(), true), 0);
}

// The window's progress slot serves events; a slot connected after it must
// still see the percentages in order.
TEST_F(ModelFirmware, ProgressInOrderBehindASlotThatServesEvents)
{
    model->setCurrentDevice(gui.devices[0]);
    ASSERT_TRUE(waitFor([&] { return gui.busy.size() == 2; }));
    QObject::connect(
        model, &MixerModel::firmwareProgress, &gui.context,
        [&](int) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5)); // a slow window: reports pile up
            QCoreApplication::processEvents();
        },
        Qt::DirectConnection);
    std::vector<int> later;
    QObject::connect(
        model, &MixerModel::firmwareProgress, &gui.context, [&](int p) { later.push_back(p); },
        Qt::DirectConnection);
    model->updateFirmware();
    ASSERT_FALSE(later.empty());
    EXPECT_EQ(later.back(), 100);
    EXPECT_TRUE(std::is_sorted(later.begin(), later.end()));
}

TEST_F(ModelFirmware, ASecondUpdateDuringTheFirstStartsNothing)
{
    model->setCurrentDevice(gui.devices[0]);
    ASSERT_TRUE(waitFor([&] { return gui.busy.size() == 2; }));
    int nested = 0;
    QObject::connect(
        model, &MixerModel::firmwareProgress, &gui.context,
        [&](int p) {
            if (p > 0 && p < 100 && nested++ == 0)
                model->updateFirmware();
        },
        Qt::DirectConnection);
    model->updateFirmware();
    EXPECT_GT(nested, 0);
    EXPECT_TRUE(presenter.shown.empty());
    EXPECT_EQ(gui.progress.front(), 0);
    EXPECT_TRUE(std::is_sorted(gui.progress.begin(), gui.progress.end()));
    EXPECT_EQ(firmware->enterRequests(), 1u);
}

TEST_F(ModelFirmware, AFailedUpdateShowsItsCode)
{
    firmware->setComesBack(false);
    model->setCurrentDevice(gui.devices[0]);
    ASSERT_TRUE(waitFor([&] { return gui.busy.size() == 2; }));
    model->updateFirmware();
    ASSERT_EQ(presenter.shown.size(), 1u);
    EXPECT_EQ(presenter.shown[0].text, "Firmware update failed");
    EXPECT_EQ(presenter.shown[0].informative,
              "An error occured and the firmware update process was stopped. Power the device off, then back on "
              "to return to the previous version. \n\nError code: 0x02");
    EXPECT_FALSE(model->isUpdating());
    EXPECT_FALSE(model->isSuppressing());
}

TEST_F(ModelFirmware, NoImageRegionShowsNotFoundWithoutCallingTheService)
{
    MidiDevice other;
    other.descriptor = gui.devices[0]->descriptor;
    other.descriptor.setRegionNumber(7); // the image has no such region
    other.state = kDeviceBootloader;     // no read
    other.portPair = gui.devices[0]->portPair.load();
    model->setCurrentDevice(&other);
    QString text;
    int number = -1;
    model->imageFirmwareVersion(text, number);
    EXPECT_EQ(text, "");
    EXPECT_EQ(number, 0);
    model->updateFirmware();
    ASSERT_EQ(presenter.shown.size(), 1u);
    EXPECT_EQ(presenter.shown[0].text, "Firmware file not found");
    EXPECT_EQ(presenter.shown[0].informative, "A firmware file of the correct type was not found for this device.");
    EXPECT_EQ(firmware->enterRequests(), 0u);
    EXPECT_TRUE(gui.progress.empty());
    EXPECT_FALSE(model->isUpdating());
    model->setCurrentDevice(nullptr);
}

// The main window against simulated mixers on the simulated MIDI bus.

#include "sim_mixers.h"  // first: see there

#include "controlpanel/orvo_control_panel.h"
#include "mixer/midi/midi_service.h"
#include "mixer/model/device_text.h"
#include "resources/gui_resources.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

using namespace orvo::testing;

Q_DECLARE_METATYPE(orvo::sim::MidiMixerConfig)

class MainWindowTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void rowForZeroOneAndMoreDevices();
    void deviceTexts_data();
    void deviceTexts();
    void selectingSwitchesPageAndReads();
    void unplugWhileOpen();
    void unplugSelectedDuringItsRead();
    void removalWhileSelectingProcessesEvents();
    void lateReportsOfThePreviousMixerAreDropped();
    void firstRescanAfterShowAndAfterRestore();

private:
    PluggedMixer& plug(const orvo::sim::MidiMixerConfig& config, bool rescan = true);
    void makeWindow();
    // A window with one mixer of each model listed, the first model's current.
    void plugOneOfEach();
    int indexOfSecondModel() const { return itemDevice(0)->descriptor.usbId() == kSecondModel ? 0 : 1; }
    // See SimulatedMixers: no rescan while the window reads a mixer.
    void rescanWhenIdle();
    void waitUntilIdle();
    bool waitForCount(int items, int timeoutMs = 8000);
    QComboBox* combo() const { return window->findChild<QComboBox*>("comboBoxDevices"); }
    QStackedWidget* pages() const { return window->findChild<QStackedWidget*>("stackedWidgetDevices"); }
    QLabel* label(const char* name) const { return window->findChild<QLabel*>(name); }
    orvo_device_ptr_t itemDevice(int i) const {
        return combo()->itemData(i, Qt::UserRole).value<orvo_device_ptr_t>();
    }
    QStringList itemTexts() const {
        QStringList texts;
        for (int i = 0; i < combo()->count(); ++i)
            texts << combo()->itemText(i);
        return texts;
    }

    QTemporaryDir registry;
    std::unique_ptr<SimulatedMixers> sim;
    OrvoControlPanel* window = nullptr;
};

void MainWindowTest::initTestCase() {
    initGuiResources();
    qputenv("ORVO_REGISTRY_ROOT", registry.path().toUtf8());
}

void MainWindowTest::init() {
    sim = std::make_unique<SimulatedMixers>();
}

void MainWindowTest::cleanup() {
    delete window;
    window = nullptr;
    sim.reset();
}

void MainWindowTest::makeWindow() {
    window = new OrvoControlPanel;
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
}

PluggedMixer& MainWindowTest::plug(const orvo::sim::MidiMixerConfig& config, bool rescan) {
    waitUntilIdle();
    return sim->plug(config, rescan);
}

void MainWindowTest::plugOneOfEach() {
    makeWindow();
    plug(mixerConfig(kFirstModel, 1));
    QVERIFY(waitForCount(1));
    plug(mixerConfig(kSecondModel, 2));
    QVERIFY(waitForCount(2));
    QTRY_VERIFY(!window->model()->isReading());
}

void MainWindowTest::rescanWhenIdle() {
    waitUntilIdle();
    SimulatedMixers::rescan();
}

void MainWindowTest::waitUntilIdle() {
    // The first read of a mixer found by a rescan can stay unanswered (its
    // channel report meets the rescan still running): no longer than this.
    if (window)
        (void)QTest::qWaitFor([&] { return !window->model()->isReading(); }, 1500);
}

bool MainWindowTest::waitForCount(int items, int timeoutMs) {
    return QTest::qWaitFor([&] { return combo()->count() == items; }, timeoutMs);
}

void MainWindowTest::rowForZeroOneAndMoreDevices() {
    makeWindow();
    QCOMPARE(window->currentDeviceCountState(), int(OrvoControlPanel::Searching));
    QCOMPARE(label("labelDeviceState")->text(), QString("Searching for Devices:"));
    QVERIFY(label("labelDeviceState")->isVisible());
    QVERIFY(window->findChild<QProgressBar*>("progressBarSearching")->isVisible());
    QVERIFY(!label("labelDeviceName")->isVisible());
    QVERIFY(!combo()->isVisible());
    QVERIFY(!window->findChild<QWidget*>("groupBoxPreferences")->isVisible());
    QVERIFY(!window->findChild<QWidget*>("frameFWUpdate")->isVisible());
    QCOMPARE(pages()->currentIndex(), 0);

    plug(mixerConfig(kFirstModel, 1));
    QVERIFY(waitForCount(1));
    QCOMPARE(window->currentDeviceCountState(), int(OrvoControlPanel::OneDevice));
    QCOMPARE(label("labelDeviceState")->text(), QString("Detected Device:"));
    QVERIFY(label("labelDeviceName")->isVisible());
    QCOMPARE(label("labelDeviceName")->text(), QString("QX1600"));
    QVERIFY(label("labelDeviceName")->font().bold());
    QVERIFY(!combo()->isVisible());
    QVERIFY(!window->findChild<QProgressBar*>("progressBarSearching")->isVisible());
    QVERIFY(window->findChild<QWidget*>("groupBoxPreferences")->isVisible());
    QVERIFY(window->findChild<QWidget*>("frameFWUpdate")->isVisible());
    const orvo_device_ptr_t first = itemDevice(0);
    QCOMPARE(window->model()->currentDevice(), first);

    plug(mixerConfig(kSecondModel, 2));
    QVERIFY(waitForCount(2));
    QCOMPARE(window->currentDeviceCountState(), int(OrvoControlPanel::SeveralDevices));
    QCOMPARE(label("labelDeviceState")->text(), QString("Detected Devices:"));
    QVERIFY(combo()->isVisible());
    QVERIFY(!label("labelDeviceName")->isVisible());
    // Different models: plain names; the first found stays current.
    QCOMPARE(itemTexts(), (QStringList{"QX1600", "ZR90Alpha"}));
    QCOMPARE(window->model()->currentDevice(), first);
    QCOMPARE(pages()->currentIndex(), 1);
}

void MainWindowTest::deviceTexts_data() {
    QTest::addColumn<QList<orvo::sim::MidiMixerConfig>>("configs");
    QTest::addColumn<QStringList>("texts");
    QTest::newRow("two models") << QList<orvo::sim::MidiMixerConfig>{mixerConfig(kFirstModel, 7), mixerConfig(kSecondModel, 7)}
                                << QStringList{"QX1600", "ZR90Alpha"};
    QTest::newRow("one model twice")
        << QList<orvo::sim::MidiMixerConfig>{mixerConfig(kFirstModel, 12), mixerConfig(kFirstModel, 4000000000u, false, "2- QX1600")}
        << QStringList{"QX1600  [0000000012]", "QX1600  [4000000000]"};
    QTest::newRow("both ports of one mixer") << QList<orvo::sim::MidiMixerConfig>{mixerConfig(kFirstModel, 345, true)}
                                             << QStringList{"QX1600  [0000000345]  Port: A",
                                                            "QX1600  [0000000345]  Port: B"};
}

void MainWindowTest::deviceTexts() {
    QFETCH(QList<orvo::sim::MidiMixerConfig>, configs);
    QFETCH(QStringList, texts);
    makeWindow();
    for (const auto& c : configs)
        plug(c);
    QVERIFY(waitForCount(texts.size()));
    QStringList shown = itemTexts();
    shown.sort();
    QCOMPARE(shown, texts);
}

void MainWindowTest::selectingSwitchesPageAndReads() {
    plugOneOfEach();
    if (QTest::currentTestFailed())
        return;
    // The first mixer's read: its channel and values reach the map.
    QVERIFY(QTest::qWaitFor([&] { return window->parameters().value(OrvoControlPanel::MidiChannelParameterKey) == 1; }));
    QCOMPARE(window->currentMixerType(), int(OrvoControlPanel::FirstModel));

    const int secondIndex = indexOfSecondModel();
    combo()->setCurrentIndex(secondIndex);
    QCOMPARE(window->model()->currentDevice(), itemDevice(secondIndex));
    QCOMPARE(pages()->currentIndex(), 2);
    QCOMPARE(window->currentMixerType(), int(OrvoControlPanel::SecondModel));
    QVERIFY(QTest::qWaitFor([&] { return window->parameters().value(OrvoControlPanel::MidiChannelParameterKey) == 15; }));
    QTRY_VERIFY(!window->model()->isReading());
    QVERIFY(pages()->isEnabled());

    combo()->setCurrentIndex(1 - secondIndex);
    QCOMPARE(pages()->currentIndex(), 1);
    QCOMPARE(window->currentMixerType(), int(OrvoControlPanel::FirstModel));
    QVERIFY(QTest::qWaitFor([&] { return window->parameters().value(OrvoControlPanel::MidiChannelParameterKey) == 1; }));
}

void MainWindowTest::unplugWhileOpen() {
    plugOneOfEach();
    if (QTest::currentTestFailed())
        return;
    PluggedMixer& a = *sim->mixers[0];
    PluggedMixer& b = *sim->mixers[1];
    const int bIndex = indexOfSecondModel();
    combo()->setCurrentIndex(bIndex);
    QCOMPARE(pages()->currentIndex(), 2);

    // Unplugging the current one of several selects the first remaining.
    b.mixer.setPlugged(false);
    rescanWhenIdle();
    QVERIFY(waitForCount(1));
    QCOMPARE(window->model()->currentDevice(), itemDevice(0));
    QCOMPARE(pages()->currentIndex(), 1);
    QCOMPARE(label("labelDeviceState")->text(), QString("Detected Device:"));

    // Plugged back: listed again, the current one stays.
    b.mixer.setPlugged(true);
    rescanWhenIdle();
    QVERIFY(waitForCount(2));
    QCOMPARE(pages()->currentIndex(), 1);

    // Unplugging the last selects none.
    a.mixer.setPlugged(false);
    b.mixer.setPlugged(false);
    rescanWhenIdle();
    QVERIFY(waitForCount(0));
    QCOMPARE(window->currentMixerType(), int(OrvoControlPanel::NoMixer));
    QCOMPARE(pages()->currentIndex(), 0);
    QVERIFY(window->model()->currentDevice() == nullptr);
    QCOMPARE(label("labelDeviceState")->text(), QString("Searching for Devices:"));
}

void MainWindowTest::unplugSelectedDuringItsRead() {
    plugOneOfEach();
    if (QTest::currentTestFailed())
        return;
    PluggedMixer& b = *sim->mixers[1];
    // The second mixer answers slowly, so its read is still running when it goes.
    b.mixer.setReplyDelay(2000);
    const int bIndex = indexOfSecondModel();
    combo()->setCurrentIndex(bIndex);
    QVERIFY(window->model()->isReading());
    b.mixer.setPlugged(false);
    SimulatedMixers::rescan();
    QVERIFY(waitForCount(1));
    QCOMPARE(window->model()->currentDevice(), itemDevice(0));
    QCOMPARE(window->currentMixerType(), int(OrvoControlPanel::FirstModel));
    // Nothing of the gone mixer lands in the selected one's map.
    QVERIFY(QTest::qWaitFor([&] { return window->parameters().value(OrvoControlPanel::MidiChannelParameterKey) == 1; }));
    QTest::qWait(300);
    QCOMPARE(window->parameters().value(OrvoControlPanel::MidiChannelParameterKey), 1);
}

void MainWindowTest::removalWhileSelectingProcessesEvents() {
    plugOneOfEach();
    if (QTest::currentTestFailed())
        return;
    PluggedMixer& b = *sim->mixers[1];
    const int bIndex = indexOfSecondModel();
    const orvo_device_ptr_t gone = itemDevice(bIndex);
    const orvo_device_ptr_t stays = itemDevice(1 - bIndex);

    // The second mixer's removal waits for the GUI thread, which does not
    // take events until the user's selection of that mixer processes them.
    b.mixer.setPlugged(false);
    SimulatedMixers::rescan();
    QElapsedTimer waited;
    waited.start();
    while (gone->state.load() != Orvo::kDeviceRemoved && waited.elapsed() < 8000)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    QCOMPARE(int(gone->state.load()), int(Orvo::kDeviceRemoved));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // its report is queued

    combo()->setCurrentIndex(bIndex);  // the page changes: events are processed

    QCOMPARE(combo()->count(), 1);
    QCOMPARE(window->model()->currentDevice(), stays);
    QCOMPARE(window->currentMixerType(), int(OrvoControlPanel::FirstModel));
    QCOMPARE(pages()->currentIndex(), 1);
    QVERIFY(QTest::qWaitFor([&] { return window->parameters().value(OrvoControlPanel::MidiChannelParameterKey) == 1; }));
}

void MainWindowTest::lateReportsOfThePreviousMixerAreDropped() {
    plugOneOfEach();
    if (QTest::currentTestFailed())
        return;
    const int bIndex = indexOfSecondModel();

    // A report of the first mixer, made before the selection changes and
    // delivered after it.
    std::atomic<bool> emitted{false};
    std::thread reporter([&] {
        emitted = true;
        emit window->model()->cpValueRecieved(70, 99);
    });
    while (!emitted)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    combo()->setCurrentIndex(bIndex);
    QTest::qWait(50);
    reporter.join();
    QCOMPARE(window->currentMixerType(), int(OrvoControlPanel::SecondModel));
    QVERIFY(!window->parameters().contains(70));

    // A report made under the new selection lands.
    QTRY_VERIFY(!window->model()->isReading());
    std::thread current([&] { emit window->model()->cpValueRecieved(3, 42); });
    QTRY_COMPARE(window->parameters().value(3), 42);
    current.join();
}

void MainWindowTest::firstRescanAfterShowAndAfterRestore() {
    PluggedMixer& a = plug(mixerConfig(kFirstModel, 1), false);
    window = new OrvoControlPanel;
    QElapsedTimer sinceShow;
    std::atomic<qint64> addedAt{-1};
    connect(window->model(), &MixerModel::addDevice, window,
            [&] { addedAt.store(sinceShow.isValid() ? sinceShow.elapsed() : 0); }, Qt::DirectConnection);
    QTest::qWait(300);
    QCOMPARE(combo()->count(), 0);  // nothing before the window shows
    sinceShow.start();
    window->show();
    QVERIFY(QTest::qWaitFor([&] { return addedAt.load() >= 0; }, 8000));
    QVERIFY2(addedAt.load() >= 100, qPrintable(QString::number(addedAt.load())));
    QVERIFY(waitForCount(1));

    // Unplugged without a rescan: still listed, until the window is restored.
    a.mixer.setPlugged(false);
    QTest::qWait(300);
    QCOMPARE(combo()->count(), 1);
    window->showMinimized();
    QTest::qWait(50);
    window->showNormal();
    QVERIFY(waitForCount(0));
}

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"

// The main window against simulated mixers on the simulated MIDI bus.

#include "sim_mixers.h"  // first: see there
#include "sim/mixer/midi_bootloader.h"

#include "controlpanel/orvo_control_panel.h"
#include "controlpanel/settings_presenter.h"
#include "mixer/midi/midi_service.h"
#include "mixer/model/device_text.h"
#include "resources/gui_resources.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <functional>
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
    void theWindowRepaintsDuringASwitch();
    void theNewPortIsSetBeforeItsReportsAreTaken();
    void firstRescanAfterShowAndAfterRestore();
    void changesGoToTheMixerAndTheMap();
    void nothingSentBeforeTheChannelIsKnown();
    void aMixerWithoutAKnownChannelStaysLocked();
    void applySettingsSendsTheMapInKeyOrder();
    void busyDuringARead();
    void silentReadIsStartedAgainByTheTimer();
    void updateFromTheWindowOnceAtATime();
    void firmwareFrameStates_data();
    void firmwareFrameStates();

private:
    PluggedMixer& plug(const orvo::sim::MidiMixerConfig& config, bool rescan = true);
    void makeWindow();
    // A window with one mixer of each model listed, the first model's current.
    void plugOneOfEach();
    // A window with one first-model mixer, its channel and values read.
    void plugFirstModelAndRead();
    int indexOfSecondModel() const { return itemDevice(0)->descriptor.usbId() == kSecondModel ? 0 : 1; }
    // See SimulatedMixers: no rescan while the window reads a mixer.
    void rescanWhenIdle();
    void waitUntilIdle();
    // Until the read has ended and the window has taken its idle report.
    void waitUntilReadEnded();
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

    // What the window did while a selection switched the open port pair:
    // the paints, and the current device and port at an event posted
    // before the switch.
    struct DuringSwitch {
        int paints = 0;
        bool probed = false;
        orvo_device_ptr_t device = nullptr;
        int port = 0;
    };
    // A two-port mixer, its port A current: switches to port B.
    DuringSwitch switchToPortB();

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

void MainWindowTest::plugFirstModelAndRead() {
    makeWindow();
    plug(mixerConfig(kFirstModel, 1));
    QVERIFY(waitForCount(1));
    QVERIFY(QTest::qWaitFor([&] { return window->currentMidiChannel() == 1; }));
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

void MainWindowTest::waitUntilReadEnded() {
    QTRY_VERIFY(!window->model()->isReading());
    // The idle report was posted before the read showed as ended, behind
    // every earlier busy report: delivering what is posted leaves none
    // of them stale in the queue.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
    QVERIFY(!window->isBusy());
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
    // The idle report is queued before the read shows as ended.
    QTRY_VERIFY(pages()->isEnabled());

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

namespace {
constexpr QEvent::Type kProbeEvent = QEvent::Type(QEvent::User + 1);

class SwitchWatcher : public QObject {
public:
    SwitchWatcher(OrvoControlPanel* window, std::function<void()> probe) : window(window), probe(std::move(probe)) {}
    bool eventFilter(QObject* object, QEvent* event) override {
        if (event->type() == kProbeEvent && object == window)
            probe();
        else if (event->type() == QEvent::Paint)
            if (auto* widget = qobject_cast<QWidget*>(object); widget && widget->window() == window)
                ++paints;
        return false;
    }
    OrvoControlPanel* window;
    std::function<void()> probe;
    int paints = 0;
};
}  // namespace

MainWindowTest::DuringSwitch MainWindowTest::switchToPortB() {
    DuringSwitch seen;
    makeWindow();
    plug(mixerConfig(kFirstModel, 1, true));
    if (!waitForCount(2))
        return seen;
    waitUntilReadEnded();
    const int b = orvo::model::devicePortLetter(itemDevice(0)) == 'B' ? 0 : 1;
    if (window->model()->currentDevice() == itemDevice(b)) {
        combo()->setCurrentIndex(1 - b);
        waitUntilReadEnded();
    }
    SwitchWatcher watcher(window, [&] {
        seen.probed = true;
        seen.device = window->model()->currentDevice();
        seen.port = window->port();
    });
    qApp->installEventFilter(&watcher);
    // Both are taken in posting order, before anything the switch posts.
    window->update();
    QCoreApplication::postEvent(window, new QEvent(QEvent::UpdateRequest));
    QCoreApplication::postEvent(window, new QEvent(kProbeEvent));
    combo()->setCurrentIndex(b);  // the same page: nothing else serves events
    qApp->removeEventFilter(&watcher);
    seen.paints = watcher.paints;
    if (!seen.probed)
        QCoreApplication::sendPostedEvents(window, kProbeEvent);
    return seen;
}

void MainWindowTest::theWindowRepaintsDuringASwitch() {
    const DuringSwitch seen = switchToPortB();
    QVERIFY(seen.paints > 0);
    QVERIFY(seen.probed);
}

// Reports of the new device are taken from the moment it is current: its
// port is known by then, so the port keys are judged by the right port.
void MainWindowTest::theNewPortIsSetBeforeItsReportsAreTaken() {
    const DuringSwitch seen = switchToPortB();
    QVERIFY(seen.probed);
    QVERIFY(seen.device != nullptr);
    QCOMPARE(orvo::model::devicePortLetter(seen.device), 'B');
    QCOMPARE(seen.port, 2);
    waitUntilReadEnded();
    QCOMPARE(window->port(), 2);
    QVERIFY(!window->parameters().contains(90));
    QVERIFY(window->parameters().contains(92));
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

void MainWindowTest::changesGoToTheMixerAndTheMap() {
    plugFirstModelAndRead();
    if (QTest::currentTestFailed())
        return;
    PluggedMixer& a = *sim->mixers[0];
    a.mixer.clearReceived();
    QVERIFY(!window->isModified());

    window->setParameter('B', 100);
    QTRY_COMPARE(a.mixer.receivedControlChanges().size(), size_t(1));
    QCOMPARE(a.mixer.receivedControlChanges()[0], (orvo::sim::MidiMixer::ControlChange{0, 1, 'B', 100}));
    QCOMPARE(window->parameters().value('B'), 100);
    QVERIFY(window->isModified());

    window->setMidiChannel(5);
    QTRY_COMPARE(int(a.mixer.channel()), 5);
    QCOMPARE(window->currentMidiChannel(), 5);
    QCOMPARE(window->parameters().value(OrvoControlPanel::MidiChannelParameterKey), 5);
    window->setParameter('C', 1);
    QTRY_COMPARE(a.mixer.receivedControlChanges().size(), size_t(2));
    QCOMPARE(a.mixer.receivedControlChanges()[1].channel, 5);

    // Buffer sizes outside 1..50 are never written.
    window->setBufferSize(20);
    QCOMPARE(window->model()->bufferSize(), 20);
    for (int refused : {0, -3, 51, 200}) {
        window->setBufferSize(refused);
        QCOMPARE(window->model()->bufferSize(), 20);
    }
}

void MainWindowTest::nothingSentBeforeTheChannelIsKnown() {
    plugOneOfEach();
    if (QTest::currentTestFailed())
        return;
    PluggedMixer& b = *sim->mixers[1];
    QVERIFY(QTest::qWaitFor([&] { return window->currentMidiChannel() == 1; }));
    // The second mixer has not told its channel yet when the read is given up.
    b.mixer.setSilent(true);
    combo()->setCurrentIndex(indexOfSecondModel());
    window->model()->setReading(false);
    QCOMPARE(window->currentMidiChannel(), 0);
    b.mixer.clearReceived();
    window->setParameter(3, 5);
    QTest::qWait(200);
    QVERIFY(b.mixer.receivedControlChanges().empty());
    QVERIFY(!window->parameters().contains(3));
}

namespace {
struct AnsweringPresenter : SettingsPresenter {
    QString path;
    QStringList warnings;
    QString chooseFile(QWidget*, int, const QString&, const QString&, const QString&) override { return path; }
    void showWarning(const QString& text, const QString& informative) override { warnings << text + "|" + informative; }
};
}  // namespace

// A mixer that reports a channel it cannot have: its read ends, but nothing
// could reach it, so neither a panel change nor an import is offered, and an
// import asked for all the same shows nothing as loaded.
void MainWindowTest::aMixerWithoutAKnownChannelStaysLocked() {
    auto config = mixerConfig(kFirstModel, 1);
    config.channel = 17;
    makeWindow();
    PluggedMixer& a = plug(config);
    QVERIFY(waitForCount(1));
    waitUntilReadEnded();
    if (QTest::currentTestFailed())
        return;
    QVERIFY(window->parameters().contains('B'));  // the values were read
    QCOMPARE(window->currentMidiChannel(), 0);
    QVERIFY(!pages()->isEnabled());
    auto* import = window->findChild<QPushButton*>("pushButtonImport");
    QVERIFY(!import->isEnabled());

    QTemporaryDir files;
    AnsweringPresenter presenter;
    presenter.path = files.filePath("settings.oms");
    QFile file(presenter.path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[General]\nmodel=2\nversion=1.0.5\n[Settings]\n66=3\n258=4\n");
    file.close();
    window->setSettingsPresenter(&presenter);
    const QMap<int, int> before = window->parameters();
    a.mixer.clearReceived();
    QMetaObject::invokeMethod(window, "on_pushButtonImport_clicked");
    window->setSettingsPresenter(nullptr);
    QVERIFY(!label("labelImportedStatus")->isVisible());
    QCOMPARE(window->parameters(), before);
    QCOMPARE(int(a.mixer.channel()), 17);

    // Once the mixer tells a channel it can have, all is offered again.
    a.mixer.sendRaw(0, {0xF0, 0x00, 0x00, 0x4E, 0x08, 0x03, 0xF7});
    QTRY_COMPARE(window->currentMidiChannel(), 3);
    QVERIFY(pages()->isEnabled());
    QVERIFY(import->isEnabled());
}

void MainWindowTest::applySettingsSendsTheMapInKeyOrder() {
    plugFirstModelAndRead();
    if (QTest::currentTestFailed())
        return;
    PluggedMixer& a = *sim->mixers[0];
    a.mixer.clearReceived();
    window->setParameter('B', 3);
    QVERIFY(window->isModified());
    QTRY_COMPARE(a.mixer.receivedControlChanges().size(), size_t(1));  // the change has arrived
    const QMap<int, int> map = window->parameters();
    a.mixer.clearReceived();

    window->applySettingsToDevice();
    const size_t expected = size_t(map.size() - 1);  // every key but the channel's
    QTRY_COMPARE(a.mixer.receivedControlChanges().size(), expected);
    const auto received = a.mixer.receivedControlChanges();
    int previous = -1;
    for (const auto& cc : received) {
        QCOMPARE(int(cc.channel), 1);
        QVERIFY(cc.controller > previous);
        previous = cc.controller;
        QVERIFY(cc.controller != 92);  // port A's computer: the port key is 90
        QCOMPARE(int(cc.value), map.value(cc.controller));
    }
    QVERIFY(!window->isModified());
}

void MainWindowTest::busyDuringARead() {
    makeWindow();
    PluggedMixer& a = plug(mixerConfig(kFirstModel, 1));
    QVERIFY(waitForCount(1));
    QTRY_VERIFY(!window->model()->isReading());
    QTRY_VERIFY(!window->isBusy());
    a.mixer.setReplyDelay(3000);  // 300 ms on the paced clock
    window->model()->setCurrentDevice(window->model()->currentDevice());
    QTRY_VERIFY(window->isBusy());
    QVERIFY(QApplication::overrideCursor());
    QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    QVERIFY(!combo()->isEnabled());
    QVERIFY(!window->findChild<QWidget*>("groupBoxPreferences")->isEnabled());
    QVERIFY(!pages()->isEnabled());

    QTRY_VERIFY(!window->isBusy());
    QVERIFY(!QApplication::overrideCursor());
    QVERIFY(combo()->isEnabled());
    QVERIFY(window->findChild<QWidget*>("groupBoxPreferences")->isEnabled());
    QVERIFY(pages()->isEnabled());
}

void MainWindowTest::silentReadIsStartedAgainByTheTimer() {
    makeWindow();
    PluggedMixer& a = plug(mixerConfig(kFirstModel, 1));
    QVERIFY(waitForCount(1));
    waitUntilReadEnded();
    if (QTest::currentTestFailed())
        return;
    a.mixer.setSilent(true);  // never ends the read with its {6}
    QElapsedTimer since;  // started before the busy report, so never late
    since.start();
    window->model()->setCurrentDevice(window->model()->currentDevice());
    QTRY_VERIFY(window->isBusy());
    // The recovery: list and button usable again, the panel and settings
    // locked, and a new read under way (which reports busy again).
    QVERIFY(QTest::qWaitFor([&] { return combo()->isEnabled() || since.elapsed() > 6000; }, 7000));
    // A 3 s coarse timer may fire up to 5 % early.
    QVERIFY2(since.elapsed() >= 2850, qPrintable(QString::number(since.elapsed())));
    QVERIFY(!pages()->isEnabled());
    QVERIFY(!window->findChild<QWidget*>("groupBoxPreferences")->isEnabled());
    QVERIFY(window->model()->isReading());
    QVERIFY(window->isBusy());

    a.mixer.setSilent(false);
    window->model()->setCurrentDevice(window->model()->currentDevice());
    QTRY_VERIFY_WITH_TIMEOUT(!window->isBusy(), 8000);
    QVERIFY(pages()->isEnabled());
    QVERIFY(!QApplication::overrideCursor());
}

void MainWindowTest::updateFromTheWindowOnceAtATime() {
    makeWindow();
    auto config = mixerConfig(kFirstModel, 1000001);
    config.firmwarePatch = 4;
    config.firmwareBuild = 10;
    PluggedMixer& a = plug(config);
    orvo::sim::MidiMixerFirmware firmware(a.mixer, 200);
    QVERIFY(waitForCount(1));
    QTRY_VERIFY(!window->isBusy());
    auto* button = window->findChild<QPushButton*>("pushButtonUpdateFirmware");
    QVERIFY(button->isVisible());
    QCOMPARE(button->text(), QString("Update to version 1.0.5"));
    QCOMPARE(label("labelFWDeviceVersion")->text(), QString("1.0.4"));

    std::vector<int> progress;
    QStringList statusTexts;
    connect(window->model(), &MixerModel::firmwareProgress, window, [&](int percent) {
        progress.push_back(percent);
        // A second click while the update runs starts nothing.
        if (percent > 0 && percent < 100)
            QMetaObject::invokeMethod(window, "on_pushButtonUpdateFirmware_clicked", Qt::DirectConnection);
        if (label("labelFirmwareStatus")->isVisible())
            statusTexts << label("labelFirmwareStatus")->text();
    }, Qt::DirectConnection);
    // Each update reports busy once as it starts (no read starts meanwhile).
    int updatesStarted = 0;
    connect(window->model(), &MixerModel::setBusy, window, [&](bool on) { updatesStarted += on; },
            Qt::DirectConnection);
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(updatesStarted, 1);
    QVERIFY(progress.size() >= 2);
    QCOMPARE(progress.back(), 100);
    QVERIFY(std::count_if(progress.begin(), progress.end(), [](int p) { return p > 0 && p < 100; }) > 0);
    // The frame follows the mixer into its update.
    QVERIFY(!statusTexts.isEmpty());
    QCOMPARE(statusTexts.removeDuplicates(), statusTexts.size() - 1);
    QCOMPARE(statusTexts.first(), QString("Updating firmware from 1.0.4 to 1.0.5"));
    // The mixer comes back with the image's version, and nothing is offered.
    QVERIFY(QTest::qWaitFor([&] { return label("labelFWDeviceVersion")->text() == "1.0.5" && !button->isVisible(); }, 15000));
    firmware.waitIdle();
}

void MainWindowTest::firmwareFrameStates_data() {
    QTest::addColumn<QList<int>>("version");  // major, minor, patch, build
    QTest::addColumn<bool>("bootloader");
    QTest::addColumn<bool>("rollbackKeys");
    QTest::addColumn<QString>("offer");  // the button's text, empty when hidden
    QTest::newRow("equal") << QList<int>{1, 0, 5, 94} << false << false << "";
    QTest::newRow("equal, Ctrl+R") << QList<int>{1, 0, 5, 94} << false << true << "";
    QTest::newRow("lower") << QList<int>{1, 0, 4, 10} << false << false << "Update to version 1.0.5";
    QTest::newRow("higher") << QList<int>{1, 0, 6, 0} << false << false << "";
    QTest::newRow("higher, Ctrl+R") << QList<int>{1, 0, 6, 0} << false << true << "Rollback to version 1.0.5";
    // Compared unsigned: a major version of 0x80 is newer, not negative.
    QTest::newRow("major 0x80") << QList<int>{0x80, 0, 0, 0} << false << false << "";
    QTest::newRow("major 0x80, Ctrl+R") << QList<int>{0x80, 0, 0, 0} << false << true << "Rollback to version 1.0.5";
    QTest::newRow("bootloader") << QList<int>{1, 0, 5, 94} << true << false << "Update to version 1.0.5";
}

void MainWindowTest::firmwareFrameStates() {
    QFETCH(QList<int>, version);
    QFETCH(bool, bootloader);
    QFETCH(bool, rollbackKeys);
    QFETCH(QString, offer);
    makeWindow();
    if (rollbackKeys) {
        QTest::keyClick(combo(), Qt::Key_R, Qt::ControlModifier);  // no mixer: nothing
        QVERIFY(!window->findChild<QWidget*>("frameFWUpdate")->isVisible());
    }
    auto config = mixerConfig(kFirstModel, 77);
    config.firmwareMajor = uint8_t(version[0]);
    config.firmwareMinor = uint8_t(version[1]);
    config.firmwarePatch = uint8_t(version[2]);
    config.firmwareBuild = uint8_t(version[3]);
    PluggedMixer& a = plug(config, false);
    a.mixer.setBootloaderRunning(bootloader);
    SimulatedMixers::rescan();
    QVERIFY(waitForCount(1));
    waitUntilIdle();
    if (rollbackKeys) {
        QApplication::setActiveWindow(window);
        QTest::keyClick(window->findChild<QPushButton*>("pushButtonImport"), Qt::Key_R, Qt::ControlModifier);
    }
    auto* button = window->findChild<QPushButton*>("pushButtonUpdateFirmware");
    QCOMPARE(button->isVisible() ? button->text() : QString(), offer);
    QCOMPARE(window->findChild<QWidget*>("labelImageFWAvailable")->isVisible(), !offer.isEmpty());
    QVERIFY(label("labelFirmwarePrompt")->isVisible());
    QVERIFY(label("labelFWDeviceType")->isVisible());
    QVERIFY(!label("labelFirmwareStatus")->isVisible());
    QVERIFY(!window->findChild<QWidget*>("progressBarFirmwareUpdate")->isVisible());
}

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"

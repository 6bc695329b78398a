// Both model panels in the main window against simulated mixers on the
// simulated MIDI bus: user changes reach the mixer as one control change
// each, and what the mixer reports moves the controls without an echo.

#include "sim_mixers.h"  // first: see there

#include "controlpanel/orvo_control_panel.h"
#include "resources/gui_resources.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QSlider>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>

using namespace orvo::testing;
using ControlChange = orvo::sim::MidiMixer::ControlChange;

namespace {

QImage labelImage(QWidget* widget, const char* label) {
    return widget->findChild<QLabel*>(label)->pixmap(Qt::ReturnByValue).toImage().convertToFormat(
        QImage::Format_ARGB32);
}

QString ledColour(QWidget* led) {
    const QImage shown = labelImage(led, "labelLEDImage");
    for (const char* colour : {"off", "green", "blue"}) {
        QImage image(QString(":/images/led_%1.png").arg(colour));
        if (shown == image.convertToFormat(QImage::Format_ARGB32))
            return colour;
    }
    return "?";
}

// One control's state as text: checked, index, value, hidden, LED colour or
// input source.
QString stateOf(QWidget* w, const QString& property) {
    if (property == "hidden")
        return w->isHidden() ? "true" : "false";
    if (property == "led")
        return ledColour(w);
    if (property == "source")
        return w->findChild<QLabel*>("labelInputValue")->text();
    if (auto* button = qobject_cast<QAbstractButton*>(w))
        return button->isChecked() ? "true" : "false";
    if (auto* combo = qobject_cast<QComboBox*>(w))
        return QString::number(combo->currentIndex());
    if (auto* slider = qobject_cast<QSlider*>(w))
        return QString::number(slider->value());
    return "?";
}

// Every control of a panel, to see that a report changed nothing.
QStringList snapshot(QWidget* panel) {
    QStringList all;
    for (QWidget* w : panel->findChildren<QWidget*>()) {
        if (w->objectName().isEmpty())
            continue;
        QString state = w->objectName() + (w->isHidden() ? " hidden " : " shown ");
        if (w->inherits("LED"))
            state += ledColour(w);
        else if (w->inherits("DeckInputSource"))
            state += stateOf(w, "source");
        else if (qobject_cast<QAbstractButton*>(w) || qobject_cast<QComboBox*>(w) || qobject_cast<QSlider*>(w))
            state += stateOf(w, "");
        all << state;
    }
    return all;
}

}  // namespace

class ModelPanelsTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void userChangeSendsOneControlChange_data();
    void userChangeSendsOneControlChange();
    void reportedValueMovesItsControl_data();
    void reportedValueMovesItsControl();
    void firstModelOnPortB();
    void firstModelMidiChannel();
    void bufferSlider_data();
    void bufferSlider();
    void secondModelTakesChannel15Only();
    void eqKillModeFollowsFirmware_data();
    void eqKillModeFollowsFirmware();

private:
    // A window with one mixer, its settings read; the mixer's parameters
    // are set to `presets` (key, value pairs) before it is found.
    PluggedMixer& openMixer(orvo::sim::MidiMixerConfig config, const QList<int>& presets = {});
    void waitUntilRead();
    QTabWidget* page() const {
        return qobject_cast<QTabWidget*>(window->findChild<QStackedWidget*>("stackedWidgetDevices")->currentWidget());
    }
    QWidget* control(const QString& name) const { return page()->findChild<QWidget*>(name); }
    // Sends nothing back: no control change reaches the mixer meanwhile.
    void expectNothingSent(PluggedMixer& mixer);
    // The mixer reports a value on its channel, unasked.
    static void report(PluggedMixer& mixer, unsigned port, int key, int value);

    QTemporaryDir registry;
    std::unique_ptr<SimulatedMixers> sim;
    OrvoControlPanel* window = nullptr;
};

void ModelPanelsTest::initTestCase() {
    initGuiResources();
    qputenv("ORVO_REGISTRY_ROOT", registry.path().toUtf8());
}

void ModelPanelsTest::init() {
    sim = std::make_unique<SimulatedMixers>();
}

void ModelPanelsTest::cleanup() {
    delete window;
    window = nullptr;
    sim.reset();
}

void ModelPanelsTest::waitUntilRead() {
    QVERIFY(QTest::qWaitFor([&] { return window->currentMidiChannel() != 0; }, 8000));
    QVERIFY(QTest::qWaitFor([&] { return !window->model()->isReading() && !window->isBusy(); }, 8000));
}

PluggedMixer& ModelPanelsTest::openMixer(orvo::sim::MidiMixerConfig config, const QList<int>& presets) {
    window = new OrvoControlPanel;
    window->show();
    [&] { QVERIFY(QTest::qWaitForWindowExposed(window)); }();
    PluggedMixer& plugged = sim->plug(config, false);
    for (int i = 0; i + 1 < presets.size(); i += 2)
        plugged.mixer.setParameter(uint8_t(presets[i]), uint8_t(presets[i + 1]));
    SimulatedMixers::rescan();
    auto* combo = window->findChild<QComboBox*>("comboBoxDevices");
    [&] { QVERIFY(QTest::qWaitFor([&] { return combo->count() == int(plugged.mixer.portCount()); }, 8000)); }();
    waitUntilRead();
    plugged.mixer.clearReceived();
    return plugged;
}

void ModelPanelsTest::expectNothingSent(PluggedMixer& mixer) {
    QTest::qWait(200);
    QCOMPARE(mixer.mixer.receivedControlChanges(), std::vector<ControlChange>{});
}

namespace {

// A user change: the mixer first reports `preset` (key, value; none when
// empty), so that the change changes something.
struct Change {
    const char* name;
    QList<int> preset;
    const char* control;
    int choice;  // a combo box's index or a slider's value; -1 clicks
    int key;
    int value;
};

const QList<Change> firstModelChanges = {
    {"mono", {}, "radioButtonMainMono", -1, 'R', 64},
    {"stereo", {'R', 64}, "radioButtonMainStereo", -1, 'R', 0},
    {"headphone tone", {}, "horizontalSliderHeadphoneTone", 100, 'O', 100},
    {"sub tone 150", {}, "radioButtonSubX150", -1, 'N', 64},
    {"sub tone 300", {'N', 64}, "radioButtonSubX300", -1, 'N', 0},
    {"mic clean feed on", {}, "radioButtonMicCleanFeedOn", -1, 'S', 64},
    {"mic clean feed off", {'S', 64}, "radioButtonMicCleanFeedOff", -1, 'S', 0},
    {"midi off, port A", {}, "radioButtonMidiEnableOff", -1, 'Z', 0},
    {"midi on, port A", {'Z', 0}, "radioButtonMidiEnableOn", -1, 'Z', 1},
    {"deck 1 post", {}, "radioButtonD1Post", -1, 'F', 64},
    {"deck 2 phono", {}, "radioButtonD2PhonoCD", -1, 'G', 0},
    {"deck 3 post", {}, "radioButtonD3Post", -1, 'H', 64},
    {"deck 4 post", {}, "radioButtonD4Post", -1, 'I', 64},
    {"deck 1 150", {}, "radioButtonD1Cross150", -1, 'J', 64},
    {"deck 2 300", {}, "radioButtonD2Cross300", -1, 'K', 0},
    {"deck 3 150", {}, "radioButtonD3Cross150", -1, 'L', 64},
    {"deck 4 150", {}, "radioButtonD4Cross150", -1, 'M', 64},
    {"deck 1 sensitivity", {}, "comboBoxD1Sensitivity", 15, 'B', 15},
    {"deck 2 sensitivity", {}, "comboBoxD2Sensitivity", 0, 'C', 0},
    {"deck 3 sensitivity", {}, "comboBoxD3Sensitivity", 5, 'D', 5},
    {"deck 4 sensitivity", {}, "comboBoxD4Sensitivity", 9, 'E', 9},
};

// A reported value: the controls it moves ("control.property=state"; none:
// no control changes) and whether the window keeps it in its map.
struct Report {
    const char* name;
    int key;
    int value;
    QStringList expected;
    bool stored;
};

const QList<Report> firstModelReports = {
    {"sensitivity", 'B', 9, {"comboBoxD1Sensitivity.index=9"}, true},
    {"sensitivity without an item", 'B', 16, {"comboBoxD1Sensitivity.index=-1"}, true},
    {"sensitivity deck 4", 'E', 15, {"comboBoxD4Sensitivity.index=15"}, true},
    {"record post", 'F', 64, {"radioButtonD1Post.checked=true"}, true},
    {"record phono at 63", 'G', 63, {"radioButtonD2PhonoCD.checked=true", "radioButtonD2Post.checked=false"}, true},
    {"crossover 150", 'L', 100, {"radioButtonD3Cross150.checked=true"}, true},
    {"crossover 300", 'K', 0, {"radioButtonD2Cross300.checked=true"}, true},
    {"sub tone", 'N', 64, {"radioButtonSubX150.checked=true"}, true},
    {"headphone tone", 'O', 20, {"horizontalSliderHeadphoneTone.value=20"}, true},
    {"mono", 'R', 127, {"radioButtonMainMono.checked=true"}, true},
    {"mic clean feed on", 'S', 64, {"radioButtonMicCleanFeedOn.checked=true"}, true},
    {"midi enable off", 'Z', 0, {"radioButtonMidiEnableOff.checked=true"}, true},
    {"the other port's midi enable", '\\', 1, {}, false},
    {"both ports active", 'P', 5, {"ledAActive.led=blue", "ledBActive.led=blue"}, false},
    {"port B active", 'P', 4, {"ledAActive.led=off", "ledBActive.led=blue"}, false},
    {"no port active", 'P', 0, {"ledAActive.led=off", "ledBActive.led=off"}, false},
    {"deck 1 S/PDIF", 'V', 30,
     {"widgetD1InputSource.source=S/PDIF Input", "labelD1Sensitivity.hidden=true", "comboBoxD1Sensitivity.hidden=true"},
     false},
    {"deck 1 phono", 'V', 60,
     {"widgetD1InputSource.source=Phono Input", "labelD1Sensitivity.hidden=false",
      "comboBoxD1Sensitivity.hidden=false"},
     false},
    {"deck 4 CD", 'Y', 100,
     {"widgetD4InputSource.source=CD Input", "labelD4Sensitivity.hidden=true", "comboBoxD4Sensitivity.hidden=true"},
     false},
    // Keys without a control; only the model's own keys are kept.
    {"key Q", 'Q', 100, {}, true},
    {"key U", 'U', 100, {}, true},
    {"key A", 'A', 100, {}, false},
    {"key [", '[', 100, {}, false},
    {"key ]", ']', 100, {}, false},
    {"key 0", 0, 100, {}, false},
    {"key 127", 127, 100, {}, false},
};

const QList<Change> secondModelChanges = {
    {"mono", {}, "radioButtonMainMono", -1, 34, 64},
    {"stereo", {34, 64}, "radioButtonMainStereo", -1, 34, 0},
    {"headphone tone", {}, "horizontalSliderHeadphoneTone", 100, 31, 100},
    {"usb filter", {}, "horizontalSliderUSBFilter", 10, 30, 10},
    {"eq kill momentary", {}, "radioButtonEQKillMomentary", -1, 57, 0},
    {"eq kill latching", {57, 0}, "radioButtonEQKillLatching", -1, 57, 64},
    {"deck 1 sensitivity", {}, "comboBoxD1Sensitivity", 15, 1, 15},
    {"deck 1 filter", {}, "horizontalSliderD1FilterRes", 0, 13, 0},
    {"deck 1 aux", {}, "radioButtonD1Post", -1, 62, 64},
    {"deck 1 phono", {62, 64}, "radioButtonD1PhonoCD", -1, 62, 0},
    {"deck 1 150", {}, "radioButtonD1Cross150", -1, 11, 64},
    {"deck 1 usb insert", {}, "checkBoxD1USBInsert", -1, 15, 64},
    {"deck 2 sensitivity", {}, "comboBoxD2Sensitivity", 2, 16, 2},
    {"deck 2 filter", {}, "horizontalSliderD2FilterRes", 127, 28, 127},
    {"deck 2 phono", {}, "radioButtonD2PhonoCD", -1, 63, 0},
    {"deck 2 300", {}, "radioButtonD2Cross300", -1, 26, 0},
    {"deck 2 usb insert off", {}, "checkBoxD2USBInsert", -1, 29, 0},
};

const QList<Report> secondModelReports = {
    {"sensitivity", 1, 9, {"comboBoxD1Sensitivity.index=9"}, true},
    {"sensitivity without an item", 1, 16, {"comboBoxD1Sensitivity.index=-1"}, true},
    {"sensitivity deck 2", 16, 15, {"comboBoxD2Sensitivity.index=15"}, true},
    {"crossover 150", 11, 64, {"radioButtonD1Cross150.checked=true"}, true},
    {"crossover 300 at 63", 26, 63, {"radioButtonD2Cross300.checked=true"}, true},
    {"filter", 13, 20, {"horizontalSliderD1FilterRes.value=20"}, true},
    {"filter deck 2", 28, 100, {"horizontalSliderD2FilterRes.value=100"}, true},
    {"usb insert", 15, 64, {"checkBoxD1USBInsert.checked=true"}, true},
    {"usb insert off at 63", 29, 63, {"checkBoxD2USBInsert.checked=false"}, true},
    {"usb filter", 30, 5, {"horizontalSliderUSBFilter.value=5"}, true},
    {"headphone tone", 31, 127, {"horizontalSliderHeadphoneTone.value=127"}, true},
    {"mono", 34, 127, {"radioButtonMainMono.checked=true"}, true},
    {"stereo at 1", 34, 1, {"radioButtonMainStereo.checked=true"}, true},
    {"eq kill momentary", 57, 0, {"radioButtonEQKillMomentary.checked=true"}, true},
    {"eq kill latching at 1", 57, 1, {"radioButtonEQKillLatching.checked=true"}, true},
    {"record aux", 62, 64, {"radioButtonD1Post.checked=true"}, true},
    {"record phono", 63, 10, {"radioButtonD2PhonoCD.checked=true"}, true},
    {"both ports active", 32, 5, {"ledAActive.led=blue", "ledBActive.led=blue"}, false},
    {"port B active", 32, 4, {"ledAActive.led=off", "ledBActive.led=blue"}, false},
    {"no port active at 3", 32, 3, {"ledAActive.led=off", "ledBActive.led=off"}, false},
    {"deck 1 CD", 49, 64,
     {"widgetD1InputSource.source=CD Input", "labelD1Sensitivity.hidden=true", "comboBoxD1Sensitivity.hidden=true"},
     false},
    {"deck 1 phono at 63", 49, 63,
     {"widgetD1InputSource.source=Phono Input", "labelD1Sensitivity.hidden=false",
      "comboBoxD1Sensitivity.hidden=false"},
     false},
    {"deck 2 phono", 50, 0,
     {"widgetD2InputSource.source=Phono Input", "labelD2Sensitivity.hidden=false",
      "comboBoxD2Sensitivity.hidden=false"},
     false},
    // Keys without a control; only the model's own keys (0..63) are kept.
    {"key 0", 0, 100, {}, true},
    {"key 2", 2, 100, {}, true},
    {"key 64", 64, 100, {}, false},
    {"key 100", 100, 100, {}, false},
};

}  // namespace

void ModelPanelsTest::report(PluggedMixer& mixer, unsigned port, int key, int value) {
    const uint8_t channel = mixer.mixer.channel();
    mixer.mixer.sendRaw(port, {uint8_t(0xB0 | ((channel - 1) & 0x0F)), uint8_t(key), uint8_t(value)});
}

void ModelPanelsTest::userChangeSendsOneControlChange_data() {
    QTest::addColumn<uint32_t>("model");
    QTest::newRow("first model") << kFirstModel;
    QTest::newRow("second model") << kSecondModel;
}

void ModelPanelsTest::userChangeSendsOneControlChange() {
    QFETCH(uint32_t, model);
    PluggedMixer& mixer = openMixer(mixerConfig(model, 1));
    if (QTest::currentTestFailed())
        return;
    const uint8_t channel = mixer.mixer.channel();
    QVERIFY(!window->isModified());
    for (const Change& row : model == kFirstModel ? firstModelChanges : secondModelChanges) {
        const QString name = row.name;
        if (!row.preset.isEmpty()) {
            report(mixer, 0, row.preset[0], row.preset[1]);
            QVERIFY2(QTest::qWaitFor([&] { return window->parameters().value(row.preset[0], -1) == row.preset[1]; }),
                     qPrintable(name));
            expectNothingSent(mixer);
        }
        QWidget* w = control(row.control);
        QVERIFY2(w, qPrintable(name));
        if (auto* button = qobject_cast<QAbstractButton*>(w))
            button->click();
        else if (auto* combo = qobject_cast<QComboBox*>(w))
            combo->setCurrentIndex(row.choice);
        else if (auto* slider = qobject_cast<QSlider*>(w))
            slider->setValue(row.choice);
        QVERIFY2(QTest::qWaitFor([&] { return !mixer.mixer.receivedControlChanges().empty(); }, 2000), qPrintable(name));
        QTest::qWait(150);
        const auto received = mixer.mixer.receivedControlChanges();
        QVERIFY2(received == (std::vector<ControlChange>{{0, channel, uint8_t(row.key), uint8_t(row.value)}}),
                 qPrintable(QString("%1: %2 sent").arg(name).arg(received.size())));
        QVERIFY2(window->parameters().value(row.key, -1) == row.value, qPrintable(name));
        QVERIFY(window->isModified());
        mixer.mixer.clearReceived();
    }
}

void ModelPanelsTest::reportedValueMovesItsControl_data() {
    QTest::addColumn<uint32_t>("model");
    QTest::addColumn<QList<int>>("presets");
    // Phono everywhere, so that every input source row changes something.
    QTest::newRow("first model") << kFirstModel << QList<int>{'V', 64, 'W', 64, 'X', 64, 'Y', 64, 'P', 1};
    QTest::newRow("second model") << kSecondModel << QList<int>{};
}

void ModelPanelsTest::reportedValueMovesItsControl() {
    QFETCH(uint32_t, model);
    QFETCH(QList<int>, presets);
    PluggedMixer& mixer = openMixer(mixerConfig(model, 1), presets);
    if (QTest::currentTestFailed())
        return;
    const uint8_t channel = mixer.mixer.channel();
    for (const Report& row : model == kFirstModel ? firstModelReports : secondModelReports) {
        const QString name = row.name;
        const QStringList before = snapshot(page());
        const QMap<int, int> mapBefore = window->parameters();
        auto holds = [&](const QString& check) {
            QWidget* w = control(check.section('.', 0, 0));
            return w && stateOf(w, check.section('.', 1).section('=', 0, 0)) == check.section('=', 1);
        };
        // Each row moves something that was not there yet.
        QVERIFY2(row.expected.isEmpty() || !std::all_of(row.expected.begin(), row.expected.end(), holds),
                 qPrintable(name));
        report(mixer, 0, row.key, row.value);
        if (row.expected.isEmpty()) {
            QTest::qWait(200);
            QVERIFY2(snapshot(page()) == before, qPrintable(name));
        }
        for (const QString& check : row.expected)
            QVERIFY2(QTest::qWaitFor([&] { return holds(check); }, 2000), qPrintable(name + ": " + check));
        expectNothingSent(mixer);
        QCOMPARE(int(mixer.mixer.channel()), int(channel));
        QMap<int, int> mapAfter = mapBefore;
        if (row.stored)
            mapAfter[row.key] = row.value;
        QVERIFY2(window->parameters() == mapAfter, qPrintable(name));
        QVERIFY(!window->isModified());
    }
}

void ModelPanelsTest::firstModelOnPortB() {
    auto config = mixerConfig(kFirstModel, 345, true);
    PluggedMixer& mixer = openMixer(config);
    if (QTest::currentTestFailed())
        return;
    // The local-port report lights this computer's port, whatever its value.
    auto* combo = window->findChild<QComboBox*>("comboBoxDevices");
    if (!combo->currentText().endsWith("Port: A")) {  // the ports are found in any order
        combo->setCurrentIndex(combo->findText("Port: A", Qt::MatchEndsWith));
        waitUntilRead();
    }
    QCOMPARE(ledColour(control("ledALocal")), QString("green"));
    QCOMPARE(ledColour(control("ledBLocal")), QString("off"));
    combo->setCurrentIndex(combo->findText("Port: B", Qt::MatchEndsWith));
    QVERIFY(combo->currentText().endsWith("Port: B"));
    waitUntilRead();
    mixer.mixer.clearReceived();
    QCOMPARE(ledColour(control("ledBLocal")), QString("green"));
    QCOMPARE(ledColour(control("ledALocal")), QString("off"));
    report(mixer, 1, 'T', 77);
    QTest::qWait(200);
    QCOMPARE(ledColour(control("ledBLocal")), QString("green"));
    QCOMPARE(ledColour(control("ledALocal")), QString("off"));
    QVERIFY(window->parameters().contains(92));
    QVERIFY(!window->parameters().contains(90));

    // Only port B's key moves the MIDI-enable control.
    report(mixer, 1, 92, 0);
    QTRY_VERIFY(static_cast<QAbstractButton*>(control("radioButtonMidiEnableOff"))->isChecked());
    report(mixer, 1, 90, 1);
    QTest::qWait(300);
    QVERIFY(static_cast<QAbstractButton*>(control("radioButtonMidiEnableOff"))->isChecked());
    expectNothingSent(mixer);
    QCOMPARE(window->parameters().value(92), 0);
    QVERIFY(!window->parameters().contains(90));

    static_cast<QAbstractButton*>(control("radioButtonMidiEnableOn"))->click();
    QTRY_COMPARE(mixer.mixer.receivedControlChanges(), (std::vector<ControlChange>{{1, 1, 92, 1}}));
}

void ModelPanelsTest::firstModelMidiChannel() {
    auto config = mixerConfig(kFirstModel, 1);
    config.channel = 7;
    PluggedMixer& mixer = openMixer(config);
    if (QTest::currentTestFailed())
        return;
    // The reported channel is shown, and not sent back.
    auto* channels = static_cast<QComboBox*>(control("comboBoxMidiChannel"));
    QCOMPARE(channels->currentText(), QString("7"));
    QVERIFY(!window->isModified());

    channels->setCurrentIndex(channels->findText("16"));
    QTRY_COMPARE(int(mixer.mixer.channel()), 16);
    QCOMPARE(window->currentMidiChannel(), 16);
    QCOMPARE(window->parameters().value(OrvoControlPanel::MidiChannelParameterKey), 16);
    QVERIFY(window->isModified());
    // Changes go out on the new channel.
    static_cast<QAbstractButton*>(control("radioButtonMainMono"))->click();
    QTRY_COMPARE(mixer.mixer.receivedControlChanges(), (std::vector<ControlChange>{{0, 16, 'R', 64}}));

    // A channel from a settings file is shown too, and sent once, last.
    QMap<int, int>& map = const_cast<QMap<int, int>&>(window->parameters());
    map[OrvoControlPanel::MidiChannelParameterKey] = 3;
    window->applySettingsToDevice();
    QTRY_COMPARE(int(mixer.mixer.channel()), 3);
    QCOMPARE(channels->currentText(), QString("3"));
}

void ModelPanelsTest::bufferSlider_data() {
    QTest::addColumn<uint32_t>("model");
    QTest::newRow("first model") << kFirstModel;
    QTest::newRow("second model") << kSecondModel;
}

void ModelPanelsTest::bufferSlider() {
    QFETCH(uint32_t, model);
    openMixer(mixerConfig(model, 1));
    if (QTest::currentTestFailed())
        return;
    auto* slider = static_cast<QSlider*>(control("horizontalSliderBufferSize"));
    auto* label = static_cast<QLabel*>(control("labelBufferSize"));
    // The model's stored size is shown once its poll has run.
    QTRY_VERIFY(window->model()->bufferSize() != 0);
    const int stored = window->model()->bufferSize();
    QTRY_COMPARE(slider->value(), stored);
    QCOMPARE(label->text(), QString("%1 ms").arg(stored));

    // Moving shows, releasing writes.
    const int target = stored == 10 ? 12 : 10;
    slider->setSliderDown(true);
    slider->setSliderPosition(target);
    QCOMPARE(label->text(), QString("%1 ms").arg(target));
    QCOMPARE(window->model()->bufferSize(), stored);
    slider->setSliderDown(false);
    QCOMPARE(window->model()->bufferSize(), target);
    QCOMPARE(label->text(), QString("%1 ms").arg(target));

    // The ends of the slider are the ends of what is written.
    slider->triggerAction(QAbstractSlider::SliderToMinimum);
    QCOMPARE(window->model()->bufferSize(), 1);
    slider->triggerAction(QAbstractSlider::SliderToMaximum);
    QCOMPARE(window->model()->bufferSize(), 50);
    QTest::qWait(400);  // a poll leaves it there
    QCOMPARE(slider->value(), 50);
}

void ModelPanelsTest::secondModelTakesChannel15Only() {
    PluggedMixer& mixer = openMixer(mixerConfig(kSecondModel, 1));
    if (QTest::currentTestFailed())
        return;
    auto* tone = static_cast<QSlider*>(control("horizontalSliderHeadphoneTone"));
    const int before = tone->value();
    for (uint8_t status : {0xB0, 0xBD, 0xBF})  // channels 1, 14 and 16
        mixer.mixer.sendRaw(0, {status, 31, 3});
    // A key outside 0..63, negative too, as the window may hand it over.
    emit window->model()->cpValueRecieved(-1, 3);
    QTest::qWait(300);
    QCOMPARE(tone->value(), before);
    QVERIFY(!window->parameters().contains(-1));
    mixer.mixer.sendRaw(0, {0xBE, 31, 3});
    QTRY_COMPARE(tone->value(), 3);
    expectNothingSent(mixer);
}

void ModelPanelsTest::eqKillModeFollowsFirmware_data() {
    QTest::addColumn<QList<int>>("version");  // major, minor, patch, build
    QTest::addColumn<bool>("shown");
    QTest::newRow("1.0.4.122") << QList<int>{1, 0, 4, 122} << true;
    QTest::newRow("1.0.4.121") << QList<int>{1, 0, 4, 121} << false;
    // Compared unsigned: a major version of 0x80 is newer, not negative.
    QTest::newRow("major 0x80") << QList<int>{0x80, 0, 0, 0} << true;
}

void ModelPanelsTest::eqKillModeFollowsFirmware() {
    QFETCH(QList<int>, version);
    QFETCH(bool, shown);
    auto config = mixerConfig(kSecondModel, 1);
    config.firmwareMajor = uint8_t(version[0]);
    config.firmwareMinor = uint8_t(version[1]);
    config.firmwarePatch = uint8_t(version[2]);
    config.firmwareBuild = uint8_t(version[3]);
    openMixer(config);
    if (QTest::currentTestFailed())
        return;
    for (const char* name : {"labelEQKillSwitch", "radioButtonEQKillMomentary", "radioButtonEQKillLatching"})
        QVERIFY2(control(name)->isHidden() == !shown, name);
}

QTEST_MAIN(ModelPanelsTest)
#include "model_panels_test.moc"

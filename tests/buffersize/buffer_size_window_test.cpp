// The buffer-size program's window: its form, the logo at both densities,
// the slider's slots against the registry, the About box, two programs
// following each other, and the program itself (its version record and
// icon, once per key, beside the control panel).

#include "sim_mixers.h" // first: see there

#include "buffersize/program.h"
#include "controlpanel/orvo_control_panel.h"
#include "elf_note.h"
#include "controlpanel/single_instance.h"
#include "controlpanel/widgets/buffer_slider.h"
#include "controlpanel/widgets/utils.h"
#include "mixer/midi/midi_service.h"
#include "mixer/model/mixer_model.h"
#include "mixer/model/registry_settings.h"
#include "platform/registry/registry.h"
#include "platform/win32/window.h"
#include "resources/gui_resources.h"
#include "ui_orvo_buffer_size.h"

#include <QApplication>
#include <QIcon>
#include <QLabel>
#include <QProcess>
#include <QRegularExpression>
#include <QPushButton>
#include <QScreen>
#include <QStackedWidget>
#include <QSharedMemory>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>

#include <elf.h>

namespace {

const QString kUser = QStringLiteral("HKEY_CURRENT_USER\\Software\\Orvo\\UAC2");

int registryValue(const QString& child)
{
    orvo::model::RegistrySettings settings(kUser);
    return settings.value(child + "/BufferSizeMillisecs").toInt();
}

void setRegistryValue(const QString& child, int ms)
{
    orvo::model::RegistrySettings settings(kUser);
    settings.setValue(child + "/BufferSizeMillisecs", ms);
}

QStringList registryKeys()
{
    orvo::model::RegistrySettings settings(kUser);
    return settings.childGroups();
}

// The child run of the density test: the logo's style sheet at this screen.
int reportDensity(int argc, char** argv)
{
    QApplication app(argc, argv);
    initGuiResources();
    QTemporaryDir registry;
    reg::Registry::setMachineRoot(registry.path().toStdString());
    OrvoBufferSize window;
    std::printf("%d|%s\n", Utils::isHighDpiScreen(),
                qPrintable(window.findChild<QPushButton*>("pushButtonAbout")->styleSheet()));
    return 0;
}

// The child run of the program's start: the program as `main` runs it, with
// a look, once its window shows, at the icon the window carries; then the
// window is closed, and whether a device service is left once the program's
// start has returned.
int runProgramAndLook(int argc, char** argv)
{
    qAddPreRoutine([] {
        auto* look = new QTimer(qApp);
        QObject::connect(look, &QTimer::timeout, [look] {
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                auto* window = qobject_cast<OrvoBufferSize*>(widget);
                if (!window || !window->isVisible())
                    continue;
                look->stop();
                const QImage shown = window->windowIcon().pixmap(48).toImage();
                const QImage program = QIcon(":/app.ico").pixmap(48).toImage();
                std::printf("icon %d\n", !shown.isNull() && shown == program);
                window->close();
            }
        });
        look->start(10);
    });
    const int result = runBufferSizeProgram(argc, argv);
    std::printf("service %s\n", Orvo::Midi::Instance() == nullptr ? "none" : "left");
    return result;
}

class ProgramRun {
public:
    ProgramRun(const QString& program, const QString& tmp, const QString& registry, const QStringList& args = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("ORVO_SESSION_DIR", tmp);
        env.insert("TMPDIR", tmp);
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("ORVO_MIDI_API", "dummy");
        env.insert("ORVO_REGISTRY_ROOT", registry);
        env.insert("XDG_RUNTIME_DIR", registry);
        process.setProcessEnvironment(env);
        process.start(program, args);
    }
    ~ProgramRun()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    QProcess process;
};

bool keyHeld(const QString& tmp, const char* key)
{
    const QByteArray saved = qgetenv("ORVO_SESSION_DIR");
    qputenv("ORVO_SESSION_DIR", tmp.toUtf8());
    QSharedMemory probe;
    probe.setNativeKey(instanceKeyFile(QString::fromLatin1(key)));
    const bool held = probe.attach(QSharedMemory::ReadOnly);
    if (held)
        probe.detach();
    qputenv("ORVO_SESSION_DIR", saved);
    return held;
}

} // namespace

class BufferSizeWindowTest : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        registry = std::make_unique<QTemporaryDir>();
        reg::Registry::setMachineRoot(registry->path().toStdString());
    }
    void formAfterSetup();
    void logoAtBothDensities_data();
    void logoAtBothDensities();
    void aReportedSizeIsShownAndMovesTheSlider();
    void aSizeOutsideTheRangeIsShownBounded_data();
    void aSizeOutsideTheRangeIsShownBounded();
    void draggingShowsReleasingWritesEveryKey();
    void keysAndWheelDoNotMoveTheSlider();
    void aboutBoxOfThisProgram();
    void versionRecordInTheProgramFile();
    void theProgramsWindowCarriesItsIcon();
    void twoProgramsFollowEachOtherWithinAPoll();
    void bothProgramsOnOneSimulatedMachine();
    void runsOnceAndBesideTheControlPanel();

private:
    std::unique_ptr<QTemporaryDir> registry;
};

void BufferSizeWindowTest::formAfterSetup()
{
    // The form record: 14 pointers in the designed order.
    using Ui = Ui_OrvoBufferSize;
    QCOMPARE(sizeof(Ui), 14 * sizeof(void*));
    const size_t offsets[] = {
        offsetof(Ui, centralwidget),    offsetof(Ui, layoutWidget_2),   offsetof(Ui, verticalLayoutBuffer),
        offsetof(Ui, gridLayoutBuffer), offsetof(Ui, label_8),          offsetof(Ui, horizontalSliderBufferSize),
        offsetof(Ui, label_11),         offsetof(Ui, label_12),         offsetof(Ui, horizontalLayout_7),
        offsetof(Ui, label_9),          offsetof(Ui, labelBufferSize),  offsetof(Ui, horizontalSpacer),
        offsetof(Ui, verticalSpacer),   offsetof(Ui, pushButtonAbout)};
    for (size_t i = 0; i < 14; ++i)
        QCOMPARE(offsets[i], i * sizeof(void*));

    OrvoBufferSize window;
    QCOMPARE(window.objectName(), QString("OrvoBufferSize"));
    QCOMPARE(window.size(), QSize(280, 130));
    QCOMPARE(window.minimumSize(), QSize(280, 130));
    QCOMPARE(window.maximumSize(), QSize(280, 130));
    QCOMPARE(window.windowTitle(), QString("Orvo ASIO Buffer Size"));
    auto* slider = window.findChild<BufferSlider*>("horizontalSliderBufferSize");
    QVERIFY(slider);
    QCOMPARE(slider->minimum(), 1);
    QCOMPARE(slider->maximum(), 50);
    QCOMPARE(slider->pageStep(), 5);
    QCOMPARE(slider->value(), 1);
    QVERIFY(!slider->hasTracking());
    QCOMPARE(slider->orientation(), Qt::Horizontal);
    QCOMPARE(slider->tickPosition(), QSlider::TicksBelow);
    QCOMPARE(slider->tickInterval(), 4);
    QCOMPARE(window.findChild<QLabel*>("labelBufferSize")->text(), QString("1 ms"));
    QVERIFY(window.findChild<QLabel*>("labelBufferSize")->font().bold());
    QCOMPARE(window.findChild<QLabel*>("label_9")->text(), QString("Buffer Size:  "));
    auto* about = window.findChild<QPushButton*>("pushButtonAbout");
    QCOMPARE(about->geometry(), QRect(188, 4, 84, 31));
    QVERIFY(about->isFlat());
    QCOMPARE(about->text(), QString());
    QCOMPARE(window.findChild<QWidget*>("layoutWidget_2")->geometry(), QRect(10, 40, 261, 86));
}

void BufferSizeWindowTest::logoAtBothDensities_data()
{
    QTest::addColumn<QString>("scale");
    QTest::addColumn<QString>("expected");
    QTest::newRow("normal") << "1"
                            << "0|QPushButton{ border-image: url(:/images/logo_orvo.png);}  "
                               "QPushButton:hover{border-image: url(:/images/logo_orvo_hover.png);}";
    QTest::newRow("double") << "2"
                            << "1|QPushButton{ border-image: url(:/images/logo_orvo_2x.png);}  "
                               "QPushButton:hover{border-image: url(:/images/logo_orvo_hover_2x.png);}";
}

void BufferSizeWindowTest::logoAtBothDensities()
{
    QFETCH(QString, scale);
    QFETCH(QString, expected);
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_SCALE_FACTOR", scale);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), {"--density-child"});
    QVERIFY(child.waitForFinished(20000));
    QCOMPARE(QString::fromUtf8(child.readAllStandardOutput()).trimmed(), expected);
    // The images are the control panel's, in the tree this program registers.
    const QRegularExpression url(R"(url\((:[^)]+)\))");
    int images = 0;
    for (auto match = url.globalMatch(expected); match.hasNext(); ++images) {
        const QString image = match.next().captured(1);
        QVERIFY2(!QImage(image).isNull(), qPrintable(image));
    }
    QCOMPARE(images, 2);
}

void BufferSizeWindowTest::aReportedSizeIsShownAndMovesTheSlider()
{
    OrvoBufferSize window;
    setRegistryValue("Global", 17);
    window.model()->onSampleBufferTimer();
    QCOMPARE(window.findChild<QLabel*>("labelBufferSize")->text(), QString("17 ms"));
    QCOMPARE(window.findChild<BufferSlider*>("horizontalSliderBufferSize")->value(), 17);
    QCOMPARE(registryValue("Global"), 17);
}

void BufferSizeWindowTest::aSizeOutsideTheRangeIsShownBounded_data()
{
    QTest::addColumn<int>("stored");
    QTest::addColumn<int>("shown");
    QTest::newRow("100") << 100 << 50;
    QTest::newRow("51") << 51 << 50;
    QTest::newRow("-5, as its DWORD") << -5 << 1;
}

void BufferSizeWindowTest::aSizeOutsideTheRangeIsShownBounded()
{
    QFETCH(int, stored);
    QFETCH(int, shown);
    OrvoBufferSize window;
    setRegistryValue("Global", stored);
    setRegistryValue("0001000001A", 8);
    window.model()->onSampleBufferTimer();
    QCOMPARE(window.findChild<QLabel*>("labelBufferSize")->text(), QString("%1 ms").arg(shown));
    QCOMPARE(window.findChild<BufferSlider*>("horizontalSliderBufferSize")->value(), shown);
    QCOMPARE(registryValue("Global"), shown);
    QCOMPARE(registryValue("0001000001A"), shown);
}

void BufferSizeWindowTest::draggingShowsReleasingWritesEveryKey()
{
    OrvoBufferSize window;
    setRegistryValue("Global", 8);
    setRegistryValue("0001000001A", 8);
    setRegistryValue("0001000002B", 8);
    {
        // A mixer's key the ASIO driver made, with no size in it yet.
        orvo::model::RegistrySettings settings(kUser);
        settings.setValue("0001000003C/IsRealTimeEnabled", 1);
    }
    window.model()->onSampleBufferTimer();
    auto* slider = window.findChild<BufferSlider*>("horizontalSliderBufferSize");
    auto* label = window.findChild<QLabel*>("labelBufferSize");
    slider->setSliderDown(true);
    slider->setSliderPosition(30);
    QCOMPARE(label->text(), QString("30 ms"));
    QCOMPARE(registryValue("Global"), 8);
    QCOMPARE(registryValue("0001000001A"), 8);
    slider->setSliderDown(false);
    QCOMPARE(label->text(), QString("30 ms"));
    for (const char* child : {"Global", "0001000001A", "0001000002B", "0001000003C"})
        QCOMPARE(registryValue(child), 30);
    // No mixer is connected: the keys that exist are written, and no other is made.
    QCOMPARE(registryKeys(), QStringList({"0001000001A", "0001000002B", "0001000003C", "Global"}));
}

void BufferSizeWindowTest::keysAndWheelDoNotMoveTheSlider()
{
    OrvoBufferSize window;
    window.show();
    auto* slider = window.findChild<BufferSlider*>("horizontalSliderBufferSize");
    slider->setFocus();
    for (Qt::Key key : {Qt::Key_Right, Qt::Key_Up, Qt::Key_PageUp, Qt::Key_End})
        QTest::keyClick(slider, key);
    QWheelEvent wheel(QPointF(10, 5), slider->mapToGlobal(QPoint(10, 5)), QPoint(), QPoint(0, 120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(slider, &wheel);
    QCOMPARE(slider->value(), 1);
    QCOMPARE(window.findChild<QLabel*>("labelBufferSize")->text(), QString("1 ms"));
}

void BufferSizeWindowTest::aboutBoxOfThisProgram()
{
    OrvoBufferSize window;
    window.show();
    QString title, version;
    Qt::WindowFlags flags;
    QTimer::singleShot(0, [&] {
        QWidget* box = QApplication::activeModalWidget();
        if (!box)
            return;
        title = box->windowTitle();
        flags = box->windowFlags();
        if (auto* label = box->findChild<QLabel*>("labelPanelVersion"))
            version = label->text();
        box->close();
    });
    QTest::mouseClick(window.findChild<QPushButton*>("pushButtonAbout"), Qt::LeftButton);
    QCOMPARE(title, QString("About Orvo ASIO Buffer Size"));
    QCOMPARE(version, QString("Orvo Buffer Size - Version: 1.6.0.28"));
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY(flags & Qt::WindowTitleHint);
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(flags & Qt::WindowContextHelpButtonHint));
}

void BufferSizeWindowTest::versionRecordInTheProgramFile()
{
    const std::optional<ElfNote> note = readElfNote(QStringLiteral(ORVO_BUFFER_SIZE), ".note.orvo.version");
    QVERIFY(note);
    QCOMPARE(note->sectionType, std::uint32_t{SHT_NOTE});
    QCOMPARE(note->owner, QByteArray("Orvo"));
    QCOMPARE(note->type, 1u);
    static const char expected[] = "FileVersion\0" "1.6.0.28\0"
                                   "ProductVersion\0" "1.6.0.28\0"
                                   "FileDescription\0" "Orvo ASIO Buffer Size\0"
                                   "InternalName\0" "OrvoBufferSize\0"
                                   "ProductName\0" "OrvoBufferSize\0";
    QCOMPARE(note->descriptor, QByteArray(expected, sizeof expected - 1));
}

void BufferSizeWindowTest::theProgramsWindowCarriesItsIcon()
{
    QVERIFY(!QIcon(":/IDI_ICON1").pixmap(48).isNull());
    QTemporaryDir tmp;
    ProgramRun run(QCoreApplication::applicationFilePath(), tmp.path(), registry->path(), {"--program-child"});
    QVERIFY(run.process.waitForFinished(20000));
    QCOMPARE(run.process.exitCode(), 0);
    QCOMPARE(QString::fromUtf8(run.process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts),
             QStringList({"icon 1", "service none"}));
}

// The control panel's model and this window, as the two programs run on one
// machine: a size set in either is shown by the other within one poll.
void BufferSizeWindowTest::twoProgramsFollowEachOtherWithinAPoll()
{
    OrvoBufferSize window;
    MixerModel panel(nullptr, MixerModel::Devices::Unused);
    auto* slider = window.findChild<BufferSlider*>("horizontalSliderBufferSize");
    auto* label = window.findChild<QLabel*>("labelBufferSize");
    const int poll = 2 * MixerModel::kBufferPollMs;
    QVERIFY(QTest::qWaitFor([&] { return slider->value() == 8 && panel.bufferSize() == 8; }, 2 * poll));
    slider->setValue(20); // a release at 20
    QVERIFY(QTest::qWaitFor([&] { return panel.bufferSize() == 20; }, poll));
    panel.setBufferSize(12);
    QVERIFY(QTest::qWaitFor([&] { return slider->value() == 12; }, poll));
    QCOMPARE(label->text(), QString("12 ms"));
    QCOMPARE(registryValue("Global"), 12);
}

// The two windows on one machine with a mixer. The buffer-size window, made
// first, leaves the mixer's ports alone even after a device change; the
// control panel then finds and reads the mixer; a size set in either window
// is shown by the other at the other's next poll (one tick of its timer,
// given here by hand).
void BufferSizeWindowTest::bothProgramsOnOneSimulatedMachine()
{
    using namespace orvo::testing;
    SimulatedMixers sim;
    PluggedMixer& plugged = sim.plug(mixerConfig(kFirstModel, 1000001), false);
    OrvoBufferSize program;
    program.show();
    program.model()->onSampleBufferTimer();
    w32::BroadcastDeviceChange();
    QTest::qWait(2 * MixerModel::kBufferPollMs);
    QCOMPARE(Orvo::Midi::Instance(), nullptr);
    QCOMPARE(plugged.mixer.queriesSeen(0), 0u);
    QCOMPARE(sim.bus->sendsSeen(), 0u);

    auto panel = std::make_unique<OrvoControlPanel>();
    panel->show();
    SimulatedMixers::rescan();
    QVERIFY(QTest::qWaitFor([&] { return panel->currentMidiChannel() != 0; }, 8000));
    QVERIFY(QTest::qWaitFor([&] { return !panel->model()->isReading() && !panel->isBusy(); }, 8000));
    auto* page = panel->findChild<QStackedWidget*>("stackedWidgetDevices")->currentWidget();
    auto* panelSlider = page->findChild<QSlider*>("horizontalSliderBufferSize");
    auto* panelLabel = page->findChild<QLabel*>("labelBufferSize");
    auto* slider = program.findChild<BufferSlider*>("horizontalSliderBufferSize");
    auto* label = program.findChild<QLabel*>("labelBufferSize");
    QVERIFY(panelSlider && panelLabel);
    QVERIFY(QTest::qWaitFor([&] { return panelSlider->value() == 8 && slider->value() == 8; }, 8000));

    slider->setValue(20); // released at 20
    panel->model()->onSampleBufferTimer();
    QCOMPARE(panelSlider->value(), 20);
    QCOMPARE(panelLabel->text(), QString("20 ms"));

    panelSlider->setSliderDown(true);
    panelSlider->setSliderPosition(12);
    panelSlider->setSliderDown(false);
    program.model()->onSampleBufferTimer();
    QCOMPARE(slider->value(), 12);
    QCOMPARE(label->text(), QString("12 ms"));
    QCOMPARE(registryValue("Global"), 12);
    QCOMPARE(registryValue("0001000001A"), 12);
    panel.reset();
}

void BufferSizeWindowTest::runsOnceAndBesideTheControlPanel()
{
    QTemporaryDir tmp;
    const QString machine = registry->path();
    ProgramRun first(QStringLiteral(ORVO_BUFFER_SIZE), tmp.path(), machine);
    QVERIFY(QTest::qWaitFor([&] { return keyHeld(tmp.path(), kBufferSizeInstanceKey); }, 10000));
    ProgramRun second(QStringLiteral(ORVO_BUFFER_SIZE), tmp.path(), machine);
    QVERIFY(second.process.waitForFinished(10000));
    QCOMPARE(second.process.exitCode(), 255); // -1
    ProgramRun panel(QStringLiteral(ORVO_CONTROL_PANEL), tmp.path(), machine);
    QVERIFY(QTest::qWaitFor([&] { return keyHeld(tmp.path(), kControlPanelInstanceKey); }, 10000));
    // The default is written where nothing was, and both go on over more polls.
    QVERIFY(QTest::qWaitFor([&] { return registryValue("Global") == 8; }, 10000));
    QTest::qWait(2 * MixerModel::kBufferPollMs);
    QCOMPARE(first.process.state(), QProcess::Running);
    QCOMPARE(panel.process.state(), QProcess::Running);
}

int main(int argc, char** argv)
{
    if (argc > 1 && QByteArray(argv[1]) == "--density-child")
        return reportDensity(argc, argv);
    if (argc > 1 && QByteArray(argv[1]) == "--program-child")
        return runProgramAndLook(argc, argv);
    QApplication app(argc, argv);
    initGuiResources();
    BufferSizeWindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "buffer_size_window_test.moc"

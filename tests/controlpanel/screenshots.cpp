// Screenshots of the control panel as a user sees it: the main window with
// no mixer and with one mixer of each model (both tabs of its page), and the
// About dialog. Written to $ORVO_SCREENSHOT_DIR (else <build>/screenshots),
// one file per window and density; scripts/panel-screenshots runs this under
// Xvfb at 1x and 2x.

#include "sim_mixers.h"  // first: see there

#include "controlpanel/dialog_font.h"
#include "controlpanel/forms/about_dialog.h"
#include "controlpanel/orvo_control_panel.h"
#include "resources/gui_resources.h"

#include <QComboBox>
#include <QDir>
#include <QScreen>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

using namespace orvo::testing;

class Screenshots : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void mainWindow_data();
    void mainWindow();
    void aboutDialog();

private:
    QString save(QWidget& widget, const QString& name);
    QTemporaryDir registry;
    QString folder;
};

void Screenshots::initTestCase() {
    initGuiResources();
    qputenv("ORVO_REGISTRY_ROOT", registry.path().toUtf8());
    useDialogFont();  // the programs' own
    folder = qEnvironmentVariable("ORVO_SCREENSHOT_DIR", QStringLiteral(QT_TESTCASE_BUILDDIR "/screenshots"));
    QVERIFY(QDir().mkpath(folder));
}

QString Screenshots::save(QWidget& widget, const QString& name) {
    const QPixmap shot = widget.grab();
    const int ratio = qRound(widget.devicePixelRatioF());
    const QString path = QString("%1/%2@%3x.png").arg(folder, name).arg(ratio);
    return shot.save(path) ? path : QString();
}

void Screenshots::mainWindow_data() {
    QTest::addColumn<uint32_t>("usbId");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("tab");  // of the mixer's page
    QTest::newRow("no mixer") << 0u << "main-no-mixer" << 0;
    QTest::newRow("first model") << kFirstModel << "main-qx1600" << 0;
    QTest::newRow("first model, decks") << kFirstModel << "main-qx1600-decks" << 1;
    QTest::newRow("second model") << kSecondModel << "main-zr90alpha" << 0;
    QTest::newRow("second model, decks") << kSecondModel << "main-zr90alpha-decks" << 1;
}

void Screenshots::mainWindow() {
    QFETCH(uint32_t, usbId);
    QFETCH(QString, name);
    QFETCH(int, tab);
    SimulatedMixers sim;
    OrvoControlPanel window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    if (usbId) {
        PluggedMixer& mixer = sim.plug(mixerConfig(usbId, 1234), false);
        // Each deck input source once.
        if (usbId == kFirstModel)
            for (auto [key, value] : {std::pair{'V', 64}, {'W', 127}, {'X', 0}, {'Y', 64}})
                mixer.mixer.setParameter(uint8_t(key), uint8_t(value));
        SimulatedMixers::rescan();
        QVERIFY(QTest::qWaitFor([&] { return window.currentDeviceCountState() == OrvoControlPanel::OneDevice; }, 8000));
        // Idle, as a user sees it once the read is done (a first read that
        // stays unanswered is started again by the 3 s busy timer).
        (void)QTest::qWaitFor([&] { return !window.isBusy() && !window.model()->isReading(); }, 8000);
        // The buffer size arrives with the model's next poll.
        QTest::qWait(400);
        auto* pages = window.findChild<QStackedWidget*>("stackedWidgetDevices");
        auto* page = qobject_cast<QTabWidget*>(pages->currentWidget());
        QVERIFY(page);
        page->setCurrentIndex(tab);
    } else {
        QTest::qWait(200);
    }
    QApplication::processEvents();
    QVERIFY(!save(window, name).isEmpty());
}

void Screenshots::aboutDialog() {
    AboutDialog dialog(AboutDialog::ControlPanel, nullptr);
    dialog.setWindowFlags(Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    dialog.setWindowTitle("About Orvo Control Panel");
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QVERIFY(!save(dialog, "about").isEmpty());
}

QTEST_MAIN(Screenshots)
#include "screenshots.moc"

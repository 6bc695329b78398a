// Screenshots of the control panel as a user sees it: the main window with
// no mixer and with one mixer of each model, and the About dialog. Written
// to $ORVO_SCREENSHOT_DIR (else <build>/screenshots), one file per window
// and density; scripts/panel-screenshots runs this under Xvfb at 1x and 2x.

#include "sim_mixers.h"  // first: see there

#include "controlpanel/forms/about_dialog.h"
#include "controlpanel/orvo_control_panel.h"
#include "resources/gui_resources.h"

#include <QComboBox>
#include <QDir>
#include <QScreen>
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
    QTest::newRow("no mixer") << 0u << "main-no-mixer";
    QTest::newRow("first model") << kFirstModel << "main-qx1600";
    QTest::newRow("second model") << kSecondModel << "main-zr90alpha";
}

void Screenshots::mainWindow() {
    QFETCH(uint32_t, usbId);
    QFETCH(QString, name);
    SimulatedMixers sim;
    OrvoControlPanel window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    if (usbId) {
        sim.plug(mixerConfig(usbId, 1234));
        QVERIFY(QTest::qWaitFor([&] { return window.currentDeviceCountState() == OrvoControlPanel::OneDevice; }, 8000));
        // Idle, as a user sees it once the read is done (a first read that
        // stays unanswered is started again by the 3 s busy timer).
        (void)QTest::qWaitFor([&] { return !window.isBusy() && !window.model()->isReading(); }, 8000);
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

// Screen density: each row starts this program again on a screen of the
// row's device-pixel ratio, which a running application cannot change.

#include "controlpanel/widgets/deck_input_source.h"
#include "controlpanel/widgets/led.h"
#include "controlpanel/widgets/utils.h"
#include "resources/gui_resources.h"

#include <QLabel>
#include <QProcess>
#include <QScreen>
#include <QTest>

#include <cstdio>

namespace {

bool showsImage(QWidget& widget, const char* label, const QString& path) {
    const QImage shown = widget.findChild<QLabel*>(label)->pixmap(Qt::ReturnByValue).toImage().convertToFormat(QImage::Format_ARGB32);
    return shown == QImage(path).convertToFormat(QImage::Format_ARGB32);
}

// What the child reports: the density test's answer and which file each
// widget took, as "hidpi led src".
int reportDensity(int argc, char** argv) {
    QApplication app(argc, argv);
    initGuiResources();
    LED led;
    DeckInputSource source;
    const char* ledFile = showsImage(led, "labelLEDImage", ":/images/led_off@2x.png") ? "@2x"
                          : showsImage(led, "labelLEDImage", ":/images/led_off.png") ? "plain"
                                                                                      : "other";
    const char* srcFile = showsImage(source, "labelInputImage", ":/images/src_phono@2x.png") ? "@2x"
                          : showsImage(source, "labelInputImage", ":/images/src_phono.png") ? "plain"
                                                                                             : "other";
    std::printf("%.2f %d %s %s\n", QGuiApplication::primaryScreen()->devicePixelRatio(), Utils::isHighDpiScreen(),
                ledFile, srcFile);
    return 0;
}

}  // namespace

class DensityTest : public QObject {
    Q_OBJECT
private slots:
    void picksImagesByRatio_data();
    void picksImagesByRatio();
};

void DensityTest::picksImagesByRatio_data() {
    QTest::addColumn<QString>("ratio");
    QTest::addColumn<QString>("report");
    QTest::newRow("1") << "1" << "1.00 0 plain plain";
    QTest::newRow("1.5") << "1.5" << "1.50 0 plain plain";
    QTest::newRow("2") << "2" << "2.00 1 @2x @2x";
}

void DensityTest::picksImagesByRatio() {
    QFETCH(QString, ratio);
    QFETCH(QString, report);
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("QT_SCALE_FACTOR", ratio);
    env.insert("ORVO_DENSITY_CHILD", "1");
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), QStringList{});
    QVERIFY(child.waitForFinished(30000));
    QCOMPARE(child.exitCode(), 0);
    QCOMPARE(QString::fromUtf8(child.readAllStandardOutput()).trimmed(), report);
}

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsSet("ORVO_DENSITY_CHILD"))
        return reportDensity(argc, argv);
    QCoreApplication app(argc, argv);
    DensityTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "density_test.moc"

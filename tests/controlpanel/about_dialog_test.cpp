#include "sim_mixers.h"  // first: see there

#include "controlpanel/forms/about_dialog.h"
#include "controlpanel/orvo_control_panel.h"
#include "resources/gui_resources.h"

#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

using namespace orvo::testing;

class AboutDialogTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void versionTexts_data();
    void versionTexts();
    void licenceDocument();
    void okAndCloseButtonClose_data();
    void okAndCloseButtonClose();
    void openedFromTheLogo();

private:
    QTemporaryDir registry;
};

void AboutDialogTest::initTestCase() {
    initGuiResources();
    qputenv("ORVO_REGISTRY_ROOT", registry.path().toUtf8());
}

void AboutDialogTest::versionTexts_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("program");
    QTest::newRow("control panel") << 0 << "Orvo Control Panel - Version: 1.6.0.28";
    QTest::newRow("buffer size") << 1 << "Orvo Buffer Size - Version: 1.6.0.28";
    QTest::newRow("other kind") << 2 << "Orvo Control Panel - Version";
}

void AboutDialogTest::versionTexts() {
    QFETCH(int, kind);
    QFETCH(QString, program);
    AboutDialog dialog(kind, nullptr);
    auto text = [&](const char* name) { return dialog.findChild<QLabel*>(name)->text(); };
    QCOMPARE(text("labelPanelVersion"), program);
    QCOMPARE(text("labelASIOVersion"), QString("ASIO Driver - Version: 1.0.0.20"));
    QCOMPARE(text("labelQX1600Version"), QString("QX1600 - Version: 1.0.5.094"));
    QCOMPARE(text("labelZR90ALPHAVersion"), QString("ZR90Alpha - Version: 1.0.5.133"));
    QVERIFY(!dialog.findChild<QLabel*>("labelASIOVersion")->isHidden());
    QCOMPARE(dialog.size(), QSize(519, 403));
    QVERIFY(dialog.isModal());
    auto* splash = dialog.findChild<QLabel*>("labelSplash");
    QCOMPARE(splash->size(), QSize(96, 96));
    QCOMPARE(splash->pixmap(Qt::ReturnByValue).toImage().convertToFormat(QImage::Format_ARGB32),
             QImage(":/images/app_about.png").convertToFormat(QImage::Format_ARGB32));
}

void AboutDialogTest::licenceDocument() {
    AboutDialog dialog(0, nullptr);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    auto* licences = dialog.findChild<QTextEdit*>("textEditLicenses");
    QVERIFY(licences->isReadOnly());
    QVERIFY(licences->textInteractionFlags() & Qt::TextSelectableByMouse);
    const QString text = licences->toPlainText();
    QVERIFY(text.startsWith("Qt Class Libraries are covered under the GLPL:"));
    QVERIFY(text.contains("GNU LESSER GENERAL PUBLIC LICENSE"));
    QVERIFY(text.contains("Version 3, 29 June 2007"));
    QVERIFY(text.contains("6. Revised Versions of the GNU Lesser General Public License."));
    QVERIFY(text.contains("Party Notes and Licenses:"));
    for (const char* library : {"JPEG", "MNG", "TIFF", "PNG", "WebP", "zlib"})
        QVERIFY2(text.contains(library), library);
    QVERIFY(licences->verticalScrollBar()->maximum() > 0);
    QTest::keyClick(licences, Qt::Key_A);
    QVERIFY(licences->toPlainText() == text);  // typing changes nothing
    licences->verticalScrollBar()->setValue(licences->verticalScrollBar()->maximum());
    QCOMPARE(licences->verticalScrollBar()->value(), licences->verticalScrollBar()->maximum());
}

void AboutDialogTest::okAndCloseButtonClose_data() {
    QTest::addColumn<bool>("ok");
    QTest::newRow("OK") << true;
    QTest::newRow("title bar close") << false;
}

void AboutDialogTest::okAndCloseButtonClose() {
    QFETCH(bool, ok);
    AboutDialog dialog(0, nullptr);
    dialog.setWindowFlags(Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    bool closedBy = false;
    QTimer::singleShot(50, &dialog, [&] {
        if (ok) {
            QTest::mouseClick(dialog.findChild<QPushButton*>("pushButton"), Qt::LeftButton);
        } else {
            QCloseEvent close;  // what the title bar's close button sends
            QApplication::sendEvent(&dialog, &close);
            if (close.isAccepted())
                dialog.hide();
        }
        closedBy = true;
    });
    dialog.exec();
    QVERIFY(closedBy);
    QVERIFY(!dialog.isVisible());
}

void AboutDialogTest::openedFromTheLogo() {
    SimulatedMixers sim;
    OrvoControlPanel window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QString title;
    Qt::WindowFlags flags;
    QString program;
    QTimer::singleShot(100, &window, [&] {
        auto* dialog = qobject_cast<AboutDialog*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        title = dialog->windowTitle();
        flags = dialog->windowFlags();
        program = dialog->findChild<QLabel*>("labelPanelVersion")->text();
        QTest::mouseClick(dialog->findChild<QPushButton*>("pushButton"), Qt::LeftButton);
    });
    QTest::mouseClick(window.findChild<QPushButton*>("pushButtonAbout"), Qt::LeftButton);
    QCOMPARE(title, QString("About Orvo Control Panel"));
    // Title and close button; Qt adds the system menu that carries the close.
    QVERIFY((flags & Qt::WindowTitleHint) && (flags & Qt::WindowCloseButtonHint));
    QVERIFY(!(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint | Qt::WindowContextHelpButtonHint)));
    QCOMPARE(program, QString("Orvo Control Panel - Version: 1.6.0.28"));
    QVERIFY(window.findChildren<AboutDialog*>().isEmpty());
}

QTEST_MAIN(AboutDialogTest)
#include "about_dialog_test.moc"

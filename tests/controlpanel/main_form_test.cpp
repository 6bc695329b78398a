// The main window's form right after setupUi, before the window adjusts it.

#include "controlpanel/forms/no_device_panel.h"
#include "controlpanel/forms/qx1600_panel.h"
#include "controlpanel/forms/zr90alpha_panel.h"
#include "resources/gui_resources.h"
#include "ui_no_device_panel.h"
#include "ui_orvo_control_panel.h"

#include <QTest>

class MainFormTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        initGuiResources();
        // The desktop's font (the offscreen platform's own is 12 point), so
        // that widths are those a user sees.
        QApplication::setFont(QFont("Sans Serif", 9));
    }
    void init();
    void cleanup();

    void widgetGeometryAndText_data();
    void widgetGeometryAndText();
    void threePagesFromTheStart();
    void deviceRowAndFirmwareRow();
    void noDevicePage();

private:
    QMainWindow* window = nullptr;
    Ui::OrvoControlPanel* ui = nullptr;
};

void MainFormTest::init() {
    window = new QMainWindow;
    ui = new Ui::OrvoControlPanel;
    ui->setupUi(window);
}

void MainFormTest::cleanup() {
    delete ui;
    delete window;
}

void MainFormTest::widgetGeometryAndText_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("text");
    const QRect layoutPlaced;  // placed by its layout, not by the form
    QTest::newRow("stack") << "stackedWidgetDevices" << QRect(10, 40, 648, 255) << "";
    QTest::newRow("settings") << "groupBoxPreferences" << QRect(10, 300, 648, 52) << "Settings";
    QTest::newRow("prefs row") << "layoutWidgetPrefs" << QRect(5, 20, 638, 32) << "";
    QTest::newRow("import") << "pushButtonImport" << layoutPlaced << "Import";
    QTest::newRow("file") << "labelImportedStatus" << layoutPlaced << "File:";
    QTest::newRow("save") << "pushButtonSave" << layoutPlaced << "Save";
    QTest::newRow("export") << "pushButtonExport" << layoutPlaced << "Export";
    QTest::newRow("device row") << "layoutWidgetSettings" << QRect(9, 10, 628, 32) << "";
    QTest::newRow("device state") << "labelDeviceState" << layoutPlaced << "Searching for Devices:";
    QTest::newRow("device name") << "labelDeviceName" << layoutPlaced << "name";
    QTest::newRow("firmware frame") << "frameFWUpdate" << QRect(10, 360, 648, 36) << "";
    QTest::newRow("firmware row") << "layoutWidget" << QRect(0, 0, 759, 36) << "";
    QTest::newRow("device type") << "labelFWDeviceType" << layoutPlaced << "Device";
    QTest::newRow("prompt") << "labelFirmwarePrompt" << layoutPlaced << "Firmware Version:";
    QTest::newRow("version") << "labelFWDeviceVersion" << layoutPlaced << "1.0.0";
    QTest::newRow("update") << "pushButtonUpdateFirmware" << layoutPlaced << "Update Firmware";
    QTest::newRow("status") << "labelFirmwareStatus" << layoutPlaced << "Rebooting";
    QTest::newRow("logo") << "pushButtonAbout" << QRect(570, 10, 84, 31) << "";
}

void MainFormTest::widgetGeometryAndText() {
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);
    // The no-device page has a "layoutWidget" of its own.
    QWidget* w = name == "layoutWidget" ? ui->layoutWidget : window->findChild<QWidget*>(name);
    QVERIFY2(w, qPrintable(name));
    if (geometry.isValid())
        QCOMPARE(w->geometry(), geometry);
    QVERIFY(!w->isHidden());
    if (auto* label = qobject_cast<QLabel*>(w))
        QCOMPARE(label->text(), text);
    else if (auto* button = qobject_cast<QPushButton*>(w))
        QCOMPARE(button->text(), text);
    else if (auto* group = qobject_cast<QGroupBox*>(w))
        QCOMPARE(group->title(), text);
}

void MainFormTest::threePagesFromTheStart() {
    QCOMPARE(window->size(), QSize(668, 402));
    QCOMPARE(window->windowTitle(), QString("Orvo Control Panel"));
    QVERIFY(!window->windowIcon().isNull());
    QCOMPARE(ui->stackedWidgetDevices->count(), 3);
    QCOMPARE(ui->stackedWidgetDevices->currentIndex(), 0);
    QCOMPARE(ui->stackedWidgetDevices->widget(0), static_cast<QWidget*>(ui->pageNoDevice));
    QCOMPARE(ui->stackedWidgetDevices->widget(1), static_cast<QWidget*>(ui->pageQX1600));
    QCOMPARE(ui->stackedWidgetDevices->widget(2), static_cast<QWidget*>(ui->pageZR90Alpha));
    QCOMPARE(ui->pageNoDevice->objectName(), QString("pageNoDevice"));
    QCOMPARE(ui->pageQX1600->objectName(), QString("pageQX1600"));
    QCOMPARE(ui->pageZR90Alpha->objectName(), QString("pageZR90Alpha"));
    QCOMPARE(ui->pageQX1600->count(), 2);
    QCOMPARE(ui->pageZR90Alpha->count(), 2);
    QPointer<QWidget> first = ui->pageQX1600;
    ui->stackedWidgetDevices->setCurrentIndex(2);
    ui->stackedWidgetDevices->setCurrentIndex(1);
    QCOMPARE(ui->stackedWidgetDevices->currentWidget(), first.data());
    QCOMPARE(ui->stackedWidgetDevices->count(), 3);
    QVERIFY(ui->pushButtonAbout->styleSheet().contains("border-image: url(:/images/logo_orvo.png);"));
    QCOMPARE(ui->progressBarSearching->maximum(), 0);
    QCOMPARE(ui->progressBarFirmwareUpdate->value(), 24);
    QCOMPARE(ui->horizontalLayout->sizeConstraint(), QLayout::SetFixedSize);
}

void MainFormTest::deviceRowAndFirmwareRow() {
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    // The device row takes the size of its content (fixed-size constraint),
    // so its design rectangle's overlap with the logo button never shows,
    // even with the combo box holding a long two-port device text.
    ui->comboBoxDevices->addItem("QX1600  [0000001234]  Port: A");
    ui->comboBoxDevices->addItem("ZR90Alpha  [0000005678]  Port: B");
    ui->labelDeviceName->hide();
    ui->progressBarSearching->hide();
    ui->labelDeviceState->setText("Detected Devices:");
    QTest::qWait(1);
    QApplication::processEvents();
    QVERIFY2(ui->layoutWidgetSettings->geometry().right() < ui->pushButtonAbout->x(),
             qPrintable(QString::number(ui->layoutWidgetSettings->geometry().right())));
    // The firmware row's content ends inside the 648-wide frame that clips it.
    int right = 0;
    for (QWidget* w : ui->layoutWidget->findChildren<QWidget*>())
        if (!w->isHidden())
            right = std::max(right, w->geometry().right());
    QVERIFY2(right < ui->frameFWUpdate->width(), qPrintable(QString::number(right)));
}

void MainFormTest::noDevicePage() {
    NoDevicePanel panel;
    auto* title = panel.findChild<QLabel*>("labelNoDeviceTitle");
    auto* detail = panel.findChild<QLabel*>("labelNoDeviceDetail");
    auto* note = panel.findChild<QLabel*>("labelNoDalvexDJ");
    QVERIFY(title && detail && note);
    QCOMPARE(panel.objectName(), QString("NoDevicePanel"));
    QCOMPARE(panel.size(), QSize(648, 245));
    QCOMPARE(title->text(), QString("No Orvo Devices Found"));
    QVERIFY(title->font().bold());
    QCOMPARE(title->font().pointSize(), 12);
    QVERIFY(detail->wordWrap() && note->wordWrap());
    QCOMPARE(note->alignment(), Qt::AlignCenter);
    QCOMPARE(note->styleSheet(), QString("QLabel { color : red; }"));
    QCOMPARE(panel.findChild<QWidget*>("layoutWidget")->geometry(), QRect(110, 40, 428, 141));
    QVERIFY(!note->isHidden());
}

QTEST_MAIN(MainFormTest)
#include "main_form_test.moc"

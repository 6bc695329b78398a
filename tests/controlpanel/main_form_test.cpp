// The main window's form right after setupUi, before the window adjusts it.

#include "controlpanel/dialog_font.h"
#include "controlpanel/forms/no_device_panel.h"
#include "controlpanel/forms/qx1600_panel.h"
#include "controlpanel/forms/zr90alpha_panel.h"
#include "controlpanel/widgets/orvo_slider.h"
#include "resources/gui_resources.h"
#include "ui_no_device_panel.h"
#include "ui_orvo_control_panel.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QRadioButton>
#include <QSlider>
#include <QTest>

class MainFormTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        initGuiResources();
        // The programs' own font (the offscreen platform's is 12 point), so
        // that widths are those a user sees.
        useDialogFont();
    }
    void init();
    void cleanup();

    void widgetGeometryAndText_data();
    void widgetGeometryAndText();
    void threePagesFromTheStart();
    void deviceRowAndFirmwareRow();
    void noDevicePage();
    void modelPanelForms_data();
    void modelPanelForms();
    void modelPanelGroupsAndRanges();

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

void MainFormTest::modelPanelForms_data() {
    QTest::addColumn<int>("page");  // of the stack: 1 first model, 2 second
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("text");
    const QRect placed;
    auto row = [](int page, const char* name, QRect geometry, const char* text) {
        QTest::addRow("%d %s", page, name) << page << QString(name) << geometry << QString(text);
    };
    row(1, "layoutWidget2", QRect(5, 10, 382, 232), "");
    row(1, "gridLayoutWidget_3", QRect(431, 10, 201, 86), "");
    row(1, "frameBufferSize", QRect(405, 138, 226, 91), "");
    row(1, "layoutWidget1", QRect(25, 0, 200, 86), "");
    row(1, "layoutWidget3", QRect(3, 5, 631, 221), "");
    row(1, "gridLayoutWidget_2", QRect(9, 21, 205, 208), "");
    row(1, "gridLayoutWidget_5", QRect(10, 20, 205, 204), "");
    row(1, "gridLayoutWidget_6", QRect(5, 20, 205, 204), "");
    row(1, "gridLayoutWidget_7", QRect(10, 20, 205, 204), "");
    row(1, "labelMainOut", placed, "MainOut:");
    row(1, "labelHeadTone", placed, "Headphone Tone:");
    row(1, "labelSubToneCross", placed, "Sub Tone Crossover:");
    row(1, "labelMicCleanFeed", placed, "Mic Clean Feed:");
    row(1, "label_10", placed, " Port Midi Enable:");
    row(1, "labelMidiChannel", placed, "Port Midi Channel:");
    row(1, "radioButtonSubX300", placed, "300 / 3.0 kHz");
    row(1, "label_3", placed, "USB Port Status:");
    row(1, "label_9", placed, "Buffer Size:  ");
    row(1, "labelBufferSize", placed, "1 ms");
    row(1, "groupBoxDeck3", placed, "Deck III");
    row(1, "labelD2Sensitivity", placed, "Sensitivity (mV):");
    row(1, "labelD4USBRecord", placed, "USB 7-8 Record:");
    row(1, "radioButtonD3PhonoCD", placed, "Phono / CD 3");
    row(1, "radioButtonD2Post", placed, "Deck 2 Post");
    row(1, "labelD1ToneCross", placed, "Tone Crossover:");
    row(2, "layoutWidget1", QRect(5, 10, 336, 168), "");
    row(2, "frameBufferSize", QRect(405, 138, 226, 91), "");
    row(2, "layoutWidget_2", QRect(25, 0, 200, 86), "");
    row(2, "gridLayoutWidget_3", QRect(431, 10, 201, 86), "");
    row(2, "layoutWidget2", QRect(5, 5, 631, 221), "");
    row(2, "gridLayoutWidget", QRect(10, 24, 324, 200), "");
    row(2, "gridLayoutWidget_2", QRect(10, 24, 324, 200), "");
    row(2, "labelSubToneCross", placed, "USB AUX \nFilter Resonance:");
    row(2, "labelEQKillSwitch", placed, "EQ Kill Switches:");
    row(2, "radioButtonEQKillMomentary", placed, "Momentary");
    row(2, "label_14", placed, "Low");
    row(2, "label_13", placed, "Treble");
    row(2, "labelBufferSize", placed, "1 ms");
    row(2, "groupBoxDeck2", placed, "Deck 2");
    row(2, "labelD1Sensitivity", placed, "Sensitivity (mV):");
    row(2, "labelD2Sensitivity", placed, "Sensitivity (mV):");
    row(2, "label_10", placed, "Filter Resonance:");
    row(2, "labelD1USBRecord_2", placed, "USB 3-4 Record:");
    row(2, "radioButtonD2Post", placed, "AUX 2");
    row(2, "checkBoxD1USBInsert", placed, "Enable USB Insert");
    row(2, "labelD1ToneCross_2", placed, "Tone Crossover:");
}

void MainFormTest::modelPanelForms() {
    QFETCH(int, page);
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);
    auto* panel = qobject_cast<QTabWidget*>(ui->stackedWidgetDevices->widget(page));
    QVERIFY(panel);
    QWidget* w = panel->findChild<QWidget*>(name);
    QVERIFY2(w, qPrintable(name));
    if (geometry.isValid())
        QCOMPARE(w->geometry(), geometry);
    if (auto* label = qobject_cast<QLabel*>(w))
        QCOMPARE(label->text(), text);
    else if (auto* button = qobject_cast<QAbstractButton*>(w))
        QCOMPARE(button->text(), text);
    else if (auto* group = qobject_cast<QGroupBox*>(w))
        QCOMPARE(group->title(), text);
}

void MainFormTest::modelPanelGroupsAndRanges() {
    const struct {
        QTabWidget* panel;
        QStringList tabs;
        QStringList toneSliders;
        // first button, second button, their group
        QList<QStringList> pairs;
    } panels[] = {
        {ui->pageQX1600,
         {"General", "Deck Inputs I-IV"},
         {"horizontalSliderHeadphoneTone"},
         {{"radioButtonMainStereo", "radioButtonMainMono", "buttonGroupMainOut"},
          {"radioButtonSubX300", "radioButtonSubX150", "buttonGroupSubTone"},
          {"radioButtonMicCleanFeedOn", "radioButtonMicCleanFeedOff", "buttonGroupMicCleanFeed"},
          {"radioButtonMidiEnableOn", "radioButtonMidiEnableOff", "buttonGroupMidiEnable"},
          {"radioButtonD1PhonoCD", "radioButtonD1Post", "buttonGroupD1USBRec"},
          {"radioButtonD2Cross300", "radioButtonD2Cross150", "buttonGroupD6Tone"},
          {"radioButtonD4Cross300", "radioButtonD4Cross150", "buttonGroupD4Tone"}}},
        {ui->pageZR90Alpha,
         {"General", "Deck Inputs 1-2"},
         {"horizontalSliderHeadphoneTone", "horizontalSliderUSBFilter", "horizontalSliderD1FilterRes",
          "horizontalSliderD2FilterRes"},
         {{"radioButtonMainStereo", "radioButtonMainMono", "buttonGroup"},
          {"radioButtonEQKillMomentary", "radioButtonEQKillLatching", "buttonGroup_6"},
          {"radioButtonD1PhonoCD", "radioButtonD1Post", "buttonGroup_2"},
          {"radioButtonD1Cross300", "radioButtonD1Cross150", "buttonGroup_3"},
          {"radioButtonD2PhonoCD", "radioButtonD2Post", "buttonGroup_4"},
          {"radioButtonD2Cross300", "radioButtonD2Cross150", "buttonGroup_5"}}},
    };
    for (const auto& p : panels) {
        QCOMPARE(p.panel->size(), QSize(644, 255));
        QCOMPARE(p.panel->currentIndex(), 0);
        QCOMPARE(p.panel->count(), p.tabs.size());
        for (int i = 0; i < p.tabs.size(); ++i)
            QCOMPARE(p.panel->tabText(i), p.tabs[i]);
        for (const QStringList& pair : p.pairs) {
            auto* first = p.panel->findChild<QRadioButton*>(pair[0]);
            auto* second = p.panel->findChild<QRadioButton*>(pair[1]);
            QVERIFY2(first && second, qPrintable(pair[0]));
            QVERIFY2(first->group() && first->group() == second->group(), qPrintable(pair[0]));
            QCOMPARE(first->group()->objectName(), pair[2]);
            QCOMPARE(first->group()->parent(), p.panel);
            QVERIFY(first->group()->exclusive());
            QVERIFY(!first->isChecked() && !second->isChecked());
        }
        for (const QString& name : p.toneSliders) {
            auto* slider = p.panel->findChild<QSlider*>(name);
            QVERIFY2(slider && slider->inherits("OrvoSlider"), qPrintable(name));
            QCOMPARE(slider->minimum(), 0);
            QCOMPARE(slider->maximum(), 127);
            QCOMPARE(slider->value(), 63);
            QCOMPARE(slider->tickInterval(), 9);
            QVERIFY(slider->hasTracking());
        }
        auto* buffer = p.panel->findChild<QSlider*>("horizontalSliderBufferSize");
        QVERIFY(buffer && buffer->inherits("BufferSlider"));
        QCOMPARE(buffer->minimum(), 1);
        QCOMPARE(buffer->maximum(), 50);
        QCOMPARE(buffer->pageStep(), 5);
        QCOMPARE(buffer->value(), 25);
        QCOMPARE(buffer->tickInterval(), 4);
        QVERIFY(!buffer->hasTracking());
        for (const char* led : {"ledAActive", "ledBActive", "ledALocal", "ledBLocal"}) {
            auto* w = p.panel->findChild<QWidget*>(led);
            QVERIFY2(w && w->inherits("LED"), led);
            QCOMPARE(w->minimumSize(), QSize(18, 18));
            QCOMPARE(w->maximumSize(), QSize(18, 18));
        }
        for (auto* combo : p.panel->findChildren<QComboBox*>()) {
            if (combo->objectName() == "comboBoxMidiChannel") {
                QCOMPARE(combo->count(), 16);
                QCOMPARE(combo->itemText(15), QString("16"));
            } else {
                QCOMPARE(combo->count(), 16);
                QCOMPARE(combo->itemText(0), QString("2.5"));
                QCOMPARE(combo->itemText(15), QString("10"));
            }
        }
    }
    // A double-click brings the headphone tone back to its centre.
    auto* tone = ui->pageQX1600->findChild<OrvoSlider*>("horizontalSliderHeadphoneTone");
    QCOMPARE(tone->defaultValue(), 63);
    QVERIFY(tone->isDefaultMarkVisible());
    // The label no narrower than its minimum.
    auto* label = ui->pageZR90Alpha->findChild<QLabel*>("labelSubToneCross");
    QVERIFY(label->maximumWidth() >= label->minimumWidth());
}

QTEST_MAIN(MainFormTest)
#include "main_form_test.moc"

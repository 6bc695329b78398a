#include "sim_mixers.h"  // first: see there

#include "controlpanel/orvo_control_panel.h"
#include "controlpanel/settings_presenter.h"
#include "resources/gui_resources.h"

#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace orvo::testing;

namespace {

// Answers the dialogs from a list and records what they were asked.
struct ScriptedPresenter : SettingsPresenter {
    QStringList answers;
    QStringList folders;
    QStringList warnings;
    QString chooseFile(QWidget*, int, const QString&, const QString& folder, const QString&) override {
        folders << folder;
        return answers.isEmpty() ? QString() : answers.takeFirst();
    }
    void showWarning(const QString& text, const QString& informative) override { warnings << text + "|" + informative; }
};

QMap<int, int> readSettingsFile(const QString& path, QString* model = nullptr, QString* version = nullptr) {
    QSettings file(path, QSettings::IniFormat);
    if (model)
        *model = file.value("model").toString();
    if (version)
        *version = file.value("version").toString();
    QMap<int, int> map;
    file.beginGroup("Settings");
    for (const QString& key : file.childKeys())
        map[key.toInt()] = file.value(key).toInt();
    return map;
}

void writeFile(const QString& path, const QString& text) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text.toUtf8());
}

}  // namespace

class SettingsFilesTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    // First: the preferences hold no folder yet.
    void lastFolderIsRemembered();
    void exportImportSaveRoundTrip();
    void importRefusals_data();
    void importRefusals();
    void cancelledImportIsSilent();
    void outOfRangeChannelReportExportsAFileThatImports_data();
    void outOfRangeChannelReportExportsAFileThatImports();
    void unwritablePlacesFailQuietly();

private:
    QString label() const { return window->findChild<QLabel*>("labelImportedStatus")->text(); }
    QPushButton* button(const char* name) const { return window->findChild<QPushButton*>(name); }
    void click(const char* name) { QMetaObject::invokeMethod(window, QByteArray("on_") + name + "_clicked"); }

    QTemporaryDir home;
    std::unique_ptr<SimulatedMixers> sim;
    PluggedMixer* mixer = nullptr;
    OrvoControlPanel* window = nullptr;
    ScriptedPresenter presenter;
};

void SettingsFilesTest::initTestCase() {
    initGuiResources();
    qputenv("HOME", home.path().toUtf8());  // the documents folder is the test's
    qputenv("ORVO_REGISTRY_ROOT", QDir(home.path()).filePath("registry").toUtf8());
}

void SettingsFilesTest::init() {
    // A failed init is not followed by cleanup: its window goes before its mixers.
    delete window;
    window = nullptr;
    sim.reset();
    presenter = ScriptedPresenter();
    sim = std::make_unique<SimulatedMixers>();
    mixer = &sim->plug(mixerConfig(kFirstModel, 1), false);
    window = new OrvoControlPanel;
    window->setSettingsPresenter(&presenter);
    window->show();
    SimulatedMixers::rescan();
    QVERIFY(QTest::qWaitFor([&] { return window->currentMidiChannel() == 1; }, 8000));
    QTRY_VERIFY(!window->model()->isReading());
}

void SettingsFilesTest::cleanup() {
    delete window;
    window = nullptr;
    sim.reset();
}

void SettingsFilesTest::exportImportSaveRoundTrip() {
    const QString path = QDir(home.path()).filePath("first.oms");
    const QMap<int, int> map = window->parameters();
    QVERIFY(map.contains(OrvoControlPanel::MidiChannelParameterKey));
    presenter.answers << path;
    click("pushButtonExport");
    QString model, version;
    QCOMPARE(readSettingsFile(path, &model, &version), map);
    QCOMPARE(model, QString("2"));
    QCOMPARE(version, QString("1.0.5"));
    QVERIFY(label().isEmpty());

    presenter.answers << path;
    mixer->mixer.clearReceived();
    click("pushButtonImport");
    QVERIFY(presenter.warnings.isEmpty());
    QCOMPARE(window->parameters(), map);
    QCOMPARE(label(), QString("Settings File: first.oms"));
    QVERIFY(!button("pushButtonSave")->isVisible());
    QTRY_COMPARE(mixer->mixer.receivedControlChanges().size(), size_t(map.size() - 1));

    window->setParameter('C', 7);
    QCOMPARE(label(), QString("Settings File: first.oms  [Modified]"));
    QVERIFY(button("pushButtonSave")->isVisible());
    click("pushButtonSave");
    QCOMPARE(label(), QString("Settings File: first.oms"));
    QVERIFY(!button("pushButtonSave")->isVisible());
    QCOMPARE(readSettingsFile(path).value('C'), 7);
    QCOMPARE(readSettingsFile(path), window->parameters());

    // An export elsewhere does not change where Save writes.
    presenter.answers << QDir(home.path()).filePath("other.oms");
    click("pushButtonExport");
    window->setParameter('D', 9);
    click("pushButtonSave");
    QCOMPARE(readSettingsFile(path).value('D'), 9);
}

void SettingsFilesTest::importRefusals_data() {
    QTest::addColumn<QString>("content");
    QTest::addColumn<QString>("warning");
    const QString other = "Settings import failed|The selected settings file was from a different type of mixer.";
    const QString unreadable = "Settings import failed|An error occured when opening the selected settings file. "
                               "Try re-opening the file or select a different settings file for import.";
    const QString invalid = "Settings import failed|The selected settings file holds a setting this mixer does not "
                            "have or a value it cannot take (%1). Nothing was sent to the mixer.";
    QTest::newRow("other model") << "model=3\nversion=1.0.5\n[Settings]\n1=2\n" << other;
    QTest::newRow("empty file") << "" << unreadable;
    QTest::newRow("no version") << "model=2\n[Settings]\n66=2\n" << unreadable;
    QTest::newRow("empty model") << "model=\nversion=1.0.5\n" << unreadable;
    QTest::newRow("key not a number") << "model=2\nversion=1.0.5\n[Settings]\nabc=2\n" << invalid.arg("abc = 2");
    QTest::newRow("key of no setting") << "model=2\nversion=1.0.5\n[Settings]\n200=2\n" << invalid.arg("200 = 2");
    QTest::newRow("value above 127") << "model=2\nversion=1.0.5\n[Settings]\n66=128\n" << invalid.arg("66 = 128");
    QTest::newRow("value not a number") << "model=2\nversion=1.0.5\n[Settings]\n66=x\n" << invalid.arg("66 = x");
    QTest::newRow("channel 17") << "model=2\nversion=1.0.5\n[Settings]\n258=17\n" << invalid.arg("258 = 17");
    QTest::newRow("channel 0") << "model=2\nversion=1.0.5\n[Settings]\n66=1\n258=0\n" << invalid.arg("258 = 0");
}

void SettingsFilesTest::importRefusals() {
    QFETCH(QString, content);
    QFETCH(QString, warning);
    const QString path = QDir(home.path()).filePath("refused.oms");
    writeFile(path, content);
    const QMap<int, int> before = window->parameters();
    mixer->mixer.clearReceived();
    presenter.answers << path;
    click("pushButtonImport");
    QCOMPARE(presenter.warnings, QStringList{warning});
    QCOMPARE(window->parameters(), before);
    QVERIFY(label().isEmpty());
    QTest::qWait(100);
    QVERIFY(mixer->mixer.receivedControlChanges().empty());
}

void SettingsFilesTest::outOfRangeChannelReportExportsAFileThatImports_data() {
    QTest::addColumn<int>("channel");
    QTest::newRow("0") << 0;
    QTest::newRow("17") << 17;
    QTest::newRow("127") << 127;
}

void SettingsFilesTest::outOfRangeChannelReportExportsAFileThatImports() {
    QFETCH(int, channel);
    // The mixer reports a channel it cannot have, then a value: once the
    // value is in, the channel report has been handled too.
    mixer->mixer.sendRaw(0, {0xF0, 0x00, 0x00, 0x4E, 0x08, uint8_t(channel), 0xF7});
    mixer->mixer.sendRaw(0, {0xB0, 'B', 9});
    QTRY_COMPARE(window->parameters().value('B'), 9);
    QCOMPARE(window->parameters().value(OrvoControlPanel::MidiChannelParameterKey), 1);
    QCOMPARE(window->currentMidiChannel(), 1);

    const QString path = QDir(home.path()).filePath("channel.oms");
    presenter.answers << path << path;
    click("pushButtonExport");
    click("pushButtonImport");
    QCOMPARE(presenter.warnings, QStringList{});
    QCOMPARE(label(), QString("Settings File: channel.oms"));
}

void SettingsFilesTest::cancelledImportIsSilent() {
    click("pushButtonImport");  // no answer: cancelled
    QVERIFY(presenter.warnings.isEmpty());
    QCOMPARE(presenter.folders.size(), 1);
}

void SettingsFilesTest::unwritablePlacesFailQuietly() {
    QTemporaryDir gone;
    const QString path = QDir(gone.path()).filePath("saved.oms");
    presenter.answers << path;
    click("pushButtonExport");
    presenter.answers << path;
    click("pushButtonImport");
    QCOMPARE(label(), QString("Settings File: saved.oms"));
    window->setParameter('C', 3);
    // The loaded file's folder has become a plain file: Save cannot write.
    QVERIFY(gone.remove());
    writeFile(gone.path(), "not a folder");
    click("pushButtonSave");
    QCOMPARE(label(), QString("Settings File: saved.oms  [Modified]"));
    QVERIFY(button("pushButtonSave")->isVisible());
    presenter.answers << QDir(gone.path()).filePath("export.oms");
    click("pushButtonExport");
    QVERIFY(presenter.warnings.isEmpty());
    QFile::remove(gone.path());
}

void SettingsFilesTest::lastFolderIsRemembered() {
    QTemporaryDir folder;
    const QString path = QDir(folder.path()).filePath("remembered.oms");
    presenter.answers << path;
    click("pushButtonExport");
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    QCOMPARE(presenter.folders.last(), documents);
    presenter.answers << path;
    click("pushButtonImport");
    click("pushButtonImport");  // cancelled, but opened in the imported file's folder
    QCOMPARE(presenter.folders.last(), QFileInfo(path).canonicalPath());
    // Kept in the user's preferences for the next run.
    delete window;
    window = new OrvoControlPanel;
    window->setSettingsPresenter(&presenter);
    click("pushButtonImport");
    QCOMPARE(presenter.folders.last(), QFileInfo(path).canonicalPath());
}

QTEST_MAIN(SettingsFilesTest)
#include "settings_files_test.moc"

// Every page of both programs' windows at the programs' own font: no visible
// widget lies outside its parent's visible area and no text is wider than
// the rectangle it is drawn in.

#include "sim_mixers.h"  // first: see there

#include "buffersize/orvo_buffer_size.h"
#include "controlpanel/dialog_font.h"
#include "controlpanel/forms/about_dialog.h"
#include "controlpanel/orvo_control_panel.h"
#include "resources/gui_resources.h"

#include <QAbstractScrollArea>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QStackedWidget>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>

using namespace orvo::testing;

Q_DECLARE_METATYPE(orvo::sim::MidiMixerConfig)

namespace {

QString describe(const QWidget* w) {
    QString name = w->objectName();
    if (name.isEmpty())
        name = QString::fromLatin1(w->metaObject()->className());
    return name;
}

// w's rectangle in top's coordinates.
QRect inTop(const QWidget* w, const QWidget* top) { return QRect(w->mapTo(top, QPoint(0, 0)), w->size()); }

// The part of w that can be seen: its rectangle cut by every parent's.
QRect visibleArea(const QWidget* w, const QWidget* top) {
    QRect area = inTop(w, top);
    for (const QWidget* p = w->parentWidget(); p && p != top->parentWidget(); p = p->parentWidget())
        area &= inTop(p, top);
    return area;
}

// The part of w that draws something, in top's coordinates; empty for a
// widget that only holds others (its children are checked instead).
QRect drawnRect(const QWidget* w, const QWidget* top) {
    const QRect own = inTop(w, top);
    if (auto* label = qobject_cast<const QLabel*>(w)) {
        const QRect inside = label->contentsRect().translated(own.topLeft());
        return QStyle::alignedRect(label->layoutDirection(), label->alignment(), label->sizeHint().boundedTo(inside.size()), inside);
    }
    if (qobject_cast<const QRadioButton*>(w) || qobject_cast<const QCheckBox*>(w))
        return QRect(own.topLeft(), QSize(qMin(w->sizeHint().width(), own.width()), own.height()));
    if (auto* frame = qobject_cast<const QFrame*>(w); frame && frame->frameShape() == QFrame::NoFrame && w->layout() == nullptr &&
                                                      !w->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly).isEmpty())
        return QRect();
    const QMetaObject* qtClass = w->metaObject();
    while (qtClass->className()[0] != 'Q')
        qtClass = qtClass->superClass();
    const bool composite = qtClass == &QWidget::staticMetaObject && !w->autoFillBackground() &&
                           !w->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly).isEmpty();
    if (composite || w->metaObject() == &QWidget::staticMetaObject || (w->layout() && !qobject_cast<const QFrame*>(w) && !qobject_cast<const QGroupBox*>(w)))
        return QRect();
    return own;
}

// A scroll area's content moves under its viewport; it is meant to be cut.
bool inScrolledContent(const QWidget* w, const QWidget* top) {
    for (const QWidget* p = w->parentWidget(); p && p != top; p = p->parentWidget())
        if (p->objectName() == QLatin1String("qt_scrollarea_viewport"))
            return true;
    return false;
}

int textWidth(const QWidget* w, QString text) {
    text.replace(QLatin1String("&&"), QLatin1String("\x01"));
    text.remove(QLatin1Char('&'));
    text.replace(QLatin1Char('\x01'), QLatin1Char('&'));
    return w->fontMetrics().horizontalAdvance(text);
}

// How much wider than its rectangle the widget's text is (0: it fits).
int textOverflow(const QWidget* w) {
    if (auto* label = qobject_cast<const QLabel*>(w)) {
        if (label->text().isEmpty() || label->wordWrap())
            return 0;
        return qMax(0, label->sizeHint().width() - label->width());
    }
    if (qobject_cast<const QRadioButton*>(w) || qobject_cast<const QCheckBox*>(w))
        return qMax(0, w->sizeHint().width() - w->width());
    if (auto* button = qobject_cast<const QPushButton*>(w)) {
        if (button->text().isEmpty())
            return 0;
        QStyle* style = button->style();
        int need = textWidth(button, button->text()) + style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button) +
                   2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button);
        if (!button->icon().isNull())
            need += button->iconSize().width() + 4;
        return qMax(0, need - button->width());
    }
    if (auto* combo = qobject_cast<const QComboBox*>(w)) {
        QStyleOptionComboBox option;
        option.initFrom(combo);
        option.editable = combo->isEditable();
        option.frame = combo->hasFrame();
        const QRect field = combo->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, combo);
        int widest = 0;
        for (int i = 0; i < combo->count(); ++i)
            widest = qMax(widest, textWidth(combo, combo->itemText(i)));
        return qMax(0, widest - field.width());
    }
    if (auto* box = qobject_cast<const QGroupBox*>(w))
        return qMax(0, textWidth(box, box->title()) + 8 - box->width());
    return 0;
}

// Every fault of top's visible widgets, one line each.
QStringList layoutFaults(QWidget* top) {
    QStringList faults;
    const QList<QWidget*> widgets = top->findChildren<QWidget*>();
    for (QWidget* w : widgets) {
        if (!w->isVisible() || w->isWindow() || inScrolledContent(w, top))
            continue;
        const QRect own = drawnRect(w, top);
        const QRect parentArea = visibleArea(w->parentWidget(), top);
        if (!own.isEmpty() && !parentArea.contains(own))
            faults << QString("%1 at %2,%3 %4x%5 lies outside %6's visible %7,%8 %9x%10")
                          .arg(describe(w)).arg(own.x()).arg(own.y()).arg(own.width()).arg(own.height())
                          .arg(describe(w->parentWidget())).arg(parentArea.x()).arg(parentArea.y())
                          .arg(parentArea.width()).arg(parentArea.height());
        if (const int over = textOverflow(w))
            faults << QString("%1's text is %2 px wider than its %3 px").arg(describe(w)).arg(over).arg(w->width());
        if (auto* area = qobject_cast<QTextEdit*>(w); area && area->horizontalScrollBar()->isVisible())
            faults << QString("%1 scrolls sideways").arg(describe(w));
    }
    return faults;
}

void verifyLayout(QWidget* top, const QString& what) {
    QApplication::processEvents();
    const QStringList faults = layoutFaults(top);
    if (!faults.isEmpty())
        QFAIL(qPrintable(what + ":\n  " + faults.join("\n  ")));
}

}  // namespace

class LayoutTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void noDevicePage();
    void twoMixers();
    void mixerPages_data();
    void mixerPages();
    void aboutDialog_data();
    void aboutDialog();
    void bufferSizeWindow();

private:
    QTemporaryDir registry;
};

void LayoutTest::initTestCase() {
    initGuiResources();
    useDialogFont();
    qputenv("ORVO_REGISTRY_ROOT", registry.path().toUtf8());
}

void LayoutTest::noDevicePage() {
    SimulatedMixers sim;
    OrvoControlPanel window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    verifyLayout(&window, "no mixer");
}

void LayoutTest::twoMixers() {
    SimulatedMixers sim;
    OrvoControlPanel window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    sim.plug(mixerConfig(kFirstModel, 31), false);
    sim.plug(mixerConfig(kSecondModel, 32), false);
    SimulatedMixers::rescan();
    QVERIFY(QTest::qWaitFor([&] { return window.currentDeviceCountState() == OrvoControlPanel::SeveralDevices; }, 8000));
    QVERIFY(QTest::qWaitFor([&] { return !window.isBusy() && !window.model()->isReading(); }, 8000));
    verifyLayout(&window, "two mixers");
}

void LayoutTest::mixerPages_data() {
    QTest::addColumn<orvo::sim::MidiMixerConfig>("config");
    QTest::addColumn<QList<int>>("sourceKeys");  // the decks' input-source keys
    QTest::addColumn<int>("source");             // their value
    const QList<int> firstKeys{'V', 'W', 'X', 'Y'};
    const QList<int> secondKeys{49, 50};
    QTest::newRow("first model, S/PDIF") << mixerConfig(kFirstModel, 11) << firstKeys << 0;
    QTest::newRow("first model, phono") << mixerConfig(kFirstModel, 12) << firstKeys << 64;
    QTest::newRow("first model, CD") << mixerConfig(kFirstModel, 13) << firstKeys << 127;
    QTest::newRow("first model, two ports") << mixerConfig(kFirstModel, 14, true) << firstKeys << 64;
    QTest::newRow("second model, phono") << mixerConfig(kSecondModel, 21) << secondKeys << 0;
    QTest::newRow("second model, CD") << mixerConfig(kSecondModel, 22) << secondKeys << 127;
    QTest::newRow("second model, two ports") << mixerConfig(kSecondModel, 23, true) << secondKeys << 0;
    // An older mixer: the firmware frame offers the update.
    auto old = mixerConfig(kFirstModel, 15);
    old.firmwarePatch = 4;
    old.firmwareBuild = 10;
    QTest::newRow("first model, update offered") << old << firstKeys << 64;
    auto oldSecond = mixerConfig(kSecondModel, 24);
    oldSecond.firmwareBuild = 1;
    QTest::newRow("second model, update offered") << oldSecond << secondKeys << 0;
}

void LayoutTest::mixerPages() {
    QFETCH(orvo::sim::MidiMixerConfig, config);
    QFETCH(QList<int>, sourceKeys);
    QFETCH(int, source);
    SimulatedMixers sim;
    OrvoControlPanel window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    PluggedMixer& mixer = sim.plug(config, false);
    for (int key : sourceKeys)
        mixer.mixer.setParameter(uint8_t(key), uint8_t(source));
    SimulatedMixers::rescan();
    QVERIFY(QTest::qWaitFor([&] { return window.currentDeviceCountState() == OrvoControlPanel::OneDevice; }, 8000));
    // A first read that stays unanswered is started again by the busy timer.
    QVERIFY(QTest::qWaitFor([&] { return !window.isBusy() && !window.model()->isReading(); }, 8000));
    auto* pages = window.findChild<QStackedWidget*>("stackedWidgetDevices");
    auto* page = qobject_cast<QTabWidget*>(pages->currentWidget());
    QVERIFY(page);
    for (int tab = 0; tab < page->count(); ++tab) {
        page->setCurrentIndex(tab);
        verifyLayout(&window, page->tabText(tab));
    }
}

void LayoutTest::aboutDialog_data() {
    QTest::addColumn<int>("kind");
    QTest::newRow("control panel") << int(AboutDialog::ControlPanel);
    QTest::newRow("buffer size") << int(AboutDialog::BufferSize);
}

void LayoutTest::aboutDialog() {
    QFETCH(int, kind);
    AboutDialog dialog(AboutDialog::Kind(kind), nullptr);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    verifyLayout(&dialog, "About");
}

void LayoutTest::bufferSizeWindow() {
    SimulatedMixers sim;
    OrvoBufferSize window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    verifyLayout(&window, "buffer size");
}

QTEST_MAIN(LayoutTest)
#include "layout_test.moc"

#include "controlpanel/widgets/buffer_slider.h"
#include "controlpanel/widgets/deck_input_source.h"
#include "controlpanel/widgets/led.h"
#include "controlpanel/widgets/orvo_slider.h"
#include "resources/gui_resources.h"

#include <QLabel>
#include <QStyleOptionSlider>
#include <QTest>
#include <QWheelEvent>

namespace {

QRect handleRect(QSlider& slider) {
    QStyleOptionSlider option;
    option.initFrom(&slider);
    option.subControls = QStyle::SC_None;
    option.activeSubControls = QStyle::SC_None;
    option.orientation = slider.orientation();
    option.maximum = slider.maximum();
    option.minimum = slider.minimum();
    option.tickPosition = slider.tickPosition();
    option.tickInterval = slider.tickInterval();
    option.upsideDown = false;
    option.direction = slider.layoutDirection();
    option.sliderPosition = slider.sliderPosition();
    option.sliderValue = slider.value();
    option.singleStep = slider.singleStep();
    option.pageStep = slider.pageStep();
    option.rect = slider.rect();
    return slider.style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, &slider);
}

QImage labelImage(QWidget& widget, const char* label) {
    return widget.findChild<QLabel*>(label)->pixmap(Qt::ReturnByValue).toImage().convertToFormat(QImage::Format_ARGB32);
}

QImage resourceImage(const QString& path) {
    QImage image(path);
    return image.convertToFormat(QImage::Format_ARGB32);
}

void makePanelSlider(QSlider& slider) {
    slider.setRange(0, 127);
    slider.setOrientation(Qt::Horizontal);
    slider.setTickPosition(QSlider::TicksBelow);
    slider.setTickInterval(9);
    slider.resize(250, 27);
}

}  // namespace

class WidgetsTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { initGuiResources(); }

    void orvoSliderDefaultUnsetUntilInRange_data();
    void orvoSliderDefaultUnsetUntilInRange();
    void orvoSliderDoubleClick_data();
    void orvoSliderDoubleClick();
    void orvoSliderMarkColourAndPlace_data();
    void orvoSliderMarkColourAndPlace();

    void bufferSliderSwallowsKeysAndWheel_data();
    void bufferSliderSwallowsKeysAndWheel();
    void bufferSliderJumpFormula_data();
    void bufferSliderJumpFormula();
    void bufferSliderClickJumps_data();
    void bufferSliderClickJumps();

    void ledStates();
    void deckInputSourceStates();
};

void WidgetsTest::orvoSliderDefaultUnsetUntilInRange_data() {
    QTest::addColumn<QList<int>>("sets");
    QTest::addColumn<int>("expected");
    QTest::newRow("never set") << QList<int>{} << -1;
    QTest::newRow("above the range") << QList<int>{200} << -1;
    QTest::newRow("below the range") << QList<int>{-5} << -1;
    QTest::newRow("in range") << QList<int>{64} << 64;
    QTest::newRow("edges") << QList<int>{127} << 127;
    QTest::newRow("a refused value keeps the last") << QList<int>{10, 128} << 10;
}

void WidgetsTest::orvoSliderDefaultUnsetUntilInRange() {
    QFETCH(QList<int>, sets);
    QFETCH(int, expected);
    OrvoSlider slider;
    makePanelSlider(slider);
    for (int v : sets)
        slider.setDefaultValue(v);
    QCOMPARE(slider.defaultValue(), expected);
}

void WidgetsTest::orvoSliderDoubleClick_data() {
    QTest::addColumn<int>("defaultValue");
    QTest::addColumn<int>("start");
    QTest::addColumn<bool>("onHandle");
    QTest::addColumn<int>("expected");
    QTest::newRow("default set, on the handle") << 20 << 100 << true << 20;
    QTest::newRow("no default, on the handle: midpoint") << -1 << 100 << true << 63;
    QTest::newRow("default 200 refused: midpoint") << 200 << 5 << true << 63;
    QTest::newRow("on the groove away from the handle") << 20 << 100 << false << 100;
}

void WidgetsTest::orvoSliderDoubleClick() {
    QFETCH(int, defaultValue);
    QFETCH(int, start);
    QFETCH(bool, onHandle);
    QFETCH(int, expected);
    OrvoSlider slider;
    makePanelSlider(slider);
    slider.setDefaultValue(defaultValue);
    slider.setValue(start);
    slider.show();
    QVERIFY(QTest::qWaitForWindowExposed(&slider));
    const QRect handle = handleRect(slider);
    const QPoint at = onHandle ? handle.center() : QPoint(handle.center().x() > 125 ? 10 : 240, handle.center().y());
    QVERIFY(handle.contains(at) == onHandle);
    QTest::mouseDClick(&slider, Qt::LeftButton, Qt::NoModifier, at);
    QCOMPARE(slider.value(), expected);
}

void WidgetsTest::orvoSliderMarkColourAndPlace_data() {
    QTest::addColumn<int>("defaultValue");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("colour");
    QTest::newRow("at the default") << 0 << 0 << "#212121";
    QTest::newRow("off the default") << 0 << 127 << "#a5a294";
    QTest::newRow("no default") << -1 << 0 << "#a5a294";
}

void WidgetsTest::orvoSliderMarkColourAndPlace() {
    QFETCH(int, defaultValue);
    QFETCH(int, value);
    QFETCH(QString, colour);
    OrvoSlider slider;
    makePanelSlider(slider);
    // No ticks here, so the pixels under the centre mark are its own.
    slider.setTickPosition(QSlider::NoTicks);
    slider.setDefaultValue(defaultValue);
    slider.setValue(value);
    slider.setDefaultMarkVisible(true);
    QCOMPARE(slider.defaultMarkColor().name(), colour);
    const QImage image = slider.grab().toImage();
    const int x = slider.width() / 2 - 1;
    const int h = slider.height();
    QCOMPARE(image.pixelColor(x, h - 2).name(), colour);
    QCOMPARE(image.pixelColor(x, h - 6).name(), colour);
    // Three pixels wide, and nowhere else along the bottom edge.
    QCOMPARE(image.pixelColor(x + 1, h - 3).name(), colour);
    QVERIFY(image.pixelColor(x + 4, h - 3).name() != colour);
    QVERIFY(image.pixelColor(x - 4, h - 3).name() != colour);

    slider.setDefaultMarkVisible(false);
    QVERIFY(slider.grab().toImage().pixelColor(x, h - 3).name() != colour);
}

void WidgetsTest::bufferSliderSwallowsKeysAndWheel_data() {
    QTest::addColumn<int>("kind");
    QTest::newRow("Right") << int(Qt::Key_Right);
    QTest::newRow("Left") << int(Qt::Key_Left);
    QTest::newRow("PageUp") << int(Qt::Key_PageUp);
    QTest::newRow("PageDown") << int(Qt::Key_PageDown);
    QTest::newRow("Home") << int(Qt::Key_Home);
    QTest::newRow("End") << int(Qt::Key_End);
    QTest::newRow("wheel") << 0;
}

void WidgetsTest::bufferSliderSwallowsKeysAndWheel() {
    QFETCH(int, kind);
    BufferSlider slider;
    slider.setRange(1, 50);
    slider.setOrientation(Qt::Horizontal);
    slider.setValue(25);
    slider.show();
    slider.setFocus();
    QVERIFY(QTest::qWaitForWindowExposed(&slider));
    if (kind) {
        QTest::keyClick(&slider, Qt::Key(kind));
    } else {
        const QPoint c = slider.rect().center();
        QWheelEvent wheel(c, slider.mapToGlobal(c), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(&slider, &wheel);
    }
    QCOMPARE(slider.value(), 25);

    QEvent graphicsWheel(QEvent::GraphicsSceneWheel);
    QVERIFY(slider.eventFilter(&slider, &graphicsWheel));
    QEvent show(QEvent::Show);
    QVERIFY(!slider.eventFilter(&slider, &show));
}

void WidgetsTest::bufferSliderJumpFormula_data() {
    QTest::addColumn<int>("x");
    QTest::addColumn<int>("handleWidth");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("expected");
    // c = 10.5 for a 20-pixel handle; the travel on a 250-wide slider is 229.
    QTest::newRow("left of the travel") << 0 << 20 << 250 << 1;
    QTest::newRow("at the first centre") << 11 << 20 << 250 << 1;
    QTest::newRow("quarter") << 68 << 20 << 250 << 13;
    QTest::newRow("middle") << 125 << 20 << 250 << 25;
    QTest::newRow("three quarters") << 182 << 20 << 250 << 37;
    QTest::newRow("last centre") << 239 << 20 << 250 << 49;
    QTest::newRow("right of the travel") << 249 << 20 << 250 << 49;
    QTest::newRow("far right") << 1000 << 20 << 250 << 49;
    // No travel left: the slider is no wider than its handle plus a pixel.
    QTest::newRow("handle plus one pixel") << 5 << 20 << 21 << 1;
    QTest::newRow("as wide as the handle") << 5 << 20 << 20 << 1;
    QTest::newRow("narrower than the handle") << 15 << 20 << 8 << 1;
}

void WidgetsTest::bufferSliderJumpFormula() {
    QFETCH(int, x);
    QFETCH(int, handleWidth);
    QFETCH(int, width);
    QFETCH(int, expected);
    QCOMPARE(BufferSlider::jumpValue(x, handleWidth, width, 1, 50), expected);
}

void WidgetsTest::bufferSliderClickJumps_data() {
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("x");
    QTest::addColumn<bool>("jumps");
    QTest::newRow("left click near the right end") << int(Qt::LeftButton) << 240 << true;
    QTest::newRow("left click at the left end") << int(Qt::LeftButton) << 1 << true;
    QTest::newRow("right click does not jump") << int(Qt::RightButton) << 240 << false;
}

void WidgetsTest::bufferSliderClickJumps() {
    QFETCH(int, button);
    QFETCH(int, x);
    QFETCH(bool, jumps);
    BufferSlider slider;
    slider.setRange(1, 50);
    slider.setOrientation(Qt::Horizontal);
    slider.resize(250, 27);
    slider.setValue(25);
    slider.show();
    QVERIFY(QTest::qWaitForWindowExposed(&slider));
    const QRect handle = handleRect(slider);
    const int expected = jumps ? BufferSlider::jumpValue(x, handle.width(), slider.width(), 1, 50) : 25;
    QTest::mousePress(&slider, Qt::MouseButton(button), Qt::NoModifier, QPoint(x, handle.center().y()));
    QCOMPARE(slider.value(), expected);
    QTest::mouseRelease(&slider, Qt::MouseButton(button), Qt::NoModifier, QPoint(x, handle.center().y()));
    if (jumps)
        QVERIFY(slider.value() != 25);
}

void WidgetsTest::ledStates() {
    LED led;
    QCOMPARE(led.size(), QSize(18, 18));
    const QImage off = resourceImage(":/images/led_off.png");
    const QImage green = resourceImage(":/images/led_green.png");
    const QImage blue = resourceImage(":/images/led_blue.png");
    QVERIFY(off != green && green != blue && off != blue);
    QCOMPARE(labelImage(led, "labelLEDImage"), off);
    led.setGreen();
    QCOMPARE(labelImage(led, "labelLEDImage"), green);
    led.setBlue();
    QCOMPARE(labelImage(led, "labelLEDImage"), blue);
    led.setOff();
    QCOMPARE(labelImage(led, "labelLEDImage"), off);
}

void WidgetsTest::deckInputSourceStates() {
    DeckInputSource source;
    auto text = [&] { return source.findChild<QLabel*>("labelInputValue")->text(); };
    QCOMPARE(labelImage(source, "labelInputImage"), resourceImage(":/images/src_phono.png"));
    QCOMPARE(text(), QString("Phono Input"));
    source.setCD();
    source.setCD();
    QCOMPARE(labelImage(source, "labelInputImage"), resourceImage(":/images/src_cd.png"));
    QCOMPARE(text(), QString("CD Input"));
    source.setSPDIF();
    QCOMPARE(labelImage(source, "labelInputImage"), resourceImage(":/images/src_spdif.png"));
    QCOMPARE(text(), QString("S/PDIF Input"));
    source.setPhono();
    QCOMPARE(text(), QString("Phono Input"));
}

QTEST_MAIN(WidgetsTest)
#include "widgets_test.moc"

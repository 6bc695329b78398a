#include "controlpanel/orvo_control_panel.h"

#include <QTest>

#include <functional>

using Converter = std::function<int(int)>;
Q_DECLARE_METATYPE(Converter)

class ValueConvertersTest : public QObject {
    Q_OBJECT
private slots:
    void converters_data();
    void converters();
};

void ValueConvertersTest::converters_data() {
    using W = OrvoControlPanel;
    const Converter toSwitch = [](int v) { return int(W::valueToSwitch(unsigned(v))); };
    const Converter switchInt = [](int v) { return W::switchToValue(v); };
    const Converter switchBool = [](int v) { return W::switchToValue(v != 0); };
    const Converter toEnable = [](int v) { return int(W::valueToEnable(v)); };
    const Converter enable = [](int v) { return W::enableToValue(v); };
    const Converter index = [](int v) { return W::indexToValue(v); };
    const Converter channelIndex = [](int v) { return W::channelToIndex(v); };
    const Converter indexChannel = [](int v) { return W::indexToChannel(v); };
    const Converter source = [](int v) { return W::valueToInputSource(unsigned(v)); };
    const Converter cd = [](int v) { return int(W::valueToCdInput(unsigned(v))); };
    const Converter portA = [](int v) { return int(W::isPortAActive(v)); };
    const Converter portB = [](int v) { return int(W::isPortBActive(unsigned(v))); };

    QTest::addColumn<Converter>("convert");
    QTest::addColumn<int>("in");
    QTest::addColumn<int>("out");
    const struct {
        const char* name;
        Converter f;
        int in, out;
    } rows[] = {
        {"switch 0", toSwitch, 0, 0},         {"switch 63", toSwitch, 63, 0},
        {"switch 64", toSwitch, 64, 1},       {"switch 127", toSwitch, 127, 1},
        {"switch 200", toSwitch, 200, 1},     {"switch -1 (unsigned)", toSwitch, -1, 1},
        {"int flag 0", switchInt, 0, 0},      {"int flag 1", switchInt, 1, 64},
        {"int flag 7", switchInt, 7, 64},     {"bool false", switchBool, 0, 0},
        {"bool true", switchBool, 1, 64},     {"enable 0", toEnable, 0, 0},
        {"enable 1", toEnable, 1, 1},         {"enable 127", toEnable, 127, 1},
        {"enable flag 0", enable, 0, 0},      {"enable flag 5", enable, 5, 1},
        {"index 3", index, 3, 3},             {"channel 1", channelIndex, 1, 0},
        {"channel 16", channelIndex, 16, 15}, {"combo 0", indexChannel, 0, 1},
        {"combo 15", indexChannel, 15, 16},   {"emptied combo", indexChannel, -1, 0},
        {"source 0", source, 0, 2},           {"source 42", source, 42, 2},
        {"source 43", source, 43, 0},         {"source 85", source, 85, 0},
        {"source 86", source, 86, 1},         {"source 127", source, 127, 1},
        {"source 128", source, 128, 0},       {"cd 0", cd, 0, 0},
        {"cd 63", cd, 63, 0},                 {"cd 64", cd, 64, 1},
        {"cd 127", cd, 127, 1},               {"cd 128", cd, 128, 0},
        {"port A 0", portA, 0, 0},            {"port A 1", portA, 1, 1},
        {"port A 3", portA, 3, 0},            {"port A 4", portA, 4, 0},
        {"port A 5", portA, 5, 1},            {"port A 7", portA, 7, 0},
        {"port B 0", portB, 0, 0},            {"port B 1", portB, 1, 0},
        {"port B 3", portB, 3, 0},            {"port B 4", portB, 4, 1},
        {"port B 5", portB, 5, 1},            {"port B 7", portB, 7, 0},
    };
    for (const auto& r : rows)
        QTest::newRow(r.name) << r.f << r.in << r.out;
}

void ValueConvertersTest::converters() {
    QFETCH(Converter, convert);
    QFETCH(int, in);
    QFETCH(int, out);
    QCOMPARE(convert(in), out);
}

QTEST_APPLESS_MAIN(ValueConvertersTest)
#include "value_converters_test.moc"

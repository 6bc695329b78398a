// The buffer-size side of MixerModel: the per-user registry values, the
// 300 ms poll (ticked by hand), two models following each other, and the
// value the ASIO driver's registry reader then returns.

#include "model_fixture.h"

#include "classcomp/asio/registry_settings.h"
#include "mixer/model/device_text.h"
#include "platform/win32/files.h"

#include <QSignalSpy>

#include <cstring>
#include <map>
#include <optional>

using namespace Orvo;
using orvo::testing::ModelTest;

namespace {

constexpr std::u16string_view kUser = u"Software\\Orvo\\UAC2";
using Values = std::map<std::u16string, uint32_t>; // child key -> BufferSizeMillisecs

class BufferSize : public ModelTest {
protected:
    reg::Registry& machine() { return reg::Registry::machine(); }
    void put(const std::u16string& child, uint32_t value)
    {
        reg::KeyRef key;
        ASSERT_EQ(machine().create(machine().hiveRoot(reg::Hive::CurrentUser), std::u16string(kUser) + u"\\" + child,
                                   false, key),
                  reg::Error::Ok);
        ASSERT_EQ(machine().setValue(key, u"BufferSizeMillisecs", reg::ValueType::Dword, &value, 4), reg::Error::Ok);
    }
    // Every child key that holds the value, with it.
    Values values()
    {
        Values out;
        reg::KeyRef user;
        if (machine().open(machine().hiveRoot(reg::Hive::CurrentUser), kUser, user) != reg::Error::Ok)
            return out;
        std::vector<std::u16string> children;
        machine().subkeys(user, children);
        for (const std::u16string& child : children) {
            reg::KeyRef key;
            reg::Value v;
            if (machine().open(user, child, key) == reg::Error::Ok &&
                machine().queryValue(key, u"BufferSizeMillisecs", v) == reg::Error::Ok && v.data.size() == 4) {
                uint32_t n;
                std::memcpy(&n, v.data.data(), 4);
                out[child] = n;
            }
        }
        return out;
    }
    static void describe(MidiDevice& d, uint32_t serial, char letter)
    {
        d.descriptor.setUsbId(MixerModel::kFirstModelUsbId);
        d.descriptor.setSerialNumber(serial);
        d.descriptor.setPortLetter(letter);
        d.state = kDeviceBootloader; // made current without a settings read
    }
    static std::vector<int> signalled(QSignalSpy& spy)
    {
        std::vector<int> out;
        for (const QList<QVariant>& args : spy)
            out.push_back(args[0].toInt());
        spy.clear();
        return out;
    }
};

} // namespace

TEST_F(BufferSize, OneTickOfThePoll)
{
    struct Case {
        const char* what;
        Values before;
        int stored;                      // the model's size before the tick (0: unknown)
        std::optional<uint32_t> current; // serial of a current device on port A
        Values after;
        std::vector<int> signals;
    };
    const uint32_t minus5 = static_cast<uint32_t>(-5);
    const Case cases[] = {
        {"Global 12, stored 8", {{u"Global", 12}, {u"0001000001A", 8}}, 8, {},
         {{u"Global", 12}, {u"0001000001A", 12}}, {12}},
        {"no child keys", {}, 0, {}, {{u"Global", 8}}, {8}},
        {"a new mixer's key, Global 20", {{u"Global", 20}}, 0, 1000001u,
         {{u"Global", 20}, {u"0001000001A", 20}}, {20}},
        {"a new mixer's key, nothing yet", {}, 0, 1000001u, {{u"Global", 8}, {u"0001000001A", 8}}, {8}},
        {"a child of 0 is skipped", {{u"0001000001A", 0}, {u"0001000002A", 14}}, 0, {},
         {{u"Global", 14}, {u"0001000001A", 14}, {u"0001000002A", 14}}, {14}},
        {"Global equal to the stored size", {{u"Global", 8}, {u"0001000001A", 30}}, 8, {},
         {{u"Global", 8}, {u"0001000001A", 30}}, {}},
        {"no Global, a size known", {{u"0001000001A", 30}}, 8, {}, {{u"0001000001A", 30}}, {}},
        {"Global 100 is held to 50", {{u"Global", 100}, {u"0001000001A", 8}}, 8, {},
         {{u"Global", 50}, {u"0001000001A", 50}}, {50}},
        {"Global -5 is held to 1", {{u"Global", minus5}, {u"0001000001A", 8}}, 8, {},
         {{u"Global", 1}, {u"0001000001A", 1}}, {1}},
        {"a child of 70 adopted as 50", {{u"0001000001A", 70}}, 0, {},
         {{u"Global", 50}, {u"0001000001A", 50}}, {50}},
    };
    for (const Case& c : cases) {
        TempRoot fresh;
        reg::Registry::setMachineRoot(fresh.path);
        MixerModel model;
        MidiDevice current;
        describe(current, c.current.value_or(0), 'A');
        if (c.current)
            model.setCurrentDevice(&current);
        model.setBufferSize(c.stored == 0 ? 1 : c.stored); // no keys yet: nothing written
        if (c.stored == 0) {
            MidiDevice other;
            describe(other, 1, 'B'); // a change of device forgets the size
            model.setCurrentDevice(&other);
            model.setCurrentDevice(c.current ? &current : nullptr);
        }
        ASSERT_EQ(model.bufferSize(), c.stored) << c.what;
        for (const auto& [child, value] : c.before)
            put(child, value);
        QSignalSpy spy(&model, &MixerModel::sampleBufferSizeChanged);
        model.onSampleBufferTimer();
        EXPECT_EQ(values(), c.after) << c.what;
        EXPECT_EQ(signalled(spy), c.signals) << c.what;
        model.onSampleBufferTimer(); // the next tick changes nothing
        EXPECT_EQ(values(), c.after) << c.what;
        EXPECT_TRUE(signalled(spy).empty()) << c.what;
        model.setCurrentDevice(nullptr);
    }
}

TEST_F(BufferSize, SettingTheStoredSizeWritesNothingAndNoKeyIsMade)
{
    MixerModel model;
    put(u"Global", 12);
    put(u"0001000001A", 12);
    model.onSampleBufferTimer();
    ASSERT_EQ(model.bufferSize(), 12);
    put(u"0001000001A", 5); // another writer
    model.setBufferSize(12);
    EXPECT_EQ(values(), (Values{{u"Global", 12}, {u"0001000001A", 5}}));
    model.setBufferSize(30);
    EXPECT_EQ(values(), (Values{{u"Global", 30}, {u"0001000001A", 30}}));
    model.setBufferSize(80); // the sliders' range is the only one written
    EXPECT_EQ(values(), (Values{{u"Global", 50}, {u"0001000001A", 50}}));
}

// The two programs' models: a size set in one is adopted by the other at its
// next tick, and the first then has nothing to do.
TEST_F(BufferSize, TwoModelsConvergeAtTheOthersNextTick)
{
    MixerModel panel, program;
    QSignalSpy panelSpy(&panel, &MixerModel::sampleBufferSizeChanged);
    QSignalSpy programSpy(&program, &MixerModel::sampleBufferSizeChanged);
    MidiDevice mixer;
    describe(mixer, 1000001, 'A');
    panel.setCurrentDevice(&mixer);
    panel.onSampleBufferTimer();
    program.onSampleBufferTimer();
    EXPECT_EQ(signalled(panelSpy), std::vector<int>{8});
    EXPECT_EQ(signalled(programSpy), std::vector<int>{8});
    program.setBufferSize(20);
    panel.onSampleBufferTimer();
    EXPECT_EQ(signalled(panelSpy), std::vector<int>{20});
    EXPECT_EQ(panel.bufferSize(), 20);
    program.onSampleBufferTimer();
    EXPECT_TRUE(signalled(programSpy).empty());
    EXPECT_EQ(values(), (Values{{u"Global", 20}, {u"0001000001A", 20}}));
    panel.setCurrentDevice(nullptr);
}

// On the real 300 ms timer, as the programs run it.
TEST_F(BufferSize, ThePollRunsOnItsTimer)
{
    MixerModel panel, program;
    QSignalSpy spy(&panel, &MixerModel::sampleBufferSizeChanged);
    ASSERT_TRUE(spy.wait(2 * MixerModel::kBufferPollMs));
    program.onSampleBufferTimer();
    program.setBufferSize(33);
    ASSERT_TRUE(QTest::qWaitFor([&] { return panel.bufferSize() == 33; }, 2 * MixerModel::kBufferPollMs));
}

// The key the model names after a mixer is the one the ASIO driver reads
// for that mixer's slot, and the value it reads is the one the model wrote.
TEST_F(BufferSize, TheAsioDriverReadsWhatTheModelWrote)
{
    w32::setDriveRoot((root.path / "drives").string());
    reg::KeyRef key;
    const reg::KeyRef hklm = machine().hiveRoot(reg::Hive::LocalMachine);
    const std::u16string classKey = u"SOFTWARE\\Classes\\CLSID\\" + orvo::asio::ClassIdText(0);
    ASSERT_EQ(machine().create(hklm, classKey, true, key), reg::Error::Ok);
    const std::vector<uint8_t> name = reg::szData(u"QX1600");
    ASSERT_EQ(machine().setValue(key, u"", reg::ValueType::Sz, name.data(), name.size()), reg::Error::Ok);
    ASSERT_EQ(machine().create(hklm, u"Software\\ASIO\\QX1600", true, key), reg::Error::Ok);
    const std::vector<uint8_t> serial = reg::szData(u"0001000001B"); // the mixer's USB serial string, port B
    ASSERT_EQ(machine().setValue(key, u"SerialNumber", reg::ValueType::Sz, serial.data(), serial.size()),
              reg::Error::Ok);

    MixerModel model;
    MidiDevice mixer;
    describe(mixer, 1000001, 'B');
    EXPECT_EQ(orvo::model::deviceUserKeyName(&mixer), "0001000001B");
    std::u16string driverKey;
    ASSERT_TRUE(orvo::asio::TryGetDriverUserRegistryKeyName(0, driverKey));
    EXPECT_EQ(QString::fromStdU16String(driverKey),
              "Software\\Orvo\\UAC2\\" + orvo::model::deviceUserKeyName(&mixer));
    model.setCurrentDevice(&mixer);
    model.onSampleBufferTimer();
    EXPECT_EQ(orvo::asio::RegistryReadBufferSizeMillisecs(0), 8u);
    model.setBufferSize(20);
    EXPECT_EQ(orvo::asio::RegistryReadBufferSizeMillisecs(0), 20u);
    model.setCurrentDevice(nullptr);
}

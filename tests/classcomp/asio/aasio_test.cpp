// The driver object as a host creates it: bound to its slot by the class
// identifier, init, the query methods, and release.

#include "device_fixture.h"
#include "host_fixture.h"

#include "classcomp/asio/aasio.h"
#include "classcomp/asio/device_api.h"
#include "classcomp/asio/dll_exports.h"
#include "classcomp/asio/hi_lo.h"
#include "classcomp/asio/registry_settings.h"
#include "classcomp/asio/transport.h"
#include "platform/win32/clock.h"
#include "platform/win32/process.h"
#include "platform/win32/reg_key.h"
#include "platform/win32/synch.h"
#include "sim/mixer/profile.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

using namespace orvo::asio;
namespace k = orvo::kernel;

class DriverObject : public orvo::asio::testing::DeviceFixture {
protected:
    ~DriverObject() override
    {
        if (driver_)
            driver_->Release();
        // The slot's monitor was told to end with the object; until it has,
        // the library must not unload.
        EXPECT_TRUE(driverThreadsEnded());
        EXPECT_EQ(DllCanUnloadNow(), com::S_OK);
    }

    IASIO* create(int slot)
    {
        driver_ = orvo::asio::testing::createFromClassFactory(slot);
        return driver_;
    }
    AAsio* object() { return static_cast<AAsio*>(driver_); }

    IASIO* driver_ = nullptr;
};

TEST_F(DriverObject, BindsToItsSlotAndAnswersFromTheDevice)
{
    k::DeviceContext* c = plugQx1600();
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(uOrvoAudioSetSampleRate(0, nullptr, 48000), 1); // no wrapper: nothing sent
    IASIO* d = create(0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(object()->deviceIndex(), 0);
    ASSERT_NE(object()->device(), nullptr);
    EXPECT_EQ(DeviceSlotAt(0)->wrapperCount, 1u);

    ASSERT_EQ(d->init(nullptr), ASIOTrue);
    EXPECT_TRUE(object()->inited());
    ASSERT_EQ(d->setSampleRate(48000.0), ASE_OK);
    EXPECT_EQ(mixerDevice_->sampleRate(), 48000u);
    object()->ReadBufferSizeAndSampleRate(false);

    char name[kAsioDriverNameLength];
    d->getDriverName(name);
    EXPECT_STREQ(name, "Orvo QX1600");
    EXPECT_EQ(d->getDriverVersion(), 1);

    AsioLong in = 0, out = 0;
    EXPECT_EQ(d->getChannels(&in, &out), ASE_OK);
    EXPECT_EQ(in, 16);
    EXPECT_EQ(out, 16);
    AsioLong mn = 0, mx = 0, pref = 0, gran = 0;
    EXPECT_EQ(d->getBufferSize(&mn, &mx, &pref, &gran), ASE_OK);
    EXPECT_EQ(mn, 96);
    EXPECT_EQ(mx, 96);
    EXPECT_EQ(pref, 96);
    EXPECT_EQ(gran, 1);
    EXPECT_EQ(d->getLatencies(&in, &out), ASE_OK);
    EXPECT_EQ(in, 96);
    EXPECT_EQ(out, 192);

    EXPECT_EQ(d->canSampleRate(48000.05), ASE_OK);
    EXPECT_EQ(d->canSampleRate(48000.1), ASE_NoClock);
    const uint64_t sets = mixerDevice_->counters().rateSets.load();
    EXPECT_EQ(d->setSampleRate(22050.0), ASE_NoClock);
    EXPECT_EQ(mixerDevice_->counters().rateSets.load(), sets);
    ASIOSampleRate rate = 0;
    EXPECT_EQ(d->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 48000.0);

    ASIOChannelInfo info{};
    info.channel = 16;
    info.isInput = ASIOFalse;
    EXPECT_EQ(d->getChannelInfo(&info), ASE_InvalidParameter);
    info.channel = -1;
    EXPECT_EQ(d->getChannelInfo(&info), ASE_InvalidParameter);
    info.channel = 1;
    info.isInput = ASIOTrue;
    ASSERT_EQ(d->getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.type, ASIOSTInt32LSB);
    EXPECT_EQ(info.isActive, ASIOFalse);
    EXPECT_GT(std::strlen(info.name), 0u);
    EXPECT_LT(std::strlen(info.name), size_t(kAsioNameLength));

    ASIOClockSource clock{};
    AsioLong sources = 0;
    EXPECT_EQ(d->getClockSources(&clock, &sources), ASE_OK);
    EXPECT_EQ(sources, 1);
    EXPECT_STREQ(clock.name, "Internal");
    EXPECT_EQ(d->setClockSource(1), ASE_NotPresent);
    EXPECT_EQ(d->setClockSource(0), ASE_OK);
    EXPECT_EQ(d->future(kAsioEnableTimeCodeRead, nullptr), ASE_SUCCESS);
    EXPECT_EQ(d->future(kAsioTransport, nullptr), ASE_NotPresent);
    // Only what the driver does is claimed: no input monitoring.
    EXPECT_EQ(d->future(kAsioSetInputMonitor, nullptr), ASE_NotPresent);
    EXPECT_EQ(d->future(kAsioCanInputMonitor, nullptr), ASE_NotPresent);
    EXPECT_EQ(d->future(kAsioCanTimeInfo, nullptr), ASE_SUCCESS);
    EXPECT_EQ(d->future(kAsioCanTimeCode, nullptr), ASE_SUCCESS);
    EXPECT_EQ(d->future(kAsioCanTransport, nullptr), ASE_NotPresent);
    ASIOSamples position{1, 1};
    ASIOTimeStamp stamp{1, 1};
    EXPECT_EQ(d->getSamplePosition(&position, &stamp), ASE_OK);
    EXPECT_EQ(position.hi, 0u);
    EXPECT_EQ(position.lo, 0u);

    // The buffer time init pushed is the kernel's block size.
    EXPECT_EQ(c->requestedBlockFrames, 96u);
    EXPECT_EQ(RegistryReadBufferSizeMillisecs(0), 8u);

    // Release: the wrapper goes, and with it the slot's monitor.
    EXPECT_EQ(d->Release(), 0u);
    driver_ = nullptr;
    EXPECT_EQ(DeviceSlotAt(0)->wrapperCount, 0u);
    EXPECT_EQ(DeviceSlotAt(0)->monitorThreadId.load(), 0u);
}

// What a host reads of each model and of the widest and the float shapes:
// the channel counts, every channel's name from the record, its sample type
// from the record's format byte, and the driver's name.
class DriverObjectShapes : public DriverObject, public ::testing::WithParamInterface<sim::mixer::Profile> {};

TEST_P(DriverObjectShapes, AnswerChannelsNamesAndTypesFromTheRecord)
{
    const sim::mixer::Profile& profile = GetParam();
    auto narrow = [](const std::u16string& s) {
        std::string out;
        for (char16_t c : s)
            out += c < 0x80 ? char(c) : '?';
        return out.substr(0, size_t(kAsioNameLength) - 1);
    };
    ASSERT_NE(plugMixer(profile), nullptr);
    IASIO* d = create(0);
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d->init(nullptr), ASIOTrue);

    char name[kAsioDriverNameLength];
    d->getDriverName(name);
    EXPECT_EQ(std::string(name), narrow(profile.product));
    AsioLong in = 0, out = 0;
    ASSERT_EQ(d->getChannels(&in, &out), ASE_OK);
    EXPECT_EQ(uint32_t(in), profile.record.channels());
    EXPECT_EQ(uint32_t(out), profile.playback.channels());
    for (const bool input : {true, false}) {
        const sim::mixer::StreamFormat& format = input ? profile.record : profile.playback;
        for (uint32_t ch = 0; ch < format.channels(); ++ch) {
            ASIOChannelInfo info{};
            info.channel = AsioLong(ch);
            info.isInput = input ? ASIOTrue : ASIOFalse;
            ASSERT_EQ(d->getChannelInfo(&info), ASE_OK) << ch;
            EXPECT_EQ(info.type, format.floatSamples ? ASIOSTFloat32LSB : ASIOSTInt32LSB) << ch;
            EXPECT_EQ(std::string(info.name), narrow(format.channelNames[ch])) << (input ? "in " : "out ") << ch;
        }
        ASIOChannelInfo past{};
        past.channel = AsioLong(format.channels());
        past.isInput = input ? ASIOTrue : ASIOFalse;
        EXPECT_EQ(d->getChannelInfo(&past), ASE_InvalidParameter);
    }
}

INSTANTIATE_TEST_SUITE_P(Profiles, DriverObjectShapes,
                         ::testing::Values(sim::mixer::profiles::qx1600(), sim::mixer::profiles::zr90Alpha(),
                                           sim::mixer::profiles::maxChannels(), sim::mixer::profiles::floatFormat()),
                         [](const auto& info) {
                             std::string n;
                             for (char c : info.param.key)
                                 n += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return n;
                         });

// More channels than a host can be given: the query methods report them,
// createBuffers refuses with its reason, and the names the record could not
// hold whole are read cut short or empty, never past their area.
TEST_F(DriverObject, MoreThanTwentyChannelsAreRefusedAtCreateBuffers)
{
    const sim::mixer::Profile p = sim::mixer::profiles::nameOverflow(); // 24 each way, 126-character names
    ASSERT_NE(plugMixer(p), nullptr);
    IASIO* d = create(0);
    ASSERT_EQ(d->init(nullptr), ASIOTrue);
    AsioLong in = 0, out = 0;
    ASSERT_EQ(d->getChannels(&in, &out), ASE_OK);
    EXPECT_EQ(in, 24);
    EXPECT_EQ(out, 24);

    // 20 names of 126 characters fill 5,080 of the 5,100 bytes; the 21st
    // keeps 9 characters and its zero, the rest are dropped.
    auto nameOf = [&](AsioLong channel, bool input) {
        ASIOChannelInfo info{};
        info.channel = channel;
        info.isInput = input ? ASIOTrue : ASIOFalse;
        EXPECT_EQ(d->getChannelInfo(&info), ASE_OK) << channel;
        return std::string(info.name);
    };
    for (const bool input : {true, false}) {
        const auto& names = input ? p.record.channelNames : p.playback.channelNames;
        EXPECT_EQ(nameOf(19, input), std::string(names[19].begin(), names[19].begin() + kAsioNameLength - 1));
        EXPECT_EQ(nameOf(20, input), std::string(names[20].begin(), names[20].begin() + 9));
        for (AsioLong ch = 21; ch < 24; ++ch)
            EXPECT_EQ(nameOf(ch, input), "") << ch;
    }

    AsioLong mn = 0, mx = 0, frames = 0, gran = 0;
    ASSERT_EQ(d->getBufferSize(&mn, &mx, &frames, &gran), ASE_OK);
    ASIOCallbacks callbacks{};
    ASIOBufferInfo infos[2] = {{ASIOTrue, 0, {nullptr, nullptr}}, {ASIOFalse, 0, {nullptr, nullptr}}};
    enableLog();
    const std::string log =
        logOf([&] { EXPECT_EQ(d->createBuffers(infos, 2, frames, &callbacks), ASE_InvalidMode); });
    EXPECT_EQ(count(log, "Refuse to create buffers for 24 inputs and 24 outputs"), 1u) << log;
    EXPECT_FALSE(object()->isBufferSizeInited());
    EXPECT_EQ(infos[0].buffers[0], nullptr);
    EXPECT_EQ(d->start(), ASE_NotPresent);
}

TEST_F(DriverObject, WithoutADeviceInitFailsAndQueriesRefuse)
{
    IASIO* d = create(3);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(object()->deviceIndex(), 3);
    EXPECT_EQ(d->init(nullptr), ASIOFalse);
    AsioLong in = 7, out = 7;
    EXPECT_EQ(d->getChannels(&in, &out), ASE_InvalidMode);
    EXPECT_EQ(in, 0);
    EXPECT_EQ(out, 0);
    EXPECT_EQ(d->canSampleRate(48000), ASE_InvalidMode);
    ASIOSampleRate rate = 0;
    EXPECT_EQ(d->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 96000.0);
    char name[kAsioDriverNameLength];
    d->getDriverName(name);
    EXPECT_STREQ(name, "Orvo Device");
    EXPECT_EQ(d->controlPanel(), ASE_NotPresent);
}

TEST_F(DriverObject, InitWaitsForTheDeviceToAppear)
{
    IASIO* d = create(0); // no mixer yet: the wrapper's handle is invalid
    ASSERT_EQ(object()->device()->handle, w32::INVALID_HANDLE_VALUE);
    plugQx1600();
    EXPECT_EQ(d->init(nullptr), ASIOTrue);
    EXPECT_NE(object()->device()->handle, w32::INVALID_HANDLE_VALUE);
}

// Without a device handle init waits three times 100 ms, asking for the
// status record after each wait, and then fails.
TEST_F(DriverObject, InitWithoutADeviceWaitsThreeTimesThenFails)
{
    IASIO* d = create(0); // no mixer: the wrapper's handle is invalid
    ASSERT_EQ(object()->device()->handle, w32::INVALID_HANDLE_VALUE);
    // What one request for the record costs without a device.
    uint32_t before = w32::GetTickCount();
    EXPECT_FALSE(GetAsioInfo(0, object()->device()));
    const uint32_t request = w32::GetTickCount() - before;
    enableLog();
    before = w32::GetTickCount();
    const std::string log = logOf([&] { EXPECT_EQ(d->init(nullptr), ASIOFalse); });
    EXPECT_EQ(w32::GetTickCount() - before, 3 * (100 + request));
    EXPECT_EQ(count(log, "Failing ASIO init, because no internal device handle."), 1u);
    EXPECT_FALSE(object()->inited());
    EXPECT_EQ(object()->streamingThread(), nullptr);
}

TEST_F(DriverObject, ASecondInitKeepsItsOneStreamingThread)
{
    ASSERT_NE(plugQx1600(), nullptr);
    IASIO* d = create(0);
    ASSERT_EQ(d->init(nullptr), ASIOTrue);
    const w32::HANDLE thread = object()->streamingThread();
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(d->init(nullptr), ASIOTrue);
    EXPECT_EQ(object()->streamingThread(), thread);
    EXPECT_EQ(w32::WaitForSingleObject(thread, 0), w32::WAIT_TIMEOUT);
}

// The control panel is the program the installation names, started through
// the platform's process call as a plain command line, its handles closed.
TEST_F(DriverObject, ControlPanelStartsTheProgramAtControlPanelPath)
{
    ASSERT_NE(plugQx1600(), nullptr);
    IASIO* d = create(0);
    const std::u16string program = u"c:\\Program Files\\Orvo\\Panel.exe";
    std::filesystem::create_directories(w32::hostPathAnsi("c:\\Program Files\\Orvo"));
    std::ofstream(w32::hostPathAnsi("c:\\Program Files\\Orvo\\Panel.exe")).put('\n');
    const std::u16string commandLine = u"\"" + program + u"\" --device 0";
    {
        w32::CRegKey key;
        ASSERT_EQ(key.Create(w32::HKEY_LOCAL_MACHINE, u"Software\\Orvo\\Control Panel"), w32::ERROR_SUCCESS);
        ASSERT_EQ(key.SetStringValue(u"ControlPanelPath", commandLine.c_str()), w32::ERROR_SUCCESS);
    }
    w32::clearProgramStarts();
    EXPECT_EQ(d->controlPanel(), ASE_OK);
    const auto starts = w32::programStarts();
    ASSERT_EQ(starts.size(), 1u);
    const w32::ProgramStart& s = starts[0];
    EXPECT_EQ(s.kind, w32::ProgramStart::Kind::CreateProcess);
    EXPECT_TRUE(s.application.empty());
    EXPECT_EQ(s.commandLine, commandLine);
    EXPECT_TRUE(s.currentDirectory.empty());
    EXPECT_EQ(s.creationFlags, 0u);
    EXPECT_FALSE(s.inheritHandles);
    EXPECT_EQ(s.startupFlags, 0u);
    EXPECT_EQ(s.showWindow, 1);
    EXPECT_TRUE(s.succeeded);
}

// Without a device createBuffers asks three times, 200 ms apart, and
// refuses with the first record zeroed.
TEST_F(DriverObject, CreateBuffersWithoutADeviceChecksThreeTimes)
{
    IASIO* d = create(0);
    uint32_t before = w32::GetTickCount();
    EXPECT_FALSE(IsDeviceAvailable(0));
    const uint32_t probe = w32::GetTickCount() - before;
    ASIOCallbacks callbacks{};
    ASIOBufferInfo infos[2] = {{ASIOTrue, 3, {&callbacks, &callbacks}}, {ASIOFalse, 1, {nullptr, nullptr}}};
    before = w32::GetTickCount();
    EXPECT_EQ(d->createBuffers(infos, 2, 96, &callbacks), ASE_InvalidMode);
    EXPECT_EQ(w32::GetTickCount() - before, 3 * (200 + probe));
    EXPECT_EQ(infos[0].isInput, 0);
    EXPECT_EQ(infos[0].channelNum, 0);
    EXPECT_EQ(infos[0].buffers[0], nullptr);
    EXPECT_EQ(infos[1].channelNum, 1);
    EXPECT_EQ(d->start(), ASE_NotPresent);
}

TEST_F(DriverObject, CreateBuffersAtAnotherSizeIsRefusedAndStartWithoutCallbacksToo)
{
    ASSERT_NE(plugQx1600(), nullptr);
    IASIO* d = create(0);
    ASSERT_EQ(RegistryReadBufferSizeMillisecs(0), 8u);
    EXPECT_EQ(d->start(), ASE_NotPresent);
    ASIOCallbacks callbacks{};
    ASIOBufferInfo info{ASIOTrue, 0, {nullptr, nullptr}};
    enableLog();
    const std::string log = logOf([&] { EXPECT_EQ(d->createBuffers(&info, 1, 95, &callbacks), ASE_InvalidMode); });
    EXPECT_EQ(count(log, "Tried to create buffers with wrong/old buffer size (96, 95)"), 1u);
    EXPECT_EQ(info.buffers[0], nullptr);
    EXPECT_FALSE(object()->isBufferSizeInited());
    EXPECT_EQ(d->start(), ASE_NotPresent);
}

// Counts in a double as the interface's halves, past 2^32 and beyond what
// the high half holds.
TEST(SamplePosition, SplitsAtTwoTo32)
{
    const double two32 = 4294967296.0;
    const struct {
        double value;
        uint32_t hi, lo;
    } cases[] = {
        {0, 0, 0},
        {96, 0, 96},
        {two32 - 1, 0, 0xFFFFFFFF},
        {two32, 1, 0},
        {two32 + 96.75, 1, 96},
        {5 * two32 + 12345, 5, 12345},
        {std::ldexp(1.0, 64) + std::ldexp(3.0, 32), 3, 0},
        {-1, 0, 0},
        {std::nan(""), 0, 0},
    };
    for (const auto& c : cases) {
        const ASIOSamples s = SplitAtTwoTo32<ASIOSamples>(c.value);
        EXPECT_EQ(s.hi, c.hi) << c.value;
        EXPECT_EQ(s.lo, c.lo) << c.value;
    }
}

} // namespace

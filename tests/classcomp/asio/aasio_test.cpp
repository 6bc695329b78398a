// The driver object as a host creates it: bound to its slot by the class
// identifier, init, the query methods, and release.

#include "device_fixture.h"

#include "classcomp/asio/aasio.h"
#include "classcomp/asio/device_api.h"
#include "classcomp/asio/dll_exports.h"
#include "classcomp/asio/registry_settings.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace orvo::asio;
namespace k = orvo::kernel;

class DriverObject : public orvo::asio::testing::DeviceFixture {
protected:
    ~DriverObject() override
    {
        if (driver_)
            driver_->Release();
        EXPECT_EQ(DllCanUnloadNow(), com::S_OK);
    }

    // What a host does: the factory of the slot's class, and the object
    // asked for with the class identifier as the interface.
    IASIO* create(int slot)
    {
        const com::CLSID& clsid = *FactoryTemplates()[slot].clsid;
        void* out = nullptr;
        EXPECT_EQ(DllGetClassObject(clsid, com::IID_IClassFactory, &out), com::S_OK);
        auto* factory = static_cast<com::IClassFactory*>(out);
        void* object = nullptr;
        EXPECT_EQ(factory->CreateInstance(nullptr, clsid, &object), com::S_OK);
        factory->Release();
        driver_ = static_cast<IASIO*>(object);
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

} // namespace

// The ASIO interface declaration: slot order and record layouts as published.

#include "classcomp/asio/asio_interface.h"

#include "../../platform/com/vtable_slot.h"

#include <gtest/gtest.h>

#include <cstddef>

namespace {

using namespace orvo::asio;

TEST(AsioInterface, TwentyFourSlotsInPublishedOrder)
{
    const std::ptrdiff_t slots[] = {
        vtableSlot(&IASIO::QueryInterface), vtableSlot(&IASIO::AddRef),
        vtableSlot(&IASIO::Release),        vtableSlot(&IASIO::init),
        vtableSlot(&IASIO::getDriverName),  vtableSlot(&IASIO::getDriverVersion),
        vtableSlot(&IASIO::getErrorMessage), vtableSlot(&IASIO::start),
        vtableSlot(&IASIO::stop),           vtableSlot(&IASIO::getChannels),
        vtableSlot(&IASIO::getLatencies),   vtableSlot(&IASIO::getBufferSize),
        vtableSlot(&IASIO::canSampleRate),  vtableSlot(&IASIO::getSampleRate),
        vtableSlot(&IASIO::setSampleRate),  vtableSlot(&IASIO::getClockSources),
        vtableSlot(&IASIO::setClockSource), vtableSlot(&IASIO::getSamplePosition),
        vtableSlot(&IASIO::getChannelInfo), vtableSlot(&IASIO::createBuffers),
        vtableSlot(&IASIO::disposeBuffers), vtableSlot(&IASIO::controlPanel),
        vtableSlot(&IASIO::future),         vtableSlot(&IASIO::outputReady),
    };
    for (std::ptrdiff_t i = 0; i < 24; ++i)
        EXPECT_EQ(slots[i], i);
}

TEST(AsioInterface, RecordLayouts)
{
    EXPECT_EQ(sizeof(ASIOSamples), 8u);
    EXPECT_EQ(offsetof(ASIOSamples, lo), 4u) << "high half first";
    EXPECT_EQ(sizeof(AsioTimeInfo), 48u);
    EXPECT_EQ(offsetof(AsioTimeInfo, sampleRate), 24u);
    EXPECT_EQ(offsetof(AsioTimeInfo, flags), 32u);
    EXPECT_EQ(sizeof(ASIOTimeCode), 88u);
    EXPECT_EQ(offsetof(ASIOTimeCode, flags), 16u);
    EXPECT_EQ(sizeof(ASIOTime), 152u);
    EXPECT_EQ(offsetof(ASIOTime, timeInfo), 16u);
    EXPECT_EQ(offsetof(ASIOTime, timeCode), 64u);
    EXPECT_EQ(sizeof(ASIOClockSource), 48u);
    EXPECT_EQ(sizeof(ASIOChannelInfo), 52u);
    EXPECT_EQ(offsetof(ASIOChannelInfo, name), 20u);
    EXPECT_EQ(offsetof(ASIOBufferInfo, buffers), 8u);
    EXPECT_EQ(offsetof(ASIOCallbacks, bufferSwitchTimeInfo), 3 * sizeof(void*));
}

TEST(AsioInterface, ValuesTheDriverUses)
{
    EXPECT_EQ(ASIOSTInt32LSB, 18);
    EXPECT_EQ(ASIOSTFloat32LSB, 19);
    EXPECT_EQ(ASE_SUCCESS, 0x3f4847a0);
    EXPECT_EQ(ASE_NotPresent, -1000);
    EXPECT_EQ(ASE_InvalidParameter, -998);
    EXPECT_EQ(ASE_InvalidMode, -997);
    EXPECT_EQ(ASE_NoClock, -995);
    EXPECT_EQ(kAsioResetRequest, 3);
    EXPECT_EQ(kAsioSupportsTimeInfo, 7);
    EXPECT_EQ(kSampleRateChanged | kClockSourceChanged, 0x30u);
    EXPECT_EQ(kSystemTimeValid | kSamplePositionValid | kSampleRateValid, 7u);
    EXPECT_EQ(kTcValid | kTcRunning, 3u);
    EXPECT_EQ(kAsioCanTimeCode, 11);
}

} // namespace

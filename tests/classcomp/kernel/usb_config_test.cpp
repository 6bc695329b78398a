#include "mixer_fixture.h"

#include "classcomp/kernel/usb_config.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/io_manager.h"
#include "sim/mixer/descriptors.h"

#include <gtest/gtest.h>

#include <deque>

namespace orvo::kernel::testing {
namespace {

using namespace kplat;
namespace mx = sim::mixer;

class UsbConfigTest : public MixerFixture {};


struct RefusalCase {
    const char* what;
    mx::Faults faults;
};

TEST_F(UsbConfigTest, ForeignVendorAndFullSpeedAreRefused)
{
    mx::Faults foreign;
    foreign.vendorId = 0x3A72;
    mx::Faults slow;
    slow.fullSpeed = true;
    for (const RefusalCase& c : {RefusalCase{"vendor", foreign}, RefusalCase{"speed", slow}}) {
        SCOPED_TRACE(c.what);
        auto& dev = make(mx::profiles::qx1600());
        dev.setFaults(c.faults);
        uint32_t port = plugIn(dev);
        EXPECT_EQ(pnp::lastStartStatus(), status::kInvalidDeviceState);
        EXPECT_EQ(bus_->device(port), nullptr);
        EXPECT_EQ(SlotsInUse(), 0u);
    }
}

TEST_F(UsbConfigTest, ProductAndSerialStringsWithTheirLengths)
{
    DeviceContext* c = plugMixer(mx::profiles::qx1600(), 1234);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(productName(c), u"Orvo QX1600");
    EXPECT_EQ(c->productNameBytes, 24u);
    ASSERT_NE(c->serialNumber, nullptr);
    EXPECT_EQ(std::u16string(c->serialNumber), u"0000001234A");
    EXPECT_EQ(c->serialNumberBytes, 24u);
    EXPECT_EQ(c->highSpeed, 1);
    EXPECT_EQ(c->duplicateNumber, 0u);
    const std::u16string name = u"Orvo QX1600";
    uint32_t hash = 0;
    for (uint32_t k = 1; k < name.size(); ++k)
        hash += k * name[k];
    EXPECT_EQ(c->productNameHash, hash);
    EXPECT_EQ(GetDriverTables().productNameHash[c->slotIndex], hash);
}

TEST_F(UsbConfigTest, IdenticalMixersAreNumberedAndTheLowestFreeNumberIsReused)
{
    std::vector<uint32_t> ports;
    for (uint32_t serial = 1; serial <= 3; ++serial)
        ports.push_back(plugIn(make(mx::profiles::qx1600(), serial)));
    EXPECT_EQ(productName(context(ports[0])), u"Orvo QX1600");
    EXPECT_EQ(productName(context(ports[1])), u"Orvo QX1600 (2)");
    EXPECT_EQ(context(ports[1])->productNameBytes, 24u + 8);
    EXPECT_EQ(productName(context(ports[2])), u"Orvo QX1600 (3)");
    // Another model has a name of its own.
    EXPECT_EQ(productName(plugMixer(mx::profiles::zr90Alpha(), 9)), u"Orvo ZR90 Alpha");

    bus_->unplug(ports[0]);
    EXPECT_EQ(productName(plugMixer(mx::profiles::qx1600(), 4)), u"Orvo QX1600");
    bus_->unplug(ports[1]);
    EXPECT_EQ(productName(plugMixer(mx::profiles::qx1600(), 5)), u"Orvo QX1600 (2)");
}

TEST_F(UsbConfigTest, TheTenthIdenticalMixerEndsInTen)
{
    DeviceContext* c = nullptr;
    for (uint32_t serial = 1; serial <= 10; ++serial)
        c = plugMixer(mx::profiles::zr90Alpha(), serial);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(productName(c), u"Orvo ZR90 Alpha (10)");
    EXPECT_EQ(c->productNameBytes, (15u + 1) * 2 + 10);
    EXPECT_EQ(c->duplicateNumber, 9u);
}

// Any one request or allocation of preparing the hardware failing: the device
// is refused cleanly, or it works with what could be read (a string that
// could not be had stays absent; a name that could not be read is empty).
TEST_F(UsbConfigTest, EachFailureOnTheWayLeavesAConsistentDevice)
{
    for (FaultKind kind : {FaultKind::ControlTransfer, FaultKind::Allocation}) {
        bool sawAbsentName = false;
        uint32_t tried = 0;
        for (uint32_t skip = 0; skip < 400; ++skip, ++tried) {
            SCOPED_TRACE(std::to_string(static_cast<int>(kind)) + " at " + std::to_string(skip));
            auto& dev = make(mx::profiles::asymmetric(), skip);
            armFault(kind, skip, 1);
            const uint64_t before = faultChecks(kind);
            uint32_t port = plugIn(dev);
            const bool fired = faultChecks(kind) > before + skip;
            disarmFaults();
            if (DeviceContext* c = context(port)) {
                if (c->productName) {
                    EXPECT_EQ(productName(c), u"Orvo Test Mixer");
                } else {
                    sawAbsentName = true;
                }
                EXPECT_LE(names(info(c).inputChannelNames()).size(), 6u);
                EXPECT_EQ(c->inputChannels, 6u);
                bus_->unplug(port);
            } else {
                EXPECT_NE(pnp::lastStartStatus(), status::kSuccess);
            }
            EXPECT_EQ(SlotsInUse(), 0u);
            if (!fired)
                break; // past the last operation of the start
        }
        EXPECT_GT(tried, 5u); // the start has that many operations of each kind
        if (kind == FaultKind::ControlTransfer) {
            EXPECT_TRUE(sawAbsentName);
        }
    }
}

class ChannelLayout : public UsbConfigTest, public ::testing::WithParamInterface<mx::Profile> {};

TEST_P(ChannelLayout, CountsFormatAndNamesAtTheirOffsets)
{
    const mx::Profile& p = GetParam();
    DeviceContext* c = plugMixer(p);
    ASSERT_NE(c, nullptr);
    AsioInfo record = info(c);
    EXPECT_EQ(loadU32(c->asioInfo + 919), p.record.channels());
    EXPECT_EQ(loadU32(c->asioInfo + 915), p.playback.channels());
    EXPECT_EQ(c->asioInfo[923], p.playback.floatSamples ? 1 : 0);
    EXPECT_EQ(c->inputChannels, p.record.channels());
    EXPECT_EQ(c->outputChannels, p.playback.channels());
    EXPECT_EQ(names(record.inputChannelNames()), p.record.channelNames);
    EXPECT_EQ(names(record.outputChannelNames()), p.playback.channelNames);
    // The clock is addressed through the playback interface's terminal link.
    EXPECT_EQ(c->clockEntityId, mx::kPlaybackUsbTerminalId);
}

INSTANTIATE_TEST_SUITE_P(Profiles, ChannelLayout,
                         ::testing::Values(mx::profiles::qx1600(), mx::profiles::zr90Alpha(),
                                           mx::profiles::asymmetric(), mx::profiles::maxChannels(),
                                           mx::profiles::floatFormat(), mx::profiles::tooManyChannels()),
                         [](const auto& i) {
                             std::string n = i.param.key;
                             for (char& ch : n)
                                 if (ch == '-')
                                     ch = '_';
                             return n;
                         });

TEST_F(UsbConfigTest, NameListsThatWouldOverflowAreCutShortInsideTheirAreas)
{
    const mx::Profile p = mx::profiles::nameOverflow();
    DeviceContext* c = plugMixer(p);
    ASSERT_NE(c, nullptr);
    struct Side {
        std::span<uint8_t, asio_info::kChannelNamesBytes> area;
        const std::vector<std::u16string>& expected;
    };
    for (const Side& side : {Side{info(c).inputChannelNames(), p.record.channelNames},
                             Side{info(c).outputChannelNames(), p.playback.channelNames}}) {
        auto listed = names(side.area);
        // 20 whole names of 126 characters fit (20 × 254 bytes); the 21st is
        // cut to what leaves room for its zero, and the rest are dropped.
        ASSERT_EQ(listed.size(), 21u);
        for (size_t i = 0; i < 20; ++i)
            EXPECT_EQ(listed[i], side.expected[i]) << i;
        EXPECT_EQ(listed[20], side.expected[20].substr(0, (5100 - 20 * 254) / 2 - 1));
        EXPECT_EQ(side.area[5098], 0);
        EXPECT_EQ(side.area[5099], 0);
    }
    // What follows the output list is untouched.
    EXPECT_EQ(loadU32(c->asioInfo + 11188), 0u);
}

TEST_F(UsbConfigTest, ThreeInterfacesWithOnePipeEachAtTheStreamingSetting)
{
    auto& dev = make(mx::profiles::qx1600());
    DeviceContext* c = context(plugIn(dev));
    ASSERT_NE(c, nullptr);
    ASSERT_NE(c->recordPipe, nullptr);
    ASSERT_NE(c->playbackPipe, nullptr);
    ASSERT_NE(c->interruptPipe, nullptr);
    EXPECT_EQ(c->recordPipeInfo.endpointAddress, mx::kRecordEndpoint);
    EXPECT_EQ(c->playbackPipeInfo.endpointAddress, mx::kPlaybackEndpoint);
    EXPECT_EQ(c->interruptPipeInfo.endpointAddress, mx::kInterruptEndpoint);
    EXPECT_EQ(c->recordInterface->configuredSettingIndex(), 1);
    EXPECT_EQ(c->playbackInterface->configuredSettingIndex(), 1);
    EXPECT_EQ(dev.alternateSetting(mx::kRecordInterface), 1);
    EXPECT_EQ(dev.alternateSetting(mx::kPlaybackInterface), 1);
    EXPECT_EQ(c->lowerTarget, &c->device->ioTarget());
    EXPECT_EQ(c->interruptReaderStarted, 1);
}

// The mixer with a changed configuration descriptor.
class EditedMixer final : public usb::DeviceBackend {
public:
    EditedMixer(mx::UsbAudioDevice& inner, std::vector<uint8_t> configuration)
        : inner_(inner), configuration_(std::move(configuration))
    {
    }
    std::span<const uint8_t> deviceDescriptor() const override { return inner_.deviceDescriptor(); }
    std::span<const uint8_t> configurationDescriptor() const override { return configuration_; }
    bool highSpeed() const override { return inner_.highSpeed(); }
    std::optional<std::u16string> stringDescriptor(uint8_t i, uint16_t l) const override
    {
        return inner_.stringDescriptor(i, l);
    }
    usb::ControlResult controlTransfer(const usb::SetupPacket& s, std::span<uint8_t> d) override
    {
        return inner_.controlTransfer(s, d);
    }
    void setConfiguration(uint8_t v) override { inner_.setConfiguration(v); }
    void setInterface(uint8_t i, uint8_t a) override { inner_.setInterface(i, a); }
    usb::IsochPacketResult isochIn(uint8_t e, uint64_t m, std::span<uint8_t> p) override
    {
        return inner_.isochIn(e, m, p);
    }
    usb::IsochPacketResult isochOut(uint8_t e, uint64_t m, std::span<const uint8_t> p) override
    {
        return inner_.isochOut(e, m, p);
    }
    std::optional<std::vector<uint8_t>> interruptIn(uint8_t e) override { return inner_.interruptIn(e); }

private:
    mx::UsbAudioDevice& inner_;
    std::vector<uint8_t> configuration_;
};

class EditedConfigTest : public MixerFixture {
protected:
    ~EditedConfigTest() override
    {
        for (uint32_t port : ports_)
            if (bus_->device(port))
                bus_->unplug(port);
        bus_.reset(); // before the edited devices go
    }
    std::deque<EditedMixer> edited_;
};

// Offset of the interface descriptor (number, setting) in a configuration.
size_t findInterface(const std::vector<uint8_t>& c, uint8_t number, uint8_t setting)
{
    for (size_t at = 0; at + 1 < c.size(); at += c[at])
        if (c[at + 1] == 4 && c[at + 2] == number && c[at + 3] == setting)
            return at;
    return 0;
}

void setTotalLength(std::vector<uint8_t>& c)
{
    c[2] = static_cast<uint8_t>(c.size());
    c[3] = static_cast<uint8_t>(c.size() >> 8);
}

TEST_F(EditedConfigTest, AStreamingInterfaceWithoutExactlyOnePipeIsAConfigurationError)
{
    auto& dev = make(mx::profiles::qx1600());
    const auto original = std::vector<uint8_t>(dev.configurationDescriptor().begin(),
                                               dev.configurationDescriptor().end());
    // A second endpoint on the record interface's streaming setting.
    std::vector<uint8_t> two = original;
    size_t at = findInterface(two, mx::kRecordInterface, 1);
    ASSERT_NE(at, 0u);
    two[at + 4] = 2;
    const std::vector<uint8_t> extra = {7, 5, 0x84, 0x11, 4, 0, 1};
    two.insert(two.end(), extra.begin(), extra.end());
    setTotalLength(two);
    // No endpoint on the playback interface's streaming setting.
    std::vector<uint8_t> none = original;
    at = findInterface(none, mx::kPlaybackInterface, 1);
    ASSERT_NE(at, 0u);
    none[at + 4] = 0;
    size_t ep = at;
    while (none[ep + 1] != 5)
        ep += none[ep];
    none.erase(none.begin() + static_cast<ptrdiff_t>(ep), none.begin() + static_cast<ptrdiff_t>(ep) + 7);
    setTotalLength(none);

    for (auto* config : {&two, &none}) {
        uint32_t port = plugIn(edited_.emplace_back(dev, *config));
        EXPECT_EQ(pnp::lastStartStatus(), status::kDeviceConfigurationError);
        EXPECT_EQ(bus_->device(port), nullptr);
    }
    EXPECT_EQ(SlotsInUse(), 0u);
}

TEST_F(EditedConfigTest, AMissingStreamingDescriptorLeavesCountsAndFormatZero)
{
    auto& dev = make(mx::profiles::floatFormat());
    std::vector<uint8_t> c(dev.configurationDescriptor().begin(), dev.configurationDescriptor().end());
    // Turn the playback AS_GENERAL into an unknown class-specific subtype.
    size_t at = findInterface(c, mx::kPlaybackInterface, 1);
    ASSERT_NE(at, 0u);
    at += c[at];
    ASSERT_EQ(c[at + 1], 0x24);
    c[at + 2] = 0x7F;
    DeviceContext* ctx = context(plugIn(edited_.emplace_back(dev, c)));
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ctx->outputChannels, 0u);
    EXPECT_EQ(loadU32(ctx->asioInfo + 915), 0u);
    // The record side parsed as float; the format byte comes from the
    // playback parse, which found nothing: integer.
    EXPECT_EQ(ctx->inputChannels, 4u);
    EXPECT_EQ(ctx->asioInfo[923], 0);
    EXPECT_EQ(ctx->clockEntityId, mx::kRecordUsbTerminalId);
}

TEST_F(UsbConfigTest, ParseIgnoresDescriptorsThatRunPastTheEnd)
{
    auto& dev = make(mx::profiles::asymmetric());
    std::vector<uint8_t> c(dev.configurationDescriptor().begin(), dev.configurationDescriptor().end());
    size_t at = findInterface(c, mx::kRecordInterface, 1);
    c.resize(at + 9 + 10); // the record AS_GENERAL cut after 10 of its 16 bytes
    DeviceContext ctx{};
    uint8_t floatFlag = 7;
    uint32_t count = 99;
    std::vector<uint8_t> area(asio_info::kChannelNamesBytes);
    ParseAudioStreamingInterface(&ctx, c.data(), c.size(), mx::kRecordInterface, &floatFlag, &count,
                                 std::span<uint8_t, asio_info::kChannelNamesBytes>(area.data(), area.size()));
    EXPECT_EQ(floatFlag, 7);
    EXPECT_EQ(count, 99u);
}

} // namespace
} // namespace orvo::kernel::testing

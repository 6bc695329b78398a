#include "kernel_fixture.h"
#include "test_usb_device.h"

#include "platform/kernel/device.h"
#include "platform/kernel/spin_lock.h"
#include "platform/kernel/usb.h"
#include "platform/kernel/usb_bus.h"

#include <cstring>
#include <vector>

namespace kplat::testing {
namespace {

Status addPlain(Driver&, DeviceInit& init)
{
    Device* device = nullptr;
    return Device::create(init, ObjectAttributes{}, &device);
}

Status entry(DriverObject& object, const std::u16string&)
{
    DriverConfig config;
    config.deviceAdd = &addPlain;
    return Driver::create(object, ObjectAttributes{}, config, nullptr);
}

struct Completion {
    Status status;
    int32_t usbd;
    Ticks at;
    int id;
};
std::vector<Completion> gDone;

// One transfer: a reusable request with its URB and buffer.
struct Transfer {
    explicit Transfer(Object* parent, int id) : id(id)
    {
        ObjectAttributes attributes;
        attributes.parent = parent;
        EXPECT_EQ(Request::create(attributes, &request), status::kSuccess);
        EXPECT_EQ(Memory::createPreallocated(attributes, urbBytes, sizeof urbBytes, &memory), status::kSuccess);
    }
    usb::IsochUrb& build(usb::Pipe& pipe, bool in, uint32_t startFrame, uint32_t frames, uint32_t packetSize)
    {
        request->reuse();
        std::memset(urbBytes, 0, sizeof urbBytes);
        auto* urb = reinterpret_cast<usb::IsochUrb*>(urbBytes);
        uint32_t packets = frames * 8;
        urb->length = static_cast<uint16_t>(usb::isochUrbSize(packets));
        urb->function = usb::kUrbFunctionIsochTransfer;
        urb->pipe = &pipe;
        urb->transferFlags = in ? usb::kTransferDirectionIn : 0;
        urb->transferBuffer = buffer;
        urb->transferBufferLength = packets * packetSize;
        urb->startFrame = startFrame;
        urb->numberOfPackets = packets;
        for (uint32_t i = 0; i < packets; ++i) {
            urb->packets()[i].offset = i * packetSize;
            urb->packets()[i].length = in ? 0 : packetSize;
        }
        for (uint32_t i = 0; i < urb->transferBufferLength; ++i)
            buffer[i] = static_cast<uint8_t>(i);
        EXPECT_EQ(pipe.formatRequestForUrb(*request, *memory, 0), status::kSuccess);
        request->setCompletionRoutine(
            [](Request& r, IoTarget&, void* context) {
                EXPECT_EQ(currentLevel(), Level::Dispatch);
                gDone.push_back({r.status(), r.usbdStatus(), kernelClock().now(), static_cast<Transfer*>(context)->id});
            },
            this);
        return *urb;
    }
    usb::IsochUrb& urb() { return *reinterpret_cast<usb::IsochUrb*>(urbBytes); }

    int id;
    Request* request = nullptr;
    Memory* memory = nullptr;
    alignas(8) uint8_t urbBytes[usb::isochUrbSize(400)] = {};
    uint8_t buffer[400 * 64] = {};
};

class UsbTest : public KernelFixture {
protected:
    UsbTest()
    {
        gDone.clear();
        EXPECT_EQ(pnp::loadDriver(&entry, u"test"), status::kSuccess);
        bus_ = std::make_unique<usb::HostController>();
        port_ = bus_->plug(mixer_);
        device_ = bus_->device(port_);
        EXPECT_EQ(usb::TargetDevice::create(*device_, ObjectAttributes{}, &target_), status::kSuccess);
    }
    ~UsbTest() override
    {
        bus_.reset();
        pnp::unloadDriver();
    }

    void selectStreaming()
    {
        std::vector<usb::SettingPair> pairs;
        for (uint8_t i = 0; i < target_->interfaceCount(); ++i)
            pairs.push_back({target_->interface(i), static_cast<uint8_t>(i == 0 ? 0 : 1)});
        usb::SelectConfigParams params;
        params.pairs = pairs;
        ASSERT_EQ(target_->selectConfig(params), status::kSuccess);
        record_ = target_->interface(2)->configuredPipe(0, nullptr);
        playback_ = target_->interface(1)->configuredPipe(0, nullptr);
        interrupt_ = target_->interface(0)->configuredPipe(0, nullptr);
        ASSERT_TRUE(record_ && playback_ && interrupt_);
    }
    uint32_t frame()
    {
        uint32_t f = 0;
        EXPECT_EQ(target_->retrieveCurrentFrameNumber(&f), status::kSuccess);
        return f;
    }

    TestUsbDevice mixer_;
    std::unique_ptr<usb::HostController> bus_;
    uint32_t port_ = 0;
    Device* device_ = nullptr;
    usb::TargetDevice* target_ = nullptr;
    usb::Pipe* record_ = nullptr;
    usb::Pipe* playback_ = nullptr;
    usb::Pipe* interrupt_ = nullptr;
};

TEST_F(UsbTest, DescriptorsStringsAndSizeQueries)
{
    usb::DeviceDescriptor d;
    target_->retrieveDeviceDescriptor(d);
    EXPECT_EQ(d.idVendor, 0x3A71);
    EXPECT_EQ(d.idProduct, 0x0018);
    usb::DeviceInformation info;
    ASSERT_EQ(target_->retrieveInformation(info), status::kSuccess);
    EXPECT_TRUE(info.traits & usb::kTraitAtHighSpeed);

    uint16_t length = 0;
    EXPECT_EQ(target_->retrieveConfigDescriptor(nullptr, &length), status::kBufferTooSmall);
    EXPECT_EQ(length, mixer_.configurationDescriptor().size());
    std::vector<uint8_t> config(length);
    EXPECT_EQ(target_->retrieveConfigDescriptor(config.data(), &length), status::kSuccess);
    EXPECT_TRUE(std::equal(config.begin(), config.end(), mixer_.configurationDescriptor().begin()));
    const uint8_t* record =
        usb::parseConfigurationDescriptor(config.data(), config.size(), config.data(), 2, 1, 1, 2, 0x20);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record[2], 2);

    uint16_t chars = 0;
    ASSERT_EQ(target_->queryString(nullptr, &chars, d.iProduct, 0x0409), status::kSuccess);
    EXPECT_EQ(chars, 10);
    std::u16string text(chars, u'\0');
    ASSERT_EQ(target_->queryString(text.data(), &chars, d.iProduct, 0x0409), status::kSuccess);
    EXPECT_EQ(text, u"Test Mixer");
    uint16_t small = 4;
    EXPECT_EQ(target_->queryString(text.data(), &small, d.iProduct, 0x0409), status::kBufferOverflow);
    EXPECT_NE(target_->queryString(nullptr, &chars, d.iProduct, 0x0407), status::kSuccess);
}

TEST_F(UsbTest, SelectsInterfacesWithTheirPipesAndDeconfigures)
{
    EXPECT_EQ(target_->interfaceCount(), 3);
    usb::InterfaceDescriptor id;
    ASSERT_TRUE(target_->interface(1)->descriptor(1, id));
    EXPECT_EQ(id.bAlternateSetting, 1);
    EXPECT_FALSE(target_->interface(1)->descriptor(2, id));
    selectStreaming();
    auto calls = mixer_.calls();
    EXPECT_EQ(calls, (std::vector<std::string>{"configuration 1", "interface 0 0", "interface 1 1", "interface 2 1"}));
    usb::PipeInformation info;
    target_->interface(2)->configuredPipe(0, &info);
    EXPECT_EQ(info.pipeType, usb::PipeType::Isochronous);
    EXPECT_EQ(info.endpointAddress, TestUsbDevice::kRecordEndpoint);
    EXPECT_EQ(info.maximumPacketSize, 1024u);
    EXPECT_EQ(target_->interface(1)->configuredPipeCount(), 1);
    EXPECT_EQ(record_->reset(), status::kSuccess);

    usb::SelectConfigParams deconfigure;
    deconfigure.type = usb::SelectConfigParams::Type::Deconfigure;
    ASSERT_EQ(target_->selectConfig(deconfigure), status::kSuccess);
    EXPECT_EQ(mixer_.calls().back(), "configuration 0");
    EXPECT_EQ(target_->interface(2)->configuredPipeCount(), 0);
}

TEST_F(UsbTest, InPacketsLieAtPacketOffsetsAndCompleteAfterTheirLastFrame)
{
    selectStreaming();
    Transfer t(device_, 1);
    uint32_t start = frame() + 3;
    t.build(*record_, true, start, 2, 64);
    Ticks sent = kernelClock().now();
    ASSERT_TRUE(t.request->send(device_->ioTarget(), SendOptions{}));
    kernelClock().advance(msToTicks(4));
    EXPECT_TRUE(gDone.empty());
    kernelClock().advance(msToTicks(1));
    ASSERT_EQ(gDone.size(), 1u);
    EXPECT_EQ(gDone[0].status, status::kSuccess);
    EXPECT_EQ(gDone[0].at, sent + msToTicks(5)); // end of frame start + 1
    auto& urb = t.urb();
    EXPECT_EQ(urb.status, usb::usbd::kSuccess);
    for (uint32_t i = 0; i < 16; ++i) {
        const usb::IsochPacket& p = urb.packets()[i];
        EXPECT_EQ(p.offset, i * 64);
        EXPECT_EQ(p.length, 48u);
        EXPECT_EQ(p.status, usb::usbd::kSuccess);
        uint64_t microframe = uint64_t(start) * 8 + i;
        EXPECT_EQ(t.buffer[p.offset + 5], TestUsbDevice::inByte(microframe, 5)) << i;
    }
}

TEST_F(UsbTest, OutPacketsReachTheDevicePerMicroframe)
{
    selectStreaming();
    Transfer t(device_, 1);
    uint32_t start = frame() + 1;
    t.build(*playback_, false, start, 1, 40);
    ASSERT_TRUE(t.request->send(device_->ioTarget(), SendOptions{}));
    kernelClock().advance(msToTicks(3));
    auto out = mixer_.outPackets();
    ASSERT_EQ(out.size(), 8u);
    for (uint32_t k = 0; k < 8; ++k) {
        EXPECT_EQ(out[k].microframe, uint64_t(start) * 8 + k);
        ASSERT_EQ(out[k].bytes.size(), 40u);
        EXPECT_EQ(out[k].bytes[0], static_cast<uint8_t>(k * 40));
    }

    // OUT packets must follow one another.
    t.build(*playback_, false, frame() + 1, 1, 40);
    t.urb().packets()[3].offset += 4;
    EXPECT_FALSE(t.request->send(device_->ioTarget(), SendOptions{}));
    EXPECT_EQ(t.request->status(), status::kInvalidParameter);
}

TEST_F(UsbTest, StartFrameRules)
{
    selectStreaming();
    struct Case {
        int32_t offset;
        bool ok;
    } cases[] = {{-1, false}, {0, true}, {1024, true}, {1025, false}, {-100000, false}};
    for (const Case& c : cases) {
        gDone.clear();
        Transfer t(device_, 0);
        t.build(*record_, true, frame() + static_cast<uint32_t>(c.offset), 1, 64);
        ASSERT_TRUE(t.request->send(device_->ioTarget(), SendOptions{}));
        kernelClock().advance(msToTicks(1030));
        ASSERT_EQ(gDone.size(), 1u) << c.offset;
        EXPECT_EQ(succeeded(gDone[0].status), c.ok) << c.offset;
        EXPECT_EQ(gDone[0].usbd == usb::usbd::kBadStartFrame, !c.ok) << c.offset;
    }
}

TEST_F(UsbTest, TransfersOfOneEndpointMayNotShareAFrame)
{
    selectStreaming();
    Transfer a(device_, 1), b(device_, 2);
    uint32_t start = frame() + 5;
    a.build(*record_, true, start, 2, 64);
    b.build(*record_, true, start + 1, 1, 64);
    ASSERT_TRUE(a.request->send(device_->ioTarget(), SendOptions{}));
    ASSERT_TRUE(b.request->send(device_->ioTarget(), SendOptions{}));
    kernelClock().advance(msToTicks(10));
    ASSERT_EQ(gDone.size(), 2u);
    EXPECT_EQ(gDone[0].id, 2);
    EXPECT_EQ(gDone[0].usbd, usb::usbd::kBadStartFrame);
    EXPECT_EQ(gDone[1].id, 1);
    EXPECT_EQ(gDone[1].status, status::kSuccess);
}

TEST_F(UsbTest, CompletionsFollowStartFrameOrder)
{
    selectStreaming();
    Transfer early(device_, 1), late(device_, 2);
    uint32_t start = frame() + 2;
    late.build(*playback_, false, start + 1, 1, 40); // ends with frame start + 1
    early.build(*record_, true, start, 2, 64);       // ends with the same frame
    ASSERT_TRUE(late.request->send(device_->ioTarget(), SendOptions{}));
    ASSERT_TRUE(early.request->send(device_->ioTarget(), SendOptions{}));
    kernelClock().advance(msToTicks(6));
    ASSERT_EQ(gDone.size(), 2u);
    EXPECT_EQ(gDone[0].id, 1);
    EXPECT_EQ(gDone[1].id, 2);
    EXPECT_EQ(gDone[0].at, gDone[1].at);
}

TEST_F(UsbTest, StoppingWithCancelCompletesPendingTransfersAsCancelled)
{
    selectStreaming();
    Transfer t(device_, 1);
    t.build(*record_, true, frame() + 100, 1, 64);
    ASSERT_TRUE(t.request->send(device_->ioTarget(), SendOptions{}));
    device_->ioTarget().stop(IoTarget::StopAction::CancelSentIo);
    ASSERT_EQ(gDone.size(), 1u);
    EXPECT_EQ(gDone[0].status, status::kCancelled);
    EXPECT_EQ(gDone[0].usbd, usb::usbd::kCancelled);
    EXPECT_EQ(device_->ioTarget().pendingCount(), 0u);

    t.build(*record_, true, frame() + 1, 1, 64);
    EXPECT_FALSE(t.request->send(device_->ioTarget(), SendOptions{}));
    EXPECT_EQ(t.request->status(), status::kInvalidDeviceState);
    ASSERT_EQ(device_->ioTarget().start(), status::kSuccess);
    EXPECT_TRUE(t.request->send(device_->ioTarget(), SendOptions{}));
    kernelClock().advance(msToTicks(3));
    EXPECT_EQ(gDone.back().status, status::kSuccess);
}

TEST_F(UsbTest, ATransferPastItsTimeoutIsCancelled)
{
    selectStreaming();
    Transfer t(device_, 1);
    t.build(*record_, true, frame() + 800, 1, 64);
    ASSERT_TRUE(t.request->send(device_->ioTarget(), SendOptions{msToTicks(500)}));
    kernelClock().advance(msToTicks(499));
    EXPECT_TRUE(gDone.empty());
    kernelClock().advance(msToTicks(1));
    ASSERT_EQ(gDone.size(), 1u);
    EXPECT_EQ(gDone[0].status, status::kIoTimeout);
}

TEST_F(UsbTest, UnplugCompletesTransfersWithTheDeviceGone)
{
    selectStreaming();
    auto* t = new Transfer(device_, 1);
    t->build(*record_, true, frame() + 10, 1, 64);
    ASSERT_TRUE(t->request->send(device_->ioTarget(), SendOptions{}));
    bus_->unplug(port_);
    ASSERT_EQ(gDone.size(), 1u);
    EXPECT_EQ(gDone[0].status, status::kNoSuchDevice);
    EXPECT_EQ(gDone[0].usbd, usb::usbd::kDeviceGone);
    delete t;
}

TEST_F(UsbTest, FaultsFailSendsTransfersAndControlRequests)
{
    selectStreaming();
    Transfer t(device_, 1);
    t.build(*record_, true, frame() + 1, 1, 64);
    armFault(FaultKind::RequestSend);
    EXPECT_FALSE(t.request->send(device_->ioTarget(), SendOptions{}));
    armFault(FaultKind::IsochTransfer);
    ASSERT_TRUE(t.request->send(device_->ioTarget(), SendOptions{}));
    kernelClock().advance(msToTicks(3));
    ASSERT_EQ(gDone.size(), 1u);
    EXPECT_FALSE(succeeded(gDone[0].status));
    EXPECT_EQ(t.urb().packets()[0].length, 0u);

    armFault(FaultKind::ControlTransfer);
    uint8_t data[4];
    EXPECT_EQ(target_->sendControlTransferSync({0xA1, 1, 0x0100, 0x0900, 4}, data, msToTicks(5000), nullptr),
              status::kUnsuccessful);
}

TEST_F(UsbTest, ControlTransfersWithTimeOut)
{
    mixer_.onControl = [](const usb::SetupPacket& setup, std::span<uint8_t> data) -> usb::ControlResult {
        if (setup.bRequest == 2)
            return {usb::DeviceStatus::NoResponse, 0};
        std::memset(data.data(), 0xAB, data.size());
        return {usb::DeviceStatus::Ok, static_cast<uint32_t>(data.size())};
    };
    uint8_t data[4] = {};
    uint32_t bytes = 0;
    ASSERT_EQ(target_->sendControlTransferSync({0xA1, 1, 0x0100, 0x0900, 4}, data, msToTicks(5000), &bytes),
              status::kSuccess);
    EXPECT_EQ(bytes, 4u);
    EXPECT_EQ(data[3], 0xAB);
    Ticks before = kernelClock().now();
    EXPECT_EQ(target_->sendControlTransferSync({0xA1, 2, 0x0100, 0x0900, 4}, data, msToTicks(5000), &bytes),
              status::kIoTimeout);
    EXPECT_EQ(kernelClock().now() - before, msToTicks(5000));
    // wLength beyond the buffer.
    EXPECT_EQ(target_->sendControlTransferSync({0xA1, 1, 0x0100, 0x0900, 8}, data, msToTicks(5000), &bytes),
              status::kInvalidParameter);

    Object* parent = device_;
    ObjectAttributes attributes;
    attributes.parent = parent;
    SpinLock* lock = nullptr;
    ASSERT_EQ(SpinLock::create(attributes, &lock), status::kSuccess);
    SpinLockGuard guard(*lock);
    EXPECT_THROW(target_->sendControlTransferSync({0xA1, 1, 0x0100, 0x0900, 4}, data, msToTicks(5000), &bytes),
                 StrictnessViolation);
}

std::vector<std::vector<uint8_t>> gMessages;

// A reader that keeps every message it is handed in gMessages (cleared here).
usb::ContinuousReaderConfig recordingReader()
{
    gMessages.clear();
    usb::ContinuousReaderConfig reader;
    reader.transferLength = 6;
    reader.numPendingReads = 15;
    reader.readersComplete = [](usb::Pipe&, const uint8_t* buffer, size_t length, void*) {
        EXPECT_EQ(currentLevel(), Level::Dispatch);
        gMessages.emplace_back(buffer, buffer + length);
    };
    return reader;
}

TEST_F(UsbTest, ContinuousReaderDeliversInterruptMessagesWhileStarted)
{
    selectStreaming();
    usb::ContinuousReaderConfig reader = recordingReader();
    ASSERT_EQ(interrupt_->configureContinuousReader(reader), status::kSuccess);
    mixer_.queueInterrupt({1, 2, 3, 4, 5, 6});
    kernelClock().advance(msToTicks(5));
    EXPECT_TRUE(gMessages.empty()); // target not started yet
    ASSERT_EQ(interrupt_->ioTarget().start(), status::kSuccess);
    EXPECT_EQ(interrupt_->configureContinuousReader(reader), status::kInvalidDeviceState);
    kernelClock().advance(msToTicks(2));
    mixer_.queueInterrupt({9, 9, 9, 9});
    kernelClock().advance(msToTicks(2));
    ASSERT_EQ(gMessages.size(), 2u);
    EXPECT_EQ(gMessages[0], (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(gMessages[1].size(), 4u);
    interrupt_->ioTarget().stop(IoTarget::StopAction::CancelSentIo);
    mixer_.queueInterrupt({1, 1, 1, 1, 1, 1});
    kernelClock().advance(msToTicks(5));
    EXPECT_EQ(gMessages.size(), 2u);
}

TEST_F(UsbTest, AnEmptyInterruptMessageIsDeliveredAsZeroBytes)
{
    selectStreaming();
    ASSERT_EQ(interrupt_->configureContinuousReader(recordingReader()), status::kSuccess);
    ASSERT_EQ(interrupt_->ioTarget().start(), status::kSuccess);
    mixer_.queueInterrupt({});
    kernelClock().advance(msToTicks(2));
    ASSERT_EQ(gMessages.size(), 1u);
    EXPECT_TRUE(gMessages[0].empty());
    interrupt_->ioTarget().stop(IoTarget::StopAction::CancelSentIo);
}

// A device whose configuration descriptor is shorter than its header, down
// to nothing at all: the stack reads what there is and finds no interfaces.
class ShortConfigurationDevice final : public TestUsbDevice {
public:
    explicit ShortConfigurationDevice(size_t bytes) : bytes_(bytes) {}
    std::span<const uint8_t> configurationDescriptor() const override
    {
        return TestUsbDevice::configurationDescriptor().first(bytes_);
    }

private:
    size_t bytes_;
};

TEST(UsbShortConfigurationTest, TargetHasNoInterfacesAndCopiesWhatThereIs)
{
    for (size_t bytes : {size_t{0}, size_t{1}, size_t{5}}) {
        SCOPED_TRACE(bytes);
        kernelClock().useVirtual(0);
        ASSERT_EQ(pnp::loadDriver(&entry, u"test"), status::kSuccess);
        {
            ShortConfigurationDevice device(bytes);
            usb::HostController bus;
            Device* d = bus.device(bus.plug(device));
            ASSERT_NE(d, nullptr);
            usb::TargetDevice* target = nullptr;
            ASSERT_EQ(usb::TargetDevice::create(*d, ObjectAttributes{}, &target), status::kSuccess);
            EXPECT_EQ(target->interfaceCount(), 0u);
            uint8_t copy[16];
            uint16_t length = sizeof copy;
            EXPECT_EQ(target->retrieveConfigDescriptor(copy, &length), status::kSuccess);
            EXPECT_EQ(length, bytes);
            usb::DeviceInformation info;
            EXPECT_EQ(target->retrieveInformation(info), status::kSuccess);
        }
        pnp::unloadDriver();
    }
}

TEST_F(UsbTest, FrameNumberFollowsTheClock)
{
    uint32_t first = frame();
    kernelClock().advance(msToTicks(10) + 5'000);
    EXPECT_EQ(frame(), first + 10);
}

} // namespace
} // namespace kplat::testing

#pragma once
// USB stand-in as a function driver sees it: the USB target device, its
// interfaces and pipes, continuous readers, synchronous control transfers and
// isochronous URBs. The host controller behind it is usb_bus.h.

#include "platform/kernel/framework_object.h"
#include "platform/kernel/memory.h"
#include "platform/kernel/request.h"
#include "platform/kernel/usb_device_backend.h"

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace kplat {
class Device;
}

namespace kplat::usb {

class Port;
class Interface;
class Pipe;

// USB request status (the USB stack's own codes; errors have the top two bits set).
namespace usbd {
constexpr int32_t code(uint32_t bits) { return static_cast<int32_t>(bits); }
constexpr int32_t kSuccess = 0;
constexpr int32_t kCrc = code(0xC0000001);
constexpr int32_t kStallPid = code(0xC0000004);
constexpr int32_t kDeviceNotResponding = code(0xC0000005);
constexpr int32_t kNotAccessed = code(0xC000000F);
constexpr int32_t kXactError = code(0xC0000011);
constexpr int32_t kBabbleDetected = code(0xC0000012);
constexpr int32_t kInvalidParameter = code(0x80000300);
constexpr int32_t kInvalidPipeHandle = code(0x80000600);
constexpr int32_t kBadStartFrame = code(0xC0000A00);
constexpr int32_t kIsochRequestFailed = code(0xC0000B00);
constexpr int32_t kTimeout = code(0xC0006000);
constexpr int32_t kDeviceGone = code(0xC0007000);
constexpr int32_t kCancelled = code(0xC0010000);
constexpr bool isError(int32_t s) { return (static_cast<uint32_t>(s) >> 30) == 3; }
} // namespace usbd

// --- descriptors -------------------------------------------------------------

struct DeviceDescriptor {
    uint8_t bLength = 0;
    uint8_t bDescriptorType = 0;
    uint16_t bcdUSB = 0;
    uint8_t bDeviceClass = 0;
    uint8_t bDeviceSubClass = 0;
    uint8_t bDeviceProtocol = 0;
    uint8_t bMaxPacketSize0 = 0;
    uint16_t idVendor = 0;
    uint16_t idProduct = 0;
    uint16_t bcdDevice = 0;
    uint8_t iManufacturer = 0;
    uint8_t iProduct = 0;
    uint8_t iSerialNumber = 0;
    uint8_t bNumConfigurations = 0;
    std::array<uint8_t, 18> raw{}; // the descriptor as the device sent it

    static DeviceDescriptor parse(std::span<const uint8_t> bytes);
};

struct InterfaceDescriptor {
    uint8_t bLength = 0;
    uint8_t bDescriptorType = 0;
    uint8_t bInterfaceNumber = 0;
    uint8_t bAlternateSetting = 0;
    uint8_t bNumEndpoints = 0;
    uint8_t bInterfaceClass = 0;
    uint8_t bInterfaceSubClass = 0;
    uint8_t bInterfaceProtocol = 0;
    uint8_t iInterface = 0;

    static InterfaceDescriptor parse(const uint8_t* bytes);
};

struct EndpointDescriptor {
    uint8_t bEndpointAddress = 0;
    uint8_t bmAttributes = 0;
    uint16_t wMaxPacketSize = 0;
    uint8_t bInterval = 0;
};

constexpr uint8_t kDescriptorDevice = 1;
constexpr uint8_t kDescriptorConfiguration = 2;
constexpr uint8_t kDescriptorString = 3;
constexpr uint8_t kDescriptorInterface = 4;
constexpr uint8_t kDescriptorEndpoint = 5;

// Finds an interface descriptor in a configuration descriptor set, starting
// at `start` (inside the set); -1 matches anything. Returns its first byte or
// null. Walks only well-formed descriptors inside the set.
const uint8_t* parseConfigurationDescriptor(const uint8_t* configuration, size_t length, const uint8_t* start,
                                            int interfaceNumber, int alternateSetting, int interfaceClass,
                                            int interfaceSubClass, int interfaceProtocol);

// --- target device -----------------------------------------------------------

enum class PipeType : uint8_t { Control, Isochronous, Bulk, Interrupt };

struct PipeInformation {
    uint32_t maximumPacketSize = 0; // bytes per (micro)frame, high-bandwidth multiplier applied
    uint8_t endpointAddress = 0;
    uint8_t interval = 0;
    uint8_t settingIndex = 0;
    PipeType pipeType = PipeType::Control;
    uint32_t maximumTransferSize = 0;
};

constexpr uint32_t kTraitSelfPowered = 0x1;
constexpr uint32_t kTraitRemoteWakeCapable = 0x2;
constexpr uint32_t kTraitAtHighSpeed = 0x4;

struct DeviceInformation {
    uint16_t usbdVersion = 0x0600;
    uint32_t hcdPortCapabilities = 0;
    uint32_t traits = 0;
};

struct SettingPair {
    Interface* interface = nullptr;
    uint8_t settingIndex = 0;
};

struct SelectConfigParams {
    enum class Type : uint8_t { Deconfigure, MultipleInterfaces };
    Type type = Type::MultipleInterfaces;
    // One pair per interface; empty selects every interface at setting 0.
    std::span<const SettingPair> pairs;
};

class TargetDevice final : public Object {
public:
    // The device must sit on the USB bus (passive level).
    static Status create(Device& device, const ObjectAttributes& attributes, TargetDevice** out);

    void retrieveDeviceDescriptor(DeviceDescriptor& out) const;
    Status retrieveInformation(DeviceInformation& out) const;
    // Size query: with a null buffer (or one too short) answers
    // status::kBufferTooSmall and the length needed.
    Status retrieveConfigDescriptor(void* buffer, uint16_t* length) const;
    // String descriptor (passive level). With a null buffer *numCharacters
    // receives the length; a buffer too short gets what fits and
    // status::kBufferOverflow.
    Status queryString(char16_t* buffer, uint16_t* numCharacters, uint8_t index, uint16_t langId);
    uint8_t interfaceCount() const { return static_cast<uint8_t>(interfaces_.size()); }
    Interface* interface(uint8_t index) const;
    Status selectConfig(const SelectConfigParams& params);
    // Synchronous control transfer on the default pipe (passive level).
    Status sendControlTransferSync(const SetupPacket& setup, std::span<uint8_t> buffer, Ticks timeout,
                                   uint32_t* bytesTransferred);
    Status retrieveCurrentFrameNumber(uint32_t* frame) const;
    // The target's I/O target (the device's stack).
    IoTarget& ioTarget() const;

    Port& port() const { return *port_; }

private:
    TargetDevice(Device& device, const ObjectAttributes& attributes, Port* port);
    void teardown() override;
    void dropPipes();

    Port* port_; // the device (our parent) keeps its port alive
    std::vector<std::unique_ptr<Interface>> interfaces_;
    bool configured_ = false;
};

class Interface {
public:
    uint8_t interfaceNumber() const { return number_; }
    uint8_t settingCount() const { return static_cast<uint8_t>(settings_.size()); }
    // False when there is no such setting.
    bool descriptor(uint8_t settingIndex, InterfaceDescriptor& out) const;
    uint8_t configuredSettingIndex() const { return configuredSetting_; }
    uint8_t configuredPipeCount() const { return static_cast<uint8_t>(pipes_.size()); }
    // Null when there is no such pipe; fills info when given.
    Pipe* configuredPipe(uint8_t pipeIndex, PipeInformation* info) const;

    struct Setting {
        InterfaceDescriptor descriptor;
        std::vector<EndpointDescriptor> endpoints;
    };

private:
    friend class TargetDevice;
    uint8_t number_ = 0;
    std::vector<Setting> settings_;
    uint8_t configuredSetting_ = 0;
    std::vector<std::unique_ptr<Pipe>> pipes_;
};

struct ContinuousReaderConfig {
    size_t transferLength = 0;
    size_t headerLength = 0;
    size_t trailerLength = 0;
    uint8_t numPendingReads = 0;
    void (*readersComplete)(Pipe& pipe, const uint8_t* buffer, size_t numBytesTransferred, void* context) = nullptr;
    // Optional: a failed read; return true to keep reading.
    bool (*readersFailed)(Pipe& pipe, Status status, int32_t usbdStatus, void* context) = nullptr;
    void* context = nullptr;
};

class Pipe {
public:
    ~Pipe();
    const PipeInformation& information() const { return info_; }
    IoTarget& ioTarget();
    // Clears a halt (passive level).
    Status reset();
    // Configures (or replaces) the continuous reader; the pipe's target must be stopped.
    Status configureContinuousReader(const ContinuousReaderConfig& config);
    // Points a driver-made request at an URB in `urbMemory` at `offset`.
    Status formatRequestForUrb(Request& request, Memory& urbMemory, size_t offset);

    // --- for the host controller ------------------------------------------
    Port& port() const { return port_; }
    bool readerConfigured() const { return reader_.readersComplete != nullptr; }
    const ContinuousReaderConfig& reader() const { return reader_; }
    std::vector<uint8_t>& readerBuffer() { return readerBuffer_; }

private:
    friend class TargetDevice;
    Pipe(Port& port, const EndpointDescriptor& endpoint, uint8_t settingIndex);
    class Target;
    Port& port_;
    PipeInformation info_;
    std::unique_ptr<Target> target_;
    ContinuousReaderConfig reader_;
    std::vector<uint8_t> readerBuffer_;
};

// --- isochronous URB -----------------------------------------------------------

constexpr uint16_t kUrbFunctionIsochTransfer = 10;
constexpr uint32_t kTransferDirectionIn = 0x1;
constexpr uint32_t kStartIsoTransferAsap = 0x4;
constexpr size_t kIsochUrbHeaderBytes = 96;
constexpr size_t kIsochPacketBytes = 12;
constexpr size_t isochUrbSize(size_t packets) { return kIsochUrbHeaderBytes + kIsochPacketBytes * packets; }
constexpr uint32_t kPacketsPerFrame = 8;           // high-speed microframes
constexpr uint32_t kSchedulingWindowFrames = 1024; // how far ahead a transfer may start

struct IsochPacket {
    uint32_t offset = 0;
    uint32_t length = 0; // IN: bytes received; OUT: bytes to send
    int32_t status = 0;
};
static_assert(sizeof(IsochPacket) == kIsochPacketBytes);

// The URB header; packets follow at kIsochUrbHeaderBytes. Lives in driver
// memory that is at least isochUrbSize(numberOfPackets) bytes, 8-aligned.
struct IsochUrb {
    uint16_t length = 0;   // isochUrbSize(numberOfPackets)
    uint16_t function = 0; // kUrbFunctionIsochTransfer
    int32_t status = 0;    // USB status when completed
    Pipe* pipe = nullptr;
    uint32_t transferFlags = 0;
    uint32_t transferBufferLength = 0;
    void* transferBuffer = nullptr;
    uint32_t startFrame = 0;
    uint32_t numberOfPackets = 0;
    uint32_t errorCount = 0;

    IsochPacket* packets() { return reinterpret_cast<IsochPacket*>(reinterpret_cast<uint8_t*>(this) + kIsochUrbHeaderBytes); }
    const IsochPacket* packets() const
    {
        return reinterpret_cast<const IsochPacket*>(reinterpret_cast<const uint8_t*>(this) + kIsochUrbHeaderBytes);
    }
};
static_assert(sizeof(IsochUrb) <= kIsochUrbHeaderBytes);

} // namespace kplat::usb

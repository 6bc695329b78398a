#include "platform/kernel/usb.h"

#include "platform/kernel/device.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/level.h"
#include "platform/kernel/usb_bus.h"

#include <algorithm>
#include <cstring>

namespace kplat::usb {

namespace {

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

constexpr uint8_t kRequestGetStatus = 0;
constexpr uint8_t kRequestGetDescriptor = 6;

Status statusFromDevice(DeviceStatus s)
{
    return s == DeviceStatus::Ok ? status::kSuccess : status::kUnsuccessful;
}

} // namespace

DeviceDescriptor DeviceDescriptor::parse(std::span<const uint8_t> bytes)
{
    DeviceDescriptor d;
    if (bytes.size() < 18)
        return d;
    const uint8_t* p = bytes.data();
    std::memcpy(d.raw.data(), p, 18);
    d.bLength = p[0];
    d.bDescriptorType = p[1];
    d.bcdUSB = le16(p + 2);
    d.bDeviceClass = p[4];
    d.bDeviceSubClass = p[5];
    d.bDeviceProtocol = p[6];
    d.bMaxPacketSize0 = p[7];
    d.idVendor = le16(p + 8);
    d.idProduct = le16(p + 10);
    d.bcdDevice = le16(p + 12);
    d.iManufacturer = p[14];
    d.iProduct = p[15];
    d.iSerialNumber = p[16];
    d.bNumConfigurations = p[17];
    return d;
}

InterfaceDescriptor InterfaceDescriptor::parse(const uint8_t* p)
{
    InterfaceDescriptor d;
    d.bLength = p[0];
    d.bDescriptorType = p[1];
    d.bInterfaceNumber = p[2];
    d.bAlternateSetting = p[3];
    d.bNumEndpoints = p[4];
    d.bInterfaceClass = p[5];
    d.bInterfaceSubClass = p[6];
    d.bInterfaceProtocol = p[7];
    d.iInterface = p[8];
    return d;
}

const uint8_t* parseConfigurationDescriptor(const uint8_t* configuration, size_t length, const uint8_t* start,
                                            int interfaceNumber, int alternateSetting, int interfaceClass,
                                            int interfaceSubClass, int interfaceProtocol)
{
    if (!configuration || length < 4)
        return nullptr;
    size_t total = std::min<size_t>(length, le16(configuration + 2));
    const uint8_t* end = configuration + total;
    const uint8_t* p = configuration;
    while (p + 2 <= end) {
        uint8_t len = p[0];
        if (len < 2 || p + len > end)
            return nullptr;
        if (p >= start && p[1] == kDescriptorInterface && len >= 9) {
            auto matches = [](int want, uint8_t have) { return want == -1 || want == have; };
            if (matches(interfaceNumber, p[2]) && matches(alternateSetting, p[3]) && matches(interfaceClass, p[5]) &&
                matches(interfaceSubClass, p[6]) && matches(interfaceProtocol, p[7]))
                return p;
        }
        p += len;
    }
    return nullptr;
}

// --- pipes ---------------------------------------------------------------------

class Pipe::Target final : public IoTarget {
public:
    explicit Target(Pipe& pipe) : pipe_(pipe) { stopped(); }
    void stopped()
    {
        // Pipe targets start when the driver starts them (its D0 entry).
        stop(StopAction::LeaveSentIoPending);
    }

protected:
    Status submit(Request& request) override { return pipe_.port().submit(request); }
    bool withdraw(Request& request) override { return pipe_.port().withdraw(request); }
    void onStarted() override
    {
        if (pipe_.readerConfigured())
            pipe_.port().activateReader(pipe_, true);
    }
    void onStopped() override { pipe_.port().activateReader(pipe_, false); }

private:
    Pipe& pipe_;
};

Pipe::Pipe(Port& port, const EndpointDescriptor& endpoint, uint8_t settingIndex) : port_(port)
{
    info_.endpointAddress = endpoint.bEndpointAddress;
    info_.interval = endpoint.bInterval;
    info_.settingIndex = settingIndex;
    switch (endpoint.bmAttributes & 3) {
    case 0: info_.pipeType = PipeType::Control; break;
    case 1: info_.pipeType = PipeType::Isochronous; break;
    case 2: info_.pipeType = PipeType::Bulk; break;
    default: info_.pipeType = PipeType::Interrupt; break;
    }
    uint32_t base = endpoint.wMaxPacketSize & 0x7FF;
    uint32_t mult = 1 + ((endpoint.wMaxPacketSize >> 11) & 3);
    info_.maximumPacketSize = base * mult;
    info_.maximumTransferSize = 1024 * info_.maximumPacketSize;
    target_ = std::make_unique<Target>(*this);
}

Pipe::~Pipe() = default;

IoTarget& Pipe::ioTarget() { return *target_; }

Status Pipe::reset()
{
    requirePassive("resetting a pipe");
    if (!port_.present())
        return status::kNoSuchDevice;
    if (consumeFault(FaultKind::ControlTransfer))
        return status::kUnsuccessful;
    return status::kSuccess;
}

Status Pipe::configureContinuousReader(const ContinuousReaderConfig& config)
{
    requirePassive("configuring a continuous reader");
    if (!config.readersComplete || config.transferLength == 0 || config.numPendingReads == 0)
        return status::kInvalidParameter;
    if ((info_.endpointAddress & 0x80) == 0 ||
        (info_.pipeType != PipeType::Interrupt && info_.pipeType != PipeType::Bulk))
        return status::kInvalidDeviceRequest;
    if (target_->state() == IoTarget::State::Started)
        return status::kInvalidDeviceState;
    if (consumeFault(FaultKind::Allocation))
        return status::kInsufficientResources;
    reader_ = config;
    readerBuffer_.assign(config.headerLength + config.transferLength + config.trailerLength, 0);
    return status::kSuccess;
}

Status Pipe::formatRequestForUrb(Request& request, Memory& urbMemory, size_t offset)
{
    if (request.pending())
        violation("formatting a request that is still pending");
    if (offset + kIsochUrbHeaderBytes > urbMemory.size())
        return status::kInvalidParameter;
    auto* urb = static_cast<uint8_t*>(urbMemory.buffer()) + offset;
    if (reinterpret_cast<uintptr_t>(urb) % alignof(IsochUrb) != 0)
        violation("an URB that is not aligned");
    request.setUrb(this, urb, urbMemory.size() - offset);
    return status::kSuccess;
}

// --- interfaces ------------------------------------------------------------------

bool Interface::descriptor(uint8_t settingIndex, InterfaceDescriptor& out) const
{
    if (settingIndex >= settings_.size())
        return false;
    out = settings_[settingIndex].descriptor;
    return true;
}

Pipe* Interface::configuredPipe(uint8_t pipeIndex, PipeInformation* info) const
{
    if (pipeIndex >= pipes_.size())
        return nullptr;
    if (info)
        *info = pipes_[pipeIndex]->information();
    return pipes_[pipeIndex].get();
}

// --- target device ---------------------------------------------------------------

TargetDevice::TargetDevice(Device& device, const ObjectAttributes& attributes, Port* port)
    : Object(attributes, &device), port_(port)
{
    // Interfaces and their settings, in descriptor order.
    const auto& config = port_->configurationDescriptor();
    // Offsets, not pointers: a device may send an empty descriptor.
    Interface::Setting* current = nullptr;
    for (size_t at = 0; at + 2 <= config.size() && config[at] >= 2 && at + config[at] <= config.size();
         at += config[at]) {
        const uint8_t* p = config.data() + at;
        if (p[1] == kDescriptorInterface && p[0] >= 9) {
            InterfaceDescriptor d = InterfaceDescriptor::parse(p);
            auto it = std::find_if(interfaces_.begin(), interfaces_.end(),
                                   [&](const auto& i) { return i->number_ == d.bInterfaceNumber; });
            if (it == interfaces_.end()) {
                interfaces_.push_back(std::unique_ptr<Interface>(new Interface));
                interfaces_.back()->number_ = d.bInterfaceNumber;
                it = interfaces_.end() - 1;
            }
            (*it)->settings_.push_back({d, {}});
            current = &(*it)->settings_.back();
        } else if (p[1] == kDescriptorEndpoint && p[0] >= 7 && current) {
            current->endpoints.push_back({p[2], p[3], le16(p + 4), p[6]});
        }
    }
}

Status TargetDevice::create(Device& device, const ObjectAttributes& attributes, TargetDevice** out)
{
    *out = nullptr;
    requirePassive("creating a USB target device");
    auto* port = dynamic_cast<Port*>(&device.busDevice());
    if (!port)
        return status::kInvalidDeviceRequest;
    if (!port->present())
        return status::kNoSuchDevice;
    if (consumeFault(FaultKind::Allocation))
        return status::kInsufficientResources;
    auto* target = new TargetDevice(device, attributes, port);
    if (!target->valid()) {
        target->deleteObject();
        return status::kInsufficientResources;
    }
    *out = target;
    return status::kSuccess;
}

void TargetDevice::retrieveDeviceDescriptor(DeviceDescriptor& out) const { out = port_->deviceDescriptor(); }

Status TargetDevice::retrieveInformation(DeviceInformation& out) const
{
    out = DeviceInformation{};
    const auto& config = port_->configurationDescriptor();
    uint8_t attributes = config.size() > 7 ? config[7] : 0;
    if (attributes & 0x40)
        out.traits |= kTraitSelfPowered;
    if (attributes & 0x20)
        out.traits |= kTraitRemoteWakeCapable;
    if (port_->highSpeed())
        out.traits |= kTraitAtHighSpeed;
    return status::kSuccess;
}

Status TargetDevice::retrieveConfigDescriptor(void* buffer, uint16_t* length) const
{
    const auto& config = port_->configurationDescriptor();
    auto total = static_cast<uint16_t>(config.size());
    if (!length)
        return status::kInvalidParameter;
    if (!buffer || *length < total) {
        *length = total;
        return status::kBufferTooSmall;
    }
    if (total > 0)
        std::memcpy(buffer, config.data(), total);
    *length = total;
    return status::kSuccess;
}

Status TargetDevice::queryString(char16_t* buffer, uint16_t* numCharacters, uint8_t index, uint16_t langId)
{
    requirePassive("reading a string descriptor");
    if (!numCharacters)
        return status::kInvalidParameter;
    if (consumeFault(FaultKind::ControlTransfer))
        return status::kUnsuccessful;
    bool gone = false;
    auto text = port_->string(index, langId, gone);
    if (gone)
        return status::kNoSuchDevice;
    if (!text)
        return status::kUnsuccessful; // the device stalls the request
    // A string descriptor holds at most 126 characters.
    size_t length = std::min<size_t>(text->size(), 126);
    if (!buffer) {
        *numCharacters = static_cast<uint16_t>(length);
        return status::kSuccess;
    }
    size_t copy = std::min<size_t>(length, *numCharacters);
    std::memcpy(buffer, text->data(), copy * 2);
    *numCharacters = static_cast<uint16_t>(length);
    return copy < length ? status::kBufferOverflow : status::kSuccess;
}

Interface* TargetDevice::interface(uint8_t index) const
{
    return index < interfaces_.size() ? interfaces_[index].get() : nullptr;
}

void TargetDevice::dropPipes()
{
    std::vector<Pipe*> all;
    for (auto& i : interfaces_)
        for (auto& p : i->pipes_)
            all.push_back(p.get());
    if (all.empty())
        return;
    for (Pipe* p : all)
        port_->activateReader(*p, false);
    port_->setPipes({});
    port_->cancelPipes(all);
    for (auto& i : interfaces_) {
        for (auto& p : i->pipes_)
            p->ioTarget().stop(IoTarget::StopAction::CancelSentIo);
        i->pipes_.clear();
        i->configuredSetting_ = 0;
    }
}

Status TargetDevice::selectConfig(const SelectConfigParams& params)
{
    requirePassive("selecting a configuration");
    if (!port_->present())
        return status::kNoSuchDevice;
    for (auto& i : interfaces_)
        for (auto& p : i->pipes_)
            if (p->readerConfigured() && p->ioTarget().state() == IoTarget::State::Started)
                return status::kInvalidDeviceState;
    if (params.type == SelectConfigParams::Type::Deconfigure) {
        if (consumeFault(FaultKind::ControlTransfer))
            return status::kUnsuccessful;
        dropPipes();
        configured_ = false;
        return port_->setConfiguration(0) ? status::kSuccess : status::kNoSuchDevice;
    }
    std::vector<uint8_t> settings(interfaces_.size(), 0);
    if (!params.pairs.empty()) {
        if (params.pairs.size() != interfaces_.size())
            return status::kInvalidParameter;
        for (const SettingPair& pair : params.pairs) {
            auto it = std::find_if(interfaces_.begin(), interfaces_.end(),
                                   [&](const auto& i) { return i.get() == pair.interface; });
            if (it == interfaces_.end() || pair.settingIndex >= (*it)->settings_.size())
                return status::kInvalidParameter;
            settings[static_cast<size_t>(it - interfaces_.begin())] = pair.settingIndex;
        }
    }
    if (consumeFault(FaultKind::ControlTransfer))
        return status::kUnsuccessful;
    if (consumeFault(FaultKind::Allocation))
        return status::kInsufficientResources;
    dropPipes();
    const auto& config = port_->configurationDescriptor();
    uint8_t value = config.size() > 5 ? config[5] : 1;
    if (!port_->setConfiguration(value))
        return status::kNoSuchDevice;
    std::vector<Pipe*> all;
    for (size_t k = 0; k < interfaces_.size(); ++k) {
        Interface& i = *interfaces_[k];
        i.configuredSetting_ = settings[k];
        const Interface::Setting& setting = i.settings_[settings[k]];
        if (!port_->setInterface(i.number_, setting.descriptor.bAlternateSetting))
            return status::kNoSuchDevice;
        for (const auto& endpoint : setting.endpoints) {
            i.pipes_.push_back(std::unique_ptr<Pipe>(new Pipe(*port_, endpoint, settings[k])));
            all.push_back(i.pipes_.back().get());
        }
    }
    port_->setPipes(std::move(all));
    configured_ = true;
    return status::kSuccess;
}

Status TargetDevice::sendControlTransferSync(const SetupPacket& setup, std::span<uint8_t> buffer, Ticks timeout,
                                             uint32_t* bytesTransferred)
{
    requirePassive("a synchronous control transfer");
    if (bytesTransferred)
        *bytesTransferred = 0;
    if (setup.wLength > buffer.size())
        return status::kInvalidParameter;
    std::span<uint8_t> data = buffer.first(setup.wLength);
    if (consumeFault(FaultKind::ControlTransfer))
        return status::kUnsuccessful;
    if (!port_->present())
        return status::kNoSuchDevice;
    bool in = (setup.bmRequestType & 0x80) != 0;
    if ((setup.bmRequestType & 0x60) == 0) {
        // Standard requests the bus answers from what it read at enumeration.
        std::vector<uint8_t> reply;
        if (in && setup.bRequest == kRequestGetStatus) {
            reply = {0, 0};
        } else if (in && setup.bRequest == kRequestGetDescriptor) {
            uint8_t type = static_cast<uint8_t>(setup.wValue >> 8);
            uint8_t index = static_cast<uint8_t>(setup.wValue);
            if (type == kDescriptorDevice) {
                const auto& raw = port_->deviceDescriptor().raw;
                reply.assign(raw.begin(), raw.end());
            } else if (type == kDescriptorConfiguration) {
                reply = port_->configurationDescriptor();
            } else if (type == kDescriptorString) {
                if (index == 0) {
                    reply = {4, kDescriptorString, 0x09, 0x04};
                } else {
                    bool gone = false;
                    auto text = port_->string(index, setup.wIndex, gone);
                    if (gone)
                        return status::kNoSuchDevice;
                    if (!text)
                        return status::kUnsuccessful;
                    size_t chars = std::min<size_t>(text->size(), 126);
                    reply.push_back(static_cast<uint8_t>(2 + 2 * chars));
                    reply.push_back(kDescriptorString);
                    for (size_t c = 0; c < chars; ++c) {
                        reply.push_back(static_cast<uint8_t>((*text)[c]));
                        reply.push_back(static_cast<uint8_t>((*text)[c] >> 8));
                    }
                }
            } else {
                return status::kUnsuccessful;
            }
        } else {
            return status::kInvalidDeviceRequest;
        }
        size_t n = std::min(reply.size(), data.size());
        std::memcpy(data.data(), reply.data(), n);
        if (bytesTransferred)
            *bytesTransferred = static_cast<uint32_t>(n);
        return status::kSuccess;
    }
    bool gone = false;
    ControlResult result = port_->control(setup, data, gone);
    if (gone)
        return status::kNoSuchDevice;
    if (result.status == DeviceStatus::NoResponse) {
        kernelClock().waitUntil(kernelClock().now() + timeout);
        return status::kIoTimeout;
    }
    if (result.status != DeviceStatus::Ok)
        return statusFromDevice(result.status);
    if (bytesTransferred)
        *bytesTransferred = std::min<uint32_t>(result.length, static_cast<uint32_t>(data.size()));
    return status::kSuccess;
}

Status TargetDevice::retrieveCurrentFrameNumber(uint32_t* frame) const
{
    if (!port_->present())
        return status::kNoSuchDevice;
    *frame = static_cast<uint32_t>(port_->controller().currentFrame());
    return status::kSuccess;
}

IoTarget& TargetDevice::ioTarget() const { return port_->lowerTarget(); }

void TargetDevice::teardown() { dropPipes(); }

} // namespace kplat::usb

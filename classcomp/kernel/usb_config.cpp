// Preparing the hardware: the maker's vendor id at high speed, the product
// and serial strings with the duplicate number, the two streaming interfaces
// parsed into the status record, and the configuration selected with its
// three pipes.

#include "classcomp/kernel/usb_config.h"

#include "classcomp/kernel/class_requests.h"
#include "classcomp/kernel/device_slots.h"

#include <cstdio>

namespace orvo::kernel {

using namespace kplat;

namespace {

constexpr uint16_t kLangId = 0x0409;
constexpr uint8_t kClassAudio = 1;
constexpr uint8_t kSubclassStreaming = 2;
constexpr uint8_t kProtocolUac2 = 0x20;
constexpr uint8_t kCsInterface = 0x24;
constexpr uint8_t kAsGeneral = 1;
constexpr uint8_t kAsGeneralLength = 16;
constexpr uint8_t kPcmFormat = 1;
constexpr uint8_t kRecordInterfaceNumber = 2;
constexpr uint8_t kPlaybackInterfaceNumber = 1;
constexpr uint8_t kControlInterfaceNumber = 0;
constexpr uint8_t kPendingInterruptReads = 15;
constexpr uint32_t kMaxDuplicateNumber = 100;

// Reads string `index` into a fresh non-paged buffer with room for a
// suffix; the buffer belongs to the device. False when it cannot be had.
bool readString(DeviceContext* context, uint8_t index, char16_t** text, uint32_t* bytes, uint32_t* characters)
{
    uint16_t count = 0;
    if (failed(context->usbDevice->queryString(nullptr, &count, index, kLangId)))
        return false;
    ObjectAttributes attributes;
    attributes.parent = context->device;
    Memory* memory = nullptr;
    const size_t size = size_t{count} * 2 + kNameSpareBytes;
    if (failed(Memory::create(attributes, PoolType::NonPaged, kPoolTag, size, &memory)))
        return false;
    auto* buffer = static_cast<char16_t*>(memory->buffer());
    uint16_t read = count;
    if (failed(context->usbDevice->queryString(buffer, &read, index, kLangId)) || read > count) {
        memory->deleteObject();
        return false;
    }
    buffer[read] = 0;
    *text = buffer;
    *bytes = (uint32_t{read} + 1) * 2;
    *characters = read;
    return true;
}

// The smallest number that no other present device with the same name
// holds; stored in the slot's entries.
uint32_t takeDuplicateNumber(uint32_t slot, uint32_t hash)
{
    DriverTables& tables = GetDriverTables();
    SpinLockGuard guard(*GetSlotLock());
    tables.productNameHash[slot] = hash;
    uint32_t number = 0;
    for (bool taken = true; taken && number < kMaxDuplicateNumber;) {
        taken = false;
        for (uint32_t other = 0; other < kSlotCount; ++other) {
            if (other != slot && tables.slotInUse[other] && tables.productNameHash[other] == hash &&
                tables.duplicateNumber[other] == number) {
                taken = true;
                ++number;
                break;
            }
        }
    }
    tables.duplicateNumber[slot] = number;
    return number;
}

void appendDuplicateSuffix(DeviceContext* context)
{
    if (context->duplicateNumber == 0 || !context->productName)
        return;
    char suffix[12];
    const int n = std::snprintf(suffix, sizeof suffix, " (%u)", context->duplicateNumber + 1);
    // Over the terminating zero; the spare bytes hold the suffix and a new zero.
    char16_t* end = context->productName + context->productNameBytes / 2 - 1;
    for (int i = 0; i <= n; ++i)
        end[i] = static_cast<char16_t>(suffix[i]);
    context->productNameBytes += static_cast<uint32_t>(n) * 2;
}

// The first class-specific AS_GENERAL descriptor after `interface`, before
// the next interface descriptor; null when there is none whole.
const uint8_t* findAsGeneral(const uint8_t* configuration, size_t length, const uint8_t* interface)
{
    const uint8_t* end = configuration + length;
    const uint8_t* p = interface;
    if (end - p < 2 || p[0] < 2 || p[0] > end - p)
        return nullptr;
    for (p += p[0]; end - p >= 2; p += p[0]) {
        if (p[0] < 2 || p[0] > end - p || p[1] == usb::kDescriptorInterface)
            return nullptr;
        if (p[1] == kCsInterface && p[0] >= kAsGeneralLength && p[2] == kAsGeneral)
            return p;
    }
    return nullptr;
}

} // namespace

uint32_t ProductNameHash(const char16_t* name, uint32_t count)
{
    uint32_t hash = 0;
    for (uint32_t k = 1; k < count; ++k)
        hash += k * static_cast<uint32_t>(name[k]);
    return hash;
}

Status EvtDevicePrepareHardware(Device& device)
{
    DeviceContext* context = GetDeviceContext(device);
    Status s = CheckVendorAndConfigure(device);
    if (failed(s))
        return s;

    usb::DeviceInformation information;
    const Status infoStatus = context->usbDevice->retrieveInformation(information);
    context->highSpeed = succeeded(infoStatus) && (information.traits & usb::kTraitAtHighSpeed) ? 1 : 0;
    context->remoteWakeTrait = succeeded(infoStatus) ? (information.traits & usb::kTraitRemoteWakeCapable) : 0;
    if (!context->highSpeed)
        return status::kInvalidDeviceState;

    usb::DeviceDescriptor descriptor = usb::DeviceDescriptor::parse(context->deviceDescriptor);
    uint32_t characters = 0;
    uint32_t serialCharacters = 0;
    context->productName = nullptr;
    context->serialNumber = nullptr;
    context->productNameBytes = 0;
    context->serialNumberBytes = 0;
    readString(context, descriptor.iProduct, &context->productName, &context->productNameBytes, &characters);
    readString(context, descriptor.iSerialNumber, &context->serialNumber, &context->serialNumberBytes,
               &serialCharacters);
    context->productNameHash = context->productName ? ProductNameHash(context->productName, characters) : 0;
    context->duplicateNumber = takeDuplicateNumber(context->slotIndex, context->productNameHash);
    appendDuplicateSuffix(context);
    return infoStatus;
}

Status CheckVendorAndConfigure(Device& device)
{
    DeviceContext* context = GetDeviceContext(device);
    if (!context->usbDevice) {
        Status s = usb::TargetDevice::create(device, ObjectAttributes{}, &context->usbDevice);
        if (failed(s))
            return s;
    }
    usb::DeviceDescriptor descriptor;
    context->usbDevice->retrieveDeviceDescriptor(descriptor);
    static_assert(sizeof context->deviceDescriptor == sizeof descriptor.raw);
    for (size_t i = 0; i < descriptor.raw.size(); ++i)
        context->deviceDescriptor[i] = descriptor.raw[i];
    if (descriptor.idVendor != kOrvoVendorId)
        return status::kInvalidDeviceState;
    return ConfigureDevice(device, false);
}

Status ConfigureDevice(Device& device, bool reselect)
{
    DeviceContext* context = GetDeviceContext(device);
    if (!context->configDescriptor) {
        uint16_t length = 0;
        Status s = context->usbDevice->retrieveConfigDescriptor(nullptr, &length);
        if (s != status::kBufferTooSmall)
            return s;
        ObjectAttributes attributes;
        attributes.parent = context->usbDevice;
        Memory* memory = nullptr;
        s = Memory::create(attributes, PoolType::NonPaged, kPoolTag, length, &memory);
        if (failed(s))
            return s;
        s = context->usbDevice->retrieveConfigDescriptor(memory->buffer(), &length);
        if (failed(s)) {
            memory->deleteObject();
            return s;
        }
        context->configDescriptor = static_cast<uint8_t*>(memory->buffer());
        context->configDescriptorLength = length;

        AsioInfo info(context->asioInfo);
        // The format published is the playback interface's (0 when it has
        // no streaming descriptor).
        uint8_t recordFloat = 0;
        uint8_t playbackFloat = 0;
        ParseAudioStreamingInterface(context, context->configDescriptor, length, kRecordInterfaceNumber,
                                     &recordFloat, &context->inputChannels, info.inputChannelNames());
        ParseAudioStreamingInterface(context, context->configDescriptor, length, kPlaybackInterfaceNumber,
                                     &playbackFloat, &context->outputChannels, info.outputChannelNames());
        info.setSampleFormat(playbackFloat);
        info.setInputChannelCount(context->inputChannels);
        info.setOutputChannelCount(context->outputChannels);
    }
    Status s = SelectConfigAndPipes(device, reselect);
    if (succeeded(s))
        context->lowerTarget = &device.ioTarget();
    return s;
}

void ParseAudioStreamingInterface(DeviceContext* context, const uint8_t* descriptor, size_t length,
                                  uint8_t interfaceNumber, uint8_t* floatFlag, uint32_t* channelCount,
                                  std::span<uint8_t, asio_info::kChannelNamesBytes> names)
{
    const uint8_t* interface = usb::parseConfigurationDescriptor(descriptor, length, descriptor, interfaceNumber, 1,
                                                                 kClassAudio, kSubclassStreaming, kProtocolUac2);
    if (!interface)
        return;
    const uint8_t* general = findAsGeneral(descriptor, length, interface);
    if (!general)
        return;
    const uint8_t count = general[10];
    *channelCount = count;
    *floatFlag = general[6] != kPcmFormat ? 1 : 0;
    context->clockEntityId = general[3];
    const uint8_t first = general[15];
    ChannelNameList list(names);
    for (uint32_t c = 0; c < count; ++c)
        ReadChannelName(context, static_cast<uint8_t>((first + c) % 256), list);
}

void ReadChannelName(DeviceContext* context, uint8_t index, ChannelNameList& list)
{
    char16_t name[127];
    uint16_t count = 126;
    Status s = context->usbDevice->queryString(name, &count, index, kLangId);
    if (failed(s) || count > 126)
        count = 0;
    list.append(std::u16string_view(name, count));
}

Status SelectConfigAndPipes(Device& device, bool reselect)
{
    DeviceContext* context = GetDeviceContext(device);
    usb::TargetDevice* target = context->usbDevice;
    if (context->interruptReaderStarted)
        context->interruptPipe->ioTarget().stop(IoTarget::StopAction::CancelSentIo);

    const uint8_t interfaces = target->interfaceCount();
    if (!context->interfacePairs) {
        context->interfacePairs = static_cast<usb::SettingPair*>(
            allocatePool(PoolType::Paged, sizeof(usb::SettingPair) * interfaces, kPoolTag));
        if (!context->interfacePairs)
            return status::kInsufficientResources;
        context->interfacePairCount = interfaces;
    }
    const uint8_t pairCount = interfaces < context->interfacePairCount ? interfaces
                                                                       : static_cast<uint8_t>(context->interfacePairCount);

    context->recordInterface = nullptr;
    context->playbackInterface = nullptr;
    context->recordPipe = nullptr;
    context->playbackPipe = nullptr;

    for (uint8_t pass = 0; pass < 2; ++pass) {
        for (uint8_t k = 0; k < pairCount; ++k) {
            usb::Interface* interface = target->interface(k);
            usb::InterfaceDescriptor descriptor;
            const uint8_t number = interface->descriptor(k > 0 ? 1 : 0, descriptor) ? descriptor.bInterfaceNumber
                                                                                     : interface->interfaceNumber();
            uint8_t setting = 0;
            if (number == kRecordInterfaceNumber) {
                context->recordInterface = interface;
                setting = pass;
            } else if (number == kPlaybackInterfaceNumber) {
                context->playbackInterface = interface;
                setting = pass;
            } else if (number == kControlInterfaceNumber) {
                context->controlInterface = interface;
            }
            context->interfacePairs[k] = {interface, setting};
        }
        usb::SelectConfigParams params;
        params.pairs = std::span<const usb::SettingPair>(context->interfacePairs, pairCount);
        Status s = target->selectConfig(params);
        if (failed(s))
            return s;
        if (pass == 0 && reselect) {
            // The clock changes while no streaming interface is active.
            uint32_t rate;
            {
                SpinLockGuard guard(*context->streamLock);
                rate = context->requestedSampleRate;
            }
            if (!SetSampleRate(context, rate))
                ReadSampleRate(context);
        }
        if (pass == 1) {
            for (usb::Interface* interface :
                 {context->recordInterface, context->playbackInterface, context->controlInterface}) {
                if (!interface || interface->configuredPipeCount() != 1)
                    return status::kDeviceConfigurationError;
            }
        }
    }

    context->recordPipe = context->recordInterface->configuredPipe(0, &context->recordPipeInfo);
    context->playbackPipe = context->playbackInterface->configuredPipe(0, &context->playbackPipeInfo);
    context->interruptPipe = context->controlInterface->configuredPipe(0, &context->interruptPipeInfo);
    if (!context->recordPipe || !context->playbackPipe || !context->interruptPipe)
        return status::kDeviceConfigurationError;

    if (!context->interruptWorkItem) {
        WorkItemConfig config;
        config.callback = &InterruptWorkItem;
        config.automaticSerialization = true;
        ObjectAttributes attributes = attributesWithContext<WorkItemContext>();
        attributes.parent = context->device;
        Status s = WorkItem::create(config, attributes, &context->interruptWorkItem);
        if (failed(s)) {
            context->interruptWorkItem = nullptr;
            return s;
        }
        context->interruptWorkItem->contextAs<WorkItemContext>()->context = context;
    }

    usb::ContinuousReaderConfig reader;
    reader.transferLength = kInterruptMessageBytes;
    reader.headerLength = 0;
    reader.trailerLength = 0;
    reader.numPendingReads = kPendingInterruptReads;
    reader.readersComplete = &OnInterruptData;
    reader.context = context;
    Status s = context->interruptPipe->configureContinuousReader(reader);

    if (context->interruptReaderStarted && failed(context->interruptPipe->ioTarget().start())) {
        context->interruptReaderStarted = 0;
        return status::kDeviceConfigurationError;
    }
    return s;
}

} // namespace orvo::kernel

// Requests to the clock entity named by the streaming interfaces'
// bTerminalLink, and the interrupt pipe that announces its changes.

#include "classcomp/kernel/class_requests.h"

#include "classcomp/kernel/asio_info.h"
#include "classcomp/kernel/stream_engine.h"

#include <cstring>

namespace orvo::kernel {

using namespace kplat;

namespace {

constexpr uint8_t kRequestTypeClassIn = 0xA1;
constexpr uint8_t kRequestTypeClassOut = 0x21;
constexpr uint8_t kRequestCur = 1;
constexpr uint8_t kRequestRange = 2;
constexpr uint16_t kSamplingFrequency = 0x0100;
constexpr uint16_t kClockValid = 0x0200;

uint32_t le32(const uint8_t* p)
{
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// True when the request went through with exactly `expect` bytes.
bool clockRequest(DeviceContext* context, uint8_t type, uint8_t request, uint16_t selector, std::span<uint8_t> data,
                  uint32_t* transferred)
{
    usb::SetupPacket setup;
    setup.bmRequestType = type;
    setup.bRequest = request;
    setup.wValue = selector;
    setup.wIndex = static_cast<uint16_t>(context->clockEntityId << 8);
    setup.wLength = static_cast<uint16_t>(data.size());
    uint32_t bytes = 0;
    Status s = context->usbDevice->sendControlTransferSync(setup, data, kControlTimeout, &bytes);
    if (transferred)
        *transferred = bytes;
    return succeeded(s);
}

} // namespace

bool GetClockValid(DeviceContext* context)
{
    uint8_t valid = 0;
    clockRequest(context, kRequestTypeClassIn, kRequestCur, kClockValid, {&valid, 1}, nullptr);
    return valid != 0;
}

void ReadSampleRate(DeviceContext* context)
{
    if (!GetClockValid(context))
        return;
    uint8_t data[4] = {};
    uint32_t bytes = 0;
    // A short reply holds no rate.
    if (!clockRequest(context, kRequestTypeClassIn, kRequestCur, kSamplingFrequency, data, &bytes) || bytes != 4)
        return;
    const uint32_t rate = le32(data);
    AsioInfo(context->asioInfo).setSampleRate(rate);
    SpinLockGuard guard(*context->streamLock);
    context->requestedSampleRate = rate;
    MarkRestartIfChanged(context);
}

bool SetSampleRate(DeviceContext* context, uint32_t rate)
{
    uint8_t data[4] = {static_cast<uint8_t>(rate), static_cast<uint8_t>(rate >> 8), static_cast<uint8_t>(rate >> 16),
                       static_cast<uint8_t>(rate >> 24)};
    if (!clockRequest(context, kRequestTypeClassOut, kRequestCur, kSamplingFrequency, data, nullptr))
        return false;
    ReadSampleRate(context);
    // The interrupt work item stores the rate too.
    SpinLockGuard guard(*context->streamLock);
    return context->requestedSampleRate == rate;
}

static_assert(sizeof DeviceContext::sampleRates / sizeof(uint32_t) == asio_info::kMaxSampleRates);

void ReadSampleRateRanges(DeviceContext* context)
{
    uint8_t reply[kRangeReplyBytes] = {};
    if (!clockRequest(context, kRequestTypeClassIn, kRequestRange, kSamplingFrequency, reply, nullptr))
        return;
    size_t subranges = static_cast<size_t>(reply[0] | reply[1] << 8);
    if (subranges > asio_info::kMaxSampleRates)
        subranges = asio_info::kMaxSampleRates;
    uint32_t rates[asio_info::kMaxSampleRates];
    uint32_t count = 0;
    for (size_t i = 0; i < subranges; ++i) {
        const uint8_t* entry = reply + 2 + 12 * i;
        const uint32_t min = le32(entry), max = le32(entry + 4), res = le32(entry + 8);
        // Only discrete rates are listed.
        if (min != max || res != 0 || min < 1 || min > kHighestListedRate)
            continue;
        rates[count++] = min;
    }
    // Concurrent requests of several clients may read the list while it changes.
    SpinLockGuard guard(*context->streamLock);
    AsioInfo info(context->asioInfo);
    info.setSampleRateCount(0);
    for (uint32_t i = 0; i < count; ++i) {
        context->sampleRates[i] = rates[i];
        info.setSampleRateAt(i, rates[i]);
    }
    context->sampleRateCount = count;
    info.setSampleRateCount(count);
}

void OnInterruptData(usb::Pipe& pipe, const uint8_t* buffer, size_t length, void* ctx)
{
    (void)pipe;
    if (length != kInterruptMessageBytes)
        return;
    auto* context = static_cast<DeviceContext*>(ctx);
    {
        SpinLockGuard guard(*context->interruptDataLock);
        std::memcpy(context->interruptData, buffer, kInterruptMessageBytes);
    }
    // One work item for all messages: enqueueing it while it is queued
    // changes nothing, and one re-read covers every message before it ran.
    if (context->interruptWorkItem)
        context->interruptWorkItem->enqueue();
}

void InterruptWorkItem(WorkItem& item)
{
    ReadSampleRate(item.contextAs<WorkItemContext>()->context);
}

} // namespace orvo::kernel

#pragma once
// A device whose streaming interfaces are selected, with clients registered
// the way buffer set-up registers them, on the virtual clock.

#include "driver_fixture.h"

#include "classcomp/kernel/asio_info.h"
#include "classcomp/kernel/stream_buffers.h"
#include "classcomp/kernel/stream_engine.h"
#include "platform/kernel/kernel_objects.h"

#include <vector>

namespace orvo::kernel::testing {

class StreamFixture : public DriverFixture {
protected:
    ~StreamFixture() override
    {
        if (port_)
            bus_->unplug(port_);
        for (auto* event : events_)
            kplat::dereferenceObject(event);
    }

    // Plugs a streaming device in. Preparing the hardware selects both
    // streaming interfaces at alternate setting 1; the rate is set here, as
    // the small test device does not answer the clock requests.
    void start(uint32_t rate, uint8_t channels, bool recordOut = true)
    {
        kplat::testing::TestUsbDevice::Options options;
        options.sampleRate = rate;
        options.channels = channels;
        options.recordOut = recordOut;
        devices_.emplace_back(options);
        startWith(devices_.back(), rate, channels, channels);
    }

    void startWith(kplat::usb::DeviceBackend& backend, uint32_t rate, uint32_t inputs, uint32_t outputs)
    {
        port_ = bus_->plug(backend);
        c_ = context(port_);
        ASSERT_NE(c_, nullptr);
        // Preparing the hardware selected both streaming interfaces at
        // alternate setting 1.
        ASSERT_NE(c_->playbackPipe, nullptr);
        ASSERT_NE(c_->recordPipe, nullptr);
        ASSERT_EQ(c_->lowerTarget, &c_->device->ioTarget());
        c_->inputChannels = inputs;
        c_->outputChannels = outputs;
        c_->requestedSampleRate = rate;
        info().setSampleRate(rate);
    }

    // What a client's buffer set-up does: buffers, a registered client with
    // its event, streaming on, the timer at 1 ms.
    kplat::EventObject* addClient(uint32_t blockFrames, bool started = true)
    {
        EXPECT_EQ(AllocateStreamBuffers(c_), kplat::status::kSuccess);
        auto event = ob::Event::create(ob::Event::Kind::ManualReset, false);
        ob::Handle handle = 0;
        client_->insert(event, ob::kSynchronize, handle);
        kplat::EventObject* object = nullptr;
        EXPECT_EQ(kplat::referenceEventByHandle(handle, kplat::kSynchronizeAccess, kplat::AccessMode::Kernel,
                                                kplat::Caller{client_->id(), 1, client_}, &object),
                  kplat::status::kSuccess);
        events_.push_back(object);
        {
            kplat::SpinLockGuard guard(*c_->streamLock);
            c_->requestedBlockFrames = blockFrames;
            info().setBlockFrames(blockFrames);
            MarkRestartIfChanged(c_);
            ClientEntry& entry = c_->clients[c_->clientCount++];
            entry = ClientEntry{c_->nextClientId++, 0x7FFFFFFF, nullptr, object, static_cast<uint8_t>(started),
                                c_->clientCount - 1};
            SetStreamingEnabled(c_, true);
        }
        c_->streamTimer->startRelative(kplat::msToTicks(1));
        return object;
    }

    AsioInfo info() const { return AsioInfo(c_->asioInfo); }
    kplat::testing::TestUsbDevice& device() { return devices_.back(); }
    void advanceMs(uint64_t ms) { kplat::kernelClock().advance(kplat::msToTicks(ms)); }

    ob::Ref<ob::Process> client_ = ob::Process::create();
    std::vector<kplat::EventObject*> events_;
    uint32_t port_ = 0;
    DeviceContext* c_ = nullptr;
};

} // namespace orvo::kernel::testing

#pragma once
// A simulated mixer on the kernel driver's bus, reached the way a client
// reaches it: through the I/O manager, from simulated processes.

#include "mixer_fixture.h"

#include "classcomp/kernel/io_control.h"
#include "classcomp/kernel/io_dispatch.h"
#include "platform/kernel/io_manager.h"
#include "platform/object/event.h"
#include "platform/object/process.h"
#include "sim/mixer/profile.h"

#include <unistd.h>

#include <array>
#include <cstring>

namespace orvo::kernel::testing {

struct Reply {
    kplat::Status status = 0;
    uint32_t bytes = 0;
    std::array<uint8_t, 64> data{};
    uint32_t u32(size_t offset = 0) const
    {
        uint32_t v;
        std::memcpy(&v, data.data() + offset, 4);
        return v;
    }
};

// A client process with one open handle on the device.
struct Client {
    ob::Ref<ob::Process> process;
    kplat::io::FileRef file;
    ob::Ref<ob::Event> event;
    ob::Handle eventHandle = 0;
};

class ClientFixture : public MixerFixture {
protected:
    ~ClientFixture() override
    {
        for (auto& client : clients_)
            if (client.file) {
                ob::ProcessScope scope(client.process);
                kplat::io::closeFile(client.file);
            }
    }

    void SetUp() override
    {
        c_ = plugMixer(sim::mixer::profiles::qx1600());
        ASSERT_NE(c_, nullptr);
        auto links = kplat::io::deviceInterfaces(c_->interfaceGuid);
        ASSERT_EQ(links.size(), 1u);
        link_ = links[0];
    }

    // Opens a handle from `process` (a new one when null).
    Client& open(ob::Ref<ob::Process> process = nullptr)
    {
        Client& client = clients_.emplace_back();
        client.process = process ? process : ob::Process::create();
        ob::ProcessScope scope(client.process);
        EXPECT_EQ(kplat::io::openDeviceInterface(link_, kplat::Caller{}, client.file), kplat::status::kSuccess);
        client.event = ob::Event::create(ob::Event::Kind::ManualReset, false);
        client.process->insert(client.event, ob::kEventAllAccess, client.eventHandle);
        return client;
    }
    void close(Client& client)
    {
        ob::ProcessScope scope(client.process);
        EXPECT_EQ(kplat::io::closeFile(client.file), kplat::status::kSuccess);
        client.file = nullptr;
    }

    Reply ioctl(Client& client, uint32_t code, const void* input, uint32_t inputLength, uint32_t outputLength = 64)
    {
        Reply r;
        ob::ProcessScope scope(client.process);
        r.status = kplat::io::deviceIoControl(client.file, code, input, inputLength, r.data.data(), outputLength,
                                             &r.bytes, kplat::Caller{});
        return r;
    }
    Reply message(Client& client, uint32_t selector, uint32_t operation, uint32_t value = 0,
                  uint32_t inputLength = device_message::kSize, uint32_t outputLength = device_message::kReplySize)
    {
        uint8_t in[device_message::kSize] = {};
        std::memcpy(in, &selector, 4);
        std::memcpy(in + 4, &operation, 4);
        std::memcpy(in + 8, &value, 4);
        return ioctl(client, kIoCtlMessage, in, inputLength, outputLength);
    }
    Reply initBuffers(Client& client, uint32_t outputLength = init_buffers_result::kSize)
    {
        uint8_t in[8] = {};
        std::memcpy(in, &client.eventHandle, 4);
        return ioctl(client, kIoCtlInitBuffers, in, sizeof in, outputLength);
    }
    // What a client does before buffer set-up: its process id, the block size.
    void prepare(Client& client, uint32_t blockFrames = 480)
    {
        EXPECT_EQ(message(client, kMsgClientProcessId, device_message::kSet, client.process->id()).status,
                  kplat::status::kSuccess);
        EXPECT_EQ(message(client, kMsgBlockFrames, device_message::kSet, blockFrames).status,
                  kplat::status::kSuccess);
    }
    Reply registerClient(Client& client, uint32_t blockFrames = 480)
    {
        prepare(client, blockFrames);
        return initBuffers(client);
    }

    // A client set up in its own process, whose handle a second process
    // shares (duplicated or inherited), and the set-up's clipped-ring view.
    struct SharedHandle {
        Client& owner;
        Client other;
        uint32_t clippedView = 0;
    };
    SharedHandle setUpAndShare()
    {
        Client& owner = open();
        Reply r = registerClient(owner);
        EXPECT_EQ(r.status, kplat::status::kSuccess);
        Client other = owner;
        other.process = ob::Process::create();
        return {owner, other, r.u32(init_buffers_result::kClippedRingOffset)};
    }

    // True when `address` can be read (a probe that does not fault).
    static bool readable(uint32_t address)
    {
        int fds[2];
        if (::pipe(fds) != 0)
            return false;
        bool ok = ::write(fds[1], reinterpret_cast<const void*>(uintptr_t(address)), 1) == 1;
        ::close(fds[0]);
        ::close(fds[1]);
        return ok;
    }

    DeviceContext* c_ = nullptr;
    std::u16string link_;
    std::deque<Client> clients_;
};

} // namespace orvo::kernel::testing

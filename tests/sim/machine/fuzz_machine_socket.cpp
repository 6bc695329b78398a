// The machine process's socket from a client that sends what it likes: the
// input is a sequence of datagrams that one connection of a client process
// sends, each answered as it comes (a mapping the machine asks for is
// refused, an unmapping acknowledged). The machine has the kernel driver
// loaded and one mixer plugged in; a datagram can also be a valid open of
// that mixer's interface, so that requests on a live handle are reached.
// When the connection ends the process is run down and its handles closed,
// so every input starts from the same machine.
//
// Input: byte 0 bit 0 set: the connection starts with a valid greeting (else
// the first datagram must be one); then per datagram one selector byte
// (0: the bytes that follow, 1: open the mixer's interface), a 16-bit
// little-endian length and that many bytes.

#include "classcomp/kernel/device_context.h"
#include "classcomp/kernel/driver.h"
#include "platform/kernel/clock.h"
#include "platform/kernel/io_manager.h"
#include "platform/kernel/usb_bus.h"
#include "platform/win32/machine_wire.h"
#include "sim/machine/machine_server.h"
#include "sim/mixer/mixer.h"
#include "sim/mixer/profile.h"
#include "tests/classcomp/kernel/fuzz_machine.h"

#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <thread>

namespace {

namespace wire = w32::wire;

constexpr size_t kMaxDatagrams = 32;

struct World {
    std::unique_ptr<kplat::usb::HostController> bus;
    std::unique_ptr<sim::mixer::Mixer> mixer;
    std::u16string link;
    std::unique_ptr<orvo::machine::MachineServer> server;
};

World& world()
{
    static World* w = [] {
        auto* made = new World;
        made->bus = std::make_unique<kplat::usb::HostController>();
        made->mixer = std::make_unique<sim::mixer::Mixer>(sim::mixer::profiles::qx1600(), 1);
        kplat::Device* device = made->bus->device(made->bus->plug(made->mixer->usb('A')));
        if (!device)
            __builtin_trap();
        made->link = kplat::io::deviceInterfaces(orvo::kernel::GetDeviceContext(*device)->interfaceGuid).at(0);
        // Short bounds: a peer that does not answer costs an input milliseconds.
        orvo::machine::ServerLimits limits;
        limits.answerTimeoutMs = 20;
        limits.sendTimeoutMs = 100;
        made->server = std::make_unique<orvo::machine::MachineServer>(limits);
        return made;
    }();
    return *w;
}

// The client's side: sends each datagram, then answers what the machine asks
// until its reply (or its end).
void client(int s, std::span<const uint8_t> input)
{
    auto answerUntilReply = [s] {
        for (;;) {
            int fd = -1;
            std::optional<wire::Message> m = wire::receive(s, &fd);
            if (fd >= 0)
                close(fd);
            if (!m || m->kind == wire::Kind::Reply)
                return;
            wire::Message a;
            a.kind = m->kind == wire::Kind::Map ? wire::Kind::Mapped : wire::Kind::Unmapped;
            if (!wire::send(s, a))
                return;
        }
    };
    if (input.empty())
        return;
    if (input[0] & 1) {
        wire::Message hello;
        hello.kind = wire::Kind::Hello;
        hello.a = static_cast<uint32_t>(syscall(SYS_gettid));
        wire::send(s, hello);
    }
    input = input.subspan(1);
    for (size_t n = 0; n < kMaxDatagrams && input.size() >= 3; ++n) {
        const uint8_t selector = input[0];
        const size_t length = std::min<size_t>(input[1] | input[2] << 8, input.size() - 3);
        const std::span<const uint8_t> bytes = input.subspan(3, length);
        input = input.subspan(3 + length);
        bool sent;
        if (selector == 1) {
            wire::Message open;
            open.kind = wire::Kind::Open;
            open.a = 0xC0000000;
            open.text = world().link;
            sent = wire::send(s, open);
        } else {
            sent = send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
        }
        if (!sent)
            return;
        answerUntilReply();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The machine prints a line for each process it sees end.
    if (!std::freopen("/dev/null", "w", stdout))
        __builtin_trap();
    orvo::kernel::testing::setUpFuzzMachine("fuzz-machine-socket");
    if (kplat::failed(kplat::pnp::loadDriver(&orvo::kernel::DriverEntry, u"OrvoUAC2")))
        __builtin_trap();
    world();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        __builtin_trap();
    // A greeting that never gets its reply (the process's own connection
    // answers nothing) costs the client this long per datagram.
    timeval patience{0, 50 * 1000};
    setsockopt(pair[1], SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    std::thread peer([&] {
        client(pair[1], std::span<const uint8_t>(data, size));
        shutdown(pair[1], SHUT_WR); // the connection ends
        while (wire::receive(pair[1], nullptr)) {
        }
    });
    world().server->serve(pair[0], static_cast<uint32_t>(getpid()));
    shutdown(pair[0], SHUT_RDWR);
    peer.join();
    close(pair[0]);
    close(pair[1]);
    if (world().server->processCount() != 0 || world().server->connectionCount() != 0)
        __builtin_trap(); // the process was not run down
    return 0;
}

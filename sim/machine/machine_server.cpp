#include "sim/machine/machine_server.h"

#include "platform/kernel/io_manager.h"
#include "platform/object/address_space.h"
#include "platform/object/event.h"
#include "platform/object/process.h"
#include "platform/object/shared_signal.h"
#include "platform/object/thread.h"
#include "platform/win32/device_io.h"
#include "platform/win32/error.h"
#include "platform/win32/handles.h"
#include "platform/win32/machine_link.h"
#include "platform/win32/machine_wire.h"
#include "platform/win32/synch.h"

#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace orvo::machine {

namespace wire = w32::wire;

namespace {

struct Connection;
thread_local Connection* t_serving = nullptr;

// A client process's address space, reached through whichever of its
// connections is serving a request on the calling thread. Undoing views
// outside such a request (another process closed the last handle) waits for
// the process's next request; a process that is gone needs nothing undone.
class RemoteSpace final : public ob::AddressSpace {
public:
    void* map(int fd, size_t bytes) override;
    void unmap(void* address, size_t bytes) override;
    // Undoes what waited, on the calling thread's connection.
    void flushPending();
    void markGone()
    {
        std::lock_guard lock(mutex);
        gone = true;
        pending.clear();
    }

    std::mutex mutex;
    bool gone = false;
    std::vector<std::pair<uint64_t, uint64_t>> pending;
};

struct ProcessEntry {
    ob::Ref<ob::Process> process;
    std::shared_ptr<RemoteSpace> space;
    size_t connections = 0;
};

struct Connection {
    int socket = -1;
    uint32_t processId = 0;
    std::shared_ptr<ProcessEntry> entry;
    bool broken = false;
    int answerTimeoutMs = 2000;

    // A message of the client within the answer time-out.
    std::optional<wire::Message> answer(wire::Kind expected)
    {
        pollfd p{socket, POLLIN, 0};
        if (poll(&p, 1, answerTimeoutMs) != 1) {
            broken = true;
            return std::nullopt;
        }
        std::optional<wire::Message> m = wire::receive(socket, nullptr);
        if (!m || m->kind != expected) {
            broken = true;
            return std::nullopt;
        }
        return m;
    }
};

void* RemoteSpace::map(int fd, size_t bytes)
{
    Connection* c = t_serving;
    if (!c || c->entry->space.get() != this || c->broken)
        return nullptr;
    wire::Message m;
    m.kind = wire::Kind::Map;
    m.bytes = bytes;
    if (!wire::send(c->socket, m, fd)) {
        c->broken = true;
        return nullptr;
    }
    std::optional<wire::Message> a = c->answer(wire::Kind::Mapped);
    if (!a || a->address == 0)
        return nullptr;
    return reinterpret_cast<void*>(static_cast<uintptr_t>(a->address));
}

void RemoteSpace::unmap(void* address, size_t bytes)
{
    Connection* c = t_serving;
    {
        std::lock_guard lock(mutex);
        if (gone)
            return;
        if (!c || c->entry->space.get() != this) {
            pending.emplace_back(reinterpret_cast<uintptr_t>(address), bytes);
            return;
        }
    }
    if (c->broken)
        return; // the connection goes, and the process with it if it was the last
    wire::Message m;
    m.kind = wire::Kind::Unmap;
    m.address = reinterpret_cast<uintptr_t>(address);
    m.bytes = bytes;
    if (!wire::send(c->socket, m))
        c->broken = true;
    else
        c->answer(wire::Kind::Unmapped);
}

void RemoteSpace::flushPending()
{
    std::vector<std::pair<uint64_t, uint64_t>> todo;
    {
        std::lock_guard lock(mutex);
        todo.swap(pending);
    }
    for (auto [address, bytes] : todo)
        unmap(reinterpret_cast<void*>(static_cast<uintptr_t>(address)), bytes);
}

bool threadOfProcess(uint32_t processId, uint32_t threadId)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%u/task/%u", processId, threadId);
    struct stat st {};
    return threadId != 0 && stat(path, &st) == 0;
}

kplat::Guid guidOf(const uint8_t* b)
{
    kplat::Guid g;
    std::memcpy(&g.data1, b, 4);
    std::memcpy(&g.data2, b + 4, 2);
    std::memcpy(&g.data3, b + 6, 2);
    std::memcpy(g.data4.data(), b + 8, 8);
    return g;
}

wire::Message reply(bool ok, uint32_t value = 0)
{
    wire::Message r;
    r.kind = wire::Kind::Reply;
    r.a = ok ? 1 : 0;
    r.b = w32::GetLastError();
    r.c = value;
    return r;
}

// The event's shared page, made at its first use by a client process.
int sharedPageOf(w32::HANDLE h)
{
    ob::Ref<ob::Event> e = w32::referenceHandle<ob::Event>(h, ob::ObjectType::Event, 0);
    if (!e)
        return -1;
    if (!e->shared())
        if (auto s = ob::SharedSignal::create(false))
            e->share(std::move(s));
    auto s = e->shared();
    return s ? s->fd() : -1;
}

// Runs one request in the client's process context; fd gets a descriptor
// to send with the reply.
wire::Message handle(const wire::Message& m, int& fd)
{
    fd = -1;
    switch (m.kind) {
    case wire::Kind::EnumInterfaces: {
        std::vector<std::u16string> paths = kplat::io::deviceInterfaces(guidOf(m.guid));
        if (paths.size() > wire::kMaxInterfaces)
            paths.resize(wire::kMaxInterfaces);
        wire::Message r = reply(true);
        r.data = wire::encodePaths(paths);
        return r;
    }
    case wire::Kind::Open: {
        if (m.text.empty()) {
            w32::SetLastError(w32::ERROR_FILE_NOT_FOUND);
            return reply(false);
        }
        const std::u16string path = m.text; // zero-terminated copy
        w32::HANDLE h =
            w32::CreateFileW(path.c_str(), m.a, 0, nullptr, w32::OPEN_EXISTING, w32::FILE_ATTRIBUTE_NORMAL, nullptr);
        return reply(h != w32::INVALID_HANDLE_VALUE, w32::handleValue(h));
    }
    case wire::Kind::IoControl: {
        std::vector<uint8_t> input = m.data;
        std::vector<uint8_t> output(m.c);
        w32::DWORD bytes = 0;
        const w32::BOOL ok = w32::DeviceIoControl(w32::handleFromValue(m.a), m.b, input.empty() ? nullptr : input.data(),
                                                 static_cast<w32::DWORD>(input.size()),
                                                 output.empty() ? nullptr : output.data(), m.c, &bytes, nullptr);
        wire::Message r = reply(ok != 0, bytes <= m.c ? bytes : 0);
        r.data.assign(output.begin(), output.begin() + r.c);
        return r;
    }
    case wire::Kind::Close:
        return reply(w32::CloseHandle(w32::handleFromValue(m.a)) != 0);
    case wire::Kind::CreateEvent:
    case wire::Kind::OpenEvent: {
        // Only named events cross: an unnamed one stays in its process.
        if (m.text.empty()) {
            w32::SetLastError(w32::ERROR_INVALID_PARAMETER);
            return reply(false);
        }
        const std::u16string name = m.text;
        w32::HANDLE h = m.kind == wire::Kind::CreateEvent ? w32::CreateEventW(nullptr, m.a, m.b, name.c_str())
                                                           : w32::OpenEventW(m.a, w32::FALSE, name.c_str());
        if (!h)
            return reply(false);
        const w32::DWORD error = w32::GetLastError();
        fd = sharedPageOf(h);
        if (fd < 0) {
            w32::CloseHandle(h);
            w32::SetLastError(w32::ERROR_NO_SYSTEM_RESOURCES);
            return reply(false);
        }
        w32::SetLastError(error);
        wire::Message r = reply(true, w32::handleValue(h));
        ob::Ref<ob::Event> e = w32::referenceHandle<ob::Event>(h, ob::ObjectType::Event, 0);
        r.data.push_back(e && e->kind() == ob::Event::Kind::AutoReset ? 1 : 0);
        return r;
    }
    default:
        return {}; // not a request: the connection ends
    }
}

} // namespace

struct MachineServer::Impl {
    ServerLimits limits;
    mutable std::mutex mutex;
    int listener = -1;
    std::string path;
    std::thread acceptor;
    bool stopping = false;
    std::map<uint32_t, std::shared_ptr<ProcessEntry>> processes;
    struct Running {
        int socket;
        std::thread thread;
        bool done = false;
    };
    std::list<Running> running;
    size_t connections = 0;

    std::shared_ptr<ProcessEntry> enter(uint32_t processId)
    {
        std::lock_guard lock(mutex);
        auto& e = processes[processId];
        if (!e) {
            e = std::make_shared<ProcessEntry>();
            e->process = ob::Process::create(processId, w32::machine::kFirstMachineHandle);
            e->space = std::make_shared<RemoteSpace>();
            e->process->setAddressSpace(e->space);
            std::printf("machine: process %u connected\n", processId);
            std::fflush(stdout);
        }
        ++e->connections;
        ++connections;
        return e;
    }

    // The connection is gone; the last one of a process runs it down.
    void leave(const std::shared_ptr<ProcessEntry>& e, uint32_t processId)
    {
        bool last;
        {
            std::lock_guard lock(mutex);
            --connections;
            last = --e->connections == 0;
            if (last && processes[processId] == e)
                processes.erase(processId);
        }
        if (!last)
            return;
        e->space->markGone();
        const size_t handles = e->process->handleCount();
        {
            ob::ProcessScope scope(e->process);
            e->process->terminate(0);
        }
        std::printf("machine: process %u ended, %zu handles closed\n", processId, handles);
        std::fflush(stdout);
    }

    void serveEntered(int socket, uint32_t processId, const std::shared_ptr<ProcessEntry>& entry)
    {
        Connection c;
        c.socket = socket;
        c.processId = processId;
        c.entry = entry;
        c.answerTimeoutMs = limits.answerTimeoutMs;
        timeval tv{limits.sendTimeoutMs / 1000, (limits.sendTimeoutMs % 1000) * 1000};
        setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        std::optional<wire::Message> hello = c.answer(wire::Kind::Hello);
        if (hello && hello->b == 0 && processId != 0 && threadOfProcess(processId, hello->a))
            serveThread(c, hello->a);
        else if (hello && hello->b == 1)
            while (wire::receive(socket, nullptr)) {
                // The process's own connection carries nothing; it only ends.
            }
    }

    void serveThread(Connection& c, uint32_t threadId)
    {
        ob::ProcessScope scope(c.entry->process);
        // The thread object stands for the client's thread: a priority the
        // kernel gives it reaches that thread.
        ob::Ref<ob::Thread> thread = ob::Thread::create(c.entry->process);
        ob::Thread::bindCurrent(thread);
        thread->bindHostThread(static_cast<pid_t>(threadId));
        t_serving = &c;
        while (!c.broken) {
            std::optional<wire::Message> m = wire::receive(c.socket, nullptr);
            if (!m)
                break;
            int fd = -1;
            wire::Message r = handle(*m, fd);
            if (r.kind != wire::Kind::Reply)
                break;
            c.entry->space->flushPending();
            if (c.broken || !wire::send(c.socket, r, fd))
                break;
        }
        t_serving = nullptr;
        thread->markExited(0);
        ob::Thread::bindCurrent(nullptr);
    }

    void acceptLoop()
    {
        for (;;) {
            int s = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (s < 0) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                return;
            }
            ucred cred{};
            socklen_t length = sizeof cred;
            if (getsockopt(s, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0 || cred.pid <= 0) {
                close(s);
                continue;
            }
            const auto pid = static_cast<uint32_t>(cred.pid);
            {
                std::lock_guard lock(mutex);
                reapLocked();
                auto it = processes.find(pid);
                if (stopping || connections >= limits.maxConnections ||
                    (it != processes.end() && it->second->connections >= limits.maxConnectionsPerProcess)) {
                    close(s);
                    continue;
                }
            }
            // Counted now, in the order the client connected: its process
            // connection comes first, so a thread's short connection never
            // leaves the process without one.
            std::shared_ptr<ProcessEntry> entry = enter(pid);
            std::lock_guard lock(mutex);
            running.push_back({s, {}, false});
            Running* r = &running.back();
            r->thread = std::thread([this, r, s, pid, entry] {
                serveEntered(s, pid, entry);
                {
                    // Closed before the process may run down, so a process
                    // seen gone has no socket left here either.
                    std::lock_guard lock(mutex);
                    close(r->socket);
                    r->socket = -1;
                }
                leave(entry, pid);
                std::lock_guard lock(mutex);
                r->done = true;
            });
        }
    }

    // Joins the threads of connections that have ended (the mutex held).
    void reapLocked()
    {
        for (auto it = running.begin(); it != running.end();) {
            if (it->done) {
                it->thread.join();
                it = running.erase(it);
            } else {
                ++it;
            }
        }
    }
};

MachineServer::MachineServer(ServerLimits limits) : impl_(std::make_unique<Impl>())
{
    impl_->limits = limits;
    w32::machine::serveHere();
}

MachineServer::~MachineServer() { stop(); }

bool MachineServer::listen(const std::string& path)
{
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        std::fprintf(stderr, "machine: socket path too long: %s\n", path.c_str());
        return false;
    }
    int s = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    unlink(path.c_str());
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(s, 64) != 0) {
        std::fprintf(stderr, "machine: cannot listen on %s: %s\n", path.c_str(), std::strerror(errno));
        if (s >= 0)
            close(s);
        return false;
    }
    impl_->listener = s;
    impl_->path = path;
    impl_->acceptor = std::thread([this] { impl_->acceptLoop(); });
    return true;
}

void MachineServer::stop()
{
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
        if (impl_->listener >= 0)
            shutdown(impl_->listener, SHUT_RDWR);
        for (auto& r : impl_->running)
            if (r.socket >= 0)
                shutdown(r.socket, SHUT_RDWR);
    }
    if (impl_->acceptor.joinable())
        impl_->acceptor.join();
    std::list<Impl::Running> left;
    {
        std::lock_guard lock(impl_->mutex);
        left.swap(impl_->running);
    }
    for (auto& r : left)
        r.thread.join();
    if (impl_->listener >= 0) {
        close(impl_->listener);
        unlink(impl_->path.c_str());
        impl_->listener = -1;
    }
}

void MachineServer::serve(int socket, uint32_t processId)
{
    std::shared_ptr<ProcessEntry> entry = impl_->enter(processId);
    impl_->serveEntered(socket, processId, entry);
    impl_->leave(entry, processId);
}

size_t MachineServer::processCount() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->processes.size();
}

size_t MachineServer::connectionCount() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->connections;
}

DescriptorCount countDescriptors()
{
    DescriptorCount n;
    DIR* d = opendir("/proc/self/fd");
    if (!d)
        return n;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        ++n.all;
        char path[320], target[256];
        std::snprintf(path, sizeof path, "/proc/self/fd/%s", e->d_name);
        const ssize_t len = readlink(path, target, sizeof target - 1);
        if (len > 0 && std::strncmp(target, "/memfd:", 7) == 0)
            ++n.memfds;
    }
    closedir(d);
    return n;
}

} // namespace orvo::machine

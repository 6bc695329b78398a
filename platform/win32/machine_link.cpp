#include "platform/win32/machine_link.h"

#include "platform/object/process.h"
#include "platform/object/shared_signal.h"
#include "platform/object/thread_slot.h"
#include "platform/win32/error.h"
#include "platform/win32/handles.h"
#include "platform/win32/machine_wire.h"

#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace w32::machine {

namespace {

constexpr auto kRemoteFileType = static_cast<ob::ObjectType>(static_cast<uint16_t>(ob::ObjectType::FirstCustom) + 0x10);
constexpr auto kRemoteEventType = static_cast<ob::ObjectType>(static_cast<uint16_t>(ob::ObjectType::FirstCustom) + 0x11);

std::atomic<bool> g_servingHere{false};

const std::string& socketPath()
{
    static const std::string path = [] {
        const char* p = std::getenv("ORVO_MACHINE_SOCKET");
        return std::string(p ? p : "");
    }();
    return path;
}

int connectToMachine(uint32_t threadId, bool anchor)
{
    const std::string& path = socketPath();
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return -1;
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    wire::Message hello;
    hello.kind = wire::Kind::Hello;
    hello.a = threadId;
    hello.b = anchor ? 1 : 0;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || !wire::send(fd, hello)) {
        close(fd);
        return -1;
    }
    return fd;
}

// The connection that stands for the process: opened once, never closed, so
// the machine sees the process end when the kernel closes it.
bool anchorProcess()
{
    static const int anchor = connectToMachine(static_cast<uint32_t>(syscall(SYS_gettid)), true);
    return anchor >= 0;
}

struct ThreadLink {
    int fd = -1;
    ~ThreadLink()
    {
        if (fd >= 0)
            close(fd);
    }
    void drop()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
};
// On a thread key, not a thread_local with a destructor (thread_slot.h):
// the link closes when its thread ends.
ThreadLink& threadLink()
{
    static auto* slot = new ob::ThreadSlot<ThreadLink>(); // lives as long as the process
    return slot->get();
}

// Answers the machine's mapping requests in this process.
wire::Message mapHere(uint64_t bytes, int fd)
{
    wire::Message answer;
    answer.kind = wire::Kind::Mapped;
    if (fd < 0 || bytes == 0 || bytes > (uint64_t(1) << 31))
        return answer;
    int flags = MAP_SHARED;
#ifdef MAP_32BIT
    flags |= MAP_32BIT; // the 32-bit process's address space
#endif
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, flags, fd, 0);
    if (p == MAP_FAILED)
        return answer;
    if (reinterpret_cast<uintptr_t>(p) + bytes > (uintptr_t(1) << 32)) {
        munmap(p, bytes);
        return answer;
    }
    answer.address = reinterpret_cast<uintptr_t>(p);
    return answer;
}

// One request and its reply; the machine's mapping requests in between are
// answered. Nothing when the machine cannot be reached or broke the exchange.
std::optional<wire::Message> call(const wire::Message& request, int* replyFd = nullptr)
{
    if (replyFd)
        *replyFd = -1;
    if (!anchorProcess())
        return std::nullopt;
    ThreadLink& t_link = threadLink();
    if (t_link.fd < 0)
        t_link.fd = connectToMachine(static_cast<uint32_t>(syscall(SYS_gettid)), false);
    if (t_link.fd < 0 || !wire::send(t_link.fd, request)) {
        t_link.drop();
        return std::nullopt;
    }
    for (;;) {
        int fd = -1;
        std::optional<wire::Message> m = wire::receive(t_link.fd, &fd);
        if (!m) {
            t_link.drop();
            return std::nullopt;
        }
        if (m->kind == wire::Kind::Reply) {
            if (replyFd)
                *replyFd = fd;
            else if (fd >= 0)
                close(fd);
            return m;
        }
        wire::Message answer;
        if (m->kind == wire::Kind::Map) {
            answer = mapHere(m->bytes, fd);
        } else if (m->kind == wire::Kind::Unmap && m->address % 4096 == 0 && m->address + m->bytes <= (uint64_t(1) << 32)) {
            munmap(reinterpret_cast<void*>(static_cast<uintptr_t>(m->address)), m->bytes);
            answer.kind = wire::Kind::Unmapped;
        } else {
            if (fd >= 0)
                close(fd);
            t_link.drop();
            return std::nullopt;
        }
        if (fd >= 0)
            close(fd);
        if (!wire::send(t_link.fd, answer)) {
            t_link.drop();
            return std::nullopt;
        }
    }
}

void notConnected() { SetLastError(ERROR_DEVICE_NOT_CONNECTED); }

void closeRemote(uint32_t handle)
{
    wire::Message m;
    m.kind = wire::Kind::Close;
    m.a = handle;
    call(m); // a machine that is gone has closed it already
}

class RemoteFile final : public ob::Object {
public:
    explicit RemoteFile(uint32_t h) : ob::Object(kRemoteFileType), handle(h) {}
    const uint32_t handle;

protected:
    void lastHandleClosed(ob::Process&) override { closeRemote(handle); }
};

class RemoteEvent final : public ob::Object {
public:
    RemoteEvent(uint32_t h, std::shared_ptr<ob::SharedSignal> s, bool autoReset)
        : ob::Object(kRemoteEventType), handle(h), signal(std::move(s)), autoReset(autoReset)
    {
    }
    const uint32_t handle;
    const std::shared_ptr<ob::SharedSignal> signal;
    const bool autoReset;

protected:
    void lastHandleClosed(ob::Process&) override { closeRemote(handle); }
};

// The machine's handle, entered here under the same value; on failure the
// machine's is closed again.
HANDLE adopt(uint32_t handle, ob::Ref<ob::Object> proxy, DWORD access)
{
    if (handle < kFirstMachineHandle) {
        closeRemote(handle);
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (ob::Status s = ob::Process::current().insertAt(handle, std::move(proxy), access); s != ob::Status::Ok) {
        closeRemote(handle);
        SetLastError(errorFromObjectManager(s));
        return nullptr;
    }
    return handleFromValue(handle);
}

std::u16string text(LPCWSTR s)
{
    std::u16string t;
    for (; s && *s; ++s)
        t += *s;
    return t;
}

// A request that names a path or an object; false (the last error set to
// `tooLong`) when the name is over the bound.
bool named(wire::Message& m, wire::Kind kind, uint32_t a, LPCWSTR name, DWORD tooLong)
{
    m.kind = kind;
    m.a = a;
    m.text = text(name);
    if (m.text.size() <= wire::kMaxText)
        return true;
    SetLastError(tooLong);
    return false;
}

HANDLE eventReply(const wire::Message& request, bool autoReset, DWORD access)
{
    int fd = -1;
    std::optional<wire::Message> r = call(request, &fd);
    if (!r) {
        notConnected();
        return nullptr;
    }
    if (!r->a) {
        if (fd >= 0)
            close(fd);
        SetLastError(r->b);
        return nullptr;
    }
    // An opened event's kind comes back in the payload's first byte.
    if (!r->data.empty())
        autoReset = r->data[0] != 0;
    std::shared_ptr<ob::SharedSignal> signal = fd >= 0 ? ob::SharedSignal::attach(fd) : nullptr;
    if (fd >= 0)
        close(fd);
    if (!signal) {
        closeRemote(r->c);
        SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return nullptr;
    }
    const DWORD error = r->b;
    HANDLE h = adopt(r->c, std::make_shared<RemoteEvent>(r->c, std::move(signal), autoReset), access);
    if (h)
        SetLastError(error);
    return h;
}

} // namespace

bool remote() { return !g_servingHere.load(std::memory_order_acquire) && !socketPath().empty(); }

void serveHere() { g_servingHere.store(true, std::memory_order_release); }

bool listInterfaces(const GUID& interfaceClass, std::vector<std::u16string>& paths)
{
    wire::Message m;
    m.kind = wire::Kind::EnumInterfaces;
    std::memcpy(m.guid, &interfaceClass.Data1, 4);
    std::memcpy(m.guid + 4, &interfaceClass.Data2, 2);
    std::memcpy(m.guid + 6, &interfaceClass.Data3, 2);
    std::memcpy(m.guid + 8, interfaceClass.Data4, 8);
    std::optional<wire::Message> r = call(m);
    if (!r) {
        notConnected();
        return false;
    }
    std::optional<std::vector<std::u16string>> list = wire::decodePaths(r->data);
    if (!r->a || !list) {
        SetLastError(r->a ? ERROR_INVALID_DATA : r->b);
        return false;
    }
    paths = std::move(*list);
    return true;
}

HANDLE createFile(LPCWSTR path, DWORD desiredAccess)
{
    wire::Message m;
    if (!named(m, wire::Kind::Open, desiredAccess, path, ERROR_FILE_NOT_FOUND))
        return INVALID_HANDLE_VALUE;
    std::optional<wire::Message> r = call(m);
    if (!r) {
        notConnected();
        return INVALID_HANDLE_VALUE;
    }
    if (!r->a) {
        SetLastError(r->b);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = adopt(r->c, std::make_shared<RemoteFile>(r->c), desiredAccess);
    if (!h)
        return INVALID_HANDLE_VALUE;
    SetLastError(ERROR_SUCCESS);
    return h;
}

BOOL deviceIoControl(HANDLE device, DWORD code, LPVOID input, DWORD inputLength, LPVOID output, DWORD outputLength,
                     DWORD* bytesReturned)
{
    ob::Ref<RemoteFile> f = referenceHandle<RemoteFile>(device, kRemoteFileType, 0);
    if (!f)
        return FALSE;
    if (inputLength > wire::kMaxIoBytes || outputLength > wire::kMaxIoBytes) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    wire::Message m;
    m.kind = wire::Kind::IoControl;
    m.a = f->handle;
    m.b = code;
    m.c = outputLength;
    if (inputLength)
        m.data.assign(static_cast<const uint8_t*>(input), static_cast<const uint8_t*>(input) + inputLength);
    std::optional<wire::Message> r = call(m);
    if (!r) {
        notConnected();
        return FALSE;
    }
    // The machine returns no more than was asked; a longer answer is refused.
    if (r->c != r->data.size() || r->data.size() > outputLength) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    if (!r->data.empty())
        std::memcpy(output, r->data.data(), r->data.size());
    *bytesReturned = r->c;
    SetLastError(r->b);
    return r->a ? TRUE : FALSE;
}

HANDLE createEvent(BOOL manualReset, BOOL initialState, LPCWSTR name)
{
    wire::Message m;
    if (!named(m, wire::Kind::CreateEvent, manualReset ? 1 : 0, name, ERROR_INVALID_NAME))
        return nullptr;
    m.b = initialState ? 1 : 0;
    return eventReply(m, !manualReset, 0x001F0003);
}

HANDLE openEvent(DWORD desiredAccess, LPCWSTR name)
{
    wire::Message m;
    if (!named(m, wire::Kind::OpenEvent, desiredAccess, name, ERROR_INVALID_NAME))
        return nullptr;
    return eventReply(m, false, desiredAccess);
}

SharedEvent sharedEvent(HANDLE handle, DWORD access, bool& denied)
{
    denied = false;
    ob::Ref<ob::Object> o;
    const ob::Status s = ob::Process::current().reference(handleValue(handle), kRemoteEventType, access, o);
    if (s == ob::Status::AccessDenied) {
        denied = true;
        SetLastError(ERROR_ACCESS_DENIED);
    }
    if (s != ob::Status::Ok)
        return {};
    auto e = std::static_pointer_cast<RemoteEvent>(o);
    return {e->signal, e->autoReset};
}

} // namespace w32::machine

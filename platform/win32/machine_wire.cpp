#include "platform/win32/machine_wire.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace w32::wire {

namespace {

class Writer {
public:
    void u32(uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    void u64(uint64_t v)
    {
        u32(static_cast<uint32_t>(v));
        u32(static_cast<uint32_t>(v >> 32));
    }
    void text(const std::u16string& t)
    {
        u32(static_cast<uint32_t>(t.size()));
        for (char16_t c : t) {
            out.push_back(static_cast<uint8_t>(c));
            out.push_back(static_cast<uint8_t>(c >> 8));
        }
    }
    void bytes(std::span<const uint8_t> b)
    {
        u32(static_cast<uint32_t>(b.size()));
        out.insert(out.end(), b.begin(), b.end());
    }
    std::vector<uint8_t> out;
};

class Reader {
public:
    explicit Reader(std::span<const uint8_t> b) : bytes_(b) {}
    bool u32(uint32_t& v)
    {
        if (bytes_.size() - at_ < 4)
            return false;
        v = 0;
        for (int i = 0; i < 4; ++i)
            v |= uint32_t(bytes_[at_ + i]) << (8 * i);
        at_ += 4;
        return true;
    }
    bool u64(uint64_t& v)
    {
        uint32_t lo = 0, hi = 0;
        if (!u32(lo) || !u32(hi))
            return false;
        v = uint64_t(hi) << 32 | lo;
        return true;
    }
    bool text(std::u16string& t)
    {
        uint32_t n = 0;
        if (!u32(n) || n > kMaxText || (bytes_.size() - at_) / 2 < n)
            return false;
        t.resize(n);
        for (uint32_t i = 0; i < n; ++i)
            t[i] = static_cast<char16_t>(bytes_[at_ + 2 * i] | bytes_[at_ + 2 * i + 1] << 8);
        at_ += size_t(n) * 2;
        return true;
    }
    bool bytes(std::vector<uint8_t>& d, size_t limit)
    {
        uint32_t n = 0;
        if (!u32(n) || n > limit || bytes_.size() - at_ < n)
            return false;
        d.assign(bytes_.begin() + static_cast<ptrdiff_t>(at_), bytes_.begin() + static_cast<ptrdiff_t>(at_ + n));
        at_ += n;
        return true;
    }
    bool raw(uint8_t* out, size_t n)
    {
        if (bytes_.size() - at_ < n)
            return false;
        std::memcpy(out, bytes_.data() + at_, n);
        at_ += n;
        return true;
    }
    bool atEnd() const { return at_ == bytes_.size(); }

private:
    std::span<const uint8_t> bytes_;
    size_t at_ = 0;
};

} // namespace

std::vector<uint8_t> encode(const Message& m)
{
    Writer w;
    w.u32(static_cast<uint32_t>(m.kind));
    switch (m.kind) {
    case Kind::Hello:
        w.u32(m.a);
        w.u32(m.b);
        break;
    case Kind::EnumInterfaces:
        w.out.insert(w.out.end(), m.guid, m.guid + 16);
        break;
    case Kind::Open:
    case Kind::OpenEvent:
        w.u32(m.a);
        w.text(m.text);
        break;
    case Kind::IoControl:
        w.u32(m.a);
        w.u32(m.b);
        w.u32(m.c);
        w.bytes(m.data);
        break;
    case Kind::Close:
        w.u32(m.a);
        break;
    case Kind::CreateEvent:
        w.u32(m.a);
        w.u32(m.b);
        w.text(m.text);
        break;
    case Kind::Map:
        w.u64(m.bytes);
        break;
    case Kind::Unmap:
        w.u64(m.address);
        w.u64(m.bytes);
        break;
    case Kind::Mapped:
        w.u64(m.address);
        break;
    case Kind::Unmapped:
        break;
    case Kind::Reply:
        w.u32(m.a);
        w.u32(m.b);
        w.u32(m.c);
        w.bytes(m.data);
        break;
    }
    return std::move(w.out);
}

std::optional<Message> decode(std::span<const uint8_t> bytes)
{
    if (bytes.size() > kMaxMessage)
        return std::nullopt;
    Reader r(bytes);
    Message m;
    uint32_t kind = 0;
    if (!r.u32(kind))
        return std::nullopt;
    m.kind = static_cast<Kind>(kind);
    bool ok = false;
    switch (m.kind) {
    case Kind::Hello:
        ok = r.u32(m.a) && r.u32(m.b);
        break;
    case Kind::EnumInterfaces:
        ok = r.raw(m.guid, 16);
        break;
    case Kind::Open:
    case Kind::OpenEvent:
        ok = r.u32(m.a) && r.text(m.text);
        break;
    case Kind::IoControl:
        ok = r.u32(m.a) && r.u32(m.b) && r.u32(m.c) && m.c <= kMaxIoBytes && r.bytes(m.data, kMaxIoBytes);
        break;
    case Kind::Close:
        ok = r.u32(m.a);
        break;
    case Kind::CreateEvent:
        ok = r.u32(m.a) && r.u32(m.b) && r.text(m.text);
        break;
    case Kind::Map:
        ok = r.u64(m.bytes);
        break;
    case Kind::Unmap:
        ok = r.u64(m.address) && r.u64(m.bytes);
        break;
    case Kind::Mapped:
        ok = r.u64(m.address);
        break;
    case Kind::Unmapped:
        ok = true;
        break;
    case Kind::Reply:
        ok = r.u32(m.a) && r.u32(m.b) && r.u32(m.c) && r.bytes(m.data, kMaxIoBytes + 4096);
        break;
    }
    if (!ok || !r.atEnd())
        return std::nullopt;
    return m;
}

std::vector<uint8_t> encodePaths(const std::vector<std::u16string>& paths)
{
    Writer w;
    w.u32(static_cast<uint32_t>(paths.size()));
    for (const auto& p : paths)
        w.text(p);
    return std::move(w.out);
}

std::optional<std::vector<std::u16string>> decodePaths(std::span<const uint8_t> bytes)
{
    Reader r(bytes);
    uint32_t count = 0;
    if (!r.u32(count) || count > kMaxInterfaces)
        return std::nullopt;
    std::vector<std::u16string> paths(count);
    for (auto& p : paths)
        if (!r.text(p))
            return std::nullopt;
    if (!r.atEnd())
        return std::nullopt;
    return paths;
}

bool send(int socket, const Message& m, int fd)
{
    const std::vector<uint8_t> bytes = encode(m);
    iovec iov{const_cast<uint8_t*>(bytes.data()), bytes.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (fd >= 0) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &fd, sizeof(int));
    }
    ssize_t n;
    do {
        n = sendmsg(socket, &msg, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(bytes.size());
}

std::optional<Message> receive(int socket, int* fd)
{
    if (fd)
        *fd = -1;
    std::vector<uint8_t> buffer(kMaxMessage + 1);
    iovec iov{buffer.data(), buffer.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    // Room for a few descriptors, so that extra ones are received and closed
    // rather than left to truncate the control data.
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 8)] = {};
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = recvmsg(socket, &msg, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    int received = -1;
    bool extra = false;
    for (cmsghdr* c = n >= 0 ? CMSG_FIRSTHDR(&msg) : nullptr; c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int f;
            std::memcpy(&f, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
            if (received < 0)
                received = f;
            else {
                close(f);
                extra = true;
            }
        }
    }
    std::optional<Message> m;
    if (n > 0 && !(msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) && !extra)
        m = decode(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n)));
    if (!m || !fd) {
        if (received >= 0)
            close(received);
        received = -1;
    }
    if (fd)
        *fd = received;
    return m;
}

} // namespace w32::wire

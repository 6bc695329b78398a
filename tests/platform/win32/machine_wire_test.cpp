// The machine connection's messages: what is taken and what is refused.

#include "platform/win32/machine_wire.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fcntl.h>

namespace {

using namespace w32::wire;

std::vector<uint8_t> le32(std::initializer_list<uint32_t> words)
{
    std::vector<uint8_t> out;
    for (uint32_t w : words)
        for (int i = 0; i < 4; ++i)
            out.push_back(static_cast<uint8_t>(w >> (8 * i)));
    return out;
}

TEST(MachineWire, EveryKindComesBackAsItWent)
{
    Message io;
    io.kind = Kind::IoControl;
    io.a = 0x40000004;
    io.b = 0x220010;
    io.c = 64;
    io.data.assign(72, 0x5A);
    Message open;
    open.kind = Kind::Open;
    open.a = 0xC0000000;
    open.text = u"\\\\?\\usb#vid_3a71";
    Message reply;
    reply.kind = Kind::Reply;
    reply.a = 1;
    reply.b = 183;
    reply.c = 3;
    reply.data = {1, 2, 3};
    Message map;
    map.kind = Kind::Map;
    map.bytes = 3440640;
    for (const Message& m : {io, open, reply, map}) {
        std::optional<Message> back = decode(encode(m));
        ASSERT_TRUE(back);
        EXPECT_EQ(back->kind, m.kind);
        EXPECT_EQ(back->a, m.a);
        EXPECT_EQ(back->b, m.b);
        EXPECT_EQ(back->c, m.c);
        EXPECT_EQ(back->text, m.text);
        EXPECT_EQ(back->data, m.data);
        EXPECT_EQ(back->bytes, m.bytes);
    }
}

TEST(MachineWire, BytesThatAreNotExactlyOneMessageAreRefused)
{
    std::vector<uint8_t> close = le32({5, 8});
    std::vector<uint8_t> longer = close;
    longer.push_back(0);
    std::vector<uint8_t> textPastEnd = le32({3, 0, 4, 0x00410041}); // four units announced, two there
    std::vector<uint8_t> hugeText = le32({3, 0, 0xFFFFFFFF});
    std::vector<uint8_t> ioPastEnd = le32({4, 4, 0x220010, 64, 72}); // 72 input bytes announced, none there
    std::vector<uint8_t> ioOutputTooLong = le32({4, 4, 0x220010, 0x10001, 0});
    std::vector<uint8_t> tooBig(kMaxMessage + 1, 0);
    std::memcpy(tooBig.data(), le32({4}).data(), 4);
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"empty", {}},
        {"kind only, fields missing", le32({5})},
        {"short kind", {5, 0, 0}},
        {"unknown kind", le32({99, 0})},
        {"trailing byte", longer},
        {"text past the end", textPastEnd},
        {"text count over the bound", hugeText},
        {"input past the end", ioPastEnd},
        {"output length over the bound", ioOutputTooLong},
        {"over the message bound", tooBig},
    };
    ASSERT_TRUE(decode(close));
    for (const auto& c : cases)
        EXPECT_FALSE(decode(c.bytes)) << c.name;
}

TEST(MachineWire, PathListsAreBoundedAndExact)
{
    const std::vector<std::u16string> paths = {u"a", u"\\\\?\\b"};
    EXPECT_EQ(decodePaths(encodePaths(paths)), paths);
    EXPECT_FALSE(decodePaths(le32({kMaxInterfaces + 1})));
    EXPECT_FALSE(decodePaths(le32({1})));
    std::vector<uint8_t> extra = encodePaths(paths);
    extra.push_back(0);
    EXPECT_FALSE(decodePaths(extra));
}

// A datagram carrying more than one descriptor is refused and none of them
// stays open in the receiver.
TEST(MachineWire, ExtraDescriptorsAreClosedNotKept)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
    int a = open("/dev/null", O_RDONLY), b = open("/dev/null", O_RDONLY);
    Message unmapped;
    unmapped.kind = Kind::Unmapped;
    const std::vector<uint8_t> bytes = encode(unmapped);
    iovec iov{const_cast<uint8_t*>(bytes.data()), bytes.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))] = {};
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(2 * sizeof(int));
    int fds[2] = {a, b};
    std::memcpy(CMSG_DATA(c), fds, sizeof fds);
    ASSERT_EQ(sendmsg(pair[0], &msg, 0), static_cast<ssize_t>(bytes.size()));
    close(a);
    close(b);
    const int probe = open("/dev/null", O_RDONLY); // the lowest free number now
    close(probe);
    int fd = -2;
    EXPECT_FALSE(receive(pair[1], &fd));
    EXPECT_EQ(fd, -1);
    const int after = open("/dev/null", O_RDONLY);
    EXPECT_EQ(after, probe); // nothing received stayed open
    close(after);
    close(pair[0]);
    close(pair[1]);
}

} // namespace

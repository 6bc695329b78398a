#pragma once
// The messages between a client process and the machine process, one
// message a datagram of a Unix sequenced-packet socket, at most one file
// descriptor with it. Every field is little-endian at a fixed place; a
// message is taken only when its length is exactly what its kind and its
// counts say, and counts are bounded before anything is read behind them.
//
// A client sends a request and reads until the reply; meanwhile the machine
// may ask it to map a memfd (the descriptor comes with the message) or to
// undo a mapping, and waits for the answer.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace w32::wire {

enum class Kind : uint32_t {
    Hello = 1,          // u32 thread id, u32 anchor (1: the connection that stands for the process)
    EnumInterfaces = 2, // 16-byte class GUID
    Open = 3,           // u32 desired access, u32 n, n UTF-16 units
    IoControl = 4,      // u32 handle, u32 code, u32 output length, u32 n, n input bytes
    Close = 5,          // u32 handle
    CreateEvent = 6,    // u32 manual reset, u32 initially set, u32 n, n UTF-16 units
    OpenEvent = 7,      // u32 desired access, u32 n, n UTF-16 units
    Map = 0x100,        // machine: u64 bytes, the memfd attached
    Unmap = 0x101,      // machine: u64 address, u64 bytes
    Mapped = 0x180,     // client: u64 address (0: not mapped)
    Unmapped = 0x181,   // client: nothing
    Reply = 0x200,      // machine: u32 result, u32 last error, u32 value, u32 n, n bytes (an event's page attached)
};

inline constexpr size_t kMaxText = 1024;          // UTF-16 units of a path or name
inline constexpr size_t kMaxIoBytes = 64 * 1024;  // input or output of one device request
inline constexpr size_t kMaxMessage = 80 * 1024;  // any message
inline constexpr uint32_t kMaxInterfaces = 256;   // paths in one enumeration reply

struct Message {
    Kind kind{};
    uint32_t a = 0, b = 0, c = 0; // the leading u32 fields, by position
    uint64_t address = 0, bytes = 0;
    std::u16string text;
    std::vector<uint8_t> data; // IoControl input, Reply payload
    uint8_t guid[16] = {};
};

// The bytes of a message (fields the kind does not carry are ignored).
std::vector<uint8_t> encode(const Message& m);
// The message, or nothing when the bytes are not exactly one message of a
// known kind within the bounds above.
std::optional<Message> decode(std::span<const uint8_t> bytes);

// Enumeration reply payload: u32 count, then per path u32 n and n UTF-16 units.
std::vector<uint8_t> encodePaths(const std::vector<std::u16string>& paths);
std::optional<std::vector<std::u16string>> decodePaths(std::span<const uint8_t> bytes);

// One message with at most one descriptor (-1: none). False when it could
// not be sent whole (the socket's send time-out bounds the wait).
bool send(int socket, const Message& m, int fd = -1);
// The next message and the descriptor that came with it (-1: none; the
// caller owns it). Nothing at the end of the stream, on a time-out, or when
// the datagram is not a valid message (any descriptor with it is closed).
std::optional<Message> receive(int socket, int* fd);

} // namespace w32::wire

#pragma once
// A client process's handle on the kernel driver, used the way the ASIO
// driver uses it: interface enumeration, device I/O control, device messages
// and a named block event, all through the Win32 stand-in, so the same code
// is a client in this process or in a process of its own beside the machine
// process (machine_link.h).

#include "platform/kernel/clock.h"
#include "platform/kernel/guid.h"
#include "platform/win32/types.h"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>

namespace orvo::demo {

// Where a registered client finds its shared blocks.
struct StreamSetup {
    uint32_t statusRecord = 0; // user addresses
    uint32_t recordRing = 0;
    uint32_t clippedRing = 0;
    uint32_t unclippedRing = 0;
    uint32_t clientSlot = 0;   // the client's deadline in the status record
};

struct KernelSession {
    w32::HANDLE file = nullptr;
    w32::HANDLE event = nullptr; // the block event, once streaming was asked for
    w32::GUID interfaceClass;

    // Opens the `index`th present interface of the class.
    bool open(const w32::GUID& interfaceClass, uint32_t index = 0);
    // Registers the calling process as a started client at `rate` and
    // `blockFrames`, with a block event named as the ASIO driver names it,
    // and has the calling thread kept at raised priority while blocks are
    // due (the client keeps its deadline ahead, see keepBoosted).
    bool startStream(uint32_t rate, uint32_t blockFrames, StreamSetup& out);
    // Waits up to `ms` for the block event and resets it; true when it came.
    bool waitBlock(uint32_t ms);

    // Failures are printed with the request's code and the error.
    bool control(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength);
    bool message(uint32_t selector, uint32_t operation, uint32_t value, uint32_t* reply = nullptr);
    void close();
};

inline w32::GUID win32Guid(const kplat::Guid& g)
{
    w32::GUID w;
    w.Data1 = g.data1;
    w.Data2 = g.data2;
    w.Data3 = g.data3;
    std::memcpy(w.Data4, g.data4.data(), 8);
    return w;
}

// Moves the client's deadline in the status record on (from the last
// block's time), so that the kernel keeps boosting its thread at the next blocks.
void keepBoosted(uint8_t* statusRecord, uint32_t clientSlot);

// Wall time in the kernel clock's units, for tallies: a client process has
// no kernel clock of its own.
inline kplat::Ticks wallTicks()
{
    return static_cast<kplat::Ticks>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count() /
                                     100);
}

// Frames delivered in whole blocks, from the block counts a client sees at
// its wake-ups, against the frames the wall clock says were due.
class BlockTally {
public:
    void start(uint64_t count, kplat::Ticks at)
    {
        last_ = count;
        start_ = at;
        blocks_ = 0;
    }
    // A count below the last one is a stream reset: counting goes on from 0.
    void see(uint64_t count)
    {
        blocks_ += count >= last_ ? count - last_ : count;
        resets_ += count < last_ ? 1 : 0;
        last_ = count;
    }
    uint64_t deliveredFrames(uint32_t blockFrames) const { return blocks_ * blockFrames; }
    uint64_t expectedFrames(kplat::Ticks now, uint32_t rate) const
    {
        return (now - start_) * rate / kplat::kTicksPerSecond;
    }
    double seconds(kplat::Ticks now) const { return double(now - start_) / double(kplat::kTicksPerSecond); }
    uint64_t resets() const { return resets_; }

private:
    uint64_t last_ = 0;
    uint64_t blocks_ = 0;
    uint64_t resets_ = 0;
    kplat::Ticks start_ = 0;
};

} // namespace orvo::demo

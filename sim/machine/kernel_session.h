#pragma once
// A client process's handle on the kernel driver, used the way the ASIO
// driver uses it: device I/O control and device messages.

#include "platform/kernel/clock.h"
#include "platform/kernel/io_manager.h"

#include <cstdint>
#include <string>

namespace orvo::demo {

// Where a registered client finds its shared blocks.
struct StreamSetup {
    uint32_t statusRecord = 0; // user addresses
    uint32_t recordRing = 0;
    uint32_t clientSlot = 0;   // the client's deadline in the status record
};

struct KernelSession {
    kplat::io::FileRef file;

    // Registers the calling process as a started client at `rate` and
    // `blockFrames` whose block event is `eventHandle`, and has the calling
    // thread kept at raised priority while blocks are due (the client keeps
    // its deadline ahead, see keepBoosted).
    bool startStream(uint32_t processId, uint32_t eventHandle, uint32_t rate, uint32_t blockFrames,
                     StreamSetup& out);

    bool open(const std::u16string& link);
    // Failures are printed with the request's code and status.
    bool control(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength);
    bool message(uint32_t selector, uint32_t operation, uint32_t value, uint32_t* reply = nullptr);
    void close();
};

// Moves the client's deadline in the status record on, so that the kernel
// keeps boosting its thread at the next blocks.
void keepBoosted(uint8_t* statusRecord, uint32_t clientSlot);

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

#pragma once
// What a host measures of its own timing: for each buffer switch, the time
// from the kernel's block (its time in the status record, which the host
// maps through a handle of its own on the driver's kernel interface) to the
// switch, and the blocks that passed between switches. Switches are recorded
// into room reserved up front; nothing is allocated on the streaming thread.

#include "platform/win32/types.h"
#include "sim/machine/kernel_session.h"

#include <cstdint>
#include <string>
#include <vector>

namespace orvo::asiohost {

class BlockTiming {
public:
    // Maps the status record of the kernel interface `interfaceClass` names;
    // room for `switches` switches. `clockOrigin`: where the kernel clock's
    // tick 0 lies on this process's steady clock (the machine process prints
    // it), 0 when unknown: then no latency is taken. False when the record is
    // not there.
    bool open(const w32::GUID& interfaceClass, size_t switches, uint64_t clockOrigin);
    void close();
    bool opened() const { return record_ != nullptr; }

    // At a buffer switch, on the driver's streaming thread.
    void seeSwitch(uint32_t blockFrames, uint32_t rate);

    // "switches N, blocks skipped S, late L (over one block), slips K;
    // wake-to-bufferSwitch us: median ... 99th ... 99.9th ... max ..."
    std::string summary() const;

private:
    demo::KernelSession session_;
    uint8_t* record_ = nullptr;
    std::vector<uint32_t> latencyTicks_;
    size_t recorded_ = 0;
    uint64_t switches_ = 0, skipped_ = 0, late_ = 0;
    uint64_t lastCount_ = 0;
    uint64_t lastBlockTime_ = 0;
    uint64_t clockOrigin_ = 0;
    bool counting_ = false;
};

} // namespace orvo::asiohost

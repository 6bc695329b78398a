#pragma once
// Fault injection: tests arm a kind of operation to fail. The stand-in asks
// consumeFault() at every such operation; an armed plan lets `skip` calls
// pass and then fails the next `count` ones.

#include <cstdint>

namespace kplat {

enum class FaultKind : uint8_t {
    Allocation,      // pool, pages, framework objects and memory
    UuidCreation,    // UUID creation
    RequestSend,     // sending a request to an I/O target
    IsochTransfer,   // an isochronous transfer completes with an error
    ControlTransfer, // a control transfer (or pipe reset) fails
    Count,
};

void armFault(FaultKind kind, uint32_t skip = 0, uint32_t count = 1);
void disarmFaults();
// True when this operation is to fail (counts the call).
bool consumeFault(FaultKind kind);
// How many operations of this kind were checked while some plan was armed.
uint64_t faultChecks(FaultKind kind);

} // namespace kplat

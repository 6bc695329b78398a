#pragma once
// One user's device handle: the handle opened on the slot's device
// interface, the lock that serialises every request and re-open through it,
// and the cached address of the status record.
//
// The kernel maps the status record and the rings per handle and unmaps them
// when the handle is closed. A handle that carries mappings somebody still
// holds (a MappingLease) is therefore never closed at once when it is
// replaced: it is retired and closed when its last lease lets go. Nothing
// touches a mapping after its handle closed.

#include "platform/win32/critical_section.h"
#include "platform/win32/types.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace orvo::asio {

struct AudioDeviceInterfaceWrapper {
    w32::HANDLE handle = w32::INVALID_HANDLE_VALUE;
    w32::CRITICAL_SECTION lock{};
    uint8_t* asioInfo = nullptr;           // under `lock`
    std::atomic<bool> closing{false};      // requests fail at once
    std::atomic<bool> noReopen{false};     // failed requests never re-open
    bool processIdSent = false;            // selector 9 went through the current handle; under `lock`

    // The mapping sets: `epoch` numbers the current handle, `leases` counts
    // the leases on it; replaced handles with leases left wait in `retired`.
    struct Retired {
        w32::HANDLE handle;
        uint32_t epoch;
        uint32_t leases;
    };
    uint32_t epoch = 0;
    uint32_t leases = 0;
    std::vector<Retired> retired;
};

// A hold on the mappings of one handle of a wrapper: while it lives that
// handle stays open, whatever re-opens or closes the wrapper meanwhile.
// Release it before the wrapper is deleted.
class MappingLease {
public:
    MappingLease() = default;
    MappingLease(MappingLease&& other) noexcept { *this = static_cast<MappingLease&&>(other); }
    MappingLease& operator=(MappingLease&& other) noexcept;
    MappingLease(const MappingLease&) = delete;
    MappingLease& operator=(const MappingLease&) = delete;
    ~MappingLease() { release(); }

    // The status record's address (null for an empty lease).
    uint8_t* get() const { return address_; }
    // The handle epoch the lease holds.
    uint32_t epoch() const { return epoch_; }
    explicit operator bool() const { return address_ != nullptr; }
    void release();

private:
    friend MappingLease LeaseCurrentMappings(AudioDeviceInterfaceWrapper& wrapper, uint8_t* address);
    AudioDeviceInterfaceWrapper* wrapper_ = nullptr;
    uint32_t epoch_ = 0;
    uint8_t* address_ = nullptr;
};

// A lease on the wrapper's current handle. Call it holding the wrapper lock,
// in the same hold as the request that produced the mappings.
MappingLease LeaseCurrentMappings(AudioDeviceInterfaceWrapper& wrapper, uint8_t* address);

// Replaces the wrapper's handle by INVALID_HANDLE_VALUE and clears the cached
// status record; the old handle is closed now, or when its last lease goes.
void CloseWrapperHandle(AudioDeviceInterfaceWrapper& wrapper);

} // namespace orvo::asio

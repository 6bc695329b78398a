#pragma once
// The driver-wide device slots: 100 slots, each with its class identifier,
// and the tables that the devices in the slots share (product-name hash and
// duplicate number). Devices are added and released concurrently, so taking
// and freeing a slot happen under the slot lock.

#include "classcomp/common/class_ids.h"
#include "platform/kernel/guid.h"
#include "platform/kernel/spin_lock.h"
#include "platform/kernel/status.h"

#include <cstdint>

namespace orvo::kernel {

inline constexpr uint32_t kSlotCount = static_cast<uint32_t>(classcomp::kDeviceSlotCount);
inline constexpr uint32_t kNoSlot = 0xFFFFFFFF;

struct DriverTables {
    uint8_t slotInUse[kSlotCount];
    uint32_t productNameHash[kSlotCount];
    uint32_t duplicateNumber[kSlotCount];
};

// The tables, zero at load. The lock guards them; it exists while the
// driver is loaded.
DriverTables& GetDriverTables();
kplat::SpinLock* GetSlotLock();

// Called by the driver entry: zeroes the tables and creates the slot lock.
kplat::Status InitDeviceSlots(kplat::Object& driver);

// Takes the first free slot; kNoSlot when all are in use.
uint32_t TakeFreeSlot();
void FreeSlot(uint32_t slot);
uint32_t SlotsInUse();

kplat::Guid ClassIdForSlot(uint32_t slot);

} // namespace orvo::kernel

#include "classcomp/kernel/device_slots.h"

#include <cstring>

namespace orvo::kernel {

namespace {
DriverTables gTables;
kplat::SpinLock* gSlotLock = nullptr;

void onSlotLockGone(kplat::Object&) { gSlotLock = nullptr; }
} // namespace

DriverTables& GetDriverTables() { return gTables; }

kplat::SpinLock* GetSlotLock() { return gSlotLock; }

kplat::Status InitDeviceSlots(kplat::Object& driver)
{
    std::memset(&gTables, 0, sizeof gTables);
    kplat::ObjectAttributes attributes;
    attributes.parent = &driver;
    attributes.destroy = &onSlotLockGone;
    return kplat::SpinLock::create(attributes, &gSlotLock);
}

uint32_t TakeFreeSlot()
{
    kplat::SpinLockGuard guard(*gSlotLock);
    for (uint32_t slot = 0; slot < kSlotCount; ++slot) {
        if (gTables.slotInUse[slot] == 0) {
            gTables.slotInUse[slot] = 1;
            return slot;
        }
    }
    return kNoSlot;
}

void FreeSlot(uint32_t slot)
{
    if (slot >= kSlotCount)
        return;
    kplat::SpinLockGuard guard(*gSlotLock);
    gTables.slotInUse[slot] = 0;
}

uint32_t SlotsInUse()
{
    kplat::SpinLockGuard guard(*gSlotLock);
    uint32_t n = 0;
    for (uint8_t used : gTables.slotInUse)
        n += used;
    return n;
}

kplat::Guid ClassIdForSlot(uint32_t slot)
{
    const classcomp::ClassId& id = classcomp::kClassIds[slot];
    kplat::Guid guid;
    guid.data1 = id.data1;
    guid.data2 = id.data2;
    guid.data3 = id.data3;
    std::memcpy(guid.data4.data(), id.data4, 8);
    return guid;
}

} // namespace orvo::kernel

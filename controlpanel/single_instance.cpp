#include "controlpanel/single_instance.h"

SingleInstanceGuard::SingleInstanceGuard(const QString& key) : memory(key) {}

bool SingleInstanceGuard::acquire() {
    if (memory.create(4, QSharedMemory::ReadWrite))
        return true;
    if (memory.error() != QSharedMemory::AlreadyExists)
        return false;
    // A copy that was killed never detached, and its System V segment
    // outlives it. Attaching and detaching again removes a segment nobody
    // else is attached to, so only a running copy still holds the key.
    if (memory.attach())
        memory.detach();
    return memory.create(4, QSharedMemory::ReadWrite);
}

void SingleInstanceGuard::release() {
    if (memory.isAttached())
        memory.detach();
}

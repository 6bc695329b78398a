#pragma once
// Framework work item: runs its callback once at passive level on the clock's
// thread after it is enqueued (in virtual time: at the next advance).
// Enqueueing an item that is already queued does nothing. Deleting waits for
// a running callback.

#include "platform/kernel/clock.h"
#include "platform/kernel/framework_object.h"

namespace kplat {

class WorkItem;

struct WorkItemConfig {
    void (*callback)(WorkItem& item) = nullptr;
    bool automaticSerialization = true;
};

class WorkItem final : public Object {
public:
    // attributes.parent is required (a device or another framework object).
    static Status create(const WorkItemConfig& config, const ObjectAttributes& attributes, WorkItem** out);
    void enqueue();
    Object* parentObject() const { return parent(); }

private:
    WorkItem(const WorkItemConfig& config, const ObjectAttributes& attributes);
    void teardown() override;
    static void onFire(ClockEntry& entry);

    struct Entry : ClockEntry {
        WorkItem* owner = nullptr;
    } entry_;
    WorkItemConfig config_;
};

} // namespace kplat

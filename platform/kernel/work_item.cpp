#include "platform/kernel/work_item.h"

#include "platform/kernel/fault.h"
#include "platform/kernel/level.h"

namespace kplat {

WorkItem::WorkItem(const WorkItemConfig& config, const ObjectAttributes& attributes)
    : Object(attributes, nullptr), config_(config)
{
    entry_.owner = this;
    entry_.setFire(&WorkItem::onFire);
}

Status WorkItem::create(const WorkItemConfig& config, const ObjectAttributes& attributes, WorkItem** out)
{
    *out = nullptr;
    if (!config.callback)
        return status::kInvalidParameter;
    if (!attributes.parent)
        violation("a work item needs a parent object");
    if (consumeFault(FaultKind::Allocation))
        return status::kInsufficientResources;
    auto* item = new WorkItem(config, attributes);
    if (!item->valid()) {
        item->deleteObject();
        return status::kInsufficientResources;
    }
    *out = item;
    return status::kSuccess;
}

void WorkItem::enqueue()
{
    if (kernelClock().isQueued(entry_))
        return;
    kernelClock().schedule(entry_, kernelClock().now());
}

void WorkItem::onFire(ClockEntry& entry)
{
    WorkItem& item = *static_cast<Entry&>(entry).owner;
    ScopedLevel level(Level::Passive);
    item.config_.callback(item);
}

void WorkItem::teardown()
{
    requirePassive("deleting a work item");
    kernelClock().cancelAndWait(entry_);
}

} // namespace kplat

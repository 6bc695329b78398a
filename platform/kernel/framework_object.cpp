#include "platform/kernel/framework_object.h"

#include "platform/kernel/level.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>

namespace kplat {

namespace {
std::recursive_mutex gTreeMutex;
}

Object::Object(const ObjectAttributes& attributes, Object* defaultParent)
    : parent_(attributes.parent ? attributes.parent : defaultParent),
      contextSize_(attributes.contextSize),
      cleanup_(attributes.cleanup),
      destroy_(attributes.destroy),
      executionLevel_(attributes.executionLevel)
{
    if (contextSize_ > 0)
        context_ = std::calloc(1, contextSize_);
    if (parent_) {
        std::lock_guard lock(gTreeMutex);
        if (parent_->deleting_)
            violation("creating a child of an object that is being deleted");
        parent_->children_.push_back(this);
    }
}

Object::~Object() { std::free(context_); }

ExecutionLevel Object::executionLevel() const
{
    for (const Object* o = this; o; o = o->parent_)
        if (o->executionLevel_ != ExecutionLevel::InheritFromParent)
            return o->executionLevel_;
    return ExecutionLevel::Dispatch;
}

void Object::checkContext(size_t size) const
{
    if (!context_ || contextSize_ < size)
        violation("object context missing or smaller than its type");
}

void Object::deleteObject()
{
    {
        std::lock_guard lock(gTreeMutex);
        if (deleting_)
            violation("deleting an object twice");
        deleting_ = true;
    }
    for (;;) {
        Object* child;
        {
            std::lock_guard lock(gTreeMutex);
            if (children_.empty())
                break;
            child = children_.back();
        }
        child->deleteObject();
    }
    if (cleanup_)
        cleanup_(*this);
    teardown();
    if (destroy_)
        destroy_(*this);
    if (parent_) {
        std::lock_guard lock(gTreeMutex);
        auto& siblings = parent_->children_;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
    }
    delete this;
}

} // namespace kplat

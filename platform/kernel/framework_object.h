#pragma once
// The framework's object model: every framework object has a parent, an
// optional zeroed context area and cleanup/destroy callbacks. Deleting an
// object deletes its children first (newest first), then runs its own
// cleanup, its teardown and its destroy callback.

#include "platform/kernel/status.h"

#include <cstddef>
#include <vector>

namespace kplat {

class Object;

enum class ExecutionLevel : uint8_t { InheritFromParent, Passive, Dispatch };
enum class SynchronizationScope : uint8_t { InheritFromParent, None, Device, Queue };

struct ObjectAttributes {
    size_t contextSize = 0;
    void (*cleanup)(Object& object) = nullptr;
    void (*destroy)(Object& object) = nullptr;
    Object* parent = nullptr;
    ExecutionLevel executionLevel = ExecutionLevel::InheritFromParent;
    SynchronizationScope synchronizationScope = SynchronizationScope::InheritFromParent;
};

template <class Context>
ObjectAttributes attributesWithContext()
{
    ObjectAttributes attributes;
    attributes.contextSize = sizeof(Context);
    return attributes;
}

class Object {
public:
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    Object* parent() const { return parent_; }
    void* context() const { return context_; }
    size_t contextSize() const { return contextSize_; }

    // The context, checked to be large enough for Context.
    template <class Context>
    Context* contextAs() const
    {
        checkContext(sizeof(Context));
        return static_cast<Context*>(context_);
    }

    // Deletes the object and its children.
    void deleteObject();

    // Execution level after inheriting from the parents.
    ExecutionLevel executionLevel() const;

protected:
    // The object is parented to attributes.parent, else to defaultParent.
    Object(const ObjectAttributes& attributes, Object* defaultParent);
    virtual ~Object();
    // Type-specific teardown, after the children are gone.
    virtual void teardown() {}
    // False when allocating the context failed (creation must fail then).
    bool valid() const { return contextSize_ == 0 || context_ != nullptr; }

private:
    void checkContext(size_t size) const;

    Object* parent_;
    std::vector<Object*> children_;
    void* context_ = nullptr;
    size_t contextSize_ = 0;
    void (*cleanup_)(Object&);
    void (*destroy_)(Object&);
    ExecutionLevel executionLevel_;
    bool deleting_ = false;
};

} // namespace kplat

#pragma once
// Reference-counted objects of the simulated machine: every kernel object that
// a handle can refer to derives from Object. A reference is a shared_ptr; the
// handle count is kept apart, because closing the last handle is an event of
// its own (a file object's cleanup runs then, while references may live on).

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace ob {

enum class ObjectType : uint16_t {
    Process,
    Thread,
    Event,
    File,
    Key,
    Section,
    FirstCustom = 0x100, // types that other stand-ins define
};

const char* toString(ObjectType type);

class Process;

class Object : public std::enable_shared_from_this<Object> {
public:
    virtual ~Object();
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    ObjectType type() const { return type_; }
    const std::string& name() const { return name_; } // empty when unnamed
    uint32_t handleCount() const { return handleCount_.load(std::memory_order_acquire); }

protected:
    explicit Object(ObjectType type) : type_(type) {}
    // Runs when the last handle to the object (in any process) is closed, in
    // the thread that closed it, with `process` the process that closed it.
    virtual void lastHandleClosed(Process& process) { (void)process; }

private:
    friend class Process;
    friend class Namespace;
    const ObjectType type_;
    std::string name_;
    std::atomic<uint32_t> handleCount_{0};
};

template <class T> using Ref = std::shared_ptr<T>;

} // namespace ob

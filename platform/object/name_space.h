#pragma once
// The machine's object namespace: named objects (events) that every process,
// and the kernel, can open by name. An entry lives as long as its object;
// creating a name that exists opens the existing object.

#include "platform/object/object.h"
#include "platform/object/status.h"

#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace ob {

class Namespace {
public:
    static Namespace& machine();

    struct Created {
        Status status = Status::Ok;
        Ref<Object> object;
        bool existed = false; // the name was taken: object is the existing one
    };
    // Returns the object named `name` if there is one of `type`
    // (TypeMismatch for another type), else binds make()'s object to the name.
    Created openOrCreate(const std::string& name, ObjectType type, const std::function<Ref<Object>()>& make);
    // The object named `name`: NameNotFound, or TypeMismatch for another type.
    Status open(const std::string& name, ObjectType type, Ref<Object>& out);

private:
    friend class Object;
    void forget(const std::string& name);
    std::mutex mutex_;
    std::map<std::string, std::weak_ptr<Object>> names_; // names compare exactly
};

} // namespace ob

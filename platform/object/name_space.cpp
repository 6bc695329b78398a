#include "platform/object/name_space.h"

namespace ob {

Namespace& Namespace::machine()
{
    static Namespace* ns = new Namespace; // outlives every static object that may be named
    return *ns;
}

Namespace::Created Namespace::openOrCreate(const std::string& name, ObjectType type,
                                           const std::function<Ref<Object>()>& make)
{
    Created result;
    if (name.empty()) {
        result.status = Status::InvalidParameter;
        return result;
    }
    std::lock_guard lock(mutex_);
    auto it = names_.find(name);
    if (it != names_.end()) {
        if (Ref<Object> existing = it->second.lock()) {
            if (existing->type() != type) {
                result.status = Status::TypeMismatch;
                return result;
            }
            result.object = std::move(existing);
            result.existed = true;
            return result;
        }
    }
    Ref<Object> created = make();
    if (!created) {
        result.status = Status::InsufficientResources;
        return result;
    }
    created->name_ = name;
    names_[name] = created;
    result.object = std::move(created);
    return result;
}

Status Namespace::open(const std::string& name, ObjectType type, Ref<Object>& out)
{
    std::lock_guard lock(mutex_);
    auto it = names_.find(name);
    Ref<Object> existing = it == names_.end() ? nullptr : it->second.lock();
    if (!existing)
        return Status::NameNotFound;
    if (existing->type() != type)
        return Status::TypeMismatch;
    out = std::move(existing);
    return Status::Ok;
}

// Called from a dying object's destructor. The entry may already belong to a
// newer object of the same name (made after this one expired): keep that.
void Namespace::forget(const std::string& name)
{
    std::lock_guard lock(mutex_);
    auto it = names_.find(name);
    if (it != names_.end() && it->second.expired())
        names_.erase(it);
}

} // namespace ob

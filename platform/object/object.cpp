#include "platform/object/object.h"

#include "platform/object/name_space.h"
#include "platform/object/status.h"

namespace ob {

Object::~Object()
{
    if (!name_.empty())
        Namespace::machine().forget(name_);
}

const char* toString(ObjectType type)
{
    switch (type) {
    case ObjectType::Process: return "process";
    case ObjectType::Thread: return "thread";
    case ObjectType::Event: return "event";
    case ObjectType::File: return "file";
    case ObjectType::Key: return "key";
    case ObjectType::Section: return "section";
    case ObjectType::FirstCustom: break;
    }
    return "custom";
}

const char* toString(Status status)
{
    switch (status) {
    case Status::Ok: return "ok";
    case Status::InvalidHandle: return "invalid handle";
    case Status::TypeMismatch: return "object type mismatch";
    case Status::AccessDenied: return "access denied";
    case Status::InvalidParameter: return "invalid parameter";
    case Status::InsufficientResources: return "insufficient resources";
    case Status::NameNotFound: return "name not found";
    }
    return "?";
}

} // namespace ob

#include "platform/win32/error.h"

namespace w32 {

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
}

DWORD GetLastError()
{
    return t_lastError;
}

void SetLastError(DWORD error)
{
    t_lastError = error;
}

DWORD errorFromObjectManager(ob::Status status)
{
    switch (status) {
    case ob::Status::Ok: return ERROR_SUCCESS;
    case ob::Status::InvalidHandle: return ERROR_INVALID_HANDLE;
    case ob::Status::TypeMismatch: return ERROR_INVALID_HANDLE; // as the platform reports a handle of another type
    case ob::Status::AccessDenied: return ERROR_ACCESS_DENIED;
    case ob::Status::InvalidParameter: return ERROR_INVALID_PARAMETER;
    case ob::Status::InsufficientResources: return ERROR_NO_SYSTEM_RESOURCES;
    case ob::Status::NameNotFound: return ERROR_FILE_NOT_FOUND;
    }
    return ERROR_GEN_FAILURE;
}

} // namespace w32

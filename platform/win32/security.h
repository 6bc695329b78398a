#pragma once
// Security descriptors as far as the machine models them: every simulated
// process runs as the same user, so an object's default protection and a
// descriptor whose access list is null (any process may use the object) both
// leave it open to every process. Descriptors are still checked as the
// platform checks them: uninitialised ones are refused, and access lists of
// their own (not modelled) are refused rather than silently ignored.

#include "platform/win32/types.h"

namespace w32 {

inline constexpr DWORD SECURITY_DESCRIPTOR_REVISION = 1;
inline constexpr DWORD ERROR_INVALID_ACL = 1336;
inline constexpr DWORD ERROR_INVALID_SECURITY_DESCR = 1338;
inline constexpr WORD SE_DACL_PRESENT = 0x0004;
inline constexpr WORD SE_DACL_DEFAULTED = 0x0008;

struct ACL;

// Absolute form, as the platform lays it out.
struct SECURITY_DESCRIPTOR {
    BYTE Revision;
    BYTE Sbz1;
    WORD Control;
    void* Owner;
    void* Group;
    ACL* Sacl;
    ACL* Dacl;
};

BOOL InitializeSecurityDescriptor(SECURITY_DESCRIPTOR* descriptor, DWORD revision);
// A present access list that is null grants every access to everybody.
BOOL SetSecurityDescriptorDacl(SECURITY_DESCRIPTOR* descriptor, BOOL daclPresent, ACL* dacl, BOOL daclDefaulted);

// For the stand-in's object creation: true when `attributes` (may be null)
// are acceptable; otherwise sets the last error.
bool checkSecurityAttributes(const SECURITY_ATTRIBUTES* attributes);

} // namespace w32

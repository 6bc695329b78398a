#include "platform/win32/security.h"

#include "platform/win32/error.h"

namespace w32 {

BOOL InitializeSecurityDescriptor(SECURITY_DESCRIPTOR* descriptor, DWORD revision)
{
    if (!descriptor || revision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(revision != SECURITY_DESCRIPTOR_REVISION ? 1305 /* ERROR_UNKNOWN_REVISION */
                                                              : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *descriptor = SECURITY_DESCRIPTOR{static_cast<BYTE>(revision), 0, 0, nullptr, nullptr, nullptr, nullptr};
    return TRUE;
}

BOOL SetSecurityDescriptorDacl(SECURITY_DESCRIPTOR* descriptor, BOOL daclPresent, ACL* dacl, BOOL daclDefaulted)
{
    if (!descriptor || descriptor->Revision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(1305 /* ERROR_UNKNOWN_REVISION */);
        return FALSE;
    }
    descriptor->Control &= static_cast<WORD>(~(SE_DACL_PRESENT | SE_DACL_DEFAULTED));
    descriptor->Dacl = nullptr;
    if (daclPresent) {
        descriptor->Control |= SE_DACL_PRESENT;
        descriptor->Dacl = dacl;
        if (daclDefaulted)
            descriptor->Control |= SE_DACL_DEFAULTED;
    }
    return TRUE;
}

bool checkSecurityAttributes(const SECURITY_ATTRIBUTES* attributes)
{
    if (!attributes)
        return true;
    if (attributes->nLength != sizeof(SECURITY_ATTRIBUTES)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const auto* descriptor = static_cast<const SECURITY_DESCRIPTOR*>(attributes->lpSecurityDescriptor);
    if (!descriptor)
        return true;
    if (descriptor->Revision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return false;
    }
    if ((descriptor->Control & SE_DACL_PRESENT) && descriptor->Dacl) {
        SetLastError(ERROR_INVALID_ACL); // access lists of their own are not modelled
        return false;
    }
    return true;
}

} // namespace w32

#pragma once
// Critical sections: recursive locks of one process. The owner may enter
// again and must leave as often as it entered. Misuse that corrupts the
// platform's lock (entering one never initialised or already deleted,
// leaving one the caller does not own, deleting one that another thread holds
// or waits for) is
// reported through misuse().

#include "platform/win32/types.h"

namespace w32 {

struct CriticalSectionState;

struct CRITICAL_SECTION {
    uint32_t magic; // set while initialised
    CriticalSectionState* state;
};

void InitializeCriticalSection(CRITICAL_SECTION* section);
BOOL InitializeCriticalSectionAndSpinCount(CRITICAL_SECTION* section, DWORD spinCount);
void EnterCriticalSection(CRITICAL_SECTION* section);
BOOL TryEnterCriticalSection(CRITICAL_SECTION* section);
void LeaveCriticalSection(CRITICAL_SECTION* section);
void DeleteCriticalSection(CRITICAL_SECTION* section);

} // namespace w32

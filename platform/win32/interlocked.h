#pragma once
// Interlocked operations on 32-bit values: full barriers, as on the platform.
// The operand must be 4-byte aligned (the platform's atomicity rests on it);
// a misaligned one is misuse.

#include "platform/win32/misuse.h"
#include "platform/win32/types.h"

namespace w32 {

namespace detail {
inline LONG* interlockedTarget(volatile LONG* target)
{
    if (!target || reinterpret_cast<uintptr_t>(target) % alignof(LONG) != 0)
        misuse("interlocked operation on a null or misaligned operand");
    return const_cast<LONG*>(target);
}
} // namespace detail

inline LONG InterlockedIncrement(volatile LONG* target)
{
    return __atomic_add_fetch(detail::interlockedTarget(target), 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(volatile LONG* target)
{
    return __atomic_sub_fetch(detail::interlockedTarget(target), 1, __ATOMIC_SEQ_CST);
}
// Returns the value before the addition.
inline LONG InterlockedExchangeAdd(volatile LONG* target, LONG value)
{
    return __atomic_fetch_add(detail::interlockedTarget(target), value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(volatile LONG* target, LONG value)
{
    return __atomic_exchange_n(detail::interlockedTarget(target), value, __ATOMIC_SEQ_CST);
}
// Stores `exchange` when the value equals `comparand`; returns the value before.
inline LONG InterlockedCompareExchange(volatile LONG* target, LONG exchange, LONG comparand)
{
    __atomic_compare_exchange_n(detail::interlockedTarget(target), &comparand, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return comparand;
}

} // namespace w32

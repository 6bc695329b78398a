#pragma once
// The virtual-table slot a pointer to a virtual member function names, read
// from its representation in the Itanium C++ ABI (the ABI of this build):
// 1 + the slot's byte offset in the table, then the this-adjustment.

#include <cstddef>
#include <cstring>

template <class MemberFunction> std::ptrdiff_t vtableSlot(MemberFunction f)
{
    struct Representation {
        std::ptrdiff_t ptr;
        std::ptrdiff_t adj;
    };
    static_assert(sizeof(MemberFunction) == sizeof(Representation));
    Representation r;
    std::memcpy(&r, &f, sizeof r);
    if ((r.ptr & 1) == 0 || r.adj != 0)
        return -1; // not a virtual function of the primary table
    return (r.ptr - 1) / static_cast<std::ptrdiff_t>(sizeof(void*));
}

#pragma once
// The address space of a process that is not this real one: a client
// process of the machine process, reached over its connection. User mappings
// that the kernel makes into such a process are made there, of the same
// memfd; the address it reports is the mapping's address.

#include <cstddef>
#include <cstdint>

namespace ob {

class AddressSpace {
public:
    virtual ~AddressSpace() = default;
    // Maps `bytes` of the memfd `fd` below 4 GiB; null when it cannot.
    virtual void* map(int fd, size_t bytes) = 0;
    // Undoes a mapping that map() gave.
    virtual void unmap(void* address, size_t bytes) = 0;
};

} // namespace ob

#pragma once
// Memory: tagged pool, framework memory objects, and page lists (MDLs).
//
// Every page list is backed by a memfd. Each mapping of it, into system space
// or into a process, is a distinct address aliasing the same pages. An
// unmapped range is kept reserved and inaccessible for a while, so that a
// stale pointer into it faults instead of reaching whatever comes next. The
// memfd is what a kernel running in another process would hand across.

#include "platform/kernel/framework_object.h"

#include <cstddef>
#include <cstdint>

namespace kplat {

enum class PoolType : uint8_t { NonPaged, Paged };

constexpr uint32_t poolTag(const char (&text)[5])
{
    return uint32_t(uint8_t(text[0])) | uint32_t(uint8_t(text[1])) << 8 | uint32_t(uint8_t(text[2])) << 16 |
           uint32_t(uint8_t(text[3])) << 24;
}

// Pool allocation; null on failure (fault injection). Paged pool needs a level
// below dispatch, to allocate and to free.
void* allocatePool(PoolType type, size_t bytes, uint32_t tag);
void freePool(void* block);
// Bytes still allocated with this tag.
size_t poolBytesOutstanding(uint32_t tag);

// Framework memory object: owns a pool buffer or wraps a caller's buffer.
class Memory final : public Object {
public:
    static Status create(const ObjectAttributes& attributes, PoolType type, uint32_t tag, size_t bytes,
                         Memory** out);
    static Status createPreallocated(const ObjectAttributes& attributes, void* buffer, size_t bytes, Memory** out);
    void* buffer() const { return buffer_; }
    size_t size() const { return size_; }

private:
    Memory(const ObjectAttributes& attributes, void* buffer, size_t bytes, bool owned);
    void teardown() override;
    void* buffer_;
    size_t size_;
    bool owned_;
};

class Mdl;

enum class AccessMode : uint8_t { Kernel, User };
enum class CacheType : uint8_t { NonCached, Cached, WriteCombined };

// Pages for a list of at least `totalBytes` within [low, high]. Under an
// allocation fault the list comes back short (a page fewer) or, for a
// single page, not at all: callers must check byteCount(). At most APC level.
Mdl* allocatePagesForMdl(uint64_t lowAddress, uint64_t highAddress, uint64_t skipBytes, size_t totalBytes);
size_t mdlByteCount(const Mdl& mdl);
// The memfd backing the list.
int mdlFileDescriptor(const Mdl& mdl);
// Frees the pages (no mapping may remain), then the list itself.
void freePagesFromMdl(Mdl& mdl);
void freeMdl(Mdl* mdl);

// Maps the pages. Kernel mappings are system addresses; user mappings go into
// the calling thread's current process below 4 GiB (its 32-bit address
// space), need a level below dispatch and must be unmapped from that process
// before it runs down (an ended process takes no new ones).
// A system mapping that fails returns null; a user mapping that fails raises
// SehException (exception.h), so the call must be guarded with tryExcept.
void* mapLockedPages(Mdl& mdl, AccessMode mode, CacheType cache);
void unmapLockedPages(void* address, Mdl& mdl);
// Live mappings of the list.
size_t mdlMappingCount(const Mdl& mdl);
// User views of any list still mapped into the process.
size_t userViewCount(uint32_t processId);

} // namespace kplat

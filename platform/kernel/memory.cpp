#include "platform/kernel/memory.h"

#include "platform/kernel/exception.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/level.h"
#include "platform/object/address_space.h"
#include "platform/object/process.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace kplat {

namespace {

struct PoolHeader {
    uint64_t magic;
    uint64_t bytes;
    uint32_t tag;
    uint32_t type;
};
constexpr uint64_t kPoolMagic = 0x6C6F6F70'6C61746BULL;
constexpr uint64_t kFreedMagic = 0x64656572'66726565ULL;

std::mutex gPoolMutex;
std::map<uint32_t, size_t> gPoolByTag;

size_t pageSize()
{
    static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

size_t roundToPages(size_t bytes) { return (bytes + pageSize() - 1) / pageSize() * pageSize(); }

// Unmapped ranges stay reserved (inaccessible) until this much is held.
constexpr size_t kQuarantineLimit = size_t(256) << 20;
std::mutex gQuarantineMutex;
std::deque<std::pair<void*, size_t>> gQuarantine;
size_t gQuarantined = 0;

void quarantine(void* address, size_t bytes)
{
    void* reserved = mmap(address, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE, -1, 0);
    if (reserved == MAP_FAILED) {
        munmap(address, bytes);
        return;
    }
    std::lock_guard lock(gQuarantineMutex);
    gQuarantine.emplace_back(address, bytes);
    gQuarantined += bytes;
    while (gQuarantined > kQuarantineLimit) {
        auto [oldAddress, oldBytes] = gQuarantine.front();
        gQuarantine.pop_front();
        gQuarantined -= oldBytes;
        munmap(oldAddress, oldBytes);
    }
}

} // namespace

void* allocatePool(PoolType type, size_t bytes, uint32_t tag)
{
    requireAtMost(type == PoolType::Paged ? Level::Apc : Level::Dispatch, "paged pool allocation");
    if (consumeFault(FaultKind::Allocation))
        return nullptr;
    auto* header = static_cast<PoolHeader*>(std::malloc(sizeof(PoolHeader) + (bytes ? bytes : 1)));
    if (!header)
        return nullptr;
    *header = {kPoolMagic, bytes, tag, static_cast<uint32_t>(type)};
    std::lock_guard lock(gPoolMutex);
    gPoolByTag[tag] += bytes;
    return header + 1;
}

void freePool(void* block)
{
    if (!block)
        violation("freeing a null pool block");
    auto* header = static_cast<PoolHeader*>(block) - 1;
    if (header->magic != kPoolMagic)
        violation("freeing a pool block that is not allocated");
    requireAtMost(header->type == static_cast<uint32_t>(PoolType::Paged) ? Level::Apc : Level::Dispatch,
                  "freeing pool");
    header->magic = kFreedMagic;
    {
        std::lock_guard lock(gPoolMutex);
        gPoolByTag[header->tag] -= header->bytes;
    }
    std::free(header);
}

size_t poolBytesOutstanding(uint32_t tag)
{
    std::lock_guard lock(gPoolMutex);
    auto it = gPoolByTag.find(tag);
    return it == gPoolByTag.end() ? 0 : it->second;
}

Memory::Memory(const ObjectAttributes& attributes, void* buffer, size_t bytes, bool owned)
    : Object(attributes, nullptr), buffer_(buffer), size_(bytes), owned_(owned)
{
}

Status Memory::create(const ObjectAttributes& attributes, PoolType type, uint32_t tag, size_t bytes, Memory** out)
{
    *out = nullptr;
    void* buffer = allocatePool(type, bytes, tag);
    if (!buffer)
        return status::kInsufficientResources;
    auto* memory = new Memory(attributes, buffer, bytes, true);
    if (!memory->valid()) {
        memory->deleteObject();
        return status::kInsufficientResources;
    }
    *out = memory;
    return status::kSuccess;
}

Status Memory::createPreallocated(const ObjectAttributes& attributes, void* buffer, size_t bytes, Memory** out)
{
    *out = nullptr;
    if (!buffer || bytes == 0)
        return status::kInvalidParameter;
    if (consumeFault(FaultKind::Allocation))
        return status::kInsufficientResources;
    *out = new Memory(attributes, buffer, bytes, false);
    return status::kSuccess;
}

void Memory::teardown()
{
    if (owned_)
        freePool(buffer_);
    buffer_ = nullptr;
}

class Mdl {
public:
    int fd = -1;
    size_t byteCount = 0;
    size_t mappedBytes = 0;
    bool pagesFreed = false;
    struct Mapping {
        AccessMode mode;
        std::shared_ptr<ob::AddressSpace> space; // a process of its own: mapped there
    };
    // By address and process (0 for system space): two processes may see
    // their views at one address.
    std::map<std::pair<void*, uint32_t>, Mapping> mappings;
};

namespace {
std::mutex gMdlMutex;
std::map<uint32_t, size_t> gUserViews; // by process id, under gMdlMutex
}

Mdl* allocatePagesForMdl(uint64_t lowAddress, uint64_t highAddress, uint64_t skipBytes, size_t totalBytes)
{
    requireAtMost(Level::Apc, "page allocation for a page list");
    (void)skipBytes;
    if (highAddress < lowAddress || totalBytes == 0)
        return nullptr;
    size_t bytes = totalBytes;
    if (consumeFault(FaultKind::Allocation)) {
        size_t pages = roundToPages(totalBytes) / pageSize();
        if (pages <= 1)
            return nullptr;
        bytes = (pages - 1) * pageSize();
    }
    int fd = memfd_create("kplat-pages", MFD_CLOEXEC);
    if (fd < 0)
        return nullptr;
    if (ftruncate(fd, static_cast<off_t>(roundToPages(bytes))) != 0) {
        close(fd);
        return nullptr;
    }
    auto* mdl = new Mdl;
    mdl->fd = fd;
    mdl->byteCount = bytes;
    mdl->mappedBytes = roundToPages(bytes);
    return mdl;
}

size_t mdlByteCount(const Mdl& mdl) { return mdl.byteCount; }

int mdlFileDescriptor(const Mdl& mdl) { return mdl.fd; }

void freePagesFromMdl(Mdl& mdl)
{
    std::lock_guard lock(gMdlMutex);
    if (mdl.pagesFreed)
        violation("freeing the pages of a page list twice");
    if (!mdl.mappings.empty())
        violation("freeing pages that are still mapped");
    close(mdl.fd);
    mdl.fd = -1;
    mdl.pagesFreed = true;
}

void freeMdl(Mdl* mdl)
{
    if (!mdl)
        violation("freeing a null page list");
    {
        std::lock_guard lock(gMdlMutex);
        if (!mdl->pagesFreed)
            violation("freeing a page list whose pages are still allocated");
    }
    delete mdl;
}

void* mapLockedPages(Mdl& mdl, AccessMode mode, CacheType cache)
{
    (void)cache;
    if (mode == AccessMode::User)
        requireAtMost(Level::Apc, "mapping pages into a process");
    else
        requireAtMost(Level::Dispatch, "mapping pages into system space");
    // A user mapping that cannot be made raises; a system one returns null.
    auto fail = [mode]() -> void* {
        if (mode == AccessMode::User)
            throw SehException(status::kInsufficientResources);
        return nullptr;
    };
    if (consumeFault(FaultKind::Allocation))
        return fail();
    if (mode == AccessMode::User && ob::Process::current().terminated())
        return fail();
    std::unique_lock lock(gMdlMutex);
    if (mdl.pagesFreed)
        violation("mapping a page list whose pages were freed");
    const uint32_t processId = mode == AccessMode::User ? ob::Process::current().id() : 0;
    std::shared_ptr<ob::AddressSpace> space =
        mode == AccessMode::User ? ob::Process::current().addressSpace() : nullptr;
    void* address = nullptr;
    if (space) {
        // The process maps the memfd itself; its answer is bounded in time,
        // and the list's pages stay while the lock is let go.
        const int fd = mdl.fd;
        const size_t bytes = mdl.mappedBytes;
        lock.unlock();
        address = space->map(fd, bytes);
        if (!address || reinterpret_cast<uintptr_t>(address) % pageSize() != 0 ||
            reinterpret_cast<uintptr_t>(address) + bytes > (uintptr_t(1) << 32))
            return fail();
        lock.lock();
        if (!mdl.mappings.emplace(std::pair(address, processId), Mdl::Mapping{mode, space}).second) {
            lock.unlock();
            space->unmap(address, bytes);
            return fail();
        }
        ++gUserViews[processId];
        return address;
    }
    int flags = MAP_SHARED;
#ifdef MAP_32BIT
    if (mode == AccessMode::User)
        flags |= MAP_32BIT;
#endif
    address = mmap(nullptr, mdl.mappedBytes, PROT_READ | PROT_WRITE, flags, mdl.fd, 0);
    if (address == MAP_FAILED) {
        lock.unlock();
        return fail();
    }
    if (mode == AccessMode::User && reinterpret_cast<uintptr_t>(address) + mdl.mappedBytes > (uintptr_t(1) << 32)) {
        munmap(address, mdl.mappedBytes);
        lock.unlock();
        return fail();
    }
#ifdef MADV_POPULATE_WRITE
    // The real call hands out resident pages, and a system view is written
    // whole at once (zeroed): its pages are made writable in one call here,
    // not one fault at a time.
    if (mode == AccessMode::Kernel)
        madvise(address, mdl.mappedBytes, MADV_POPULATE_WRITE);
#endif
    mdl.mappings.emplace(std::pair(address, processId), Mdl::Mapping{mode, nullptr});
    if (mode == AccessMode::User)
        ++gUserViews[processId];
    return address;
}

void unmapLockedPages(void* address, Mdl& mdl)
{
    std::unique_lock lock(gMdlMutex);
    // A view of the current process first: a client process's addresses are
    // its own and may equal a system address here.
    auto it = mdl.mappings.find(std::pair(address, ob::Process::current().id()));
    if (it == mdl.mappings.end()) {
        it = mdl.mappings.find(std::pair(address, uint32_t(0)));
        if (it == mdl.mappings.end()) {
            // A user mapping is undone in the context of the process it is in.
            for (const auto& [key, mapping] : mdl.mappings)
                if (key.first == address)
                    violation("unmapping a user mapping from another process");
            violation("unmapping an address that is no mapping of this page list");
        }
    }
    if (it->second.mode == AccessMode::User) {
        requireAtMost(Level::Apc, "unmapping pages from a process");
        if (--gUserViews[it->first.second] == 0)
            gUserViews.erase(it->first.second);
    }
    std::shared_ptr<ob::AddressSpace> space = std::move(it->second.space);
    mdl.mappings.erase(it);
    size_t bytes = mdl.mappedBytes;
    lock.unlock();
    if (space)
        space->unmap(address, bytes);
    else
        quarantine(address, bytes);
}

size_t mdlMappingCount(const Mdl& mdl)
{
    std::lock_guard lock(gMdlMutex);
    return mdl.mappings.size();
}

size_t userViewCount(uint32_t processId)
{
    std::lock_guard lock(gMdlMutex);
    auto it = gUserViews.find(processId);
    return it == gUserViews.end() ? 0 : it->second;
}

} // namespace kplat

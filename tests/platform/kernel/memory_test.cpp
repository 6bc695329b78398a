#include "kernel_fixture.h"

#include "platform/kernel/exception.h"
#include "platform/kernel/memory.h"
#include "platform/object/process.h"

#include <cstring>

namespace kplat::testing {
namespace {

class MemoryTest : public KernelFixture {};

TEST_F(MemoryTest, EveryMappingIsADistinctAddressOfTheSameMemory)
{
    Mdl* mdl = allocatePagesForMdl(0, 0xFFFFFFFF, 0, 11572);
    ASSERT_NE(mdl, nullptr);
    EXPECT_GE(mdlByteCount(*mdl), 11572u);
    auto* system = static_cast<uint8_t*>(mapLockedPages(*mdl, AccessMode::Kernel, CacheType::Cached));
    auto* user1 = static_cast<uint8_t*>(mapLockedPages(*mdl, AccessMode::User, CacheType::Cached));
    auto* user2 = static_cast<uint8_t*>(mapLockedPages(*mdl, AccessMode::User, CacheType::Cached));
    ASSERT_TRUE(system && user1 && user2);
    EXPECT_NE(system, user1);
    EXPECT_NE(user1, user2);
    // User mappings live in a 32-bit address space.
    EXPECT_LT(reinterpret_cast<uintptr_t>(user1) + 11572, uintptr_t(1) << 32);
    EXPECT_EQ(user1[11000], 0);
    system[11000] = 0x5A;
    EXPECT_EQ(user1[11000], 0x5A);
    user2[7] = 0x33;
    EXPECT_EQ(system[7], 0x33);
    EXPECT_EQ(mdlMappingCount(*mdl), 3u);
    unmapLockedPages(user1, *mdl);
    unmapLockedPages(user2, *mdl);
    unmapLockedPages(system, *mdl);
    freePagesFromMdl(*mdl);
    freeMdl(mdl);
}

TEST_F(MemoryTest, AUserMappingIsUndoneInItsOwnProcess)
{
    Mdl* mdl = allocatePagesForMdl(0, 0xFFFFFFFF, 0, 4096);
    auto client = ob::Process::create();
    void* user = nullptr;
    {
        ob::ProcessScope scope(client);
        user = mapLockedPages(*mdl, AccessMode::User, CacheType::Cached);
        ASSERT_NE(user, nullptr);
    }
    EXPECT_THROW(unmapLockedPages(user, *mdl), StrictnessViolation);
    {
        ob::ProcessScope scope(client);
        unmapLockedPages(user, *mdl);
    }
    freePagesFromMdl(*mdl);
    freeMdl(mdl);
}

TEST_F(MemoryTest, FreeingMappedPagesOrUnknownAddressesIsCaught)
{
    Mdl* mdl = allocatePagesForMdl(0, 0xFFFFFFFF, 0, 4096);
    void* system = mapLockedPages(*mdl, AccessMode::Kernel, CacheType::Cached);
    int other = 0;
    EXPECT_THROW(unmapLockedPages(&other, *mdl), StrictnessViolation);
    EXPECT_THROW(freePagesFromMdl(*mdl), StrictnessViolation);
    unmapLockedPages(system, *mdl);
    EXPECT_THROW(freeMdl(mdl), StrictnessViolation);
    freePagesFromMdl(*mdl);
    freeMdl(mdl);
}

using MemoryDeathTest = MemoryTest;

TEST_F(MemoryDeathTest, AStaleUserPointerFaults)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            Mdl* mdl = allocatePagesForMdl(0, 0xFFFFFFFF, 0, 8192);
            auto* user = static_cast<volatile uint8_t*>(mapLockedPages(*mdl, AccessMode::User, CacheType::Cached));
            user[100] = 1;
            unmapLockedPages(const_cast<uint8_t*>(user), *mdl);
            user[100] = 2; // must fault
            std::fprintf(stderr, "no fault\n");
            std::_Exit(0);
        },
        "");
}

TEST_F(MemoryTest, FaultsShortenPageListsAndFailPoolAndMappings)
{
    armFault(FaultKind::Allocation, 0, 3);
    Mdl* shortList = allocatePagesForMdl(0, 0xFFFFFFFF, 0, 3 * 4096);
    ASSERT_NE(shortList, nullptr);
    EXPECT_LT(mdlByteCount(*shortList), 3u * 4096);
    EXPECT_EQ(allocatePool(PoolType::NonPaged, 64, poolTag("test")), nullptr);
    EXPECT_EQ(mapLockedPages(*shortList, AccessMode::Kernel, CacheType::Cached), nullptr);
    freePagesFromMdl(*shortList);
    freeMdl(shortList);
}

TEST_F(MemoryTest, PagesForAListAreAllocatedAtApcLevelAtMost)
{
    {
        ScopedLevel dispatch(Level::Dispatch);
        EXPECT_THROW(allocatePagesForMdl(0, 0xFFFFFFFF, 0, 4096), StrictnessViolation);
    }
    ScopedLevel apc(Level::Apc);
    Mdl* mdl = allocatePagesForMdl(0, 0xFFFFFFFF, 0, 4096);
    ASSERT_NE(mdl, nullptr);
    freePagesFromMdl(*mdl);
    freeMdl(mdl);
}

TEST_F(MemoryTest, AUserMappingThatFailsRaisesAnException)
{
    Mdl* mdl = allocatePagesForMdl(0, 0xFFFFFFFF, 0, 4096);
    ASSERT_NE(mdl, nullptr);
    armFault(FaultKind::Allocation);
    EXPECT_THROW(mapLockedPages(*mdl, AccessMode::User, CacheType::Cached), SehException);
    // Guarded, the caller gets the exception's code and nothing is mapped.
    armFault(FaultKind::Allocation);
    void* address = nullptr;
    EXPECT_EQ(tryExcept([&] { address = mapLockedPages(*mdl, AccessMode::User, CacheType::Cached); }),
              status::kInsufficientResources);
    EXPECT_EQ(address, nullptr);
    EXPECT_EQ(mdlMappingCount(*mdl), 0u);
    EXPECT_EQ(tryExcept([&] { address = mapLockedPages(*mdl, AccessMode::User, CacheType::Cached); }),
              status::kSuccess);
    ASSERT_NE(address, nullptr);
    unmapLockedPages(address, *mdl);
    freePagesFromMdl(*mdl);
    freeMdl(mdl);
}

TEST_F(MemoryTest, PoolIsTrackedByTag)
{
    constexpr uint32_t tag = poolTag("uqdk");
    size_t before = poolBytesOutstanding(tag);
    void* block = allocatePool(PoolType::NonPaged, 1000, tag);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(poolBytesOutstanding(tag), before + 1000);
    freePool(block);
    EXPECT_EQ(poolBytesOutstanding(tag), before);
}

} // namespace
} // namespace kplat::testing

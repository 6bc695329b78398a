#include "kernel_fixture.h"

#include "platform/kernel/kernel_objects.h"
#include "platform/kernel/spin_lock.h"

namespace kplat::testing {
namespace {

class KernelObjectsTest : public KernelFixture {
protected:
    ob::Ref<ob::Process> client_ = ob::Process::create();
    ob::Ref<ob::Event> event_ = ob::Event::create(ob::Event::Kind::ManualReset, false);
};

TEST_F(KernelObjectsTest, EventsAreReferencedFromTheCallersHandleTable)
{
    ob::Handle handle = 0;
    ASSERT_EQ(client_->insert(event_, ob::kSynchronize, handle), ob::Status::Ok);
    Caller caller{client_->id(), 1, client_};

    EventObject* object = nullptr;
    ASSERT_EQ(referenceEventByHandle(handle, kSynchronizeAccess, AccessMode::Kernel, caller, &object),
              status::kSuccess);
    // A reference outlives the handle.
    client_->close(handle);
    EXPECT_EQ(setEvent(*object, 8), 0);
    EXPECT_TRUE(event_->signalled());
    EXPECT_EQ(event_->lastPriorityIncrement(), 8);
    dereferenceObject(object);
}

TEST_F(KernelObjectsTest, HandlesAreCheckedForProcessTypeAndAccess)
{
    ob::Handle handle = 0;
    ASSERT_EQ(client_->insert(event_, ob::kSynchronize, handle), ob::Status::Ok);
    ob::Handle processHandle = 0;
    ASSERT_EQ(client_->insert(ob::Process::create(), ob::kSynchronize, processHandle), ob::Status::Ok);
    EventObject* object = nullptr;
    Caller client{client_->id(), 1, client_};
    Caller other{0, 1, ob::Process::create()};
    EXPECT_EQ(referenceEventByHandle(handle, kSynchronizeAccess, AccessMode::Kernel, other, &object),
              status::kInvalidHandle);
    EXPECT_EQ(referenceEventByHandle(processHandle, kSynchronizeAccess, AccessMode::Kernel, client, &object),
              status::kObjectTypeMismatch);
    EXPECT_EQ(referenceEventByHandle(handle, ob::kEventModifyState, AccessMode::User, client, &object),
              status::kAccessDenied);
    EXPECT_EQ(object, nullptr);
}

TEST_F(KernelObjectsTest, EventsMayBeSetAtDispatchButReferencedOnlyAtPassive)
{
    ob::Handle handle = 0;
    ASSERT_EQ(client_->insert(event_, ob::kSynchronize, handle), ob::Status::Ok);
    Caller caller{client_->id(), 1, client_};
    EventObject* object = nullptr;
    ASSERT_EQ(referenceEventByHandle(handle, kSynchronizeAccess, AccessMode::Kernel, caller, &object),
              status::kSuccess);
    {
        ScopedLevel dispatch(Level::Dispatch);
        setEvent(*object, 0);
        EventObject* again = nullptr;
        EXPECT_THROW(referenceEventByHandle(handle, kSynchronizeAccess, AccessMode::Kernel, caller, &again),
                     StrictnessViolation);
    }
    {
        ScopedLevel apc(Level::Apc);
        EventObject* again = nullptr;
        EXPECT_THROW(referenceEventByHandle(handle, kSynchronizeAccess, AccessMode::User, caller, &again),
                     StrictnessViolation);
    }
    dereferenceObject(object);
}

} // namespace
} // namespace kplat::testing

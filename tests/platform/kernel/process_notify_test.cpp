#include "kernel_fixture.h"

#include "platform/kernel/device.h"
#include "platform/kernel/exception.h"
#include "platform/kernel/memory.h"
#include "platform/kernel/process_notify.h"
#include "platform/object/event.h"
#include "platform/object/process.h"

#include <string>
#include <utility>
#include <vector>

namespace kplat::testing {
namespace {

struct Notice {
    uint32_t parent, process, context;
    bool create;
    size_t handles; // of the process the thread acts for
    bool operator==(const Notice&) const = default;
};
std::vector<Notice> gNotices;

void record(uint32_t parentId, uint32_t processId, bool create)
{
    gNotices.push_back({parentId, processId, ob::Process::current().id(), create, ob::Process::current().handleCount()});
}

class ProcessNotifyTest : public KernelFixture {
protected:
    ProcessNotifyTest() { gNotices.clear(); }
    ~ProcessNotifyTest() override
    {
        setCreateProcessNotifyRoutine(&record, true);
        if (mdl_) {
            freePagesFromMdl(*mdl_);
            freeMdl(mdl_);
        }
    }
    Mdl* pages()
    {
        mdl_ = allocatePagesForMdl(0, 0xFFFFFFFF, 0, 4096);
        return mdl_;
    }
    Mdl* mdl_ = nullptr;
};

TEST_F(ProcessNotifyTest, CreationAndExitAreToldInTheirContexts)
{
    ASSERT_EQ(setCreateProcessNotifyRoutine(&record, false), status::kSuccess);
    const uint32_t machine = ob::Process::machineDefault()->id();
    auto p = ob::Process::create();
    ob::Handle h = 0;
    ASSERT_EQ(p->insert(ob::Event::create(ob::Event::Kind::ManualReset, false), 0, h), ob::Status::Ok);
    p->terminate(0);
    // Exit is told by the ending process itself, while its handles are open.
    EXPECT_EQ(gNotices, (std::vector<Notice>{{machine, p->id(), machine, true, ob::Process::current().handleCount()},
                                             {machine, p->id(), p->id(), false, 1}}));
}

TEST_F(ProcessNotifyTest, RegistrationIsCheckedAsThePlatformChecksIt)
{
    EXPECT_EQ(setCreateProcessNotifyRoutine(&record, true), status::kProcedureNotFound);
    EXPECT_EQ(setCreateProcessNotifyRoutine(nullptr, false), status::kInvalidParameter);
    ASSERT_EQ(setCreateProcessNotifyRoutine(&record, false), status::kSuccess);
    EXPECT_EQ(setCreateProcessNotifyRoutine(&record, false), status::kInvalidParameter);
    EXPECT_EQ(processNotifyRoutineCount(), 1u);
    EXPECT_EQ(setCreateProcessNotifyRoutine(&record, true), status::kSuccess);
    EXPECT_EQ(processNotifyRoutineCount(), 0u);
    ob::Process::create()->terminate(0);
    EXPECT_TRUE(gNotices.empty());
}

TEST_F(ProcessNotifyTest, AProcessThatRunsDownWithAUserViewMappedIsAViolation)
{
    Mdl* mdl = pages();
    auto p = ob::Process::create();
    void* view = nullptr;
    {
        ob::ProcessScope scope(p);
        view = mapLockedPages(*mdl, AccessMode::User, CacheType::Cached);
    }
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(userViewCount(p->id()), 1u);
    EXPECT_THROW(p->terminate(0), StrictnessViolation);
    ob::ProcessScope scope(p);
    unmapLockedPages(view, *mdl);
    EXPECT_EQ(userViewCount(p->id()), 0u);
}

// A routine undoing the view at the exit notice lets the process end.
Mdl* gMdl = nullptr;
void* gView = nullptr;
void undoView(uint32_t, uint32_t, bool create)
{
    if (!create && gView)
        unmapLockedPages(std::exchange(gView, nullptr), *gMdl);
}

TEST_F(ProcessNotifyTest, ARoutineUndoesViewsInTheEndingProcessAndNoNewOnesCome)
{
    gMdl = pages();
    auto p = ob::Process::create();
    {
        ob::ProcessScope scope(p);
        gView = mapLockedPages(*gMdl, AccessMode::User, CacheType::Cached);
    }
    ASSERT_EQ(setCreateProcessNotifyRoutine(&undoView, false), status::kSuccess);
    EXPECT_NO_THROW(p->terminate(0));
    EXPECT_EQ(setCreateProcessNotifyRoutine(&undoView, true), status::kSuccess);
    EXPECT_EQ(gView, nullptr);
    EXPECT_EQ(mdlMappingCount(*gMdl), 0u);
    // An ended process has no address space to map into: the call raises.
    ob::ProcessScope scope(p);
    EXPECT_EQ(tryExcept([&] { mapLockedPages(*gMdl, AccessMode::User, CacheType::Cached); }),
              status::kInsufficientResources);
}

Status entryLeavingARoutine(DriverObject& object, const std::u16string&)
{
    Status s = Driver::create(object, ObjectAttributes{}, DriverConfig{}, nullptr);
    return failed(s) ? s : setCreateProcessNotifyRoutine(&record, false);
}

TEST_F(ProcessNotifyTest, ADriverUnloadedWithItsRoutineRegisteredIsAViolation)
{
    ASSERT_EQ(pnp::loadDriver(&entryLeavingARoutine, u"test"), status::kSuccess);
    EXPECT_THROW(pnp::unloadDriver(), StrictnessViolation);
    ASSERT_EQ(setCreateProcessNotifyRoutine(&record, true), status::kSuccess);
    pnp::unloadDriver();
    EXPECT_FALSE(pnp::driverLoaded());
}

} // namespace
} // namespace kplat::testing

#include "platform/object/event.h"
#include "platform/object/name_space.h"
#include "platform/object/process.h"
#include "platform/object/thread.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace ob;

TEST(Handles, LookupChecksTypeAndStaleness)
{
    Process& p = Process::current();
    Handle h = 0;
    ASSERT_EQ(p.insert(Event::create(Event::Kind::ManualReset, false), kEventAllAccess, h), Status::Ok);
    EXPECT_EQ(h % 4, 0u);
    EXPECT_NE(h, kNullHandle);

    Ref<Event> e;
    EXPECT_EQ(p.reference(h, ObjectType::Event, kSynchronize, e), Status::Ok);
    ASSERT_TRUE(e);
    Ref<Thread> t;
    EXPECT_EQ(p.reference(h, ObjectType::Thread, 0, t), Status::TypeMismatch);
    EXPECT_FALSE(t);

    ASSERT_EQ(p.close(h), Status::Ok);
    EXPECT_EQ(p.reference(h, ObjectType::Event, 0, e), Status::InvalidHandle);
    EXPECT_EQ(p.close(h), Status::InvalidHandle);
    // The stale value does not come back for the next object.
    Handle h2 = 0;
    ASSERT_EQ(p.insert(Event::create(Event::Kind::ManualReset, false), kEventAllAccess, h2), Status::Ok);
    EXPECT_NE(h2, h);
    EXPECT_EQ(p.close(h2), Status::Ok);
    EXPECT_EQ(p.reference(kNullHandle, ObjectType::Event, 0, e), Status::InvalidHandle);
}

TEST(Handles, AccessIsChecked)
{
    Process& p = Process::current();
    Handle h = 0;
    ASSERT_EQ(p.insert(Event::create(Event::Kind::ManualReset, false), kSynchronize, h), Status::Ok);
    Ref<Event> e;
    EXPECT_EQ(p.reference(h, ObjectType::Event, kSynchronize, e), Status::Ok);
    EXPECT_EQ(p.reference(h, ObjectType::Event, kEventModifyState, e), Status::AccessDenied);
    EXPECT_EQ(p.reference(h, ObjectType::Event, 0, e), Status::Ok); // kernel-mode reference
    p.close(h);
}

TEST(Handles, HandlesBelongToTheirProcess)
{
    Ref<Process> host = Process::create();
    Ref<Process> other = Process::create();
    EXPECT_NE(host->id(), other->id());
    EXPECT_NE(host->id(), Process::machineDefault()->id());

    Handle h = 0;
    {
        ProcessScope scope(host);
        EXPECT_EQ(&Process::current(), host.get());
        ASSERT_EQ(Process::current().insert(Event::create(Event::Kind::AutoReset, false), kEventAllAccess, h),
                  Status::Ok);
        {
            ProcessScope inner(other);
            EXPECT_EQ(Process::current().id(), other->id());
        }
        EXPECT_EQ(Process::current().id(), host->id());
    }
    EXPECT_EQ(&Process::current(), Process::machineDefault().get());

    Ref<Event> e;
    EXPECT_EQ(other->reference(h, ObjectType::Event, 0, e), Status::InvalidHandle);

    Handle dup = 0;
    ASSERT_EQ(host->duplicate(h, *other, kSynchronize, false, dup), Status::Ok);
    ASSERT_EQ(host->close(h), Status::Ok);
    EXPECT_EQ(other->reference(dup, ObjectType::Event, kSynchronize, e), Status::Ok);
    EXPECT_EQ(other->reference(dup, ObjectType::Event, kEventModifyState, e), Status::AccessDenied);
    EXPECT_EQ(host->duplicate(h, *other, 0, true, dup), Status::InvalidHandle);
}

class CountingObject final : public Object {
public:
    CountingObject() : Object(ObjectType::File) {}
    int cleanups = 0;
    uint32_t closedBy = 0;
    uint32_t closedIn = 0; // the process the closing thread acted for

protected:
    void lastHandleClosed(Process& p) override
    {
        ++cleanups;
        closedBy = p.id();
        closedIn = Process::current().id();
    }
};

TEST(Handles, LastCloseAnywhereRunsCleanupOnce)
{
    auto file = std::make_shared<CountingObject>();
    Ref<Process> a = Process::create();
    Ref<Process> b = Process::create();
    Handle ha = 0, hb = 0;
    ASSERT_EQ(a->insert(file, 0, ha), Status::Ok);
    ASSERT_EQ(a->duplicate(ha, *b, 0, true, hb), Status::Ok);
    EXPECT_EQ(file->handleCount(), 2u);
    a->close(ha);
    EXPECT_EQ(file->cleanups, 0);
    b->close(hb);
    EXPECT_EQ(file->cleanups, 1);
    EXPECT_EQ(file->closedBy, b->id());
}

TEST(Handles, TerminatedProcessClosesItsHandlesInItsOwnContext)
{
    auto file = std::make_shared<CountingObject>();
    Ref<Process> p = Process::create();
    Handle h = 0;
    ASSERT_EQ(p->insert(file, 0, h), Status::Ok);
    p->terminate(1);
    EXPECT_EQ(file->cleanups, 1);
    EXPECT_EQ(file->closedBy, p->id());
    // Ended by another process's thread, the cleanup still runs as the ending process.
    EXPECT_EQ(file->closedIn, p->id());
    EXPECT_EQ(Process::current().id(), Process::machineDefault()->id());
    EXPECT_TRUE(p->terminated());
    EXPECT_EQ(waitForObject(*p, 0), kWaitObject0);
    EXPECT_EQ(p->insert(file, 0, h), Status::InsufficientResources);
}

TEST(Handles, AProcessDroppedWhileRunningEndsInItsOwnContext)
{
    auto file = std::make_shared<CountingObject>();
    uint32_t id = 0;
    {
        Ref<Process> p = Process::create();
        id = p->id();
        Handle h = 0;
        ASSERT_EQ(p->insert(file, 0, h), Status::Ok);
    }
    EXPECT_EQ(file->cleanups, 1);
    EXPECT_EQ(file->closedIn, id);
}

// The kernel side's hooks run in the ending process: the exit notice while
// its handles are still open, the address-space check after they are closed.
struct HookLog {
    static inline std::vector<std::string> lines;
    static void created(Process& creator, Process& process)
    {
        lines.push_back("created " + std::to_string(process.id()) + " by " + std::to_string(creator.id()) +
                        " in " + std::to_string(Process::current().id()));
    }
    static void exiting(Process& process)
    {
        lines.push_back("exiting " + std::to_string(process.id()) + " in " + std::to_string(Process::current().id()) +
                        " handles " + std::to_string(process.handleCount()));
    }
    static void gone(Process& process)
    {
        lines.push_back("gone " + std::to_string(process.id()) + " in " + std::to_string(Process::current().id()) +
                        " handles " + std::to_string(process.handleCount()));
    }
};

TEST(Handles, LifeHooksRunInTheProcessesContextInOrder)
{
    static const ProcessLifeHooks hooks{&HookLog::created, &HookLog::exiting, &HookLog::gone};
    setProcessLifeHooks(&hooks);
    HookLog::lines.clear();
    Ref<Process> parent = Process::create();
    Ref<Process> child;
    {
        ProcessScope scope(parent);
        child = Process::create();
    }
    EXPECT_EQ(child->parentId(), parent->id());
    Handle h = 0;
    ASSERT_EQ(child->insert(std::make_shared<CountingObject>(), 0, h), Status::Ok);
    child->terminate(0);
    setProcessLifeHooks(nullptr);
    const std::string p = std::to_string(parent->id()), c = std::to_string(child->id()),
                      m = std::to_string(Process::machineDefault()->id());
    EXPECT_EQ(HookLog::lines, (std::vector<std::string>{"created " + p + " by " + m + " in " + m,
                                                        "created " + c + " by " + p + " in " + p,
                                                        "exiting " + c + " in " + c + " handles 1",
                                                        "gone " + c + " in " + c + " handles 0"}));
}

TEST(Handles, HandleLimitFailsInserts)
{
    Ref<Process> p = Process::create();
    p->setHandleLimit(1);
    Handle h = 0;
    EXPECT_EQ(p->insert(Event::create(Event::Kind::AutoReset, false), 0, h), Status::Ok);
    EXPECT_EQ(p->insert(Event::create(Event::Kind::AutoReset, false), 0, h), Status::InsufficientResources);
}

TEST(Handles, PseudoHandlesNameCallerProcessAndThread)
{
    Ref<Process> p = Process::create();
    ProcessScope scope(p);
    Ref<Process> self;
    EXPECT_EQ(p->reference(kCurrentProcessHandle, ObjectType::Process, 0, self), Status::Ok);
    EXPECT_EQ(self, p);
    Ref<Thread> t;
    EXPECT_EQ(p->reference(kCurrentThreadHandle, ObjectType::Thread, 0, t), Status::Ok);
    EXPECT_EQ(t, Thread::current());
    // Another process's table does not resolve them for us.
    EXPECT_EQ(Process::machineDefault()->reference(kCurrentProcessHandle, ObjectType::Process, 0, self),
              Status::InvalidHandle);
}

TEST(NamedObjects, SecondCreateOpensTheFirst)
{
    Event::Named first = Event::createNamed("OrvoTestNamed1", Event::Kind::ManualReset, false);
    ASSERT_EQ(first.status, Status::Ok);
    EXPECT_FALSE(first.existed);
    first.event->set(0);

    // A second create with other parameters opens the same event unchanged.
    Event::Named second = Event::createNamed("OrvoTestNamed1", Event::Kind::AutoReset, false);
    ASSERT_EQ(second.status, Status::Ok);
    EXPECT_TRUE(second.existed);
    EXPECT_EQ(second.event, first.event);
    EXPECT_EQ(second.event->kind(), Event::Kind::ManualReset);
    EXPECT_TRUE(second.event->signalled());

    Ref<Event> opened;
    EXPECT_EQ(Event::openNamed("OrvoTestNamed1", opened), Status::Ok);
    EXPECT_EQ(opened, first.event);
    // Names compare exactly.
    EXPECT_EQ(Event::openNamed("orvotestnamed1", opened), Status::NameNotFound);
}

TEST(NamedObjects, NameDiesWithItsObject)
{
    {
        Event::Named e = Event::createNamed("OrvoTestNamed2", Event::Kind::ManualReset, true);
        ASSERT_FALSE(e.existed);
    }
    Ref<Event> opened;
    EXPECT_EQ(Event::openNamed("OrvoTestNamed2", opened), Status::NameNotFound);
    Event::Named again = Event::createNamed("OrvoTestNamed2", Event::Kind::ManualReset, false);
    EXPECT_FALSE(again.existed);
    EXPECT_FALSE(again.event->signalled());
}

class NamedFile final : public Object {
public:
    NamedFile() : Object(ObjectType::File) {}
};

TEST(NamedObjects, NameOfAnotherTypeIsAMismatch)
{
    Namespace::Created f = Namespace::machine().openOrCreate("OrvoTestNamed3", ObjectType::File,
                                                              [] { return std::make_shared<NamedFile>(); });
    ASSERT_EQ(f.status, Status::Ok);
    Event::Named e = Event::createNamed("OrvoTestNamed3", Event::Kind::ManualReset, false);
    EXPECT_EQ(e.status, Status::TypeMismatch);
    EXPECT_FALSE(e.event);
    EXPECT_EQ(Event::createNamed("", Event::Kind::ManualReset, false).status, Status::InvalidParameter);
}

} // namespace

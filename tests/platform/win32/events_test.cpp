#include "platform/object/event.h"
#include "platform/object/process.h"
#include "platform/win32/error.h"
#include "platform/win32/handles.h"
#include "platform/win32/synch.h"
#include "platform/win32/threads.h"

#include <gtest/gtest.h>

namespace {

using namespace w32;

struct EventsTest : ::testing::Test {
    VirtualClock clock{0, true};
    Clock* saved = setClock(&clock);
    ~EventsTest() override { setClock(saved); }
};

TEST_F(EventsTest, NamedEventIsOpenedByASecondCreate)
{
    HANDLE a = CreateEventW(nullptr, TRUE, FALSE, u"OrvoUAC2AsioBufferReady0" u"0123abcd-0000-0000-0000-000000000000");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    HANDLE b = CreateEventW(nullptr, FALSE, TRUE, u"OrvoUAC2AsioBufferReady0" u"0123abcd-0000-0000-0000-000000000000");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_NE(a, b);
    ASSERT_TRUE(SetEvent(a));
    // One manual-reset event behind both handles.
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(b));
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(a));
    EXPECT_TRUE(CloseHandle(b));
}

TEST_F(EventsTest, KernelSeesTheEventBehindAClientHandle)
{
    HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(h, nullptr);
    // What the kernel does with the handle value passed in a request.
    ob::Ref<ob::Event> e;
    ASSERT_EQ(ob::Process::current().reference(handleValue(h), ob::ObjectType::Event, SYNCHRONIZE, e), ob::Status::Ok);
    e->set(8);
    EXPECT_EQ(WaitForSingleObject(h, 100), WAIT_OBJECT_0);
    EXPECT_EQ(e->lastPriorityIncrement(), 8);
    CloseHandle(h);
}

TEST_F(EventsTest, BadHandlesFailClearly)
{
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(e));
    SetLastError(0);
    EXPECT_FALSE(SetEvent(e));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(e));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(nullptr));
    EXPECT_FALSE(SetEvent(INVALID_HANDLE_VALUE));

    // A handle of another type.
    HANDLE t = CreateThread(nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr);
    ASSERT_NE(t, nullptr);
    SetLastError(0);
    EXPECT_FALSE(SetEvent(t));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    CloseHandle(t);

    HANDLE ok = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    HANDLE many[MAXIMUM_WAIT_OBJECTS + 1];
    for (HANDLE& h : many)
        h = ok;
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, many, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForMultipleObjects(0, many, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(2, many, TRUE, 0), WAIT_FAILED); // same object twice in a wait-all
    EXPECT_EQ(WaitForMultipleObjects(2, many, FALSE, 0), WAIT_OBJECT_0);
    CloseHandle(ok);
}

TEST_F(EventsTest, WaitsFollowTheUserClock)
{
    HANDLE a = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE b = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    const uint32_t before = GetTickCount();
    EXPECT_EQ(WaitForSingleObject(a, 100), WAIT_TIMEOUT);
    EXPECT_EQ(GetTickCount() - before, 100u);
    HANDLE both[] = {a, b};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 100), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 100), WAIT_TIMEOUT); // b was auto-reset
    SetEvent(a);
    SetEvent(b);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_TIMEOUT);
    CloseHandle(a);
    CloseHandle(b);
}

TEST_F(EventsTest, HandlesAreThoseOfTheCallingProcess)
{
    ob::Ref<ob::Process> host = ob::Process::create();
    HANDLE h = nullptr;
    DWORD hostId = 0;
    {
        ob::ProcessScope scope(host);
        h = CreateEventW(nullptr, TRUE, FALSE, u"OrvoTestPerProcess");
        hostId = GetCurrentProcessId();
    }
    EXPECT_NE(hostId, GetCurrentProcessId());
    EXPECT_FALSE(SetEvent(h)); // not a handle of this process
    HANDLE mine = OpenEventW(SYNCHRONIZE, FALSE, u"OrvoTestPerProcess");
    ASSERT_NE(mine, nullptr);
    {
        ob::ProcessScope scope(host);
        EXPECT_TRUE(SetEvent(h));
    }
    EXPECT_EQ(WaitForSingleObject(mine, 0), WAIT_OBJECT_0);
    EXPECT_FALSE(ResetEvent(mine)); // opened for waiting only
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(mine);
    EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, u"OrvoTestNoSuchEvent"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

} // namespace

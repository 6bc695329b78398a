// Version, clocks, message texts, the local heap, debugger output, code-page
// conversion, security descriptors on events, critical sections and
// interlocked operations.

#include "platform/win32/clock.h"
#include "platform/win32/critical_section.h"
#include "platform/win32/error.h"
#include "platform/win32/handles.h"
#include "platform/win32/interlocked.h"
#include "platform/win32/message.h"
#include "platform/win32/security.h"
#include "platform/win32/synch.h"
#include "platform/win32/text.h"
#include "platform/win32/version.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace w32;

TEST(Win32Version, PacksMajorMinorAndBuildAsThePlatform)
{
    EXPECT_EQ(GetVersion(), 0x1DB10106u) << "default 6.1 build 7601";
    setVersion(5, 1, 2600);
    EXPECT_EQ(GetVersion() & 0xFF, 5u);
    EXPECT_EQ((GetVersion() >> 8) & 0xFF, 1u);
    EXPECT_EQ(GetVersion() >> 16, 2600u);
    setVersion(6, 1, 7601);
}

TEST(Win32Clock, TickCountAndMultimediaTimeFollowTheInstalledClock)
{
    VirtualClock clock(0xFFFFFFF0u, false);
    Clock* saved = setClock(&clock);
    EXPECT_EQ(GetTickCount(), 0xFFFFFFF0u);
    clock.advance(0x20);
    EXPECT_EQ(GetTickCount(), 0x10u) << "wraps at 2^32";
    EXPECT_EQ(timeGetTime(), GetTickCount());
    setClock(saved);
}

TEST(Win32Messages, SystemTextsAllocatedAndFreedThroughTheLocalHeap)
{
    const size_t before = localBlocksInUse();
    WCHAR* text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, ERROR_INVALID_HANDLE, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::u16string(text), u"The handle is invalid.\r\n");
    EXPECT_EQ(n, 24u);
    EXPECT_EQ(localBlocksInUse(), before + 1);
    EXPECT_EQ(LocalFree(text), nullptr);
    EXPECT_EQ(localBlocksInUse(), before);

    MisuseTrap trap;
    EXPECT_THROW(LocalFree(text), PlatformMisuse) << "a second free corrupts the heap on the platform";

    WCHAR small[8];
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_ACCESS_DENIED,
                             0, small, 8, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x12345, 0, small, 8, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
}

TEST(Win32Messages, DebuggerOutputIsKeptInOrder)
{
    clearDebugOutput();
    OutputDebugStringA("createBuffers success");
    OutputDebugStringA("second");
    EXPECT_EQ(debugOutput(), (std::vector<std::string>{"createBuffers success", "second"}));
}

struct AnsiCase {
    std::u16string wide;
    std::string ansi;
    bool defaulted;
};

TEST(Win32Text, WideToAnsiCodePage1252)
{
    const AnsiCase cases[] = {
        {u"Orvo Device", "Orvo Device", false},
        {u"Caf\u00e9 \u00a9", "Caf\xe9 \xa9", false},
        {u"\u20ac \u2122 \u0178", "\x80 \x99 \x9f", false},
        {u"Ch \u4e2d", "Ch ?", true},
        {u"\U0001F3B5x", "?x", true}, // one character, one default
    };
    for (const AnsiCase& c : cases) {
        char out[64] = {};
        BOOL defaulted = FALSE;
        const int n = WideCharToMultiByte(CP_ACP, 0, c.wide.c_str(), -1, out, sizeof out, nullptr, &defaulted);
        EXPECT_EQ(n, static_cast<int>(c.ansi.size() + 1)) << "counts the zero";
        EXPECT_EQ(std::string(out), c.ansi);
        EXPECT_EQ(defaulted != FALSE, c.defaulted);
        WCHAR back[64] = {};
        if (!c.defaulted) {
            ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, out, -1, back, 64), n);
            EXPECT_EQ(std::u16string(back), c.wide);
        }
    }
}

TEST(Win32Text, ShortBufferAndBadArgumentsFail)
{
    char out[4];
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"Internal", -1, nullptr, 0, nullptr, nullptr), 9) << "size query";
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"Internal", -1, out, 4, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"x", 0, out, 4, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    BOOL used = FALSE;
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"x", -1, out, 4, nullptr, &used), 0) << "UTF-8 takes no default";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0x80, u"x", -1, out, 4, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"abc", 2, out, 4, nullptr, nullptr), 2) << "counted: no zero added";
}

TEST(Win32Security, EventWithNullAccessListIsOpenToOtherProcesses)
{
    SECURITY_DESCRIPTOR descriptor;
    ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE));
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), &descriptor, FALSE};
    HANDLE event = CreateEventW(&attributes, TRUE, FALSE, u"OrvoUAC2AsioBufferReady7-test-null-dacl");
    ASSERT_NE(event, nullptr);
    {
        ob::ProcessScope other(ob::Process::create());
        HANDLE opened = OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, u"OrvoUAC2AsioBufferReady7-test-null-dacl");
        ASSERT_NE(opened, nullptr);
        EXPECT_TRUE(SetEvent(opened));
        EXPECT_TRUE(CloseHandle(opened));
    }
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(event));
}

TEST(Win32Security, MalformedAttributesAreRefused)
{
    SECURITY_DESCRIPTOR uninitialised{};
    SECURITY_ATTRIBUTES bad{sizeof(SECURITY_ATTRIBUTES), &uninitialised, FALSE};
    EXPECT_EQ(CreateEventW(&bad, TRUE, FALSE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_SECURITY_DESCR);

    SECURITY_ATTRIBUTES shortRecord{4, nullptr, FALSE};
    EXPECT_EQ(CreateEventW(&shortRecord, TRUE, FALSE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    SECURITY_DESCRIPTOR withList;
    ASSERT_TRUE(InitializeSecurityDescriptor(&withList, SECURITY_DESCRIPTOR_REVISION));
    ACL* list = reinterpret_cast<ACL*>(&withList); // any non-null list: not modelled
    ASSERT_TRUE(SetSecurityDescriptorDacl(&withList, TRUE, list, FALSE));
    SECURITY_ATTRIBUTES listed{sizeof(SECURITY_ATTRIBUTES), &withList, FALSE};
    EXPECT_EQ(CreateEventW(&listed, TRUE, FALSE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_ACL);
}

TEST(Win32CriticalSection, RecursiveOwnerAndMisuse)
{
    CRITICAL_SECTION cs{};
    MisuseTrap trap;
    EXPECT_THROW(EnterCriticalSection(&cs), PlatformMisuse) << "never initialised";
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);
    std::atomic<int> other{-1};
    std::thread([&] { other = TryEnterCriticalSection(&cs); }).join();
    EXPECT_EQ(other.load(), FALSE);
    std::thread([&] {
        try {
            LeaveCriticalSection(&cs);
            other = 1;
        } catch (const PlatformMisuse&) {
            other = 2;
        }
    }).join();
    EXPECT_EQ(other.load(), 2) << "a thread that does not own it cannot leave it";
    LeaveCriticalSection(&cs);
    std::thread([&] { other = TryEnterCriticalSection(&cs); }).join();
    EXPECT_EQ(other.load(), FALSE) << "entered twice, left once: still held";
    LeaveCriticalSection(&cs);
    EXPECT_THROW(LeaveCriticalSection(&cs), PlatformMisuse) << "left more often than entered";
    std::thread([&] {
        other = TryEnterCriticalSection(&cs);
        LeaveCriticalSection(&cs);
    }).join();
    EXPECT_EQ(other.load(), TRUE);
    DeleteCriticalSection(&cs);
    EXPECT_THROW(EnterCriticalSection(&cs), PlatformMisuse) << "deleted";
}

TEST(Win32CriticalSection, DeletingOneAThreadWaitsForIsMisuse)
{
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    std::atomic<bool> entering{false};
    std::thread waiter([&] {
        entering = true;
        EnterCriticalSection(&cs);
        LeaveCriticalSection(&cs);
    });
    while (!entering)
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // into its wait
    {
        MisuseTrap trap;
        EXPECT_THROW(DeleteCriticalSection(&cs), PlatformMisuse);
    }
    LeaveCriticalSection(&cs);
    waiter.join();
    DeleteCriticalSection(&cs);
}

TEST(Win32CriticalSection, ExcludesOtherThreads)
{
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    int counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                EnterCriticalSection(&cs);
                EnterCriticalSection(&cs);
                ++counter;
                LeaveCriticalSection(&cs);
                LeaveCriticalSection(&cs);
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 8000);
    DeleteCriticalSection(&cs);
}

TEST(Win32Interlocked, ResultsAsThePlatformReturnsThem)
{
    alignas(4) volatile LONG v = 5;
    EXPECT_EQ(InterlockedIncrement(&v), 6);
    EXPECT_EQ(InterlockedDecrement(&v), 5);
    EXPECT_EQ(InterlockedExchangeAdd(&v, 10), 5) << "the value before";
    EXPECT_EQ(InterlockedExchange(&v, -1), 15);
    EXPECT_EQ(InterlockedCompareExchange(&v, 7, 0), -1) << "no match: unchanged";
    EXPECT_EQ(v, -1);
    EXPECT_EQ(InterlockedCompareExchange(&v, 7, -1), -1);
    EXPECT_EQ(v, 7);

    alignas(8) unsigned char bytes[8] = {};
    MisuseTrap trap;
    EXPECT_THROW(InterlockedIncrement(reinterpret_cast<volatile LONG*>(bytes + 1)), PlatformMisuse);
}

TEST(Win32Interlocked, ConcurrentAddsAreNotLost)
{
    alignas(4) volatile LONG v = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i)
                InterlockedExchangeAdd(&v, 3);
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(v, 120000);
}

} // namespace

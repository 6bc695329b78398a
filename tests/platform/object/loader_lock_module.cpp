// Loaded by the loader-lock test: its constructor runs while the dynamic
// loader holds its lock, as a library's attach and detach code does, starts a
// thread that takes its first per-thread platform state, and waits for it.
#include "platform/object/process.h"
#include "platform/object/thread.h"

#include <chrono>
#include <future>
#include <thread>

namespace {

int g_result = 0;

__attribute__((constructor)) void startAndWait()
{
    static std::promise<void> done; // outlives a thread that is still stuck
    std::future<void> ended = done.get_future();
    std::thread t([] {
        ob::Thread::current();
        ob::Process::current();
        done.set_value();
    });
    g_result = ended.wait_for(std::chrono::seconds(3)) == std::future_status::ready ? 1 : -1;
    if (g_result == 1)
        t.join();
    else
        t.detach(); // it can go on only once this constructor has returned
}

} // namespace

extern "C" __attribute__((visibility("default"))) int loaderLockThreadResult() { return g_result; }

// A thread may take its per-thread platform state for the first time while
// another thread, inside a library's load or unload, waits for it holding the
// loader's lock.
#include <dlfcn.h>
#include <gtest/gtest.h>

TEST(LoaderLock, AThreadStartedUnderTheLoadersLockCanEnd)
{
    void* module = dlopen(ORVO_LOADER_LOCK_MODULE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    auto result = reinterpret_cast<int (*)()>(dlsym(module, "loaderLockThreadResult"));
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result(), 1) << "the thread was held up by the loader's lock";
    // Left loaded: a thread held up on the old code may still be running in it.
}

// Several processes writing one hive at once: nothing is lost, no reader
// ever sees a torn file, and a lock left by a dead process is broken.

#include "platform/registry/registry.h"

#include "temp_root.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace reg;

constexpr int kWriters = 3;
constexpr int kValuesEach = 150;

// Runs in a forked child: its own Registry instance, as another program has.
[[noreturn]] void writer(const std::filesystem::path& root, int n)
{
    Registry r(root);
    KeyRef base;
    if (r.create(r.hiveRoot(Hive::CurrentUser), u"Software\\Orvo\\UAC2", false, base) != Error::Ok)
        _exit(10);
    KeyRef own;
    if (r.create(base, utf16("Writer" + std::to_string(n)), false, own) != Error::Ok)
        _exit(11);
    for (uint32_t i = 0; i < kValuesEach; ++i) {
        const std::u16string name = utf16("w" + std::to_string(n) + "v" + std::to_string(i));
        if (r.setValue(base, name, ValueType::Dword, &i, 4) != Error::Ok)
            _exit(12);
    }
    _exit(0);
}

TEST(RegistryProcesses, ConcurrentWritersLoseNothing)
{
    TempRoot root;
    std::vector<pid_t> children;
    for (int n = 0; n < kWriters; ++n) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
            writer(root.path, n);
        children.push_back(pid);
    }
    // Meanwhile this process reads: every read sees a whole file.
    Registry r(root.path);
    int reads = 0;
    bool running = true;
    while (running) {
        KeyRef k;
        const Error e = r.open(r.hiveRoot(Hive::CurrentUser), u"Software\\Orvo\\UAC2", k);
        ASSERT_TRUE(e == Error::Ok || e == Error::NotFound) << toString(e);
        if (e == Error::Ok) {
            std::vector<Value> vs;
            ASSERT_EQ(r.values(k, vs), Error::Ok);
        }
        ++reads;
        usleep(500);
        for (pid_t& c : children) {
            int status = 0;
            if (c > 0 && waitpid(c, &status, WNOHANG) == c) {
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "writer exit " << WEXITSTATUS(status);
                c = -1;
            }
        }
        running = false;
        for (pid_t c : children)
            running = running || c > 0;
    }
    EXPECT_GT(reads, 0);

    KeyRef base;
    ASSERT_EQ(r.open(r.hiveRoot(Hive::CurrentUser), u"Software\\Orvo\\UAC2", base), Error::Ok);
    std::vector<Value> vs;
    ASSERT_EQ(r.values(base, vs), Error::Ok);
    EXPECT_EQ(vs.size(), static_cast<size_t>(kWriters * kValuesEach));
    std::vector<std::u16string> subs;
    ASSERT_EQ(r.subkeys(base, subs), Error::Ok);
    EXPECT_EQ(subs.size(), static_cast<size_t>(kWriters));
    EXPECT_FALSE(std::filesystem::exists(r.hiveFile(Hive::CurrentUser).string() + ".lock"));
}

TEST(RegistryProcesses, LockOfADeadProcessIsBroken)
{
    TempRoot root;
    Registry r(root.path);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
        _exit(0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    // The lock file a holder leaves behind when it dies mid-write.
    std::ofstream(r.hiveFile(Hive::LocalMachine).string() + ".lock") << pid << "\norvo\nhost\n";
    KeyRef k;
    EXPECT_EQ(r.create(r.hiveRoot(Hive::LocalMachine), u"Software", false, k), Error::Ok);
}

} // namespace

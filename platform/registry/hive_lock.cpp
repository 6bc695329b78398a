#include "platform/registry/hive_lock.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace reg {

namespace {

std::string contents()
{
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    std::string program = "orvo";
    if (const char* name = ::program_invocation_short_name)
        program = name;
    return std::to_string(::getpid()) + "\n" + program + "\n" + host + "\n";
}

} // namespace

HiveLock::HiveLock(const std::filesystem::path& hiveFile, std::chrono::milliseconds timeout)
    : lockFile_(hiveFile.string() + ".lock")
{
    const auto until = std::chrono::steady_clock::now() + timeout;
    // File locks are real-world: waiting for another process uses real time.
    while (!tryOnce()) {
        if (std::chrono::steady_clock::now() >= until)
            return;
        if (!removeIfStale())
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

HiveLock::~HiveLock()
{
    if (fd_ >= 0) {
        ::unlink(lockFile_.c_str());
        ::close(fd_);
    }
}

bool HiveLock::tryOnce()
{
    const int fd = ::open(lockFile_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    // Blocking: a taker checking whether the lock is stale may hold the
    // flock for a moment; it will not find this new file stale.
    if (::flock(fd, LOCK_EX) != 0) {
        ::unlink(lockFile_.c_str());
        ::close(fd);
        return false;
    }
    const std::string text = contents();
    if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        ::unlink(lockFile_.c_str());
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

bool HiveLock::removeIfStale()
{
    const int fd = ::open(lockFile_.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT; // gone already: try again at once
    bool stale = false;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        char buf[64] = {};
        const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
        const long pid = n > 0 ? std::strtol(buf, nullptr, 10) : 0;
        if (pid > 0) {
            stale = ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
        } else {
            struct stat st {};
            struct timespec now {};
            ::clock_gettime(CLOCK_REALTIME, &now);
            stale = ::fstat(fd, &st) == 0 && now.tv_sec - st.st_mtim.tv_sec > 5;
        }
        if (stale) {
            // Still the same file (not one made since by another taker)?
            struct stat opened {}, named {};
            if (::fstat(fd, &opened) == 0 && ::stat(lockFile_.c_str(), &named) == 0 && opened.st_ino == named.st_ino
                && opened.st_dev == named.st_dev)
                ::unlink(lockFile_.c_str());
        }
    }
    ::close(fd);
    return stale;
}

} // namespace reg

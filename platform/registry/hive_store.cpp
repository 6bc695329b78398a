#include "platform/registry/hive_store.h"

#include "platform/registry/hive_lock.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace reg {

Error HiveStore::loadLocked()
{
    const int fd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT)
            return Error::Io;
        cache_ = HiveTree{};
        stamp_ = Stamp{};
        cached_ = true;
        return Error::Ok;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return Error::Io;
    }
    const Stamp stamp{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                      static_cast<uint64_t>(st.st_size),
                      static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
    if (cached_ && stamp == stamp_) {
        ::close(fd);
        return Error::Ok;
    }
    std::string text(static_cast<size_t>(st.st_size), '\0');
    size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    if (got != text.size())
        return Error::Io;
    HiveTree tree;
    std::string why;
    if (!parse(text, tree, &why)) {
        std::fprintf(stderr, "registry: %s is corrupt (%s)\n", file_.c_str(), why.c_str());
        cached_ = false;
        return Error::Corrupt;
    }
    cache_ = std::move(tree);
    stamp_ = stamp;
    cached_ = true;
    return Error::Ok;
}

Error HiveStore::read(const std::function<Error(const HiveTree&)>& f)
{
    std::lock_guard lock(mutex_);
    if (Error e = loadLocked(); e != Error::Ok)
        return e;
    return f(cache_);
}

Error HiveStore::writeLocked(const HiveTree& tree, Stamp& written)
{
    const std::string text = serialize(tree);
    std::string tmp = file_.string() + ".XXXXXX";
    const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0)
        return Error::Io;
    size_t put = 0;
    while (put < text.size()) {
        const ssize_t n = ::write(fd, text.data() + put, text.size() - put);
        if (n <= 0)
            break;
        put += static_cast<size_t>(n);
    }
    bool ok = put == text.size() && ::fchmod(fd, 0644) == 0;
    if (ok) {
        // Move the time on past the replaced file's by at least 1 ms.
        struct timespec now {};
        ::clock_gettime(CLOCK_REALTIME, &now);
        int64_t ns = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
        struct stat old {};
        if (::stat(file_.c_str(), &old) == 0) {
            const int64_t oldNs = static_cast<int64_t>(old.st_mtim.tv_sec) * 1000000000 + old.st_mtim.tv_nsec;
            if (ns < oldNs + 1000000)
                ns = oldNs + 1000000;
        }
        struct timespec times[2];
        times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(ns / 1000000000);
        times[0].tv_nsec = times[1].tv_nsec = static_cast<long>(ns % 1000000000);
        ok = ::futimens(fd, times) == 0;
    }
    struct stat st {};
    ok = ok && ::fstat(fd, &st) == 0;
    written = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), static_cast<uint64_t>(st.st_size),
               static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(tmp.c_str(), file_.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return Error::Io;
    }
    return Error::Ok;
}

Error HiveStore::modify(const std::function<Error(HiveTree&, bool& changed)>& f)
{
    std::lock_guard lock(mutex_);
    HiveLock fileLock(file_);
    if (!fileLock.locked()) {
        std::fprintf(stderr, "registry: cannot lock %s\n", file_.c_str());
        return Error::Io;
    }
    if (Error e = loadLocked(); e != Error::Ok)
        return e;
    HiveTree tree = cache_;
    bool changed = false;
    if (Error e = f(tree, changed); e != Error::Ok || !changed)
        return e;
    Stamp written;
    if (Error e = writeLocked(tree, written); e != Error::Ok) {
        cached_ = false;
        return e;
    }
    cache_ = std::move(tree);
    stamp_ = written;
    return Error::Ok;
}

} // namespace reg

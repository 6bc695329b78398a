#pragma once
// Exclusive lock of one hive file across processes: the lock file
// "<hive file>.lock", made with O_EXCL and held with flock while it exists,
// holding "pid\nprogram\nhost\n". This is the protocol of Qt's QLockFile,
// which QSettings takes on "<file>.lock" before it rewrites a file, so the
// drivers and the Qt programs exclude each other without Qt in the drivers.
// A lock file left by a dead holder (no flock held, its pid gone, or empty
// and older than a few seconds) is removed and the lock taken.

#include <chrono>
#include <filesystem>

namespace reg {

class HiveLock {
public:
    // Waits up to `timeout` of real time; locked() tells whether it succeeded.
    explicit HiveLock(const std::filesystem::path& hiveFile,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10));
    ~HiveLock();
    HiveLock(const HiveLock&) = delete;
    HiveLock& operator=(const HiveLock&) = delete;
    bool locked() const { return fd_ >= 0; }

private:
    bool tryOnce();
    bool removeIfStale();
    std::filesystem::path lockFile_;
    int fd_ = -1;
};

} // namespace reg

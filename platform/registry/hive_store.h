#pragma once
// One hive file: read without a lock (a writer replaces the file whole with
// rename, so a reader sees the old or the new version, never a mix), and
// changed under the hive lock by read-modify-replace, so that writers in
// several processes lose nothing. The parsed hive is cached and read again
// when the file changes (inode, size or modification time); every replace
// moves the modification time on by at least 1 ms, so a change is visible
// also to readers that compare times at millisecond grain (QSettings).

#include "platform/registry/hive_format.h"

#include <filesystem>
#include <functional>
#include <mutex>

namespace reg {

class HiveStore {
public:
    explicit HiveStore(std::filesystem::path file) : file_(std::move(file)) {}

    Error read(const std::function<Error(const HiveTree&)>& f);
    // f changes the tree and sets `changed`; the file is replaced only when f
    // returns Ok and changed it.
    Error modify(const std::function<Error(HiveTree&, bool& changed)>& f);

    const std::filesystem::path& file() const { return file_; }

private:
    struct Stamp {
        uint64_t dev = 0, ino = 0, size = 0;
        int64_t mtimeNs = -1;
        bool operator==(const Stamp&) const = default;
    };
    Error loadLocked();
    Error writeLocked(const HiveTree& tree, Stamp& written);

    const std::filesystem::path file_;
    std::mutex mutex_;
    HiveTree cache_;
    Stamp stamp_;
    bool cached_ = false;
};

} // namespace reg

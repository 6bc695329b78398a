#pragma once
// What the host did and every callback it received, as text lines. Callbacks
// arrive on the driver's streaming thread; a line is appended under a short
// lock and, when an echo stream is set, written there as well.

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace orvo::asiohost {

class HostReport {
public:
    explicit HostReport(std::FILE* echo = nullptr) : echo_(echo) {}
    void line(std::string text);
    std::vector<std::string> lines() const;
    bool contains(const std::string& text) const; // a line equal to `text`

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    std::FILE* echo_;
};

} // namespace orvo::asiohost

#include "sim/asiohost/host_report.h"

#include <algorithm>

namespace orvo::asiohost {

void HostReport::line(std::string text)
{
    std::lock_guard lock(mutex_);
    if (echo_) {
        std::fprintf(echo_, "%s\n", text.c_str());
        std::fflush(echo_);
    }
    lines_.push_back(std::move(text));
}

std::vector<std::string> HostReport::lines() const
{
    std::lock_guard lock(mutex_);
    return lines_;
}

bool HostReport::contains(const std::string& text) const
{
    std::lock_guard lock(mutex_);
    return std::find(lines_.begin(), lines_.end(), text) != lines_.end();
}

} // namespace orvo::asiohost

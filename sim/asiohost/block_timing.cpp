#include "sim/asiohost/block_timing.h"

#include "classcomp/kernel/asio_info.h"
#include "classcomp/kernel/io_control.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace orvo::asiohost {

bool BlockTiming::open(const w32::GUID& interfaceClass, size_t switches, uint64_t clockOrigin)
{
    clockOrigin_ = clockOrigin;
    uint8_t out[kernel::kAsioInfoOutputBytes] = {};
    if (!session_.open(interfaceClass) || !session_.control(kernel::kIoCtlGetAsioInfo, nullptr, 0, out, sizeof out)) {
        session_.close();
        return false;
    }
    uint32_t address = 0;
    std::memcpy(&address, out, 4);
    record_ = reinterpret_cast<uint8_t*>(uintptr_t(address));
    latencyTicks_.assign(switches, 0);
    recorded_ = 0;
    return record_ != nullptr;
}

void BlockTiming::close()
{
    session_.close(); // the kernel undoes the mapping with the handle
    record_ = nullptr;
}

void BlockTiming::seeSwitch(uint32_t blockFrames, uint32_t rate)
{
    if (!record_)
        return;
    const kplat::Ticks now = demo::wallTicks();
    const kernel::AsioInfo info(record_);
    // The block time is stored just after the event is set: a switch on
    // another core can come before that store.
    uint64_t blockTime = info.lastBlockTime();
    for (int i = 0; i < 1000 && blockTime == lastBlockTime_; ++i)
        blockTime = info.lastBlockTime();
    const uint64_t count = info.asioBlockCount();
    ++switches_;
    if (counting_ && count > lastCount_ + 1)
        skipped_ += count - lastCount_ - 1;
    counting_ = true;
    lastCount_ = count;
    if (clockOrigin_ == 0 || blockTime == lastBlockTime_)
        return;
    lastBlockTime_ = blockTime;
    const uint64_t at = clockOrigin_ + blockTime;
    if (now < at || now - at >= kplat::kTicksPerSecond)
        return;
    const uint64_t ticks = now - at;
    if (rate && ticks * rate > uint64_t(blockFrames) * kplat::kTicksPerSecond)
        ++late_;
    if (recorded_ < latencyTicks_.size())
        latencyTicks_[recorded_++] = static_cast<uint32_t>(ticks);
}

std::string BlockTiming::summary() const
{
    std::vector<uint32_t> sorted(latencyTicks_.begin(), latencyTicks_.begin() + static_cast<ptrdiff_t>(recorded_));
    std::sort(sorted.begin(), sorted.end());
    auto us = [&](double percentile) {
        if (sorted.empty())
            return 0.0;
        const auto at = std::min(sorted.size() - 1, static_cast<size_t>(percentile / 100.0 * double(sorted.size())));
        return sorted[at] / 10.0;
    };
    uint32_t slips = 0;
    if (record_) {
        const kernel::AsioInfo info(record_);
        slips = info.slipsTotal() + info.pendingSlips();
    }
    char text[256];
    std::snprintf(text, sizeof text,
                  "switches %llu, blocks skipped %llu, late %llu (over one block), slips %u; wake-to-bufferSwitch us "
                  "(%zu): median %.1f 99th %.1f 99.9th %.1f max %.1f",
                  static_cast<unsigned long long>(switches_), static_cast<unsigned long long>(skipped_),
                  static_cast<unsigned long long>(late_), slips, sorted.size(), us(50), us(99), us(99.9),
                  sorted.empty() ? 0.0 : sorted.back() / 10.0);
    return text;
}

} // namespace orvo::asiohost

#pragma once
// Real-time polling for tests that watch worker threads: true as soon as
// `pred` holds, false when it still does not after `ms` milliseconds.

#include <chrono>
#include <thread>

namespace orvo::testing {

template <class P>
bool eventually(P pred, int ms = 5000)
{
    for (int i = 0; i < ms; ++i) {
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return pred();
}

} // namespace orvo::testing

#pragma once
// A count held in a double (sample positions, nanosecond time stamps) as the
// interface's two unsigned 32-bit halves, each truncated toward zero. The
// high half wraps at 2^32, and what cannot be a count (negative, NaN) is 0:
// no conversion is out of range.

#include "classcomp/asio/asio_interface.h"

#include <cmath>

namespace orvo::asio {

template <class HiLo> HiLo SplitAtTwoTo32(double value)
{
    constexpr double kTwoTo32 = 4294967296.0;
    if (!(value >= 0) || std::isinf(value))
        return HiLo{0, 0};
    const double hi = std::trunc(value / kTwoTo32);
    return HiLo{AsioULong(std::fmod(hi, kTwoTo32)), AsioULong(value - hi * kTwoTo32)};
}

} // namespace orvo::asio

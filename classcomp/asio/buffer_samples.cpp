#include "classcomp/asio/buffer_samples.h"

#include "classcomp/asio/debug_log.h"

#include <cmath>

namespace orvo::asio {

float SamplesToMillisecsScaled(uint32_t frames, uint32_t rate)
{
    if (frames == 0 || rate == 0)
        return 0.0f;
    return static_cast<float>(double(frames) * 0.062493 * 48000.0 / double(rate));
}

int32_t BufferSamplesForMillisecs(int32_t milliseconds, int32_t sampleRate)
{
    int32_t target = 3 * (milliseconds / 3);
    if (target <= 3)
        target = 3;
    else if (target > 50)
        target = 48;

    const int32_t k = static_cast<int32_t>(double(sampleRate) + 0.5) / 1000;
    int32_t found = -1;
    if (k <= kMaxBlockFrames) {
        float best = 999999.0f;
        for (int32_t i = k <= 45 ? 45 : k;; ++i) {
            const float d = std::fabs(SamplesToMillisecsScaled(uint32_t(i), uint32_t(sampleRate)) - float(target));
            if (!(d < best))
                break;
            found = i;
            best = d;
            if (i >= kMaxBlockFrames)
                break;
        }
    }
    if (found < 0) {
        uLog(1, "Failed to find matching ASIO samples for buffer size %d", target);
        return k > 45 ? k : 45;
    }
    return found;
}

} // namespace orvo::asio

#include "classcomp/kernel/stream_engine.h"

#include "classcomp/kernel/asio_info.h"
#include "classcomp/kernel/io_dispatch.h"

namespace orvo::kernel {

void SetStreamingEnabled(DeviceContext* context, bool on)
{
    context->streamingEnabled = on ? 1 : 0;
    if (context->asioInfo)
        AsioInfo(context->asioInfo).setIsStreamingEnabled(on ? 1 : 0);
    if (!on)
        for (uint32_t i = 0; i < context->clientCount; ++i)
            SetClientEvent(context->clients[i].blockEvent, 0);
}

void StreamTimerFunc(kplat::Timer& timer)
{
    // Nothing streams before buffers and transfer requests exist.
    (void)timer;
}

} // namespace orvo::kernel

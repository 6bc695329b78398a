#include "classcomp/kernel/io_dispatch.h"

#include "classcomp/kernel/io_control.h"
#include "platform/kernel/kernel_objects.h"

#include <cstring>

namespace orvo::kernel {

using namespace kplat;

void EvtIoInCallerContext(Device& device, Request& request)
{
    RequestParameters p = request.parameters();
    if (p.kind == RequestKind::DeviceControl && RunsInCallerContext(p.ioControlCode)) {
        // They map memory into, reference handles of, or act on the caller.
        EvtIoDeviceControl(*device.defaultQueue(), request, p.outputBufferLength, p.inputBufferLength,
                           p.ioControlCode);
        return;
    }
    Status s = device.enqueueRequest(request);
    if (failed(s))
        request.complete(s);
}

void EvtDeviceFileCreate(Device& device, Request& request, FileObject& file)
{
    DeviceContext* context = GetDeviceContext(device);
    auto* fileContext = file.contextAs<FileContext>();
    std::memset(fileContext, 0, sizeof *fileContext);
    {
        SpinLockGuard guard(*context->streamLock);
        fileContext->clientId = context->nextClientId++;
    }
    request.complete(status::kSuccess);
}

void EvtFileCleanup(FileObject& file) { DisposeClient(GetDeviceContext(file.device()), file); }

void EvtIoDeviceControl(Queue& queue, Request& request, size_t outputLength, size_t inputLength,
                        uint32_t ioControlCode)
{
    (void)outputLength;
    (void)inputLength;
    (void)ioControlCode;
    DeviceContext* context = GetDeviceContext(queue.device());
    if (context->releasing) {
        request.completeWithInformation(status::kInvalidHandle, 0);
        return;
    }
    // The control codes are answered as they are built.
    request.completeWithInformation(status::kInvalidDeviceRequest, 0);
}

void DisposeClient(DeviceContext* context, FileObject& file)
{
    (void)context;
    (void)file;
}

void SetClientEvent(EventObject* event, int32_t increment)
{
    if (event)
        setEvent(*event, increment);
}

void KeepClientThreadBoosted(ClientEntry& client) { (void)client; }

} // namespace orvo::kernel

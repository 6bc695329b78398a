#include "sim/machine/kernel_session.h"

#include "classcomp/kernel/io_control.h"

#include <cstdio>
#include <cstring>

namespace orvo::demo {

using namespace orvo::kernel;

bool KernelSession::open(const std::u16string& link)
{
    return kplat::succeeded(kplat::io::openDeviceInterface(link, kplat::Caller{}, file));
}

bool KernelSession::control(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength)
{
    uint32_t bytes = 0;
    kplat::Status s = kplat::io::deviceIoControl(file, code, in, inLength, out, outLength, &bytes, kplat::Caller{});
    if (kplat::failed(s))
        std::printf("  request 0x%06X failed: 0x%08X\n", code, static_cast<uint32_t>(s));
    return kplat::succeeded(s);
}

bool KernelSession::message(uint32_t selector, uint32_t operation, uint32_t value, uint32_t* reply)
{
    uint8_t in[device_message::kSize] = {};
    uint8_t out[device_message::kReplySize] = {};
    std::memcpy(in + device_message::kSelectorOffset, &selector, 4);
    std::memcpy(in + device_message::kOperationOffset, &operation, 4);
    std::memcpy(in + device_message::kValueOffset, &value, 4);
    bool ok = control(kIoCtlMessage, in, sizeof in, out, sizeof out);
    if (ok && reply)
        std::memcpy(reply, out, 4);
    return ok;
}

void KernelSession::close()
{
    if (file)
        kplat::io::closeFile(file);
    file.reset();
}

} // namespace orvo::demo

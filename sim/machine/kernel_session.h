#pragma once
// A client process's handle on the kernel driver, used the way the ASIO
// driver uses it: device I/O control and device messages.

#include "platform/kernel/io_manager.h"

#include <cstdint>
#include <string>

namespace orvo::demo {

struct KernelSession {
    kplat::io::FileRef file;

    bool open(const std::u16string& link);
    // Failures are printed with the request's code and status.
    bool control(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength);
    bool message(uint32_t selector, uint32_t operation, uint32_t value, uint32_t* reply = nullptr);
    void close();
};

} // namespace orvo::demo

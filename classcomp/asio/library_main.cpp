// The loader's calls into the driver library: process attach when it is
// loaded, process detach when it is unloaded or the process exits.

#include "classcomp/asio/dll_exports.h"

namespace {

__attribute__((constructor)) void processAttach()
{
    DllMain(nullptr, orvo::asio::DLL_PROCESS_ATTACH, nullptr);
}

__attribute__((destructor)) void processDetach()
{
    DllMain(nullptr, orvo::asio::DLL_PROCESS_DETACH, nullptr);
}

} // namespace

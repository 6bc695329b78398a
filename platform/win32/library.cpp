#include "platform/win32/library.h"

#include "platform/win32/error.h"
#include "platform/win32/files.h"
#include "platform/win32/misuse.h"

#include <dlfcn.h>
#include <map>
#include <mutex>
#include <string>
#include <sys/stat.h>

namespace w32 {

namespace {

std::mutex g_mutex;
struct Module {
    unsigned references = 0; // LoadLibraryW calls not yet matched by FreeLibrary
    std::string hostPath;
};
std::map<void*, Module>& modules()
{
    static auto* table = new std::map<void*, Module>;
    return *table;
}

bool loaded(HMODULE module)
{
    std::lock_guard lock(g_mutex);
    return modules().count(module) != 0;
}

} // namespace

HMODULE LoadLibraryW(LPCWSTR path)
{
    if (!path || !*path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::string host = hostPath(path);
    struct stat st {};
    if (host.empty() || ::stat(host.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    void* handle = ::dlopen(host.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        SetLastError(ERROR_BAD_EXE_FORMAT);
        return nullptr;
    }
    std::lock_guard lock(g_mutex);
    Module& module = modules()[handle];
    ++module.references;
    module.hostPath = host;
    return reinterpret_cast<HMODULE>(handle);
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name)
{
    if (!module || !loaded(module)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void* symbol = ::dlsym(module, name);
    if (!symbol) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

BOOL FreeLibrary(HMODULE module)
{
    std::string lastOf;
    {
        std::lock_guard lock(g_mutex);
        auto it = modules().find(module);
        if (it == modules().end()) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return FALSE;
        }
        if (--it->second.references == 0) {
            lastOf = it->second.hostPath;
            modules().erase(it);
        }
    }
    ::dlclose(module);
    // The platform unloads a library at its last FreeLibrary, and its process
    // detach runs then. A shared library that the host's loader keeps (GNU
    // unique symbols make it undeletable) would run it only at exit.
    if (!lastOf.empty()) {
        if (void* still = ::dlopen(lastOf.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
            ::dlclose(still);
            misuse("library " + lastOf + " stayed loaded after its last FreeLibrary (built with GNU unique symbols?)");
        }
    }
    return TRUE;
}

} // namespace w32

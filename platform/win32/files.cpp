#include "platform/win32/files.h"

#include "platform/registry/registry.h"
#include "platform/win32/error.h"
#include "platform/win32/text.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace w32 {

namespace fs = std::filesystem;

namespace {

std::mutex g_rootMutex;
// Never destroyed: a driver's thread may still map a path while the process
// exits.
std::string& g_root = *new std::string;

std::string defaultRoot()
{
    if (const char* env = std::getenv("ORVO_DRIVE_ROOT"); env && *env)
        return env;
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.local/state/orvo/drives";
}

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lowerAscii(a[i]) != lowerAscii(b[i]))
            return false;
    return true;
}

// The entry of `folder` named `name` ignoring case, as it is spelt there;
// `name` itself when there is none.
std::string entryName(const std::string& folder, const std::string& name)
{
    std::error_code ec;
    if (fs::exists(folder + "/" + name, ec))
        return name;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string candidate = it->path().filename().string();
        if (sameIgnoringCase(candidate, name))
            return candidate;
    }
    return name;
}

DWORD attributesOf(const std::string& host)
{
    if (host.empty()) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_FILE_ATTRIBUTES;
    }
    struct stat st {};
    if (::stat(host.c_str(), &st) != 0) {
        struct stat parent {};
        const std::string folder = fs::path(host).parent_path().string();
        SetLastError(::stat(folder.c_str(), &parent) == 0 && S_ISDIR(parent.st_mode) ? ERROR_FILE_NOT_FOUND
                                                                                     : ERROR_PATH_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    DWORD attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (!(st.st_mode & S_IWUSR))
        attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes;
}

std::u16string terminated(LPCWSTR text) { return text ? std::u16string(text) : std::u16string(); }

} // namespace

void setDriveRoot(std::string hostFolder)
{
    std::lock_guard lock(g_rootMutex);
    g_root = std::move(hostFolder);
}

std::string driveRoot()
{
    std::lock_guard lock(g_rootMutex);
    if (g_root.empty())
        g_root = defaultRoot();
    return g_root;
}

std::string hostPath(std::u16string_view drivePath)
{
    std::u16string path(drivePath);
    for (char16_t& c : path)
        if (c == u'/')
            c = u'\\';
    if (path.size() >= 2 && path[0] == u'\\' && path[1] == u'\\')
        return {}; // device and network paths
    char drive = 'c';
    std::u16string_view rest = path;
    if (path.size() >= 2 && path[1] == u':') {
        const char16_t letter = path[0];
        if (!((letter >= u'a' && letter <= u'z') || (letter >= u'A' && letter <= u'Z')))
            return {};
        drive = lowerAscii(static_cast<char>(letter));
        rest = std::u16string_view(path).substr(2);
    }
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= rest.size()) {
        size_t end = rest.find(u'\\', start);
        if (end == std::u16string_view::npos)
            end = rest.size();
        const std::u16string_view part = rest.substr(start, end - start);
        if (part.find_first_of(u"<>:\"|?*") != std::u16string_view::npos)
            return {}; // not a name the platform's file systems allow
        if (part == u"..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != u".") {
            parts.push_back(reg::utf8(part));
        }
        start = end + 1;
    }
    std::string host = driveRoot() + "/" + std::string(1, drive);
    for (const std::string& part : parts)
        host += "/" + entryName(host, part);
    return host;
}

std::string hostPathAnsi(std::string_view drivePath) { return hostPath(wideFromAnsi(drivePath)); }

DWORD GetFileAttributesA(LPCSTR path)
{
    if (!path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_FILE_ATTRIBUTES;
    }
    return attributesOf(hostPathAnsi(path));
}

DWORD GetFileAttributesW(LPCWSTR path)
{
    if (!path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_FILE_ATTRIBUTES;
    }
    return attributesOf(hostPath(path));
}

BOOL PathFileExistsW(LPCWSTR path)
{
    return path && GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES ? TRUE : FALSE;
}

std::FILE* fopen(LPCSTR path, const char* mode)
{
    if (!path || !mode) {
        errno = EINVAL;
        return nullptr;
    }
    const std::string host = hostPathAnsi(path);
    if (host.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    std::string hostMode;
    for (const char* m = mode; *m; ++m)
        if (*m != 't' && *m != 'b')
            hostMode += *m;
    return std::fopen(host.c_str(), hostMode.c_str());
}

DWORD ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR out, DWORD size)
{
    if (!source || (size > 0 && !out)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    static const std::pair<std::u16string_view, std::u16string_view> kEnvironment[] = {
        {u"SystemRoot", u"C:\\Windows"}, {u"windir", u"C:\\Windows"}, {u"SystemDrive", u"C:"},
        {u"TEMP", u"C:\\temp"},          {u"TMP", u"C:\\temp"},
    };
    const std::u16string text = terminated(source);
    std::u16string result;
    size_t i = 0;
    while (i < text.size()) {
        const size_t open = text.find(u'%', i);
        const size_t close = open == std::u16string::npos ? open : text.find(u'%', open + 1);
        if (close == std::u16string::npos) {
            result += text.substr(i);
            break;
        }
        result += text.substr(i, open - i);
        const std::u16string name = text.substr(open + 1, close - open - 1);
        const std::u16string_view* value = nullptr;
        for (const auto& [key, v] : kEnvironment)
            if (sameIgnoringCase(reg::utf8(key), reg::utf8(name)))
                value = &v;
        if (value) {
            result += *value;
            i = close + 1;
        } else {
            result += text.substr(open, close - open + 1);
            i = close + 1;
        }
    }
    const DWORD needed = static_cast<DWORD>(result.size() + 1);
    if (needed <= size)
        std::copy(result.c_str(), result.c_str() + needed, out);
    return needed;
}

} // namespace w32

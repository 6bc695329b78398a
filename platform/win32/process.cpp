#include "platform/win32/process.h"

#include "platform/object/process.h"
#include "platform/object/thread.h"
#include "platform/registry/registry.h"
#include "platform/win32/error.h"
#include "platform/win32/files.h"
#include "platform/win32/handles.h"
#include "platform/win32/misuse.h"
#include "platform/win32/text.h"

#include <atomic>
#include <mutex>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace w32 {

namespace {

constexpr DWORD ERROR_BAD_EXE_FORMAT = 193;

std::mutex g_mutex;
std::vector<ProgramStart>& starts()
{
    static auto* list = new std::vector<ProgramStart>;
    return *list;
}
std::atomic<bool> g_launching{false};

void record(const ProgramStart& start)
{
    std::lock_guard lock(g_mutex);
    starts().push_back(start);
}

bool isSpace(char16_t c) { return c == u' ' || c == u'\t'; }

bool hasExtension(std::u16string_view path)
{
    const size_t slash = path.find_last_of(u"\\/");
    const size_t dot = path.rfind(u'.');
    return dot != std::u16string_view::npos && (slash == std::u16string_view::npos || dot > slash);
}

// The program a command line names: a quoted first token, or the shortest
// run of words up to a blank that names an existing file (".exe" added to a
// name without extension), as the platform tries them.
bool programOfCommandLine(std::u16string_view line, std::u16string& program)
{
    size_t i = 0;
    while (i < line.size() && isSpace(line[i]))
        ++i;
    std::vector<std::u16string> candidates;
    if (i < line.size() && line[i] == u'"') {
        const size_t close = line.find(u'"', i + 1);
        candidates.emplace_back(line.substr(i + 1, close == std::u16string_view::npos ? close : close - i - 1));
    } else {
        for (size_t j = i; j <= line.size(); ++j)
            if (j == line.size() || isSpace(line[j]))
                if (j > i)
                    candidates.emplace_back(line.substr(i, j - i));
    }
    DWORD error = ERROR_FILE_NOT_FOUND;
    for (std::u16string candidate : candidates) {
        if (!hasExtension(candidate))
            candidate += u".exe";
        if (GetFileAttributesW(candidate.c_str()) != INVALID_FILE_ATTRIBUTES) {
            program = candidate;
            return true;
        }
        error = GetLastError();
    }
    SetLastError(candidates.empty() ? ERROR_INVALID_PARAMETER : error);
    return false;
}

// A process object for the new program, signalled when it ends; null when
// the host program could not be started (errno-based last error set).
ob::Ref<ob::Process> startProcess(ProgramStart& start, const std::u16string& program,
                                  const std::vector<std::u16string>& arguments, const std::string& directory,
                                  ob::Ref<ob::Thread>& thread)
{
    ob::Ref<ob::Process> process = ob::Process::create();
    thread = ob::Thread::create(process);
    start.hostProgram = hostPath(program);
    start.arguments.clear();
    for (size_t i = 1; i < arguments.size(); ++i)
        start.arguments.push_back(reg::utf8(arguments[i]));
    if (!g_launching.load())
        return process;
    if (::access(start.hostProgram.c_str(), X_OK) != 0) {
        SetLastError(ERROR_BAD_EXE_FORMAT);
        return nullptr;
    }
    std::vector<std::string> argv{start.hostProgram};
    argv.insert(argv.end(), start.arguments.begin(), start.arguments.end());
    std::vector<char*> pointers;
    for (std::string& a : argv)
        pointers.push_back(a.data());
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!directory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    pid_t pid = 0;
    const int failure = posix_spawn(&pid, start.hostProgram.c_str(), &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failure != 0) {
        SetLastError(failure == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
        return nullptr;
    }
    start.launched = true;
    std::thread([pid, process, thread] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        const uint32_t code = WIFEXITED(status) ? static_cast<uint32_t>(WEXITSTATUS(status)) : 0xC0000005u;
        thread->markExited(code);
        process->terminate(code);
    }).detach();
    return process;
}

bool insertPair(const ob::Ref<ob::Process>& process, const ob::Ref<ob::Thread>& thread, PROCESS_INFORMATION& info)
{
    HANDLE p = nullptr, t = nullptr;
    if (ob::Status s = insertHandle(process, PROCESS_ALL_ACCESS, p); s != ob::Status::Ok) {
        SetLastError(errorFromObjectManager(s));
        return false;
    }
    if (ob::Status s = insertHandle(thread, 0x001FFFFF, t); s != ob::Status::Ok) {
        CloseHandle(p);
        SetLastError(errorFromObjectManager(s));
        return false;
    }
    info = PROCESS_INFORMATION{p, t, process->id(), thread->id()};
    return true;
}

std::u16string text(LPCWSTR s) { return s ? std::u16string(s) : std::u16string(); }

} // namespace

std::vector<std::u16string> splitCommandLine(std::u16string_view line)
{
    std::vector<std::u16string> arguments;
    size_t i = 0;
    for (;;) {
        while (i < line.size() && isSpace(line[i]))
            ++i;
        if (i >= line.size())
            return arguments;
        std::u16string argument;
        bool quoted = false;
        while (i < line.size() && (quoted || !isSpace(line[i]))) {
            size_t backslashes = 0;
            while (i < line.size() && line[i] == u'\\') {
                ++backslashes;
                ++i;
            }
            if (i < line.size() && line[i] == u'"') {
                argument.append(backslashes / 2, u'\\');
                if (backslashes % 2) {
                    argument += u'"';
                } else if (quoted && i + 1 < line.size() && line[i + 1] == u'"') {
                    argument += u'"'; // "" inside quotes is a quote
                    ++i;
                } else {
                    quoted = !quoted;
                }
                ++i;
            } else {
                argument.append(backslashes, u'\\');
                if (i < line.size() && (quoted || !isSpace(line[i])))
                    argument += line[i++];
            }
        }
        arguments.push_back(std::move(argument));
    }
}

BOOL CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine, const SECURITY_ATTRIBUTES* processAttributes,
                    const SECURITY_ATTRIBUTES* threadAttributes, BOOL inheritHandles, DWORD creationFlags,
                    LPVOID environment, LPCWSTR currentDirectory, STARTUPINFOW* startupInfo,
                    PROCESS_INFORMATION* processInformation)
{
    (void)processAttributes;
    (void)threadAttributes;
    if (!startupInfo || !processInformation)
        misuse("CreateProcessW without a startup or process information record");
    ProgramStart start;
    start.kind = ProgramStart::Kind::CreateProcess;
    start.application = text(applicationName);
    start.commandLine = text(commandLine);
    start.currentDirectory = text(currentDirectory);
    start.creationFlags = creationFlags;
    start.inheritHandles = inheritHandles != FALSE;
    start.startupFlags = startupInfo->dwFlags;
    start.showWindow = startupInfo->wShowWindow;
    auto finish = [&](BOOL ok) {
        start.succeeded = ok != FALSE;
        record(start);
        return ok;
    };
    if ((!applicationName && !commandLine) || startupInfo->cb != sizeof(STARTUPINFOW) || creationFlags != 0
        || environment || inheritHandles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return finish(FALSE);
    }
    std::u16string program;
    if (applicationName) {
        program = applicationName;
        if (GetFileAttributesW(applicationName) == INVALID_FILE_ATTRIBUTES)
            return finish(FALSE);
    } else if (!programOfCommandLine(start.commandLine, program)) {
        return finish(FALSE);
    }
    if (GetFileAttributesW(program.c_str()) & FILE_ATTRIBUTE_DIRECTORY) {
        SetLastError(ERROR_ACCESS_DENIED);
        return finish(FALSE);
    }
    std::string directory;
    if (currentDirectory) {
        const DWORD attributes = GetFileAttributesW(currentDirectory);
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            SetLastError(ERROR_DIRECTORY_NAME_INVALID);
            return finish(FALSE);
        }
        directory = hostPath(currentDirectory);
    }
    const std::vector<std::u16string> arguments =
        commandLine ? splitCommandLine(start.commandLine) : std::vector<std::u16string>{program};
    ob::Ref<ob::Thread> thread;
    ob::Ref<ob::Process> process = startProcess(start, program, arguments, directory, thread);
    if (!process || !insertPair(process, thread, *processInformation))
        return finish(FALSE);
    SetLastError(ERROR_SUCCESS);
    return finish(TRUE);
}

BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode)
{
    auto p = referenceHandle<ob::Process>(process, ob::ObjectType::Process, 0x0400 /* PROCESS_QUERY_INFORMATION */);
    if (!p)
        return FALSE;
    if (!exitCode) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *exitCode = p->exitCode();
    return TRUE;
}

BOOL TerminateProcess(HANDLE process, DWORD exitCode)
{
    auto p = referenceHandle<ob::Process>(process, ob::ObjectType::Process, 0x0001 /* PROCESS_TERMINATE */);
    if (!p)
        return FALSE;
    p->terminate(exitCode);
    return TRUE;
}

HINSTANCE ShellExecuteA(HWND window, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory, int show)
{
    (void)window;
    ProgramStart start;
    start.kind = ProgramStart::Kind::ShellExecute;
    start.verb = verb ? wideFromAnsi(verb) : std::u16string();
    start.application = file ? wideFromAnsi(file) : std::u16string();
    start.commandLine = parameters ? wideFromAnsi(parameters) : std::u16string();
    start.currentDirectory = directory ? wideFromAnsi(directory) : std::u16string();
    start.showWindow = static_cast<WORD>(show);
    auto finish = [&](intptr_t result) {
        start.succeeded = result > 32;
        record(start);
        return reinterpret_cast<HINSTANCE>(result);
    };
    if (!file)
        return finish(SE_ERR_FNF);
    if (!start.verb.empty() && start.verb != u"open")
        return finish(SE_ERR_NOASSOC);
    const DWORD attributes = GetFileAttributesW(start.application.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return finish(GetLastError() == ERROR_PATH_NOT_FOUND ? SE_ERR_PNF : SE_ERR_FNF);
    std::string folder;
    if (directory && *directory)
        folder = hostPathAnsi(directory);
    std::vector<std::u16string> arguments{start.application};
    for (std::u16string& a : splitCommandLine(start.commandLine))
        arguments.push_back(std::move(a));
    const bool executable = ::access(hostPath(start.application).c_str(), X_OK) == 0
                            && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
    ob::Ref<ob::Thread> thread;
    if (executable) {
        if (!startProcess(start, start.application, arguments, folder, thread))
            return finish(SE_ERR_FNF);
    } else {
        start.hostProgram = hostPath(start.application);
        for (size_t i = 1; i < arguments.size(); ++i)
            start.arguments.push_back(reg::utf8(arguments[i]));
    }
    return finish(42);
}

std::vector<ProgramStart> programStarts()
{
    std::lock_guard lock(g_mutex);
    return starts();
}

void clearProgramStarts()
{
    std::lock_guard lock(g_mutex);
    starts().clear();
}

void setProcessLaunching(bool on) { g_launching.store(on); }

} // namespace w32

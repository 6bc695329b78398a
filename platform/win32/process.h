#pragma once
// Starting programs: CreateProcessW and the shell's ShellExecuteA. Every call
// is recorded (tests read what was asked for, command line included). A
// program must exist on the machine's drives (files.h), as on the platform;
// with launching switched on (setProcessLaunching) a program the host can
// execute is really started with the arguments of its command line, and its
// process handle is signalled when it ends. Otherwise the new process stays
// a running simulated process until terminated through its handle. The
// handles returned are handles of the calling process; close them.

#include "platform/win32/types.h"
#include "platform/win32/window.h"

#include <string>
#include <vector>

namespace w32 {

using HINSTANCE = struct HINSTANCE__*;

inline constexpr DWORD PROCESS_ALL_ACCESS = 0x001FFFFF;
inline constexpr DWORD STARTF_USESHOWWINDOW = 0x00000001;
inline constexpr WORD SW_HIDE = 0;
inline constexpr WORD SW_SHOWNORMAL = 1;
inline constexpr int SE_ERR_FNF = 2;
inline constexpr int SE_ERR_PNF = 3;
inline constexpr int SE_ERR_NOASSOC = 31;

struct STARTUPINFOW {
    DWORD cb;
    LPWSTR lpReserved;
    LPWSTR lpDesktop;
    LPWSTR lpTitle;
    DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    BYTE* lpReserved2;
    HANDLE hStdInput, hStdOutput, hStdError;
};

struct PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
};

// Startup records whose cb is not their size, unsupported creation flags
// (anything but 0), an environment block or inherited handles are refused
// with ERROR_INVALID_PARAMETER; a missing program with ERROR_FILE_NOT_FOUND
// (ERROR_PATH_NOT_FOUND for a missing folder). A missing startup or
// information record is misuse (the platform would fault).
BOOL CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine, const SECURITY_ATTRIBUTES* processAttributes,
                    const SECURITY_ATTRIBUTES* threadAttributes, BOOL inheritHandles, DWORD creationFlags,
                    LPVOID environment, LPCWSTR currentDirectory, STARTUPINFOW* startupInfo,
                    PROCESS_INFORMATION* processInformation);
BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode);
BOOL TerminateProcess(HANDLE process, DWORD exitCode);

// Verb null, "" or "open"; other verbs give SE_ERR_NOASSOC. Returns a value
// above 32 on success, else the shell's error number. Files the host cannot
// execute (batch files, documents) are recorded and reported as opened.
HINSTANCE ShellExecuteA(HWND window, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory, int show);

struct ProgramStart {
    enum class Kind { CreateProcess, ShellExecute } kind = Kind::CreateProcess;
    std::u16string application;      // CreateProcessW's application name, or the shell's file
    std::u16string commandLine;      // CreateProcessW's command line, or the shell's parameters
    std::u16string currentDirectory; // empty: the caller's
    std::u16string verb;
    DWORD creationFlags = 0;
    bool inheritHandles = false;
    DWORD startupFlags = 0;
    WORD showWindow = 0;
    bool succeeded = false;
    bool launched = false; // a host program was really started
    std::string hostProgram;
    std::vector<std::string> arguments; // as the started program receives them
};
std::vector<ProgramStart> programStarts();
void clearProgramStarts();
void setProcessLaunching(bool on); // off by default

// The arguments of a command line, split by the platform's C runtime rules.
std::vector<std::u16string> splitCommandLine(std::u16string_view commandLine);

} // namespace w32

#pragma once
// The installation, which lies outside the system: it places the ASIO
// driver's library where the kernel driver's class entry points
// ("%SystemRoot%\System32\OrvoUac2Asio.dll", a link on the machine's drive
// to the built shared library) and writes the control panel's command line
// under HKLM\Software\Orvo\Control Panel.

#include <string>

namespace orvo::machine {

inline constexpr char16_t kAsioDriverPath[] = u"C:\\Windows\\System32\\OrvoUac2Asio.dll";
inline constexpr char16_t kControlPanelProgram[] = u"C:\\Program Files\\Orvo\\Control Panel\\OrvoControlPanel.exe";

// Links the drive path of the driver to `hostLibrary` (replacing an older
// link). False when the library does not exist or the link cannot be made.
bool installAsioDriver(const std::string& hostLibrary);

// Writes ControlPanelPath (the program's path, quoted, as its command line)
// and, when `hostProgram` is given, links the program's drive path to it.
bool installControlPanel(const std::string& hostProgram = {});

// The options every program of the machine takes: --registry-root DIR,
// --drive-root DIR (applied at once) and --library FILE (the ASIO driver
// library to install, into `library`). False for any other option.
bool takeInstallationOption(const std::string& option, const char* value, std::string& library);

} // namespace orvo::machine

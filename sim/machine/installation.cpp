#include "sim/machine/installation.h"

#include "platform/registry/registry.h"
#include "platform/win32/files.h"
#include "platform/win32/reg_key.h"

#include <filesystem>
#include <system_error>

namespace orvo::machine {

namespace {

namespace fs = std::filesystem;

bool place(const std::u16string& drivePath, const std::string& hostFile)
{
    std::error_code ec;
    if (hostFile.empty() || !fs::exists(hostFile, ec))
        return false;
    const fs::path link = w32::hostPath(drivePath);
    fs::create_directories(link.parent_path(), ec);
    fs::remove(link, ec);
    fs::create_symlink(fs::absolute(hostFile, ec), link, ec);
    return !ec;
}

} // namespace

bool installAsioDriver(const std::string& hostLibrary) { return place(kAsioDriverPath, hostLibrary); }

bool installControlPanel(const std::string& hostProgram)
{
    if (!hostProgram.empty() && !place(kControlPanelProgram, hostProgram))
        return false;
    w32::CRegKey key;
    if (key.Create(w32::HKEY_LOCAL_MACHINE, u"Software\\Orvo\\Control Panel") != w32::ERROR_SUCCESS)
        return false;
    const std::u16string commandLine = u"\"" + std::u16string(kControlPanelProgram) + u"\"";
    return key.SetStringValue(u"ControlPanelPath", commandLine.c_str()) == w32::ERROR_SUCCESS;
}

bool takeInstallationOption(const std::string& option, const char* value, std::string& library)
{
    if (option == "--registry-root")
        reg::Registry::setMachineRoot(value);
    else if (option == "--drive-root")
        w32::setDriveRoot(value);
    else if (option == "--library")
        library = value;
    else
        return false;
    return true;
}

} // namespace orvo::machine

#pragma once
// A fresh drive folder (and registry) for one test: the machine's "c:\" is a
// temporary folder, removed afterwards.

#include "platform/registry/registry.h"
#include "platform/win32/files.h"

#include "../registry/temp_root.h"

#include <filesystem>
#include <fstream>
#include <string>

struct TempDrive {
    TempRoot root;
    TempDrive()
    {
        w32::setDriveRoot((root.path / "drives").string());
        reg::Registry::setMachineRoot((root.path / "registry").string());
    }
    // Creates a file (and its folders) at a drive path.
    std::filesystem::path put(std::u16string_view drivePath, const std::string& contents = {}) const
    {
        const std::filesystem::path host = w32::hostPath(drivePath);
        std::filesystem::create_directories(host.parent_path());
        std::ofstream(host, std::ios::binary) << contents;
        return host;
    }
    std::filesystem::path folder(std::u16string_view drivePath) const
    {
        const std::filesystem::path host = w32::hostPath(drivePath);
        std::filesystem::create_directories(host);
        return host;
    }
};

#pragma once
// A fresh registry root for one test, removed afterwards.

#include <filesystem>
#include <random>
#include <string>

struct TempRoot {
    std::filesystem::path path;
    TempRoot()
    {
        std::random_device rd;
        path = std::filesystem::temp_directory_path() / ("orvo-reg-test-" + std::to_string(rd()) + std::to_string(rd()));
        std::filesystem::create_directories(path);
    }
    ~TempRoot()
    {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

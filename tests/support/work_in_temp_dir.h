// Makes a fresh scratch folder the working folder for as long as it lives,
// then goes back and removes the folder with everything in it. keltrace
// writes template.tmp into its working folder, and test processes run side
// by side, so each test that analyses in process needs a folder of its own.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

class WorkInTempDir {
public:
    WorkInTempDir() : previous_(std::filesystem::current_path()) {
        char name[] = "/tmp/kel_work_XXXXXX";
        if (!mkdtemp(name)) throw std::runtime_error("mkdtemp failed");
        path_ = name;
        std::filesystem::current_path(path_);
    }
    ~WorkInTempDir() {
        std::error_code ignored;
        std::filesystem::current_path(previous_, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    WorkInTempDir(const WorkInTempDir&) = delete;
    WorkInTempDir& operator=(const WorkInTempDir&) = delete;

    const std::string& path() const { return path_; }

private:
    std::filesystem::path previous_;
    std::string path_;
};

// A scratch folder for one test, removed with everything in it afterwards.
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>

#include <unistd.h>

class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/kel_test_XXXXXX";
        path_ = mkdtemp(name);
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    void write(const std::string& name, const std::string& content) const {
        std::ofstream(file(name), std::ios::binary) << content;
    }

private:
    std::string path_;
};

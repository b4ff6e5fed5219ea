// Writes XML text to a temporary file so the reader can parse it by path.
#pragma once

#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

class TempFile {
public:
    explicit TempFile(const std::string& content) {
        char name[] = "/tmp/kel_template_XXXXXX";
        int fd = mkstemp(name);
        path_ = name;
        ::close(fd);
        std::ofstream(path_, std::ios::binary) << content;
    }
    ~TempFile() { std::remove(path_.c_str()); }
    const char* path() const { return path_.c_str(); }

private:
    std::string path_;
};

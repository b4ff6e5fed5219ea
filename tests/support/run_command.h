// Runs a real program through the shell and captures what it printed.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

struct CommandResult {
    int status = -1;  // exit status as the shell sees it (0..255), or -1 when killed
    std::string out;
    std::string err;
};

inline std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline CommandResult runCommand(const std::string& command) {
    char outName[] = "/tmp/kel_out_XXXXXX";
    char errName[] = "/tmp/kel_err_XXXXXX";
    ::close(mkstemp(outName));
    ::close(mkstemp(errName));
    const std::string full = command + " >" + outName + " 2>" + errName + " </dev/null";
    const int raw = std::system(full.c_str());
    CommandResult r;
    if (raw != -1 && WIFEXITED(raw)) r.status = WEXITSTATUS(raw);
    r.out = readWholeFile(outName);
    r.err = readWholeFile(errName);
    std::remove(outName);
    std::remove(errName);
    return r;
}

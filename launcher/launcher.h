// kelrun: runs a program with a preload binding in LD_PRELOAD, so that it is
// traced without being rebuilt, and optionally analyses its traces.
#pragma once

#include <ostream>
#include <string>
#include <vector>

struct LaunchOptions {
    std::string binding = "heap";  // heap, stdio or fd: a ready-made binding
    std::string templatePath;      // --template: a binding made for this run
    bool followChildren = false;
    bool analyze = false;
    std::string traceDir = "kel-traces";
    std::vector<std::string> command;  // the program and its arguments
};

// Exit statuses of kelrun's own failures; otherwise it ends with the
// program's status (128 + the signal that ended it) or keltrace's.
enum LaunchStatus { launchUsage = 2, launchNoBinding = 3, launchCannotRun = 127 };

// Reads the command line; false (with a message on `err`) when it is wrong.
// `help` is set for --help.
bool parseLaunchOptions(const std::vector<std::string>& args, LaunchOptions& options, bool& help,
                        std::ostream& err);
void printLaunchUsage(std::ostream& out);
// Runs the whole launch; the result is kelrun's exit status.
int launch(const LaunchOptions& options, std::ostream& err);

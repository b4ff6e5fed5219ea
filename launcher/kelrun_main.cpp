// kelrun's entry: the command line, then the launch.
#include <iostream>
#include <string>
#include <vector>

#include "launcher.h"

int main(int argc, char** argv) {
    LaunchOptions options;
    bool help = false;
    if (!parseLaunchOptions(std::vector<std::string>(argv + 1, argv + argc), options, help, std::cerr)) {
        printLaunchUsage(std::cerr);
        return launchUsage;
    }
    if (help) {
        printLaunchUsage(std::cout);
        return 0;
    }
    return launch(options, std::cerr);
}

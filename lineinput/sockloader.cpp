#include "sockloader.h"

#include <fcntl.h>

CSockLineFetcher::CSockLineFetcher(std::size_t bufferSize) : CFdLineFetcher(bufferSize) {}

int CSockLineFetcher::attach(const char*) {
    failed = true;
    return -1;
}

int CSockLineFetcher::attach(int s) {
    if (fd >= 0 || s < 0 || ::fcntl(s, F_GETFD) == -1) {
        failed = true;
        return -1;
    }
    fd = s;
    failed = false;
    return 0;
}

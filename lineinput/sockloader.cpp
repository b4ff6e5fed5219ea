#include "sockloader.h"

#include <fcntl.h>

CSockLineFetcher::CSockLineFetcher(std::size_t bufferSize) : CFdLineFetcher(bufferSize) {}

int CSockLineFetcher::attach(const char*) {
    setFailed(true);
    return -1;
}

int CSockLineFetcher::attach(int s) {
    if (fd >= 0 || s < 0 || ::fcntl(s, F_GETFD) == -1) {
        setFailed(true);
        return -1;
    }
    fd = s;
    setFailed(false);
    return 0;
}

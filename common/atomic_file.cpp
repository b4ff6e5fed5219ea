#include "atomic_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

mode_t plainCreateMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

}  // namespace

AtomicFile::~AtomicFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!tempPath_.empty()) ::unlink(tempPath_.c_str());
}

int AtomicFile::create(const std::string& target) { return create(target, plainCreateMode()); }

int AtomicFile::create(const std::string& target, mode_t mode) {
    target_ = target;
    std::string name = target + ".XXXXXX";
    fd_ = ::mkstemp(name.data());
    if (fd_ < 0) return errno;
    tempPath_ = name;
    // mkstemp makes the file private.
    if (::fchmod(fd_, mode) != 0) return errno;
    return 0;
}

int AtomicFile::write(const char* data, std::size_t size) {
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = ::write(fd_, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? errno : EIO;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

int AtomicFile::close() {
    const int fd = fd_;
    fd_ = -1;
    return fd < 0 || ::close(fd) == 0 ? 0 : errno;
}

int AtomicFile::commit() {
    if (const int error = close()) return error;
    if (::rename(tempPath_.c_str(), target_.c_str()) != 0) return errno;
    tempPath_.clear();
    return 0;
}

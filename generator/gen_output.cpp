#include "gen_output.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr std::size_t kBufferSize = 1 << 16;
}

FdStreamBuf::FdStreamBuf() : buffer_(kBufferSize) { setp(buffer_.data(), buffer_.data() + buffer_.size()); }

bool FdStreamBuf::drain() {
    const char* data = pbase();
    const std::size_t size = static_cast<std::size_t>(pptr() - pbase());
    setp(buffer_.data(), buffer_.data() + buffer_.size());
    if (error_ != 0) return false;
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = ::write(fd_, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error_ = n < 0 ? errno : EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

FdStreamBuf::int_type FdStreamBuf::overflow(int_type c) {
    if (!drain()) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

OutputFile::OutputFile(const char* path) : path_(path), target_(path), stream_(&buffer_) {}

OutputFile::~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!tempPath_.empty()) ::unlink(tempPath_.c_str());
}

bool OutputFile::open(std::ostream& err) {
    // Refused here, before any output is written: otherwise only the final
    // rename would fail, after the other file had been replaced.
    if (path_.empty()) return fail(err, ENOENT);
    struct stat st {};
    const bool exists = ::stat(path_.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        fd_ = ::open(path_.c_str(), O_WRONLY | O_TRUNC);
        if (fd_ < 0) return fail(err, errno);
        buffer_.attach(fd_);
        return true;
    }
    if (exists) {
        // A symbolic link stays a link: the file it names is replaced.
        char* real = ::realpath(path_.c_str(), nullptr);
        if (real == nullptr) return fail(err, errno);
        target_ = real;
        std::free(real);
    }
    for (int attempt = 0; fd_ < 0; ++attempt) {
        const std::string temp = target_ + ".kelgen-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
        fd_ = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
        if (fd_ >= 0)
            tempPath_ = temp;
        else if (errno != EEXIST || attempt == 100)
            return fail(err, errno);
    }
    // The replacement keeps the permissions the file had.
    if (exists && ::fchmod(fd_, st.st_mode & 0777) != 0) return fail(err, errno);
    buffer_.attach(fd_);
    return true;
}

bool OutputFile::finish(std::ostream& err) {
    if (!buffer_.drain()) return fail(err, buffer_.error());
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0 || fail(err, errno);
}

bool OutputFile::commit(std::ostream& err) {
    if (tempPath_.empty()) return true;
    if (::rename(tempPath_.c_str(), target_.c_str()) != 0) return fail(err, errno);
    tempPath_.clear();
    return true;
}

bool OutputFile::fail(std::ostream& err, int error) {
    err << "kelgen: cannot write '" << path_ << "': " << std::strerror(error) << std::endl;
    return false;
}

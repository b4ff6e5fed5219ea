#include "gen_output.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "visible_text.h"

namespace {

constexpr std::size_t kBufferSize = 1 << 16;

// What a path names: an existing file by device and inode, or the file a
// create would make, by its name in its resolved folder.
struct FileIdentity {
    bool exists = false;
    bool shareable = false;  // a device or FIFO: no text of ours is lost in it
    dev_t device = 0;
    ino_t inode = 0;
    std::string name;
};

FileIdentity identify(const char* path) {
    FileIdentity id;
    struct stat st {};
    if (::stat(path, &st) == 0) {
        id.exists = true;
        id.shareable = !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
        id.device = st.st_dev;
        id.inode = st.st_ino;
        return id;
    }
    // Not there, or a dangling link (which the output replaces): the name
    // the new file gets.
    namespace fs = std::filesystem;
    const fs::path p(path);
    const fs::path folder = p.has_parent_path() ? p.parent_path() : fs::path(".");
    if (char* real = ::realpath(folder.c_str(), nullptr)) {
        id.name = (fs::path(real) / p.filename()).string();
        std::free(real);
    } else {
        std::error_code error;
        id.name = fs::absolute(p, error).lexically_normal().string();
        if (error) id.name = p.lexically_normal().string();
    }
    return id;
}

bool sameFile(const FileIdentity& a, const FileIdentity& b) {
    if (a.exists != b.exists) return false;
    if (a.exists) return a.device == b.device && a.inode == b.inode && !a.shareable;
    return a.name == b.name;
}

}  // namespace

bool checkOutputPaths(const char* templatePath, const char* headerPath, const char* sourcePath, std::ostream& err) {
    const FileIdentity tmpl = identify(templatePath);
    const FileIdentity header = identify(headerPath);
    const FileIdentity source = identify(sourcePath);
    const auto quoted = [](const char* path) { return "'" + visibleText(path) + "'"; };
    if (sameFile(header, tmpl)) {
        err << "kelgen: the header " << quoted(headerPath) << " names the same file as the template "
            << quoted(templatePath) << "; writing it would destroy the template" << std::endl;
        return false;
    }
    if (sameFile(source, tmpl)) {
        err << "kelgen: the source " << quoted(sourcePath) << " names the same file as the template "
            << quoted(templatePath) << "; writing it would destroy the template" << std::endl;
        return false;
    }
    if (sameFile(source, header)) {
        err << "kelgen: the source " << quoted(sourcePath) << " names the same file as the header "
            << quoted(headerPath) << "; one output would replace the other" << std::endl;
        return false;
    }
    return true;
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
    if (fd_ >= 0 && fd_ != temp_.fd()) ::close(fd_);
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
    // The replacement keeps the permissions the file had.
    const int error = exists ? temp_.create(target_, st.st_mode & 0777) : temp_.create(target_);
    if (error != 0) return fail(err, error);
    fd_ = temp_.fd();
    buffer_.attach(fd_);
    return true;
}

bool OutputFile::finish(std::ostream& err) {
    if (!buffer_.drain()) return fail(err, buffer_.error());
    const int fd = fd_;
    fd_ = -1;
    if (fd >= 0 && fd == temp_.fd()) {
        const int error = temp_.close();
        return error == 0 || fail(err, error);
    }
    return ::close(fd) == 0 || fail(err, errno);
}

bool OutputFile::commit(std::ostream& err) {
    if (temp_.tempPath().empty()) return true;
    const int error = temp_.commit();
    return error == 0 || fail(err, error);
}

bool OutputFile::fail(std::ostream& err, int error) {
    err << "kelgen: cannot write '" << visibleText(path_) << "': " << std::strerror(error) << std::endl;
    return false;
}

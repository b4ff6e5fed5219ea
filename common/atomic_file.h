// A file that appears whole or not at all: written under a temporary name
// beside its target and renamed over the target once it is complete. A
// reader never sees half a file, a failed write leaves the old file as it
// was, and whatever stood at the target (a symbolic link, a hard link to a
// file elsewhere, a FIFO) is replaced, never written through.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

class AtomicFile {
public:
    AtomicFile() = default;
    // Removes the temporary file unless it was committed.
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Creates the temporary file "TARGET.XXXXXX" with the permissions a
    // plain create would give (0666 less the umask), or with `mode`.
    // Each call below returns 0 or the errno value of what failed.
    int create(const std::string& target);
    int create(const std::string& target, mode_t mode);
    // The open temporary file, for a writer of its own; -1 after close().
    int fd() const { return fd_; }
    const std::string& tempPath() const { return tempPath_; }
    // Writes all of the bytes to the temporary file.
    int write(const char* data, std::size_t size);
    int close();
    // Closes the file if it is open and renames it over the target.
    int commit();

private:
    std::string target_;
    std::string tempPath_;  // empty once committed
    int fd_ = -1;
};

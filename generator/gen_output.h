// kelgen's output files. A regular file (or a new one) is written beside its
// final path and renamed into place only when the caller commits it, so that
// a failed run never leaves it half-written; anything else (a terminal,
// /dev/null) is written directly. The text streams into the file as the
// writers produce it, so memory does not grow with the template.
#pragma once

#include <memory>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "atomic_file.h"

// A stream buffer over a file descriptor that keeps the first write error.
// Line ends (std::endl) do not cost a system call: the buffer goes out when it
// is full and when the file is finished.
class FdStreamBuf : public std::streambuf {
public:
    FdStreamBuf();
    void attach(int fd) { fd_ = fd; }
    // Writes what is buffered; false (with error() set) when a write failed.
    bool drain();
    int error() const { return error_; }

protected:
    int_type overflow(int_type c) override;
    int sync() override { return 0; }

private:
    std::vector<char> buffer_;
    int fd_ = -1;
    int error_ = 0;
};

// Refuses, with one message on `err`, two of the three paths that name the
// same file: an output that is the template would overwrite it, and two
// outputs that are one file would lose one of the texts. The same file is
// the same device and inode where it exists (through any link or spelling),
// and the same name in the same resolved folder where it does not exist yet
// (x, ./x and d/../x). A device that writers may share, such as /dev/null,
// may stand for both outputs.
bool checkOutputPaths(const char* templatePath, const char* headerPath, const char* sourcePath, std::ostream& err);

class OutputFile {
public:
    explicit OutputFile(const char* path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates the temporary file (or opens a non-regular one); a failure is
    // reported on `err`, naming the path and the reason.
    bool open(std::ostream& err);
    // Where the writers put the text.
    std::ostream& stream() { return stream_; }
    // Writes what is left and closes the file.
    bool finish(std::ostream& err);
    // Puts the complete file in place of the old one.
    bool commit(std::ostream& err);

private:
    bool fail(std::ostream& err, int error);

    std::string path_;    // as given, for messages
    std::string target_;  // the file that is replaced
    AtomicFile temp_;  // a regular file's replacement, until it is committed
    int fd_ = -1;      // where the text goes: temp_'s file, or a file that is not regular
    FdStreamBuf buffer_;
    std::ostream stream_;
};

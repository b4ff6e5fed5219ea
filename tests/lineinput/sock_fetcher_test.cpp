// The descriptor line source over real TCP connections on 127.0.0.1: the
// same lines, numbers and failures as the file source, whatever the sizes in
// which the bytes arrive.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sockloader.h"

namespace {

// One connected pair on the loopback: `writer` is the traced program's end,
// `reader` the analyzer's.
struct Connection {
    int writer = -1;
    int reader = -1;

    Connection() {
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_GE(listener, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(::listen(listener, 1), 0);
        socklen_t len = sizeof addr;
        EXPECT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
        writer = ::socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_EQ(::connect(writer, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        reader = ::accept(listener, nullptr, nullptr);
        EXPECT_GE(reader, 0);
        ::close(listener);
        // A source that waited for more than it needs would block for good:
        // let such a fault fail the read instead of hanging the suite.
        timeval tv{20, 0};
        ::setsockopt(reader, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~Connection() {
        if (writer >= 0) ::close(writer);
    }
    void send(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(writer, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            ASSERT_GT(n, 0) << std::strerror(errno);
            done += static_cast<std::size_t>(n);
        }
    }
    void closeWriter() {
        ::close(writer);
        writer = -1;
    }
};

// One call and what it gives: "N:text" for a line, "throw:text" for a failure.
struct Step {
    char call;  // g: getLine, p: peekLine
    std::string expected;
};

std::string run(CVLineFetcher& f, char call) {
    std::string line = "stale";
    try {
        const std::int64_t n = call == 'p' ? f.peekLine(line) : f.getLine(line);
        return std::to_string(n) + ":" + line;
    } catch (const char* e) {
        return std::string("throw:") + e;
    }
}

struct FetchCase {
    const char* name;
    std::string bytes;
    std::vector<Step> steps;
};

const std::string k254(254, 'a');
const std::string k255(255, 'b');

TEST(CSockLineFetcher, DeliversLinesLikeTheFileSource) {
    const FetchCase cases[] = {
        {"two lines, then eof for good", "ab\ncd\n",
         {{'g', "1:ab"}, {'g', "2:cd"}, {'g', "throw:eof"}, {'g', "throw:eof"}}},
        {"last line without line feed is not delivered", "ab\ncd", {{'g', "1:ab"}, {'g', "throw:eof"}}},
        {"nothing sent", "", {{'g', "throw:eof"}}},
        {"254 characters is a whole line", k254 + "\nx\n", {{'g', "1:" + k254}, {'g', "2:x"}}},
        {"254 characters and no line feed", k254, {{'g', "throw:eof"}}},
        {"255 characters fail, and every read after", k255 + "\nx\n",
         {{'g', "throw:i/o error"}, {'g', "throw:i/o error"}, {'p', "throw:i/o error"}}},
        {"a long line after a good one", "ok\n" + k255 + "\n", {{'g', "1:ok"}, {'g', "throw:i/o error"}}},
        {"carriage return stays in the line", "ab\r\n", {{'g', "1:ab\r"}}},
        {"peek then get give the same line", "a\nb\n", {{'p', "1:a"}, {'g', "1:a"}, {'g', "2:b"}}},
        {"second peek is a malfunction and keeps the line pending", "a\nb\n",
         {{'p', "1:a"}, {'p', "throw:malfunction"}, {'g', "1:a"}, {'p', "2:b"}, {'g', "2:b"}}},
        {"peek at the end leaves nothing pending", "a\n", {{'g', "1:a"}, {'p', "throw:eof"}, {'g', "throw:eof"}}},
        {"a line with a NUL is refused, counted, and reading goes on", std::string("a\0b\nc\n", 6),
         {{'g', "throw:nul byte"}, {'g', "2:c"}}},
        {"a peeked line with a NUL leaves nothing pending", std::string("z\n\0\nc\n", 6),
         {{'g', "1:z"}, {'p', "throw:nul byte"}, {'p', "3:c"}, {'g', "3:c"}}},
        {"a NUL at the end of a line", std::string("ab\0\n", 4), {{'g', "throw:nul byte"}, {'g', "throw:eof"}}},
        {"empty lines count", "\n\nx\n", {{'g', "1:"}, {'g', "2:"}, {'g', "3:x"}}},
        {"lines with NULs between clean ones", std::string("a\0\0b\nc\n\0\nd\n", 12),
         {{'g', "throw:nul byte"}, {'g', "2:c"}, {'g', "throw:nul byte"}, {'g', "4:d"}, {'g', "throw:eof"}}},
    };
    for (const FetchCase& c : cases) {
        for (std::size_t bufferSize : {std::size_t(1), std::size_t(2), std::size_t(3), std::size_t(7),
                                       std::size_t(255), std::size_t(65536)}) {
            SCOPED_TRACE(std::string(c.name) + ", buffer " + std::to_string(bufferSize));
            Connection conn;
            conn.send(c.bytes);
            conn.closeWriter();
            CSockLineFetcher f(bufferSize);
            ASSERT_EQ(f.attach(conn.reader), 0);
            for (std::size_t i = 0; i < c.steps.size(); ++i)
                EXPECT_EQ(run(f, c.steps[i].call), c.steps[i].expected) << "step " << i;
        }
    }
}

// Each line is delivered while the connection is still open: the reader
// does not wait for the end of the stream or a full buffer.
TEST(CSockLineFetcher, LinesArriveWhileThePeerIsStillSending) {
    Connection conn;
    CSockLineFetcher f;
    ASSERT_EQ(f.attach(conn.reader), 0);
    conn.send("first\n");
    EXPECT_EQ(run(f, 'g'), "1:first");
    conn.send("sec");
    conn.send("ond\nthi");
    EXPECT_EQ(run(f, 'p'), "2:second");
    EXPECT_EQ(run(f, 'g'), "2:second");
    conn.send("rd\n");
    EXPECT_EQ(run(f, 'g'), "3:third");
    conn.closeWriter();
    EXPECT_EQ(run(f, 'g'), "throw:eof");
}

TEST(CSockLineFetcher, ManyLinesFromAWritingThread) {
    std::vector<std::string> lines;
    std::string all;
    for (int i = 0; i < 20000; ++i) {
        lines.push_back(std::string(static_cast<std::size_t>(i * 7 % 255), static_cast<char>('a' + i % 26)));
        all += lines.back() + "\n";
    }
    for (std::size_t bufferSize : {std::size_t(5), std::size_t(65536)}) {
        SCOPED_TRACE("buffer " + std::to_string(bufferSize));
        Connection conn;
        std::thread writer([&] {
            conn.send(all);
            conn.closeWriter();
        });
        CSockLineFetcher f(bufferSize);
        ASSERT_EQ(f.attach(conn.reader), 0);
        std::string line;
        std::size_t i = 0;
        for (; i < lines.size(); ++i) {
            std::int64_t n = 0;
            try {
                n = (i % 3 == 0) ? f.peekLine(line) : f.getLine(line);
                if (i % 3 == 0) f.getLine(line);
            } catch (const char* e) {
                ADD_FAILURE() << "line " << i + 1 << ": " << e;
                break;
            }
            if (n != static_cast<std::int64_t>(i + 1) || line != lines[i]) {
                ADD_FAILURE() << "line " << i + 1 << " came as number " << n << " with " << line.size() << " chars";
                break;
            }
        }
        writer.join();
        EXPECT_EQ(run(f, 'g'), "throw:eof");
    }
}

// A peer that aborts the connection is a read error, not a clean end.
TEST(CSockLineFetcher, ResetConnectionIsAReadError) {
    Connection conn;
    CSockLineFetcher f;
    ASSERT_EQ(f.attach(conn.reader), 0);
    conn.send("a\n");
    EXPECT_EQ(run(f, 'g'), "1:a");
    linger abort{1, 0};
    ASSERT_EQ(::setsockopt(conn.writer, SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
    conn.closeWriter();
    EXPECT_EQ(run(f, 'g'), "throw:i/o error");
    EXPECT_EQ(run(f, 'g'), "throw:i/o error");
}

TEST(CSockLineFetcher, AttachRefusesWhatItCannotRead) {
    {
        CSockLineFetcher f;
        EXPECT_EQ(run(f, 'g'), "throw:i/o error");  // never attached
    }
    {
        CSockLineFetcher f;
        EXPECT_EQ(f.attach(-1), -1);
        EXPECT_EQ(run(f, 'g'), "throw:i/o error");
    }
    {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        ::close(fds[0]);
        ::close(fds[1]);
        CSockLineFetcher f;
        EXPECT_EQ(f.attach(fds[0]), -1);  // closed descriptor
    }
    {
        CSockLineFetcher f;
        EXPECT_EQ(f.attach("/dev/null"), -1);
        EXPECT_EQ(run(f, 'g'), "throw:i/o error");
    }
    {
        Connection first, second;
        second.send("x\n");
        CSockLineFetcher f;
        ASSERT_EQ(f.attach(first.reader), 0);
        EXPECT_EQ(f.attach(second.reader), -1);  // one source per fetcher
        EXPECT_EQ(run(f, 'g'), "throw:i/o error");
        ::close(second.reader);
    }
}

TEST(CSockLineFetcher, ClosesItsDescriptor) {
    Connection conn;
    const int fd = conn.reader;
    {
        CSockLineFetcher f;
        ASSERT_EQ(f.attach(fd), 0);
    }
    errno = 0;
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
}

}  // namespace

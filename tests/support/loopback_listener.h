// A TCP listener on 127.0.0.1 (a free port) that tells afterwards whether
// anything connected to it: the kernel completes a connection into the
// backlog even when nobody accepts it.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

class LoopbackListener {
public:
    LoopbackListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 16) != 0) return;
        socklen_t len = sizeof a;
        if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) return;
        port_ = ntohs(a.sin_port);
        ::fcntl(fd_, F_SETFL, O_NONBLOCK);
    }
    ~LoopbackListener() {
        if (fd_ >= 0) ::close(fd_);
    }
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    bool ready() const { return port_ != 0; }
    // "http://127.0.0.1:PORT" + path
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    // Number of connections made so far (each is accepted and closed).
    int connections() {
        int n = 0;
        for (;;) {
            const int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0) return n;
            ::close(c);
            ++n;
        }
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

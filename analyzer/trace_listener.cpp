#include "trace_listener.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

bool parseHostPort(const std::string& text, HostPort& out) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    std::string host = text.substr(0, colon);
    const std::string port = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host.empty() || port.empty() || port.size() > 5) return false;
    if (port.find_first_not_of("0123456789") != std::string::npos) return false;
    const unsigned long number = std::stoul(port);
    if (number < 1 || number > 65535) return false;
    out.host = host;
    out.port = port;
    return true;
}

std::vector<const addrinfo*> listenCandidates(const addrinfo* resolved) {
    // The generated client connects with IPv4 sockets only, so a name that
    // resolves to both families (localhost often does) is served on IPv4.
    std::vector<const addrinfo*> candidates;
    for (const addrinfo* a = resolved; a; a = a->ai_next)
        if (a->ai_family == AF_INET) candidates.push_back(a);
    for (const addrinfo* a = resolved; a; a = a->ai_next)
        if (a->ai_family != AF_INET) candidates.push_back(a);
    return candidates;
}

int listenForTrace(const std::string& text, std::ostream& err) {
    HostPort where;
    if (!parseHostPort(text, where)) {
        err << "keltrace: --sock needs host:port (a host name or address, a colon and a port from 1 to 65535), "
               "not '"
            << text << "'" << std::endl;
        return -1;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(where.host.c_str(), where.port.c_str(), &hints, &found);
    if (rc != 0) {
        err << "keltrace: cannot listen on " << text << ": " << ::gai_strerror(rc) << std::endl;
        return -1;
    }
    int reason = 0;
    int listener = -1;
    for (const addrinfo* a : listenCandidates(found)) {
        if (listener >= 0) break;
        const int s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s < 0) {
            reason = errno;
            continue;
        }
        // A port left in TIME_WAIT by an earlier run can be taken again at once;
        // a port that someone listens on still cannot.
        const int on = 1;
        ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(s, a->ai_addr, a->ai_addrlen) == 0 && ::listen(s, 1) == 0) {
            listener = s;
        } else {
            reason = errno;
            ::close(s);
        }
    }
    ::freeaddrinfo(found);
    if (listener < 0) err << "keltrace: cannot listen on " << text << ": " << std::strerror(reason) << std::endl;
    return listener;
}

int acceptTrace(int listener, const std::string& text, std::ostream& err) {
    int connection;
    do {
        connection = ::accept(listener, nullptr, nullptr);
    } while (connection < 0 && errno == EINTR);
    const int reason = errno;
    ::close(listener);
    if (connection < 0)
        err << "keltrace: no connection accepted on " << text << ": " << std::strerror(reason) << std::endl;
    return connection;
}

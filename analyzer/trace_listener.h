// keltrace --sock: the receiving end of a trace that a program generated in
// remote mode sends over TCP. keltrace listens on host:port, accepts the one
// connection, and analyses the stream as it arrives through CSockLineFetcher.
#pragma once

#include <iostream>
#include <string>
#include <vector>

struct addrinfo;

struct HostPort {
    std::string host;  // a name or a numeric address; IPv6 without brackets
    std::string port;  // decimal, 1 to 65535
};

// Splits "host:port" at its last colon; "[v6 address]:port" is accepted too.
// False for an empty host, or a port that is not a number from 1 to 65535.
bool parseHostPort(const std::string& text, HostPort& out);

// The resolved addresses in the order they are tried: IPv4 first, since the
// generated client opens IPv4 sockets only; then the others, in their order.
std::vector<const addrinfo*> listenCandidates(const addrinfo* resolved);

// A socket listening on `text` (host:port), or -1 after one message on err.
int listenForTrace(const std::string& text, std::ostream& err = std::cerr);

// Waits for the one connection, then closes the listener. The connected
// socket, or -1 after one message on err.
int acceptTrace(int listener, const std::string& text, std::ostream& err = std::cerr);

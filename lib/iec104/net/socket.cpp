#include "net/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace iec104::net {

void UniqueFd::reset(int fd)
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

namespace {

bool set_nonblocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL, 0);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Small frames must leave at once: a confirmation held back by Nagle's algorithm costs the peer a
// round trip.
void set_nodelay(int fd)
{
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

std::string errno_text(const char *what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

} // namespace

UniqueFd listen_tcp(const std::string &address, uint16_t port, std::string &error)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.empty() ? "0.0.0.0" : address.c_str(), &sa.sin_addr) != 1) {
        error = "invalid address " + address;
        return {};
    }
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        error = errno_text("socket");
        return {};
    }
    const int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0) {
        error = errno_text("bind");
        return {};
    }
    if (::listen(fd.get(), 8) != 0 || !set_nonblocking(fd.get())) {
        error = errno_text("listen");
        return {};
    }
    return fd;
}

uint16_t local_port(int fd)
{
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0)
        return 0;
    return ntohs(sa.sin_port);
}

AcceptResult accept_tcp(int listen_fd, UniqueFd &out, std::string &address, uint16_t &port)
{
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    const int fd = ::accept4(listen_fd, reinterpret_cast<sockaddr *>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED)
            return AcceptResult::None;
        return AcceptResult::Error;
    }
    out.reset(fd);
    set_nodelay(fd);
    char text[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
    address = text;
    port = ntohs(sa.sin_port);
    return AcceptResult::Accepted;
}

UniqueFd connect_tcp(const std::string &host, uint16_t port, Millis timeout, std::string &error)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    const std::string service = std::to_string(port);
    if (int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &res); rc != 0 || !res) {
        error = std::string("resolve ") + host + ": " + ::gai_strerror(rc);
        return {};
    }
    sockaddr_in sa{};
    std::memcpy(&sa, res->ai_addr, sizeof sa);
    ::freeaddrinfo(res);

    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid()) {
        error = errno_text("socket");
        return {};
    }
    if (::connect(fd.get(), reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0) {
        if (errno != EINPROGRESS) {
            error = errno_text("connect");
            return {};
        }
        pollfd p{fd.get(), POLLOUT, 0};
        const int rc = ::poll(&p, 1, static_cast<int>(timeout.count()));
        if (rc <= 0) {
            error = rc == 0 ? "connect: timed out" : errno_text("poll");
            return {};
        }
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
            error = std::string("connect: ") + std::strerror(err);
            return {};
        }
    }
    set_nodelay(fd.get());
    return fd;
}

IoStatus read_some(int fd, std::span<uint8_t> buf, size_t &n)
{
    n = 0;
    const ssize_t rc = ::recv(fd, buf.data(), buf.size(), 0);
    if (rc > 0) {
        n = static_cast<size_t>(rc);
        return IoStatus::Ok;
    }
    if (rc == 0)
        return IoStatus::Closed;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return IoStatus::WouldBlock;
    return IoStatus::Error;
}

IoStatus write_some(int fd, std::span<const uint8_t> data, size_t &n)
{
    n = 0;
    const ssize_t rc = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (rc >= 0) {
        n = static_cast<size_t>(rc);
        return IoStatus::Ok;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return IoStatus::WouldBlock;
    return IoStatus::Error;
}

} // namespace iec104::net

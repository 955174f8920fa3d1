// TCP plumbing shared by the server and the client: an owning descriptor, a non-blocking listener,
// accept, a connect with a deadline, and reads/writes that report "would block" instead of waiting.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>

#include "iec104/types.h"

namespace iec104::net {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd &&o) noexcept : fd_(o.release()) {}
    UniqueFd &operator=(UniqueFd &&o) noexcept
    {
        if (this != &o)
            reset(o.release());
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// Non-blocking listening socket bound to an IPv4 address (dotted quad); invalid with `error` set.
UniqueFd listen_tcp(const std::string &address, uint16_t port, std::string &error);
uint16_t local_port(int fd);

enum class AcceptResult : uint8_t { Accepted, None, Error };
// A pending connection, non-blocking, with the peer's address.
AcceptResult accept_tcp(int listen_fd, UniqueFd &out, std::string &address, uint16_t &port);

// Blocking connect bounded by `timeout`; the returned socket is non-blocking.
UniqueFd connect_tcp(const std::string &host, uint16_t port, Millis timeout, std::string &error);

enum class IoStatus : uint8_t { Ok, WouldBlock, Closed, Error };
// Reads or writes what the socket takes now; `n` is the number of octets moved.
IoStatus read_some(int fd, std::span<uint8_t> buf, size_t &n);
IoStatus write_some(int fd, std::span<const uint8_t> data, size_t &n);

} // namespace iec104::net

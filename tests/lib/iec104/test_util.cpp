#include "test_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <stdexcept>

namespace iec104test {

Bytes hex(const std::string &text)
{
    Bytes out;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

std::string to_hex(std::span<const uint8_t> octets)
{
    std::string s;
    char b[4];
    for (uint8_t o : octets) {
        std::snprintf(b, sizeof b, "%s%02x", s.empty() ? "" : " ", o);
        s += b;
    }
    return s;
}

RawPeer::RawPeer(uint16_t port)
{
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        ::close(fd_);
        fd_ = -1;
        return;
    }
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
}

RawPeer::~RawPeer()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void RawPeer::send(const Bytes &octets)
{
    size_t off = 0;
    while (off < octets.size()) {
        const ssize_t n = ::send(fd_, octets.data() + off, octets.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        off += static_cast<size_t>(n);
    }
}

bool RawPeer::fill(iec104::Server &server, size_t want, int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (buf_.size() < want) {
        server.tick();
        uint8_t tmp[512];
        const ssize_t n = ::recv(fd_, tmp, sizeof tmp, 0);
        if (n > 0) {
            buf_.insert(buf_.end(), tmp, tmp + n);
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            eof_ = true;
            return false;
        }
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        ::usleep(200);
    }
    return true;
}

Bytes RawPeer::next_frame(iec104::Server &server, int timeout_ms)
{
    if (!fill(server, 2, timeout_ms))
        return {};
    const size_t total = size_t{buf_[1]} + 2;
    if (!fill(server, total, timeout_ms))
        return {};
    Bytes frame(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(total));
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(total));
    return frame;
}

bool RawPeer::wait_closed(iec104::Server &server, int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!eof_ && std::chrono::steady_clock::now() < deadline) {
        buf_.clear();
        fill(server, 1, 20);
    }
    return eof_;
}

Bytes i_frame(uint16_t ns, uint16_t nr, const Bytes &asdu)
{
    Bytes f = {0x68, static_cast<uint8_t>(asdu.size() + 4), static_cast<uint8_t>(ns << 1),
               static_cast<uint8_t>(ns >> 7), static_cast<uint8_t>(nr << 1), static_cast<uint8_t>(nr >> 7)};
    f.insert(f.end(), asdu.begin(), asdu.end());
    return f;
}

Bytes s_frame(uint16_t nr)
{
    return {0x68, 0x04, 0x01, 0x00, static_cast<uint8_t>(nr << 1), static_cast<uint8_t>(nr >> 7)};
}

} // namespace iec104test

#include "fake_slave.h"

#include "common/routines.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <sstream>
#include <stdexcept>

namespace mbtest
{

Bytes hex(const std::string &text)
{
    std::istringstream in(text);
    Bytes out;
    unsigned v;
    while (in >> std::hex >> v)
        out.push_back(uint8_t(v));
    return out;
}

Bytes with_crc(Bytes frame)
{
    uint16_t crc = crc16_modbus(frame.data(), uint16_t(frame.size()));
    frame.push_back(uint8_t(crc & 0xFF));
    frame.push_back(uint8_t(crc >> 8));
    return frame;
}

Bytes tcp_header(const Bytes &request, size_t pdu_length)
{
    return {request[0], request[1], 0, 0, uint8_t((pdu_length + 1) >> 8), uint8_t(pdu_length + 1), request[6]};
}

FakeSlave *FakeSlave::tcp(Script script)
{
    auto *s = new FakeSlave();
    s->script_ = std::move(script);
    s->tcp_ = true;
    s->listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(s->listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(s->listen_fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(s->listen_fd_, 8) != 0)
        throw std::runtime_error("fake slave: cannot listen");
    getsockname(s->listen_fd_, reinterpret_cast<sockaddr *>(&a), &len);
    s->port_ = ntohs(a.sin_port);
    if (pipe(s->wake_) != 0)
        throw std::runtime_error("pipe");
    s->thread_ = std::thread([s] { s->run(); });
    return s;
}

FakeSlave *FakeSlave::rtu(const std::string &device, Script script)
{
    auto *s = new FakeSlave();
    s->script_ = std::move(script);
    s->device_fd_ = open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (s->device_fd_ < 0)
        throw std::runtime_error("fake slave: cannot open " + device);
    termios t{};
    tcgetattr(s->device_fd_, &t);
    cfmakeraw(&t);
    tcsetattr(s->device_fd_, TCSANOW, &t);
    if (pipe(s->wake_) != 0)
        throw std::runtime_error("pipe");
    s->thread_ = std::thread([s] { s->run(); });
    return s;
}

FakeSlave::~FakeSlave()
{
    stop_ = true;
    if (wake_[1] >= 0 && write(wake_[1], "x", 1) < 0) {
    }
    if (thread_.joinable())
        thread_.join();
    for (int fd : {listen_fd_, device_fd_, wake_[0], wake_[1]})
        if (fd >= 0)
            close(fd);
}

// Reads exactly n bytes, giving up when the peer goes away or the slave is stopped.
static bool read_exact(int fd, int wake, uint8_t *p, size_t n)
{
    size_t got = 0;
    while (got < n) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN))
            return false;
        ssize_t r = read(fd, p + got, n - got);
        if (r <= 0)
            return false;
        got += size_t(r);
    }
    return true;
}

bool FakeSlave::read_request(int fd, Bytes &out)
{
    if (tcp_) {
        out.assign(7, 0);
        if (!read_exact(fd, wake_[0], out.data(), 7))
            return false;
        size_t rest = size_t(out[4] << 8 | out[5]) - 1;
        out.resize(7 + rest);
        return read_exact(fd, wake_[0], out.data() + 7, rest);
    }
    out.assign(7, 0);
    if (!read_exact(fd, wake_[0], out.data(), 7))
        return false;
    // Read requests and single writes are 8 bytes; function 16 carries a byte count at offset 6.
    size_t total = out[1] == 16 ? 7 + out[6] + 2 : 8;
    out.resize(total);
    return read_exact(fd, wake_[0], out.data() + 7, total - 7);
}

void FakeSlave::run()
{
    int client = tcp_ ? -1 : device_fd_;
    while (!stop_) {
        if (tcp_ && client < 0) {
            pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
            if (poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN))
                break;
            client = accept(listen_fd_, nullptr, nullptr);
            if (client >= 0)
                ++connections_;
            continue;
        }
        Bytes request;
        if (!read_request(client, request)) {
            if (!tcp_)
                break;
            close(client);
            client = -1;
            continue;
        }
        Bytes reply = script_(request, requests_++);
        if (!reply.empty() && write(client, reply.data(), reply.size()) < 0) {
        }
    }
    if (tcp_ && client >= 0)
        close(client);
}

} // namespace mbtest

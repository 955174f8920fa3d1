#include "log.h"
#include "serial_settings.h"
#include "unique_fd.h"

#include <librouter.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include "fieldbridge/root.h"

namespace {

struct BaudEntry {
    int rate;
    speed_t code;
};

constexpr BaudEntry kBaudRates[] = {
    {50, B50},         {75, B75},          {110, B110},        {134, B134},        {150, B150},
    {200, B200},       {300, B300},        {600, B600},        {1200, B1200},      {1800, B1800},
    {2400, B2400},     {4800, B4800},      {9600, B9600},      {19200, B19200},    {38400, B38400},
    {57600, B57600},   {115200, B115200},  {230400, B230400},  {460800, B460800},  {500000, B500000},
    {576000, B576000}, {921600, B921600},  {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

bool baud_code(int rate, speed_t *code)
{
    for (const auto &entry : kBaudRates) {
        if (entry.rate == rate) {
            *code = entry.code;
            return true;
        }
    }
    return false;
}

tcflag_t data_bits_flag(int bits)
{
    switch (bits) {
    case 5:
        return CS5;
    case 6:
        return CS6;
    case 7:
        return CS7;
    default:
        return CS8;
    }
}

} // namespace

namespace router {

bool apply_serial_settings(termios &tio, int baud, int data_bits, int stop_bits, int parity, int flow_control)
{
    speed_t speed;
    if (!baud_code(baud, &speed) || data_bits < 5 || data_bits > 8 || (stop_bits != 1 && stop_bits != 2) ||
        parity < 0 || parity > 2)
        return false;
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD | data_bits_flag(data_bits);
    if (stop_bits == 2)
        tio.c_cflag |= CSTOPB;
    if (parity == 1)
        tio.c_cflag |= PARENB | PARODD;
    else if (parity == 2)
        tio.c_cflag |= PARENB;
    if (flow_control)
        tio.c_cflag |= CRTSCTS;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    return true;
}

} // namespace router

extern "C" {

char *lib_resolve_domain_name(const char *host)
{
    if (!host || !*host)
        return nullptr;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *result = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &result) != 0 || !result)
        return nullptr;
    char text[INET_ADDRSTRLEN] = {};
    const auto *address = reinterpret_cast<const sockaddr_in *>(result->ai_addr);
    const char *ok = ::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text);
    ::freeaddrinfo(result);
    return ok ? strdup(text) : nullptr;
}

int lib_is_valid_ipv4_address(const char *text)
{
    if (!text)
        return 0;
    in_addr address;
    return ::inet_pton(AF_INET, text, &address) == 1 ? 1 : 0;
}

int lib_sock_enable_keepalive(int fd)
{
    const int on = 1, idle = 30, interval = 10, count = 3;
    if (::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0 ||
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0 ||
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) != 0 ||
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) != 0)
        return -1;
    return 0;
}

int serial_open(const char *device, int baud, int data_bits, int stop_bits, int parity, int flow_control)
{
    termios probe{};
    if (!device || !*device || !router::apply_serial_settings(probe, baud, data_bits, stop_bits, parity, flow_control)) {
        router::log_message(LOG_ERR, "serial %s: unsupported settings baud %d data bits %d stop bits %d parity %d",
                            device ? device : "(null)", baud, data_bits, stop_bits, parity);
        return -2;
    }
    const std::string real = fb::root_path(device);
    // Opened non-blocking so that a line without carrier does not hang the open; blocking again
    // below, as callers wait for data with select and then read.
    router::UniqueFd fd(::open(real.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        router::log_message(LOG_ERR, "serial %s: open failed: %s", real.c_str(), std::strerror(errno));
        return -1;
    }
    termios tio{};
    if (::tcgetattr(fd.get(), &tio) != 0) {
        router::log_message(LOG_ERR, "serial %s: not a terminal: %s", real.c_str(), std::strerror(errno));
        return -3;
    }
    router::apply_serial_settings(tio, baud, data_bits, stop_bits, parity, flow_control);
    if (::tcsetattr(fd.get(), TCSANOW, &tio) != 0) {
        router::log_message(LOG_ERR, "serial %s: cannot configure the line: %s", real.c_str(), std::strerror(errno));
        return -3;
    }
    ::tcflush(fd.get(), TCIOFLUSH);
    int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
        return -3;
    return fd.release();
}

} // extern "C"

#include "common/routines.h"
#include "common/log.h"
#include "common/stop_flag.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <array>
#include <vector>

namespace {

// The classic pair of 256-entry tables (high and low byte of the running CRC), built once at
// compile time from the reflected polynomial 0xA001 rather than typed in by hand.
struct CrcTables {
    std::array<uint8_t, 256> hi{};
    std::array<uint8_t, 256> lo{};
};

constexpr CrcTables make_crc_tables()
{
    CrcTables t;
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t crc = uint16_t(i);
        for (int b = 0; b < 8; ++b)
            crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
        // Indexed by (low byte of running CRC XOR data byte); the entries are split so the update is
        // two lookups and two XORs per byte.
        t.hi[i] = uint8_t(crc >> 8);
        t.lo[i] = uint8_t(crc & 0xFF);
    }
    return t;
}

constexpr CrcTables kCrc = make_crc_tables();

} // namespace

extern "C" {
volatile sig_atomic_t fb_stop_flag = 0;
}

namespace {

long long now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

} // namespace

uint16_t crc16_modbus(const uint8_t *data, uint16_t length)
{
    uint8_t lo = 0xFF, hi = 0xFF;
    for (uint16_t i = 0; i < length; ++i) {
        uint8_t idx = lo ^ data[i];
        lo = hi ^ kCrc.lo[idx];
        hi = kCrc.hi[idx];
    }
    return uint16_t(hi << 8 | lo);
}

int read_with_timeout(int fd, uint8_t *buffer, int wanted, int timeout_ms)
{
    if (fd < 0 || !buffer)
        return -1;
    // poll rather than select: a descriptor number above FD_SETSIZE must not corrupt the stack of a
    // daemon that has run for years and opened many sockets.
    int got = 0;
    while (got < wanted) {
        // A signal that is not a stop request (a child exiting, a status rewrite request) must not
        // turn into a failed transaction: wait again for what is left of this chunk's timeout.
        long long deadline = now_ms() + timeout_ms;
        int r;
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            long long left = deadline - now_ms();
            r = poll(&p, 1, left < 0 ? 0 : int(left));
            if (r < 0 && errno == EINTR && !fb_stop_flag)
                continue;
            break;
        }
        if (r < 0)
            return -1;
        if (r == 0)
            return got;
        ssize_t n = read(fd, buffer + got, size_t(wanted - got));
        if (n < 0 && (errno == EINTR || errno == EAGAIN) && !fb_stop_flag)
            continue;
        if (n < 0)
            return -1;
        if (n == 0) {
            // End of file: nothing at all is an error; a partial frame is returned as it stands.
            return got == 0 ? -1 : got;
        }
        got += int(n);
    }
    return got;
}

int write_fully(int fd, const uint8_t *data, int length)
{
    if (fd <= 0)
        return 0;
    int done = 0;
    while (done < length) {
        ssize_t n = write(fd, data + done, size_t(length - done));
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return 0;
        }
        if (n == 0)
            return 0;
        done += int(n);
    }
    return length;
}

int connect_with_timeout(int sock, const struct sockaddr *addr, socklen_t addr_len, int timeout_s)
{
    int flags = fcntl(sock, F_GETFL, 0);
    if (flags < 0) {
        FB_LOG_ERR("fcntl F_GETFL: %s", strerror(errno));
        return 0;
    }
    if (fcntl(sock, F_SETFL, flags | O_NONBLOCK) < 0) {
        FB_LOG_ERR("fcntl F_SETFL: %s", strerror(errno));
        return 0;
    }
    if (connect(sock, addr, addr_len) < 0) {
        if (errno != EINPROGRESS) {
            int saved = errno;
            fcntl(sock, F_SETFL, flags);
            errno = saved;
            return 0;
        }
        int r;
        short revents = 0;
        long long deadline = now_ms() + (long long)timeout_s * 1000;
        for (;;) {
            pollfd p{sock, POLLIN | POLLOUT, 0};
            long long left = deadline - now_ms();
            r = poll(&p, 1, timeout_s > 0 ? int(left < 0 ? 0 : left) : -1);
            revents = p.revents;
            if (r < 0 && errno == EINTR && !fb_stop_flag)
                continue;
            break;
        }
        if (r == 0) {
            close(sock);
            errno = ETIMEDOUT;
            return 0;
        }
        if (r < 0) {
            int saved = errno;
            FB_LOG_ERR("select: %s", strerror(saved));
            close(sock);
            errno = saved;
            return 0;
        }
        if (!(revents & (POLLIN | POLLOUT | POLLERR | POLLHUP)))
            FB_LOG_ERR("select error: socket not set");
    }
    int so_error = 0;
    socklen_t len = sizeof so_error;
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &so_error, &len) < 0)
        so_error = errno;
    if (fcntl(sock, F_SETFL, flags) < 0)
        FB_LOG_ERR("fcntl: %s", strerror(errno));
    if (so_error != 0) {
        close(sock);
        errno = so_error;
        return 0;
    }
    return 1;
}

const char *local_time_string(time_t t)
{
    static char buf[32];
    struct tm tmv;
    localtime_r(&t, &tmv);
    if (strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tmv) == 0)
        buf[0] = '\0';
    return buf;
}

char *replace_all(const char *source, const char *token, const char *text, char *output, size_t output_size)
{
    if (!output || !source)
        return nullptr;
    if (!token || !text || !*token || output_size == 0)
        return output;
    size_t token_len = strlen(token), text_len = strlen(text);
    size_t out = 0;
    auto put = [&](const char *p, size_t n) {
        size_t room = output_size - 1 - out;
        if (n > room)
            n = room;
        memcpy(output + out, p, n);
        out += n;
    };
    const char *p = source;
    while (*p) {
        const char *hit = strstr(p, token);
        if (!hit) {
            put(p, strlen(p));
            break;
        }
        put(p, size_t(hit - p));
        put(text, text_len);
        p = hit + token_len;
    }
    output[out] = '\0';
    return output;
}

void hex_dump_log(const char *tag, const uint8_t *data, int length)
{
    if (length <= 0 || !data || !logenable)
        return;
    char line[513];
    int n = snprintf(line, sizeof line, "%s(%d):", tag ? tag : "", length);
    for (int i = 0; i < length && n < int(sizeof line) - 1; ++i)
        n += snprintf(line + n, sizeof line - size_t(n), " %02X", data[i]);
    syslog(LOG_DEBUG, "%s", line);
}

static uint32_t dotted_to_u32(const char *text)
{
    in_addr a{};
    if (inet_pton(AF_INET, text, &a) != 1)
        return 0;
    return ntohl(a.s_addr);
}

int lan_subnet_match(const char *ifname_prefix, const char *address)
{
    if (!ifname_prefix || !address)
        return 0;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) {
        FB_LOG_ERR("getifaddrs error");
        return 0;
    }
    int match = 0;
    uint32_t given = dotted_to_u32(address);
    size_t prefix_len = strlen(ifname_prefix);
    for (ifaddrs *i = list; i && !match; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !i->ifa_netmask || !i->ifa_name)
            continue;
        if (strncmp(i->ifa_name, ifname_prefix, prefix_len) != 0)
            continue;
        char addr_text[INET_ADDRSTRLEN], mask_text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(i->ifa_addr)->sin_addr, addr_text, sizeof addr_text);
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(i->ifa_netmask)->sin_addr, mask_text, sizeof mask_text);
        uint32_t mine = dotted_to_u32(addr_text), mask = dotted_to_u32(mask_text);
        if (((mine ^ given) & mask) == 0)
            match = 1;
    }
    freeifaddrs(list);
    return match;
}

int file_write_lock(int fd)
{
    struct flock fl{};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    int r;
    do
        r = fcntl(fd, F_SETLKW, &fl);
    while (r < 0 && errno == EINTR);
    return r;
}

int file_unlock(int fd)
{
    struct flock fl{};
    fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    return fcntl(fd, F_SETLK, &fl);
}

uint16_t bit_set(uint16_t value, unsigned bit)
{
    if (bit >= 32)
        return value;
    // Bits 16..31 fall outside a register: the value is unchanged, as the shift drops them.
    return uint16_t(uint32_t(value) | (uint32_t(1) << bit));
}

int bit_get(uint32_t value, unsigned bit)
{
    if (bit >= 32)
        bit = 31;
    return int((value >> bit) & 1u);
}

void bit_log(uint32_t value, unsigned count)
{
    if (count > 32)
        count = 32;
    for (unsigned i = count; i-- > 0;)
        FB_LOG_DEBUG("bit[%u] = %d", i, bit_get(value, i));
}

long uptime_seconds()
{
    struct sysinfo info{};
    if (sysinfo(&info) != 0)
        return 0;
    return long(info.uptime);
}

namespace {

void merge_sort(IdPosition *a, IdPosition *tmp, size_t lo, size_t hi)
{
    if (hi - lo < 2)
        return;
    size_t mid = (lo + hi) / 2;
    merge_sort(a, tmp, lo, mid);
    merge_sort(a, tmp, mid, hi);
    size_t i = lo, j = mid, k = lo;
    while (i < mid && j < hi) {
        // Take the right element only when it is strictly smaller: equal ids keep their order.
        if (a[j].id < a[i].id)
            tmp[k++] = a[j++];
        else
            tmp[k++] = a[i++];
    }
    while (i < mid)
        tmp[k++] = a[i++];
    while (j < hi)
        tmp[k++] = a[j++];
    for (k = lo; k < hi; ++k)
        a[k] = tmp[k];
}

} // namespace

void merge_sort_by_id(IdPosition *items, size_t count)
{
    if (!items || count < 2)
        return;
    std::vector<IdPosition> tmp(count);
    merge_sort(items, tmp.data(), 0, count);
}

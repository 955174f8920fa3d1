#include "transport/tcp_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <librouter.h>

#include "common/log.h"
#include "common/routines.h"

namespace transport {

namespace {

// How long unacknowledged data may sit in the send queue before the kernel gives the connection
// up: without it a dead peer behind a cellular NAT is noticed only after many minutes.
constexpr unsigned kUserTimeoutMs = 30000;
constexpr int kRecvBuffer = 1024;

// Whether a descriptor is still open. The connect routine closes the socket on some failures and
// not on others; nothing else opens descriptors on this thread meanwhile, so asking is reliable.
bool fcntl_alive(int fd) { return fcntl(fd, F_GETFD) != -1; }

} // namespace

TcpLink::TcpLink(const TransportConfig &cfg, const TransportNames &names, std::atomic<int> &state, Hooks hooks)
    : cfg_(cfg), names_(names), state_(state), hooks_(std::move(hooks))
{
    watch_.fd.cb = on_socket;
    watch_.fd.fd = -1;
    watch_.self = this;
}

TcpLink::~TcpLink()
{
    int fd = state_.load();
    if (watched_)
        uloop_fd_delete(&watch_.fd);
    watched_ = false;
    if (fd > 0) {
        close(fd);
        state_.store(-1);
    }
}

void TcpLink::set_status(const char *status) const { usi_list_set(names_.usi_list, cfg_.index, "status", status); }

void TcpLink::connect()
{
    if (state_.load() != -1)
        return;
    char key[128];
    snprintf(key, sizeof key, names_.uptimestamp_key, cfg_.index);
    usi_printf(key, "%d", static_cast<int>(uptime_seconds()));
    set_status("Connecting");

    // The helpers this process starts must not hold the connection open behind its back.
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        FB_LOG_ERR("socket error: %s", strerror(errno));
        return;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(cfg_.server_port));
    // A host name is resolved at every attempt: the server may have moved since the last one.
    std::string ip = cfg_.server_address;
    if (!lib_is_valid_ipv4_address(ip.c_str())) {
        char *resolved = lib_resolve_domain_name(cfg_.server_address.c_str());
        if (!resolved) {
            close(sock);
            return;
        }
        ip = resolved;
        free(resolved);
    }
    if (inet_pton(AF_INET, ip.c_str(), &addr.sin_addr) != 1) {
        close(sock);
        return;
    }
    if (!connect_with_timeout(sock, reinterpret_cast<const sockaddr *>(&addr), sizeof addr, cfg_.connect_timeout)) {
        int err = errno;
        FB_LOG_WARN("failed to connect %s:%d, %s", cfg_.server_address.c_str(), cfg_.server_port, strerror(err));
        // connect_with_timeout closes the socket itself on a timeout or a socket error; closing
        // again could hit a descriptor someone else has opened meanwhile.
        if (fcntl_alive(sock))
            close(sock);
        return;
    }
    FB_LOG_INFO("connect %s:%d success", cfg_.server_address.c_str(), cfg_.server_port);
    lib_sock_enable_keepalive(sock);
    unsigned timeout = kUserTimeoutMs;
    if (setsockopt(sock, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout, sizeof timeout) < 0) {
        // A connection nobody watches would never notice that the server went away, and readings
        // written into it would count as delivered: give it up and let the timer try again.
        FB_LOG_ERR("setsockopt TCP_USER_TIMEOUT");
        close(sock);
        return;
    }
    state_.store(sock);
    watch_.fd.fd = sock;
    if (uloop_fd_add(&watch_.fd, ULOOP_READ) < 0) {
        FB_LOG_ERR("tcp client disconnecting");
        close(sock);
        state_.store(-1);
        set_status("Disconnected");
        return;
    }
    watched_ = true;
    set_status("Connected");
}

bool TcpLink::send(const std::string &text)
{
    int fd = state_.load();
    if (fd <= 0)
        return false;
    int len = static_cast<int>(text.size());
    if (write_fully(fd, reinterpret_cast<const uint8_t *>(text.data()), len) != len) {
        FB_LOG_ERR("tcp data send failed(%d)", len);
        return false;
    }
    FB_LOG_VERBOSE("tcp data send successful(%d)", len);
    return true;
}

void TcpLink::drop()
{
    int fd = state_.load();
    if (fd <= 0)
        return;
    if (watched_)
        uloop_fd_delete(&watch_.fd);
    watched_ = false;
    close(fd);
    state_.store(-1);
    set_status("Disconnected");
    usi_list_set(names_.usi_list, cfg_.index, "uptime", "");
}

void TcpLink::on_socket(uloop_fd *fd, unsigned int events)
{
    reinterpret_cast<Watch *>(fd)->self->on_readable(events, fd->eof, fd->error);
}

void TcpLink::on_readable(unsigned int events, bool eof, bool error)
{
    bool closed = eof || error;
    if (!closed && (events & ULOOP_READ)) {
        char buf[kRecvBuffer + 1] = {};
        ssize_t n = recv(state_.load(), buf, kRecvBuffer, 0);
        if (n > 0) {
            FB_LOG_VERBOSE("recv: %s", buf);
            ++chunks_;
            if (hooks_.on_request)
                hooks_.on_request(std::string(buf, static_cast<size_t>(n)));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR && errno != EWOULDBLOCK)) {
            // An orderly close shows as a readable socket with nothing to read: left alone, the loop
            // would report it again and again and never reconnect.
            closed = true;
        }
    }
    if (!closed)
        return;
    FB_LOG_ERR("tcp client disconnecting");
    drop();
    FB_LOG_DEBUG("reconnect after %ds", hooks_.reconnect_delay ? hooks_.reconnect_delay() : 0);
}

} // namespace transport

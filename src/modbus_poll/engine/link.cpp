#include "modbus_engine/link.h"

#include "common/daemon.h"
#include "common/log.h"
#include "common/routines.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace modbus
{

const char *link_kind_text(uint8_t kind)
{
    switch (LinkKind(kind)) {
    case LinkKind::rs485:
        return "RS485";
    case LinkKind::rs232:
        return "RS232";
    case LinkKind::tcp_client:
        return "TCP Client";
    }
    return "Unknow";
}

bool pause_ms(long ms)
{
    timespec left{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0) {
        if (errno != EINTR || fb::stop_requested())
            return false;
    }
    return !fb::stop_requested();
}

bool write_func_code_supported(uint8_t func_code)
{
    if (func_code == 15) {
        FB_LOG_ERR("write multiple coils not support now");
        return false;
    }
    if (func_code != 5 && func_code != 6 && func_code != 16) {
        FB_LOG_ERR("unkonw modbus write func code (%d)", func_code);
        return false;
    }
    return true;
}

Link::~Link()
{
    close();
}

void Link::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void Link::report(const char *text)
{
    if (observer)
        observer->connection_status(text);
}

bool Link::open()
{
    close();
    return is_tcp() ? open_tcp() : open_serial();
}

bool Link::open_serial()
{
    // The support library resolves the router path of the device itself.
    int fd = serial_open(device.c_str(), int(baud_rate), data_bits, stop_bits, parity, 0);
    if (fd < 0) {
        fd_ = -1;
        report("Open serial port error");
        FB_LOG_ERR("Open devive serial port (%s) error! ", device.c_str());
    } else {
        fd_ = fd;
    }
    if (kind == uint8_t(LinkKind::rs485)) {
        // The board's RS485 transceiver must be switched to receive after every open, whatever the
        // outcome, or replies never reach us.
        const char *const argv[] = {"ch343_gpio_control", "set", "8", "low", nullptr};
        _eval(argv, nullptr, 0, nullptr);
    }
    return fd_ >= 0;
}

bool Link::open_tcp()
{
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        const char *why = strerror(errno);
        FB_LOG_ERR("socket error: %s", why);
        report(why);
        return false;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(server_port));
    bool connected = false;
    if (server_is_ip) {
        connected = inet_pton(AF_INET, server_addr.c_str(), &addr.sin_addr) == 1;
    } else if (char *resolved = lib_resolve_domain_name(server_addr.c_str())) {
        connected = inet_pton(AF_INET, resolved, &addr.sin_addr) == 1;
        free(resolved);
    } else {
        errno = EHOSTUNREACH;
    }
    if (connected)
        connected = connect_with_timeout(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr, connect_timeout) == 1;
    if (connected) {
        FB_LOG_INFO("connect %s:%d success", server_addr.c_str(), int(server_port));
        fd_ = sock;
        lib_sock_enable_keepalive(fd_);
        applied_timeout_ = ~0u;
        return true;
    }
    int saved = errno;
    FB_LOG_WARN("failed to connect %s:%d, %s", server_addr.c_str(), int(server_port), strerror(saved));
    report("Connection failed");
    // connect_with_timeout closes the socket itself after a timeout or a socket error, but not
    // after an immediate refusal: close it only if it is still ours.
    if (fcntl(sock, F_GETFD) != -1)
        ::close(sock);
    errno = saved;
    return false;
}

void Link::uplink_changed()
{
    if (!is_tcp())
        return;
    if (!server_in_lan) {
        close();
        open();
    } else if (!is_open()) {
        open();
    }
}

void Link::wait_for_write()
{
    while (write_in_progress) {
        if (++write_waits_ > 10) {
            // A write that never finished must not stop polling for good.
            write_in_progress = false;
            write_waits_ = 0;
            break;
        }
        if (!pause_ms(1000))
            break;
    }
}

bool Link::send_frame(const uint8_t *frame, size_t length, const char *tag)
{
    if (verbose_frames)
        hex_dump_log(tag, frame, int(length));
    if (fd_ >= 0) {
        if (!is_tcp()) {
            tcflush(fd_, TCIOFLUSH);
        } else if (stale_input_) {
            // After a timeout or a reply that did not fit its request, a late reply or the rest of a
            // broken one may still arrive and would be taken for the start of the next reply: drop
            // what is there, as tcflush does on a line.
            uint8_t junk[256];
            while (recv(fd_, junk, sizeof junk, MSG_DONTWAIT) > 0) {
            }
        }
    }
    stale_input_ = false;
    return write_fully(fd_, frame, int(length)) == int(length);
}

int Link::wait_readable()
{
    // A fresh timeout for every chunk. Signals other than a stop request do not end the wait.
    for (;;) {
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(fd_, &rd);
        timeval tv{time_t(resp_timeout / 1000), suseconds_t((resp_timeout % 1000) * 1000)};
        int r = select(fd_ + 1, &rd, nullptr, nullptr, &tv);
        if (r < 0 && errno == EINTR && !fb::stop_requested())
            continue;
        return r;
    }
}

int Link::receive(size_t normal_length, uint8_t func_code, const char *tag, bool byte_count_at_most)
{
    // Length-driven: the header tells a normal reply (its length known from the request) from an
    // exception reply (five bytes RTU, nine TCP). Every read is bounded by the reply buffer; bytes
    // beyond the frame that arrive with it are dropped.
    const Framing f = framing();
    const size_t prefix = traits(f).prefix_length;
    size_t total = std::min(normal_length, kReplyBufferSize);
    size_t got = 0;
    int result = fd_ < 0 ? -1 : 0;
    if (fd_ >= 0 && is_tcp() && applied_timeout_ != resp_timeout) {
        // A zero timeout means "whatever is there now", not "wait forever" as it would for the socket.
        timeval tv{time_t(resp_timeout / 1000), suseconds_t((resp_timeout % 1000) * 1000)};
        if (resp_timeout == 0)
            tv.tv_usec = 1;
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        applied_timeout_ = resp_timeout;
    }
    while (fd_ >= 0 && got < total) {
        ssize_t n;
        if (is_tcp()) {
            // The socket's receive timeout is resp_timeout: one call waits and reads.
            n = ::read(fd_, reply_ + got, kReplyBufferSize - got);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
        } else {
            int r = wait_readable();
            if (r == 0)
                break;
            n = r < 0 ? -1 : ::read(fd_, reply_ + got, kReplyBufferSize - got);
        }
        if (n < 0 && errno == EINTR && !fb::stop_requested())
            continue;
        if (n <= 0) {
            // An error, or the end of the stream before anything came, is a failed read; a frame
            // cut short by it is validated as it stands.
            if (got == 0)
                result = -1;
            break;
        }
        got += size_t(n);
        if (got >= prefix)
            total = reply_length_from_prefix(f, std::span<const uint8_t>(reply_, prefix), func_code, total,
                                             byte_count_at_most);
    }
    if (got > total) {
        got = total;
        stale_input_ = true; // more of whatever followed the frame may still be on its way
    }
    if (got > 0)
        result = int(got);
    if (got > 0 && verbose_frames)
        hex_dump_log(tag, reply_, int(got));
    return result;
}

ReadResult Link::read(const ReadRequest &rq, ReadErrorHook on_read_error, bool advance_transaction_id)
{
    ReadResult result;
    uint8_t frame[kMaxRequestSize];
    const size_t length =
        build_read_request(framing(), transaction_id, rq.slave_id, rq.func_code, rq.start, rq.quantity, frame);
    wait_for_write();
    const size_t expected = read_reply_length(framing(), rq.data_bytes);

    for (unsigned sends = 0; sends <= re_send; ++sends) {
        if (fb::stop_requested()) {
            result.aborted = true;
            return result;
        }
        if (!send_frame(frame, length, "write")) {
            result.state = ChannelState::write_error;
            return result;
        }
        for (unsigned reads = 0; reads <= re_receive; ++reads) {
            int got = receive(expected, rq.func_code, "read", rq.byte_count_at_most);
            result.last_read = got;
            if (got > 0) {
                ReadReply reply =
                    validate_read_reply(framing(), std::span<const uint8_t>(reply_, size_t(got)), transaction_id,
                                        rq.slave_id, rq.func_code, rq.data_bytes, rq.byte_count_at_most);
                result.state = reply.state;
                result.exception_code = reply.exception_code;
                if (reply.state != ChannelState::read_ok) {
                    stale_input_ = true;
                    FB_LOG_ERR("%s", failure_text(uint8_t(reply.state), reply.exception_code));
                    return result;
                }
                result.data = reply.data;
                if (is_tcp() && advance_transaction_id)
                    ++transaction_id;
                return result;
            }
            stale_input_ = true;
            if (fb::stop_requested()) {
                result.aborted = true;
                return result;
            }
        }
        result.state = ChannelState::read_error;
        FB_LOG_ERR("%s (%d)", "Read error", result.last_read);
        on_read_error();
        if (is_tcp()) {
            close();
            open();
        }
    }
    return result;
}

bool Link::write(uint8_t slave_id, uint8_t func_code, uint16_t address, std::span<const uint8_t> data)
{
    if (!write_func_code_supported(func_code))
        return false;
    if (is_tcp())
        ++transaction_id;
    uint8_t frame[kMaxRequestSize];
    WriteFrameError error;
    const size_t length =
        build_write_request(framing(), transaction_id, slave_id, func_code, address, data, frame, error);
    if (length == 0) {
        FB_LOG_ERR("write data length error (%d)", int(data.size()));
        return false;
    }
    if (!send_frame(frame, length, "w-wri")) {
        FB_LOG_ERR("write error, %s", strerror(errno));
        close();
        open();
        return false;
    }
    int got = receive(write_reply_length(framing()), func_code, "w-rev");
    if (got <= 0) {
        stale_input_ = true;
        FB_LOG_ERR("read error, %s", strerror(errno));
        return false;
    }
    uint8_t exception_code = 0;
    WriteConfirm c = confirm_write_reply(framing(), std::span<const uint8_t>(frame, length),
                                         std::span<const uint8_t>(reply_, size_t(got)), exception_code);
    if (c != WriteConfirm::ok)
        stale_input_ = true;
    if (c == WriteConfirm::exception) {
        FB_LOG_ERR("%s", exception_text(exception_code));
        return false;
    }
    if (c != WriteConfirm::ok) {
        FB_LOG_ERR("%s", to_string(c));
        return false;
    }
    return true;
}

} // namespace modbus

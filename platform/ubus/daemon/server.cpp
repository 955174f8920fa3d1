#include "server.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <libubus.h>

#include "buslog.h"

namespace fb::bus {

namespace {

// Received bytes land here first; only the tail of a frame that is not complete yet is copied
// into the client's own buffer, so idle clients hold no read buffer at all.
uint8_t g_scratch[64 * 1024];

// Bytes read from one client per wake-up, so that one busy sender cannot starve the others.
constexpr std::size_t kReadBudget = 256 * 1024;
constexpr int kMaxIov = 64;

bool make_dirs(const std::string &dir)
{
    if (dir.empty())
        return true;
    std::string partial;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        partial = dir.substr(0, pos);
        if (partial.empty())
            continue;
        if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

uint32_t seed_from_clock()
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return static_cast<uint32_t>(tv.tv_sec) ^ static_cast<uint32_t>(tv.tv_usec) << 12 ^
           static_cast<uint32_t>(getpid()) << 20;
}

} // namespace

Server::Server(ServerLimits limits) : limits_(limits), broker_(*this, seed_from_clock())
{
    listen_watch_.ufd.fd = -1;
    listen_watch_.server = this;
}

Server::~Server() { shutdown(); }

bool Server::listen(const std::string &path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string tmp = path + ".new";
    if (tmp.size() >= sizeof(addr.sun_path)) {
        log_msg(LOG_ERR, "socket path too long: %s", path.c_str());
        return false;
    }
    std::size_t slash = path.rfind('/');
    if (slash != std::string::npos && !make_dirs(path.substr(0, slash))) {
        log_msg(LOG_ERR, "cannot create the directory of %s: %s", path.c_str(), std::strerror(errno));
        return false;
    }

    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            log_msg(LOG_ERR, "%s exists and is not a socket", path.c_str());
            return false;
        }
        // A socket file left by a daemon that died answers nobody; a live daemon answers.
        int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (probe >= 0) {
            std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
            bool alive = connect(probe, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0;
            close(probe);
            if (alive) {
                log_msg(LOG_ERR, "another bus daemon is listening on %s", path.c_str());
                return false;
            }
        }
        unlink(path.c_str());
    }

    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        log_msg(LOG_ERR, "socket: %s", std::strerror(errno));
        return false;
    }
    // Bind under a temporary name and rename once listening: the moment the path exists, clients
    // can connect to it.
    unlink(tmp.c_str());
    std::memset(addr.sun_path, 0, sizeof(addr.sun_path));
    std::memcpy(addr.sun_path, tmp.c_str(), tmp.size() + 1);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 || ::listen(fd, 64) != 0 ||
        rename(tmp.c_str(), path.c_str()) != 0) {
        log_msg(LOG_ERR, "cannot listen on %s: %s", path.c_str(), std::strerror(errno));
        close(fd);
        unlink(tmp.c_str());
        return false;
    }
    chmod(path.c_str(), 0666);
    path_ = path;
    listen_watch_.ufd.fd = fd;
    listen_watch_.ufd.cb = on_listen_cb;
    return true;
}

void Server::attach() { uloop_fd_add(&listen_watch_.ufd, ULOOP_READ); }

void Server::shutdown()
{
    for (auto &[id, c] : conns_) {
        uloop_fd_delete(&c->watch.ufd);
        close(c->fd);
        delete c;
    }
    conns_.clear();
    dirty_.clear();
    doomed_.clear();
    if (listen_watch_.ufd.fd >= 0) {
        uloop_fd_delete(&listen_watch_.ufd);
        close(listen_watch_.ufd.fd);
        listen_watch_.ufd.fd = -1;
        unlink(path_.c_str());
    }
}

void Server::on_listen_cb(uloop_fd *u, unsigned int)
{
    Server *s = reinterpret_cast<Watch *>(u)->server;
    s->accept_clients();
    s->flush_dirty();
    s->reap();
}

void Server::on_conn_cb(uloop_fd *u, unsigned int events)
{
    Watch *w = reinterpret_cast<Watch *>(u);
    Server *s = w->server;
    Conn &c = *w->conn;
    if ((events & ULOOP_WRITE) && !c.closing)
        s->flush(c);
    if (!c.closing)
        s->read_client(c);
    s->flush_dirty();
    s->reap();
}

void Server::accept_clients()
{
    for (;;) {
        int fd = accept4(listen_watch_.ufd.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                log_msg(LOG_WARNING, "accept: %s", std::strerror(errno));
            return;
        }
        if (conns_.size() >= limits_.max_clients) {
            ++counters_.refused;
            log_msg(LOG_WARNING, "refusing a client: %zu clients connected", conns_.size());
            close(fd);
            continue;
        }
        ++counters_.accepted;
        Conn *c = new Conn;
        c->fd = fd;
        c->watch.ufd.fd = fd;
        c->watch.ufd.cb = on_conn_cb;
        c->watch.conn = c;
        c->watch.server = this;
        c->id = broker_.connect();
        conns_[c->id] = c;
        uloop_fd_add(&c->watch.ufd, ULOOP_READ);
        broker_.welcome(c->id);
    }
}

bool Server::check_header(Conn &c, const uint8_t *bytes, Header &h)
{
    FrameError e = parse_header(bytes, kHeaderSize, kMaxPayload, h);
    if (e == FrameError::None)
        return true;
    if (e == FrameError::TooLarge) {
        char text[160];
        std::snprintf(text, sizeof(text), "message too large: %u bytes, the limit is %u bytes", h.length,
                      kMaxPayload);
        log_msg(LOG_WARNING, "client %08x dropped: %s", c.id, text);
        ++counters_.dropped_oversized;
        send_error_and_drop(c, UBUS_STATUS_INVALID_ARGUMENT, text);
    } else {
        log_msg(LOG_WARNING, "client %08x dropped: malformed frame (%s)", c.id, to_string(e));
        ++counters_.dropped_malformed;
        drop(c, nullptr);
    }
    return false;
}

bool Server::dispatch(Conn &c, const uint8_t *frame, std::size_t len)
{
    FrameError e = broker_.handle(c.id, frame, len);
    if (e != FrameError::None) {
        log_msg(LOG_WARNING, "client %08x dropped: malformed %s frame (%s)", c.id,
                to_string(static_cast<Kind>(frame[0])), to_string(e));
        ++counters_.dropped_malformed;
        drop(c, nullptr);
        return false;
    }
    return !c.closing;
}

void Server::read_client(Conn &c)
{
    std::size_t budget = kReadBudget;
    while (!c.closing && budget > 0) {
        uint8_t *dst;
        std::size_t want;
        if (c.partial_have > 0) {
            // Continue the frame that arrived in pieces, reading no further than its end.
            dst = c.partial.data() + c.partial_have;
            want = (c.partial_have < kHeaderSize ? kHeaderSize : c.partial.size()) - c.partial_have;
        } else {
            dst = g_scratch;
            want = sizeof(g_scratch);
        }
        ssize_t n = recv(c.fd, dst, want, 0);
        if (n == 0) {
            drop(c, nullptr);
            return;
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                log_msg(LOG_WARNING, "client %08x dropped: read error: %s", c.id, std::strerror(errno));
                ++counters_.dropped_io;
                drop(c, nullptr);
            }
            return;
        }
        budget -= std::min(budget, static_cast<std::size_t>(n));

        if (c.partial_have > 0) {
            c.partial_have += static_cast<std::size_t>(n);
            if (c.partial_have == kHeaderSize && c.partial.size() == kHeaderSize) {
                Header h;
                if (!check_header(c, c.partial.data(), h))
                    return;
                c.partial.resize(kHeaderSize + h.length);
            }
            if (c.partial_have >= kHeaderSize && c.partial_have == c.partial.size()) {
                std::vector<uint8_t> frame;
                frame.swap(c.partial);
                c.partial_have = 0;
                if (!dispatch(c, frame.data(), frame.size()))
                    return;
            }
            continue;
        }

        std::size_t have = static_cast<std::size_t>(n);
        std::size_t off = 0;
        while (off < have) {
            std::size_t avail = have - off;
            if (avail < kHeaderSize) {
                c.partial.assign(kHeaderSize, 0);
                std::memcpy(c.partial.data(), g_scratch + off, avail);
                c.partial_have = avail;
                break;
            }
            Header h;
            if (!check_header(c, g_scratch + off, h))
                return;
            std::size_t total = kHeaderSize + h.length;
            if (avail < total) {
                c.partial.resize(total);
                std::memcpy(c.partial.data(), g_scratch + off, avail);
                c.partial_have = avail;
                break;
            }
            if (!dispatch(c, g_scratch + off, total))
                return;
            off += total;
        }
    }
}

void Server::send(uint32_t client, const Header &h, const SharedBytes &payload)
{
    auto it = conns_.find(client);
    if (it == conns_.end() || it->second->closing)
        return;
    Conn &c = *it->second;
    c.queue.push_back(OutMsg{});
    OutMsg &m = c.queue.back();
    encode_header(h, m.header);
    m.payload = payload;
    c.queued_bytes += kHeaderSize + payload.size();
    if (c.queued_bytes > limits_.max_queue_bytes) {
        log_msg(LOG_WARNING, "client %08x dropped: %zu bytes of output queued, the limit is %zu (client not reading)",
                c.id, c.queued_bytes, limits_.max_queue_bytes);
        ++counters_.dropped_slow;
        drop(c, nullptr);
        return;
    }
    if (!c.dirty) {
        c.dirty = true;
        dirty_.push_back(&c);
    }
}

void Server::flush(Conn &c)
{
    while (!c.queue.empty() && !c.closing) {
        iovec iov[kMaxIov];
        int n_iov = 0;
        std::size_t skip = c.head_sent;
        for (auto it = c.queue.begin(); it != c.queue.end() && n_iov < kMaxIov - 1; ++it) {
            const uint8_t *parts[2] = {it->header, it->payload.data()};
            std::size_t sizes[2] = {kHeaderSize, it->payload.size()};
            for (int p = 0; p < 2; ++p) {
                if (skip >= sizes[p]) {
                    skip -= sizes[p];
                    continue;
                }
                iov[n_iov].iov_base = const_cast<uint8_t *>(parts[p] + skip);
                iov[n_iov].iov_len = sizes[p] - skip;
                skip = 0;
                ++n_iov;
            }
        }
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<decltype(msg.msg_iovlen)>(n_iov);
        ssize_t n = sendmsg(c.fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            if (errno != EPIPE && errno != ECONNRESET) {
                log_msg(LOG_WARNING, "client %08x dropped: write error: %s", c.id, std::strerror(errno));
                ++counters_.dropped_io;
            }
            drop(c, nullptr);
            return;
        }
        auto sent = static_cast<std::size_t>(n);
        c.queued_bytes -= std::min(c.queued_bytes, sent);
        sent += c.head_sent;
        while (!c.queue.empty()) {
            std::size_t whole = kHeaderSize + c.queue.front().payload.size();
            if (sent < whole)
                break;
            sent -= whole;
            c.queue.pop_front();
        }
        c.head_sent = sent;
    }
    update_interest(c);
}

void Server::log_stats() const
{
    const BrokerCounters &b = broker_.counters();
    log_msg(LOG_INFO,
            "stats: %zu clients, %zu objects, %zu event patterns; %llu events in, %llu delivered, %llu calls, "
            "%llu notifications; clients accepted %llu, refused %llu, dropped: malformed %llu, oversized %llu, "
            "not reading %llu, i/o error %llu",
            conns_.size(), broker_.object_count(), broker_.pattern_count(),
            static_cast<unsigned long long>(b.events_in), static_cast<unsigned long long>(b.events_delivered),
            static_cast<unsigned long long>(b.invokes), static_cast<unsigned long long>(b.notifications_delivered),
            static_cast<unsigned long long>(counters_.accepted), static_cast<unsigned long long>(counters_.refused),
            static_cast<unsigned long long>(counters_.dropped_malformed),
            static_cast<unsigned long long>(counters_.dropped_oversized),
            static_cast<unsigned long long>(counters_.dropped_slow),
            static_cast<unsigned long long>(counters_.dropped_io));
}

void Server::update_interest(Conn &c)
{
    if (c.closing)
        return;
    bool need = !c.queue.empty();
    if (need == c.want_write)
        return;
    c.want_write = need;
    uloop_fd_add(&c.watch.ufd, ULOOP_READ | (need ? ULOOP_WRITE : 0));
}

void Server::drop(Conn &c, const char *why)
{
    if (c.closing)
        return;
    if (why)
        log_msg(LOG_WARNING, "client %08x dropped: %s", c.id, why);
    c.closing = true;
    doomed_.push_back(&c);
}

void Server::send_error_and_drop(Conn &c, int status, const char *text)
{
    // Only when nothing else is half-written: the error must start at a frame boundary.
    if (c.head_sent == 0) {
        FrameWriter w(Kind::Error, 0, 0);
        w.u32(Tag::Status, static_cast<uint32_t>(status)).text(Tag::Text, text);
        std::vector<uint8_t> &frame = w.finish();
        flush(c);
        if (c.queue.empty() && !c.closing) {
            ssize_t ignored = ::send(c.fd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            (void) ignored;
        }
    }
    drop(c, nullptr);
}

void Server::flush_dirty()
{
    while (!dirty_.empty()) {
        std::vector<Conn *> batch;
        batch.swap(dirty_);
        for (Conn *c : batch) {
            c->dirty = false;
            if (!c->closing)
                flush(*c);
        }
    }
}

void Server::reap()
{
    while (!doomed_.empty()) {
        std::vector<Conn *> batch;
        batch.swap(doomed_);
        for (Conn *c : batch) {
            conns_.erase(c->id);
            uloop_fd_delete(&c->watch.ufd);
            close(c->fd);
            broker_.disconnect(c->id);
            // A connection closed here may still sit in the dirty list; it is skipped there as
            // closing, and the list is drained before anything is freed.
        }
        flush_dirty();
        for (Conn *c : batch)
            delete c;
    }
}

} // namespace fb::bus

#include "iec104/server.h"

#include <algorithm>
#include <array>

#include "net/socket.h"

namespace iec104 {

namespace {

// Octets read from one connection per tick, so that a peer that floods cannot hold the loop.
constexpr size_t kReadBudget = 64 * 1024;
// Connections accepted per tick.
constexpr int kAcceptBudget = 16;

} // namespace

struct Server::Sockets {
    struct Link {
        uint32_t id;
        net::UniqueFd fd;
        bool peer_closed = false;
    };
    net::UniqueFd listener;
    std::vector<Link> links;
};

Server::Server(ServerSettings settings)
    : Station(settings), local_address_(std::move(settings.local_address)), local_port_(settings.local_port),
      sockets_(std::make_unique<Sockets>())
{
}

Server::~Server()
{
    // Handlers may refer to objects already gone; closing on destruction is silent.
    set_connection_event_handler(nullptr);
    set_raw_message_handler(nullptr);
    set_log_handler(nullptr);
    stop();
}

bool Server::running() const { return sockets_->listener.valid(); }

bool Server::start()
{
    if (running())
        return true;
    std::string error;
    net::UniqueFd fd = net::listen_tcp(local_address_, local_port_, error);
    if (!fd.valid()) {
        logf(LogLevel::Error, "cannot listen on %s:%u: %s", local_address_.c_str(), local_port_, error.c_str());
        return false;
    }
    bound_port_ = net::local_port(fd.get());
    sockets_->listener = std::move(fd);
    logf(LogLevel::Info, "listening on %s:%u", local_address_.c_str(), bound_port_);
    return true;
}

void Server::stop()
{
    if (ticking_) {
        stop_requested_ = true;
        return;
    }
    stop_requested_ = false;
    for (auto &link : sockets_->links) {
        link.fd.reset();
        close_connection(link.id);
    }
    sockets_->links.clear();
    sockets_->listener.reset();
}

void Server::tick() { tick(Clock::now()); }

void Server::tick(TimePoint now)
{
    if (!running())
        return;
    ticking_ = true;
    accept_pending(now);
    read_all(now);
    Station::tick(now);
    write_all_and_reap();
    ticking_ = false;
    if (stop_requested_)
        stop();
}

void Server::accept_pending(TimePoint now)
{
    for (int i = 0; i < kAcceptBudget; ++i) {
        net::UniqueFd fd;
        std::string address;
        uint16_t port = 0;
        if (net::accept_tcp(sockets_->listener.get(), fd, address, port) != net::AcceptResult::Accepted)
            return;
        if (open_connections() >= settings().max_open_connections) {
            // A connection whose peer has gone but whose end we have not read yet must not keep
            // the new one out.
            read_all(now);
            write_all_and_reap();
        }
        // A refused connection is closed right away (fd goes out of scope).
        if (const auto id = open_connection(address, port, now))
            sockets_->links.push_back({*id, std::move(fd)});
    }
}

void Server::read_all(TimePoint now)
{
    std::array<uint8_t, 4096> buf;
    for (auto &link : sockets_->links) {
        size_t budget = kReadBudget;
        while (budget > 0 && !link.peer_closed && !connection_failed(link.id)) {
            size_t n = 0;
            const net::IoStatus st = net::read_some(link.fd.get(), buf, n);
            if (st == net::IoStatus::WouldBlock)
                break;
            if (st != net::IoStatus::Ok) {
                link.peer_closed = true;
                break;
            }
            receive(link.id, {buf.data(), n}, now);
            budget -= std::min(n, budget);
        }
    }
}

void Server::write_all_and_reap()
{
    auto &links = sockets_->links;
    for (auto &link : links) {
        while (!link.peer_closed) {
            const auto out = output(link.id);
            if (out.empty())
                break;
            size_t n = 0;
            const net::IoStatus st = net::write_some(link.fd.get(), out, n);
            if (st == net::IoStatus::Error) {
                link.peer_closed = true;
                break;
            }
            consume_output(link.id, n);
            if (st == net::IoStatus::WouldBlock || n < out.size())
                break;
        }
    }
    for (auto it = links.begin(); it != links.end();) {
        if (it->peer_closed || connection_failed(it->id)) {
            const uint32_t id = it->id;
            it->fd.reset();
            it = links.erase(it);
            close_connection(id);
        } else {
            ++it;
        }
    }
}

std::vector<pollfd> Server::descriptors() const
{
    std::vector<pollfd> fds;
    if (!running())
        return fds;
    fds.push_back({sockets_->listener.get(), POLLIN, 0});
    for (const auto &link : sockets_->links) {
        short events = POLLIN;
        if (!output(link.id).empty())
            events |= POLLOUT;
        fds.push_back({link.fd.get(), events, 0});
    }
    return fds;
}

void Server::wait(Millis timeout)
{
    std::vector<pollfd> fds = descriptors();
    Millis limit = send_pending() ? Millis(0) : timeout;
    if (const auto deadline = next_deadline()) {
        const auto until = std::chrono::duration_cast<Millis>(*deadline - Clock::now()) + Millis(1);
        limit = std::clamp(until, Millis(0), limit);
    }
    ::poll(fds.data(), fds.size(), static_cast<int>(limit.count()));
    tick();
}

} // namespace iec104

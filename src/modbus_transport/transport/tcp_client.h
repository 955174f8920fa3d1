// The raw TCP link of the transport: one client connection to the server, payloads written on it
// unchanged, and write requests read back from the same socket (one request per received chunk,
// since the server side has no framing).
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include <libubox/uloop.h>

#include "transport/config.h"

namespace transport {

class TcpLink {
public:
    struct Hooks {
        std::function<int()> reconnect_delay;               // for the "reconnect after %ds" line
        std::function<void(const std::string &)> on_request; // one received chunk
    };

    // `state` is the connection state shared with the loop: the socket while connected, else -1.
    TcpLink(const TransportConfig &cfg, const TransportNames &names, std::atomic<int> &state, Hooks hooks);
    ~TcpLink();
    TcpLink(const TcpLink &) = delete;
    TcpLink &operator=(const TcpLink &) = delete;

    // One connect attempt (mbt_tcp_connect); nothing when already connected.
    void connect();
    // Writes the whole text; false (after logging) when not connected or the write came up short.
    bool send(const std::string &text);
    // Drops a live connection: unwatched, closed, state -1, status "Disconnected", uptime "".
    void drop();

    // Received chunks handed on so far, for diagnostics.
    unsigned long chunks() const { return chunks_; }

private:
    struct Watch {
        uloop_fd fd; // first member: the loop hands back a pointer to it
        TcpLink *self;
    };
    static void on_socket(uloop_fd *fd, unsigned int events);
    void on_readable(unsigned int events, bool eof, bool error);
    void set_status(const char *status) const;

    const TransportConfig &cfg_;
    const TransportNames &names_;
    std::atomic<int> &state_;
    Hooks hooks_;
    Watch watch_{};
    bool watched_ = false;
    unsigned long chunks_ = 0;
};

} // namespace transport

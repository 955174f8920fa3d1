// The daemon's socket side: accepts clients on the Unix socket, cuts their byte streams into frames
// for the Broker, and keeps one bounded output queue per client so that a client that reads
// slowly never holds up the others. Runs on the event loop; never blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include <libubox/uloop.h>

#include "broker.h"

namespace fb::bus {

// Why clients were let go, for the statistics line.
struct ServerCounters {
    uint64_t accepted = 0;
    uint64_t refused = 0;          // over max_clients
    uint64_t dropped_malformed = 0;
    uint64_t dropped_oversized = 0;
    uint64_t dropped_slow = 0;     // output queue over its limit
    uint64_t dropped_io = 0;       // read or write errors
};

struct ServerLimits {
    // A client whose unsent output grows past this is dropped.
    std::size_t max_queue_bytes = 4u * 1024 * 1024;
    std::size_t max_clients = 256;
};

class Server : public Outbox {
public:
    explicit Server(ServerLimits limits = {});
    ~Server() override;
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Creates the socket's directory when missing, replaces a stale socket file (one nobody
    // answers on) and listens. Returns false, after logging why, when that is not possible.
    bool listen(const std::string &path);
    // Registers the listening socket with the loop (uloop_init must have run).
    void attach();
    // Closes every client and the listening socket and removes the socket file.
    void shutdown();

    void send(uint32_t client, const Header &h, const SharedBytes &payload) override;

    const Broker &broker() const { return broker_; }
    const ServerCounters &counters() const { return counters_; }
    // Logs one line with the client, object and traffic counts and the drop counters.
    void log_stats() const;

private:
    struct OutMsg {
        uint8_t header[kHeaderSize];
        SharedBytes payload;
    };
    struct Conn;
    // The loop hands back a uloop_fd; this wrapper leads from it to the connection.
    struct Watch {
        uloop_fd ufd{};
        Conn *conn = nullptr;
        Server *server = nullptr;
    };
    struct Conn {
        Watch watch;
        uint32_t id = 0;
        int fd = -1;
        // A frame that arrived in pieces: `partial` grows to the frame's full size.
        std::vector<uint8_t> partial;
        std::size_t partial_have = 0;
        std::deque<OutMsg> queue;
        std::size_t queued_bytes = 0;
        std::size_t head_sent = 0; // bytes of queue.front() already written
        bool closing = false;
        bool dirty = false;
        bool want_write = false;
    };

    static void on_listen_cb(uloop_fd *u, unsigned int events);
    static void on_conn_cb(uloop_fd *u, unsigned int events);

    void accept_clients();
    void read_client(Conn &c);
    // Hands one complete frame to the broker; false when the client was dropped for it.
    bool dispatch(Conn &c, const uint8_t *frame, std::size_t len);
    // Checks a frame header that just became complete; false when the client was dropped.
    bool check_header(Conn &c, const uint8_t *bytes, Header &h);
    void flush(Conn &c);
    void update_interest(Conn &c);
    void drop(Conn &c, const char *why);
    void send_error_and_drop(Conn &c, int status, const char *text);
    void flush_dirty();
    void reap();

    ServerLimits limits_;
    ServerCounters counters_;
    Broker broker_;
    std::string path_;
    Watch listen_watch_;
    std::unordered_map<uint32_t, Conn *> conns_;
    std::vector<Conn *> dirty_;
    std::vector<Conn *> doomed_;
};

} // namespace fb::bus

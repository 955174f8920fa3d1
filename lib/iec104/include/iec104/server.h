// Controlled station on TCP, threadless: non-blocking sockets, no thread of its own. The caller's
// event loop calls tick() (periodically, or when descriptors() report activity); every handler runs
// inside tick() on the caller's thread.
#pragma once

#include <poll.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "iec104/station.h"

namespace iec104 {

struct ServerSettings : StationSettings {
    std::string local_address = "0.0.0.0";
    uint16_t local_port = 2404; // 0: any free port (see port())
};

class Server : public Station {
public:
    explicit Server(ServerSettings settings = {});
    ~Server() override;

    void set_local_address(std::string address) { local_address_ = std::move(address); }
    void set_local_port(uint16_t port) { local_port_ = port; }

    // Binds and listens. False (and a log line) when the address cannot be used.
    bool start();
    // Closes every connection (Closed events) and the listening socket. Called from a handler, it
    // takes effect when the current tick ends.
    void stop();
    bool running() const;
    // The port actually bound.
    uint16_t port() const { return bound_port_; }

    // Accepts, reads, runs timers, writes; never blocks.
    void tick();
    void tick(TimePoint now);
    // Descriptors worth watching, with the events that would give tick() work.
    std::vector<pollfd> descriptors() const;
    // Blocks until a descriptor is ready, the next timer is due or `timeout` passed, then ticks.
    void wait(Millis timeout);

private:
    struct Sockets;
    void accept_pending(TimePoint now);
    void read_all(TimePoint now);
    void write_all_and_reap();

    std::string local_address_;
    uint16_t local_port_;
    uint16_t bound_port_ = 0;
    std::unique_ptr<Sockets> sockets_;
    bool ticking_ = false;
    bool stop_requested_ = false;
};

} // namespace iec104

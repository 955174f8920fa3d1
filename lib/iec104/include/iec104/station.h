// Controlled station without I/O: the connections, their link sessions, the checks a conforming
// station makes on every ASDU and the replies it gives on its own (test command, unknown type,
// cause, common address or object address), the user's handlers, and the two send queues. Server
// (server.h) puts sockets under it; tests and fuzzers drive it directly with octets and time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "iec104/asdu.h"
#include "iec104/diagnostics.h"
#include "iec104/queue.h"
#include "iec104/session.h"
#include "iec104/types.h"

namespace iec104 {

// One connection at a time carries the data of the single redundancy group; the only mode here.
enum class ServerMode : uint8_t { SingleRedundancyGroup };

struct StationSettings {
    size_t low_priority_queue_size = 100;  // spontaneous, periodic: enqueue_asdu()
    size_t high_priority_queue_size = 100; // per connection: confirmations, interrogation replies
    ApciParameters apci;
    AppLayerParameters app;
    ServerMode mode = ServerMode::SingleRedundancyGroup;
    size_t max_open_connections = 1;
    // The common address this station answers to (broadcast also accepted for interrogation and
    // clock synchronisation); any address when unset.
    std::optional<uint16_t> common_address;
};

enum class ConnectionEvent : uint8_t { Opened, Closed, Activated, Deactivated };
const char *to_string(ConnectionEvent e);

// What the command handler wants done with the command it saw.
enum class AsduReply : uint8_t {
    Handled,     // the handler sent (or will send) its own replies
    Confirm,     // positive activation (or deactivation) confirmation, mirroring the command
    Refuse,      // negative confirmation
    UnknownType, // cause 44
    UnknownCause,
    UnknownIoa,
};

class Station;

// A connection as handlers see it. Valid while the connection is open.
class ServerConnection : private SessionUser {
public:
    uint32_t id() const { return id_; }
    const std::string &peer_address() const { return peer_address_; }
    uint16_t peer_port() const { return peer_port_; }
    bool active() const { return session_.started(); }
    const AppLayerParameters &app_parameters() const;

    // Queued with high priority on this connection; false when it cannot be encoded or the queue is
    // full (counted and logged).
    bool send_asdu(const Asdu &asdu);
    // The request again with another cause (and P/N): confirmations and terminations.
    bool send_reply(const Asdu &request, Cause cause, bool negative = false);
    bool send_act_con(const Asdu &request, bool negative = false)
    {
        return send_reply(request, Cause::ActivationCon, negative);
    }
    bool send_act_term(const Asdu &request) { return send_reply(request, Cause::ActivationTermination); }

    const Session &session() const { return session_; }

private:
    friend class Station;
    ServerConnection(Station &station, uint32_t id, std::string address, uint16_t port, TimePoint now);

    void on_asdu(std::span<const uint8_t> asdu) override;
    void on_started() override;
    void on_stopped() override;
    void on_frame(std::span<const uint8_t> frame, bool sent) override;
    void on_rejection(Rejection reason, const char *detail) override;
    bool push_high(std::span<const uint8_t> asdu);

    Station &station_;
    uint32_t id_;
    std::string peer_address_;
    uint16_t peer_port_;
    Session session_;
    AsduQueue high_;
};

class Station {
public:
    using ConnectionRequestHandler = std::function<bool(const std::string &address, uint16_t port)>;
    using ConnectionEventHandler = std::function<void(ServerConnection &, ConnectionEvent)>;
    // Return true to confirm positively; the confirmation mirrors the command.
    using ClockSyncHandler = std::function<bool(ServerConnection &, const Asdu &, const Cp56Time2a &)>;
    // Return true when the handler answered (act con, data, act term); false for a negative
    // confirmation. Only QOI 20..36 reach it.
    using InterrogationHandler = std::function<bool(ServerConnection &, const Asdu &, uint8_t qoi)>;
    // Commands (45..63) with cause activation or deactivation.
    using AsduHandler = std::function<AsduReply(ServerConnection &, const Asdu &)>;
    using RawMessageHandler = std::function<void(ServerConnection &, std::span<const uint8_t>, bool sent)>;

    explicit Station(StationSettings settings = {});
    virtual ~Station();
    Station(const Station &) = delete;
    Station &operator=(const Station &) = delete;

    // Settings take effect for connections opened afterwards. False for invalid values.
    bool set_apci_parameters(const ApciParameters &p);
    bool set_app_layer_parameters(const AppLayerParameters &p);
    void set_server_mode(ServerMode mode) { settings_.mode = mode; }
    void set_max_open_connections(size_t n) { settings_.max_open_connections = n ? n : 1; }
    void set_common_address(std::optional<uint16_t> ca) { settings_.common_address = ca; }
    const StationSettings &settings() const { return settings_; }

    void set_connection_request_handler(ConnectionRequestHandler h) { on_request_ = std::move(h); }
    void set_connection_event_handler(ConnectionEventHandler h) { on_event_ = std::move(h); }
    void set_clock_sync_handler(ClockSyncHandler h) { on_clock_ = std::move(h); }
    void set_interrogation_handler(InterrogationHandler h) { on_interrogation_ = std::move(h); }
    void set_asdu_handler(AsduHandler h) { on_asdu_ = std::move(h); }
    void set_raw_message_handler(RawMessageHandler h) { on_raw_ = std::move(h); }
    void set_log_handler(LogHandler h) { log_ = std::move(h); }

    // Queues an ASDU with low priority for the active connection (kept while none is active). When
    // the queue is full the oldest entry makes room (counted and logged). False when the ASDU cannot
    // be encoded.
    bool enqueue_asdu(const Asdu &asdu);
    bool queue_empty() const { return low_.empty(); }
    size_t queue_size() const { return low_.size(); }

    const Counters &counters() const { return counters_; }
    size_t open_connections() const { return connections_.size(); }
    // Whether some connection has data transfer started.
    bool active() const;

    // ---- Transport side: the owner of the sockets (or a test) drives these. ----
    // Nothing when the connection is refused (limit or request handler).
    std::optional<uint32_t> open_connection(const std::string &address, uint16_t port, TimePoint now);
    void receive(uint32_t id, std::span<const uint8_t> octets, TimePoint now);
    // Timers and queued sending on every connection.
    void tick(TimePoint now);
    std::optional<TimePoint> next_deadline() const;
    // Some connection has queued ASDUs that its window would let out now (queued outside tick()).
    bool send_pending() const;
    std::span<const uint8_t> output(uint32_t id) const;
    void consume_output(uint32_t id, size_t n);
    // The link gave up on this connection (protocol error, t1): the owner closes the transport.
    bool connection_failed(uint32_t id) const;
    // Transport closed: Closed event, connection forgotten.
    void close_connection(uint32_t id);
    ServerConnection *connection(uint32_t id);
    std::vector<uint32_t> connection_ids() const;

protected:
    void logf(LogLevel level, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
    void reject(ServerConnection *conn, Rejection reason, const char *detail);

private:
    friend class ServerConnection;
    void dispatch(ServerConnection &conn, std::span<const uint8_t> asdu);
    void reply_mirror(ServerConnection &conn, std::span<const uint8_t> asdu, Cause cause, bool negative);
    void refuse(ServerConnection &conn, std::span<const uint8_t> asdu, Rejection reason, Cause cause,
                const char *detail);
    void handle_interrogation(ServerConnection &conn, std::span<const uint8_t> raw, const Asdu &req);
    void handle_clock_sync(ServerConnection &conn, std::span<const uint8_t> raw, const Asdu &req);
    void handle_test(ServerConnection &conn, std::span<const uint8_t> raw, const Asdu &req);
    void handle_command(ServerConnection &conn, std::span<const uint8_t> raw, const Asdu &req);
    void pump(ServerConnection &conn, TimePoint now);
    void emit_event(ServerConnection &conn, ConnectionEvent e);

    StationSettings settings_;
    Counters counters_;
    AsduQueue low_;
    bool low_overflow_logged_ = false;
    std::vector<std::unique_ptr<ServerConnection>> connections_;
    std::optional<uint32_t> active_id_;
    uint32_t next_id_ = 1;

    ConnectionRequestHandler on_request_;
    ConnectionEventHandler on_event_;
    ClockSyncHandler on_clock_;
    InterrogationHandler on_interrogation_;
    AsduHandler on_asdu_;
    RawMessageHandler on_raw_;
    LogHandler log_;
};

} // namespace iec104

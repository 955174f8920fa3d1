// Controlling station on TCP: connects, starts data transfer, sends interrogations, commands and
// clock synchronisation, and hands every ASDU received to its handler, decoded. Threadless like the
// server: the caller drives it with tick() or wait().
#pragma once

#include <poll.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "iec104/asdu.h"
#include "iec104/diagnostics.h"
#include "iec104/queue.h"
#include "iec104/session.h"
#include "iec104/types.h"

namespace iec104 {

struct ClientSettings {
    ApciParameters apci;
    AppLayerParameters app;
    uint8_t originator = 0;          // originator address in requests (with a 2-octet cause)
    Millis connect_timeout = std::chrono::seconds(30); // t0
    size_t queue_size = 100;         // requests waiting for STARTDT con or the k window
    // Devices in the field append stray octets after the last element now and then; decode what
    // the header announces and count the rest instead of dropping the ASDU.
    bool tolerate_trailing_octets = true;
};

enum class ClientEvent : uint8_t { Closed, Started, Stopped };

class Client : private SessionUser {
public:
    using AsduHandler = std::function<void(const Asdu &)>;
    using EventHandler = std::function<void(ClientEvent)>;
    using RawMessageHandler = std::function<void(std::span<const uint8_t>, bool sent)>;

    explicit Client(ClientSettings settings = {});
    ~Client() override;
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    void set_asdu_handler(AsduHandler h) { on_asdu_ = std::move(h); }
    void set_event_handler(EventHandler h) { on_event_ = std::move(h); }
    void set_raw_message_handler(RawMessageHandler h) { on_raw_ = std::move(h); }
    void set_log_handler(LogHandler h) { log_ = std::move(h); }

    // Connects within the connect timeout. False (and a log line) on failure.
    bool connect(const std::string &host, uint16_t port);
    void close();
    bool connected() const;
    bool started() const { return session_ && session_->started(); }

    void start_dt();
    void stop_dt();

    // Requests are queued until data transfer is started and the k window allows them. False when
    // not connected, the queue is full, or the ASDU cannot be encoded.
    bool send_asdu(const Asdu &asdu);
    bool send_interrogation(uint16_t common_address, uint8_t qoi = 20);
    bool send_clock_sync(uint16_t common_address, const Cp56Time2a &time);
    bool send_test_command(uint16_t common_address, uint16_t counter, const Cp56Time2a &time);
    // A command element (SingleCommand, SetpointFloat, ...) with cause activation; the type follows
    // from the element and whether a time tag is given.
    bool send_command(uint16_t common_address, uint32_t ioa, const Element &command,
                      std::optional<Cp56Time2a> time = std::nullopt, Cause cause = Cause::Activation);

    void tick();
    void tick(TimePoint now);
    std::vector<pollfd> descriptors() const;
    void wait(Millis timeout);

    const Counters &counters() const { return counters_; }
    const ClientSettings &settings() const { return settings_; }

private:
    void on_asdu(std::span<const uint8_t> asdu) override;
    void on_started() override;
    void on_stopped() override;
    void on_frame(std::span<const uint8_t> frame, bool sent) override;
    void on_rejection(Rejection reason, const char *detail) override;
    void logf(LogLevel level, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
    void pump(TimePoint now);
    void flush();

    struct Socket;
    ClientSettings settings_;
    Counters counters_;
    std::unique_ptr<Socket> socket_;
    // A handler that closes the connection does so while the session is still on the stack; the
    // close then happens when the session has returned.
    bool dispatching_ = false;
    bool close_requested_ = false;
    std::unique_ptr<Session> session_;
    AsduQueue queue_;
    AsduHandler on_asdu_;
    EventHandler on_event_;
    RawMessageHandler on_raw_;
    LogHandler log_;
};

} // namespace iec104

// The transport's loop: readings from the bus are matched to channel rules, sent at once or
// collected into scan batches, cached when they cannot be delivered, and resent by a one-second
// tick that also drives reconnection.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include <libubox/uloop.h>

#include "transport/cache.h"
#include "transport/config.h"
#include "transport/flavour.h"
#include "transport/mailbox.h"
#include "transport/mqtt.h"
#include "transport/tcp_client.h"

struct blob_attr;

namespace transport {

class Engine {
public:
    // The configuration must be loaded; uloop_init must have been called.
    Engine(const Flavour &flavour, TransportConfig &cfg);
    ~Engine();
    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;

    // Cache start-up; false when the table could not be created.
    bool start_cache();
    // First connection to the server. False when the MQTT client cannot be created (fatal).
    bool open_server();
    // Arms the one-second tick.
    void start_timer();

    // Bus input (mbt_ubus_probe_event).
    void on_event(const char *type, blob_attr *msg);

    // mbt_find_channel_rule
    ChannelRule *find_rule(const Reading &r);
    // mbt_handle_reading: 1 handled, 0 not delivered.
    int handle_reading(bool resend, const Reading &r);
    // mbt_data_combin_handle
    void data_combin_handle(int connection);
    void scan_end(int connection, int scan_end);
    // mbt_timer_tick
    void timer_tick();
    // mbt_http_history_tick
    void http_history_tick();
    // mbt_ftp_upload: the staging queue (history false) or a page of the history cache.
    void ftp_upload(bool history);
    // mbt_send_combin_history_data
    int send_combin_history_data();
    // mbt_send_history_data_cache
    int send_history_data_cache(const Db *db);
    // mbt_data_single_padding: the payload with its line feed; `ok` false when it cannot be built.
    std::string single_padding(const Reading &r, bool &ok) const;

    // Signals, run on the loop.
    void on_usr1();
    void on_term();

    // Sends one payload for a rule with the protocol's sender; true when delivered.
    bool send_payload(ChannelRule &rule, const std::string &text);

    int connection_state() const { return state_.load(); }
    bool history_pending() const { return history_pending_; }
    bool poll_idle() const { return poll_idle_; }
    int reconnect_delay() const { return reconnect_delay_; }
    const Cache &cache() const { return cache_; }
    const TransportConfig &config() const { return cfg_; }
    bool usr1_reconnect_waiting() const { return usr1_wait_; }

private:
    struct Timer {
        uloop_timeout t; // first member: the loop hands back a pointer to it
        Engine *self;
    };
    static void on_tick(uloop_timeout *t);
    static void on_usr1_wait_done(uloop_timeout *t);
    void set_status(const char *status) const;
    void reconnect();
    bool delete_row(const Db &db, int64_t id, bool full_message);
    void free_history_batches();

    const Flavour &flavour_;
    const TransportNames &names_;
    TransportConfig &cfg_;
    Cache cache_;
    Mailbox mailbox_;
    std::atomic<int> state_{-1};
    std::unique_ptr<MqttLink> mqtt_;
    std::unique_ptr<TcpLink> tcp_;
    bool history_pending_ = false;
    bool poll_idle_ = false;
    int reconnect_delay_ = 0;
    int reconnect_counter_ = 0;
    int send_counter_ = 0;
    int upload_counter_ = 0;
    Timer send_timer_{};
    Timer usr1_timer_{};
    bool usr1_wait_ = false;
};

// The applet body shared by every transport (modbus_transport_main and its kin).
int run_transport(const Flavour &flavour, int argc, char **argv);

} // namespace transport

// The running heart of modbus_poll: scans over the channel list, the one-second reconnect and
// monitoring tick, value publication, status rows and the status file, and register writes. The
// bus and the event loop stay outside: events go to a Publisher, and the owner of the timers is
// told when the scan timer must start again.
#pragma once

#include "modbus_poll/conf.h"

#include <functional>
#include <span>
#include <string>
#include <vector>

namespace mbp
{

// Where the applet's events go (the bus in the running program).
class Publisher
{
  public:
    virtual ~Publisher() = default;
    virtual void read_data(const Channel &ch, int register_addr, uint32_t timestamp, const char *data) = 0;
    virtual void scan_end(int connection_id, int scan_end) = 0;
    // A status about a channel (one value position: `ch` and `register_addr`), or about the
    // connection (`ch` null).
    virtual void poll_status(int connection_id, uint8_t kind, uint32_t timestamp, const char *text, const Channel *ch,
                             int register_addr) = 0;
};

inline constexpr const char *kStatusList = "modbus_poll.channel";
inline constexpr const char *kStatusFile = "/tmp/.usi/applications/modbus_poll";
inline constexpr const char *kWriteResultKey = "modbus_write.result";
inline constexpr const char *kWriteResultFile = "/tmp/.usi/applications/modbus_write";

class Poller : public modbus::LinkObserver
{
  public:
    enum ScanResult { scan_ok = 0, scan_link_failed = 1, scan_tcp_lost = 2 };

    Poller(Config &conf, Publisher &publisher);

    // Called when a scan started from the tick replaces the periodic one: the owner cancels the
    // scan timer and arms it again with scan_rate.
    std::function<void()> restart_scan_timer;

    // Start-up, first step with "enable_status": the start values of this process's status rows.
    void write_status_rows();
    // Start-up, last step: the link; a scan at once when it opened.
    void start();
    // Scan timer: a scan when the link is open. The owner re-arms the timer afterwards.
    void on_scan_timer();
    // One-second tick: reconnect schedule, monitoring checks.
    void on_tick();
    // SIGUSR1: rewrite the status file (with "enable_status", never twice at once).
    void on_status_request();
    // SIGUSR2: the uplink changed.
    void on_uplink_changed();
    // SIGTERM: "Program exits" and scan end 0 for every served connection.
    void on_terminate();

    // Register writes from the bus, already parsed.
    void write_data(long connection_id, long slave_id, long func_code, long reg_addr, const char *endian,
                    const char *value);
    // mb_write_channel: pairs of channel text ("id" or "id.address") and value text.
    void write_channels(long connection_id, const std::vector<std::string> &chanids,
                        const std::vector<std::string> &values);

    // The scan wrapper: flag, scan, and closing the link after a failed scan.
    void run_scan();
    // One pass over all channels; see ScanResult.
    ScanResult scan();
    // Reads a monitored channel and compares; 1 when a full scan is wanted.
    int monitor(Channel &ch);

    int reconnect_interval() const { return reconnect_interval_; }
    bool link_open() const { return conf_.link.is_open(); }

    // LinkObserver
    void connection_status(const char *text) override;

  private:
    void publish_values(Channel &ch, std::span<const uint8_t> data);
    void publish_channel_status(const Channel &ch, const char *text);
    void send_scan_end(int connection_id, int value);
    void mbp_dynamic_status_updated();
    bool perform_write(uint8_t slave_id, uint8_t func_code, uint16_t reg_addr, const char *endian, const char *value);
    void log_reconnect();

    Config &conf_;
    Publisher &pub_;
    bool scan_in_progress_ = false;
    bool status_update_in_progress_ = false;
    bool published_ = false;
    int reconnect_interval_ = 0;
    int reconnect_counter_ = 0;
};

} // namespace mbp

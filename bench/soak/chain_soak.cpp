// The Modbus chain left running: modbus_poll scanning 100 channels of our libmodbus TCP slave
// (registers that change), two modbus_transport connections to a real mosquitto (one JSON document
// per scan, one message per value), modbus_alarm with a rule that keeps switching on and off, the
// eventd stand-in it notifies, and the bus daemon in between. Every few seconds it samples each
// process's resident memory and open descriptors; at the end it prints the samples and the growth
// between the first sample after warm-up and the last one. A daemon that runs for years must show
// flat lines here.
//
//   chain_soak [SECONDS [SCAN_RATE_MS]]     (defaults: 120 s, scans 50 ms apart)
#include "fbbench/bench.h"
#include "fbtest/support.h"

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace
{

long open_fds(pid_t pid)
{
    std::error_code ec;
    long n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++n;
    return ec ? -1 : n;
}

std::string poll_config(int port, int scan_rate)
{
    std::string channels;
    for (int i = 1; i <= 100; ++i) {
        channels += (i > 1 ? "," : "");
        channels += R"({"id":")" + std::to_string(i) + R"(","enable":"true","desc":"c)" + std::to_string(i) +
                    R"(","slave_id":"1","func_code":"3","register_addr":")" + std::to_string((i - 1) % 8) +
                    R"(","data_type_1":"int16","multiple_register":"false","quantity":"1","endian_16":"ab",)"
                    R"("plus":"0","subtract":"0","divisor":"10","multiplier":"1","decimal_places":"1",)"
                    R"("exponent":"false","monitoring_interval":"0","send_only_changed":"false"})";
    }
    return R"({"connection":[{"id":"1","enable":"true","desc":"soak","type":"tcp","scan_rate":")" +
           std::to_string(scan_rate) +
           R"(","reconnect_interval":"1","resp_timeout":"1000","re_send":"0","re_receive":"0",)"
           R"("delay_between_polls":"0","server_addr":"127.0.0.1","server_port":")" +
           std::to_string(port) + R"(","connect_timeout":"2","channel":[)" + channels + "]}]}";
}

std::string transport_connection(int id, int broker_port, const char *data_type, const char *format)
{
    return R"({"id":")" + std::to_string(id) +
           R"(","enable":"true","desc":"soak","protocol":"mqtt","server_address":"127.0.0.1","server_port":")" +
           std::to_string(broker_port) + R"(","enable_ssl":"false","username":"","password":"","client_id":"soak-)" +
           std::to_string(id) +
           R"(","subscribe_topic":"","keepalive":"30","reconnect_interval":"2","connect_timeout":"5",)"
           R"("enable_lwt":"false","enable_logverbose":"false","data_location":"ram","send_interval":"1",)"
           R"("number_of_sent":"50","data_type":")" +
           data_type + R"(","data_send_order":"last_in_last_out","data_format":")" + format +
           R"(","line_break":"false","channel":[{"enable":"true","topic":"soak/)" + std::to_string(id) +
           R"(","connection_index":"1","filter_items":"channel_index","channel_index":""}]})";
}

// A temperature rule on channel 1 (register 0 swings around 21.5 degrees): on and off by turns.
const char *kAlarmConfig =
    R"({"channel":[{"id":"1","enable":"true","desc":"temperature","connection_index":"1",)"
    R"("filter_items":"channel_index","channel_index":"1","logical_type":"logical_or","alarm_mode":"normal",)"
    R"("contrast_rule":[{"id":"1","enable":"true","desc":"warm","type":"2","bitmask":"","initial_value":"0",)"
    R"("threshold":"21.5"}],"trigger_type":[{"id":"1","enable":"true","type":"event_notification",)"
    R"("on_content":"on $VALUE","off_content":"off $VALUE"}]}]})";

struct Watched {
    std::string name;
    const fbtest::Process *process;
    std::vector<long> rss, fds;
};

} // namespace

int main(int argc, char **argv)
{
    const int seconds = argc > 1 ? std::max(20, std::atoi(argv[1])) : 120;
    const int scan_rate = argc > 2 ? std::max(0, std::atoi(argv[2])) : 50;
    fbtest::TempRoot root;
    const int modbus_port = fbtest::free_tcp_port();
    const int broker_port = fbtest::free_tcp_port();

    root.write("/etc/config/applications/modbus_poll", poll_config(modbus_port, scan_rate));
    root.write("/etc/config/applications/modbus_transport",
               "{\"connection\":[" +
                   transport_connection(1, broker_port, "combin-1", R"({\"site\": \"$CONNECTION_DESC\"})") + "," +
                   transport_connection(2, broker_port, "single",
                                        R"({\"channel\": \"$CHANNEL_DESC\", \"value\": \"$VALUE\"})") +
                   "]}");
    root.write("/etc/config/applications/modbus_alarm", kAlarmConfig);
    std::string broker_conf = "listener " + std::to_string(broker_port) + " 127.0.0.1\nallow_anonymous true\n";
    if (geteuid() == 0)
        broker_conf += "user root\n"; // mosquitto would switch to a user that cannot enter the root
    root.write("/etc/soak_mosquitto.conf", broker_conf);
    if (fbtest::run({fbtest::bin("install_into_root"), root.dir()}) != 0 ||
        fbtest::run({fbtest::bin("usi"), "set", "system.serial_number", "SOAK-0001"}) != 0) {
        fprintf(stderr, "could not prepare the root\n");
        return 1;
    }

    // Logs go to each process's standard error, so that one that stops can say why.
    const std::map<std::string, std::string> quiet = {{"FIELDBRIDGE_LOG_STDERR", "1"}};
    fbtest::Process ubusd({fbtest::bin("ubusd")});
    fbtest::wait_for_path(root.path("/var/run/ubus/ubus.sock"));
    fbtest::Process eventd({fbtest::bin("eventd")}, quiet);
    fbtest::Process broker({"mosquitto", "-c", root.path("/etc/soak_mosquitto.conf")});
    fbtest::Process sim({fbtest::bin("modbus_sim"), "--tcp", std::to_string(modbus_port), "--quiet", "--demo"});
    if (!fbtest::wait_for_port(broker_port) || !fbtest::wait_for_port(modbus_port)) {
        fprintf(stderr, "broker or slave did not start\n");
        return 1;
    }
    fbtest::Process sub({"mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(broker_port), "-t", "soak/#"});
    fbtest::Process transport1({fbtest::bin("modbus_transport"), "1"}, quiet);
    fbtest::Process transport2({fbtest::bin("modbus_transport"), "2"}, quiet);
    fbtest::Process alarm({fbtest::bin("modbus_alarm")}, quiet);
    fbtest::Process poll({fbtest::bin("modbus_poll"), "tcp", "1"}, quiet);

    fbbench::EventCounter readings_seen("mb_read_data");
    if (!readings_seen.connected()) {
        fprintf(stderr, "no bus\n");
        return 1;
    }

    std::vector<Watched> watched = {{"modbus_poll", &poll, {}, {}},
                                    {"modbus_transport 1", &transport1, {}, {}},
                                    {"modbus_transport 2", &transport2, {}, {}},
                                    {"modbus_alarm", &alarm, {}, {}},
                                    {"ubusd", &ubusd, {}, {}},
                                    {"eventd", &eventd, {}, {}}};
    const int samples_count = 10;
    const int warm_up_ms = 10000;
    readings_seen.run_for(warm_up_ms);
    const long readings_at_start = readings_seen.count();
    for (int s = 0; s <= samples_count; ++s) {
        if (s > 0)
            readings_seen.run_for((seconds * 1000 - warm_up_ms) / samples_count);
        for (Watched &w : watched) {
            w.rss.push_back(fbbench::proc_number(w.process->pid(), "VmRSS"));
            w.fds.push_back(open_fds(w.process->pid()));
        }
    }
    const long readings = readings_seen.count() - readings_at_start;
    const std::string received = sub.out();
    const long messages = long(std::count(received.begin(), received.end(), '\n'));

    printf("Modbus chain, 100 channels, scans %d ms apart, %d s (%d s warm-up)\n", scan_rate, seconds,
           warm_up_ms / 1000);
    printf("  readings published after warm-up: %ld (%.0f per second)\n", readings,
           double(readings) / (seconds - warm_up_ms / 1000.0));
    printf("  MQTT messages received in all:     %ld\n", messages);
    printf("  %-20s %10s %10s %10s %10s   %s\n", "process", "first KiB", "max KiB", "last KiB", "growth",
           "descriptors");
    bool all_alive = true;
    for (const Watched &w : watched) {
        const bool alive = kill(w.process->pid(), 0) == 0 && w.rss.back() > 0;
        all_alive = all_alive && alive;
        printf("  %-20s %10ld %10ld %10ld %+10ld   %ld -> %ld%s\n", w.name.c_str(), w.rss.front(),
               *std::max_element(w.rss.begin(), w.rss.end()), w.rss.back(), w.rss.back() - w.rss.front(), w.fds.front(),
               w.fds.back(), alive ? "" : "  (not running)");
        // When it moved, whether it keeps climbing (a leak) or stepped once (a buffer, a cache).
        if (*std::max_element(w.rss.begin(), w.rss.end()) != *std::min_element(w.rss.begin(), w.rss.end())) {
            std::string samples;
            for (long v : w.rss)
                samples += " " + std::to_string(v);
            printf("    every %d s:%s\n", (seconds - warm_up_ms / 1000) / samples_count, samples.c_str());
        }
        if (!alive) {
            const std::string err = w.process->err();
            printf("    its last words: %s\n", err.substr(err.size() > 600 ? err.size() - 600 : 0).c_str());
        }
    }

    return all_alive && readings > 0 && messages > 0 ? 0 : 1;
}

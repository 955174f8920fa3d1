// modbus_poll running for real: 100 channels on our libmodbus TCP slave, scanned as fast as the
// configuration allows (scan_rate 0, no pause between channels), with the bus daemon in between.
// Reports readings published per second (counted by a bus listener in this process), the CPU time
// modbus_poll spends per published reading, and its resident memory.
#include "fbtest/support.h"

#include <libubox/uloop.h>
#include <libubus.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

using namespace std::chrono_literals;

namespace
{

long g_readings = 0;

void on_reading(ubus_context *, ubus_event_handler *, const char *, blob_attr *)
{
    ++g_readings;
}

// utime + stime of a process, in microseconds.
double cpu_us(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string f;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14)
            utime = std::stoull(f);
        if (i == 15)
            stime = std::stoull(f);
    }
    return double(utime + stime) * 1e6 / double(sysconf(_SC_CLK_TCK));
}

long status_kib(pid_t pid, const std::string &key, const char *file = "status")
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key + ":", 0) == 0)
            return std::strtol(line.c_str() + key.size() + 1, nullptr, 10);
    return -1;
}

void count_for(ubus_context *, int ms)
{
    static uloop_timeout done{};
    done.cb = [](uloop_timeout *) { uloop_end(); };
    uloop_timeout_set(&done, ms);
    uloop_run();
}

} // namespace

int main(int argc, char **argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 5;
    fbtest::TempRoot root;
    const int port = fbtest::free_tcp_port();

    std::string channels;
    for (int i = 1; i <= 100; ++i) {
        if (i > 1)
            channels += ",";
        channels += R"({"id":")" + std::to_string(i) +
                    R"(","enable":"true","desc":"c","slave_id":"1","func_code":"3",)"
                    R"("register_addr":")" +
                    std::to_string(i) +
                    R"(","data_type_1":"int16","multiple_register":"false",)"
                    R"("quantity":"1","endian_16":"ab","plus":"0","subtract":"0","divisor":"10","multiplier":"1",)"
                    R"("decimal_places":"1","exponent":"false","monitoring_interval":"0","send_only_changed":"false"})";
    }
    root.write("/etc/config/applications/modbus_poll",
               R"({"connection":[{"id":"1","enable":"true","desc":"bench","type":"tcp","scan_rate":"0",)"
               R"("reconnect_interval":"1","resp_timeout":"1000","re_send":"0","re_receive":"0",)"
               R"("delay_between_polls":"0","server_addr":"127.0.0.1","server_port":")" +
                   std::to_string(port) + R"(","connect_timeout":"2","channel":[)" + channels + "]}]}");

    fbtest::Process ubusd({fbtest::bin("ubusd")});
    fbtest::wait_for_path(root.path("/var/run/ubus/ubus.sock"));
    fbtest::Process sim({fbtest::bin("modbus_sim"), "--tcp", std::to_string(port), "--quiet", "--hr", "1=215,216"});
    fbtest::wait_for_port(port);

    uloop_init();
    ubus_context *ctx = ubus_connect(nullptr);
    if (!ctx) {
        fprintf(stderr, "no bus\n");
        return 1;
    }
    ubus_add_uloop(ctx);
    ubus_event_handler handler{};
    handler.cb = on_reading;
    ubus_register_event_handler(ctx, &handler, "mb_read_data");

    fbtest::Process poll({fbtest::bin("modbus_poll"), "tcp", "1"}, {{"FIELDBRIDGE_LOGENABLE", "0"}});
    count_for(ctx, 1000); // warm up
    const long readings_before = g_readings;
    const double cpu_before = cpu_us(poll.pid());
    const auto t0 = std::chrono::steady_clock::now();
    count_for(ctx, seconds * 1000);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = cpu_us(poll.pid()) - cpu_before;
    const long readings = g_readings - readings_before;
    const long rss = status_kib(poll.pid(), "VmRSS"), hwm = status_kib(poll.pid(), "VmHWM");
    const long pss = status_kib(poll.pid(), "Pss", "smaps_rollup");

    printf("modbus_poll, 100 channels, TCP loopback, %d s\n", seconds);
    printf("  readings published:       %ld (%.0f per second)\n", readings, double(readings) / elapsed);
    printf("  CPU per reading:          %.2f us (modbus_poll user+system)\n", readings ? cpu / double(readings) : 0.0);
    printf("  resident memory:          %ld KiB now, %ld KiB peak (proportional share %ld KiB)\n", rss, hwm, pss);

    poll.stop();
    ubus_free(ctx);
    uloop_done();
    sim.stop();
    ubusd.stop();
    return 0;
}

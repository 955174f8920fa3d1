// modbus_poll running for real: 100 channels on our libmodbus TCP slave, scanned as fast as the
// configuration allows (scan_rate 0, no pause between channels), with the bus daemon in between.
// Reports readings published per second (counted by a bus listener in this process), the CPU time
// modbus_poll spends per published reading, and its resident memory.
#include "fbbench/bench.h"
#include "fbtest/support.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace
{

// CPU time (utime + stime, and utime alone) and context switches of a process.
struct Usage {
    double cpu_us = 0, user_us = 0;
    long switches = 0;
};

Usage usage(pid_t pid)
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
    const double tick_us = 1e6 / double(sysconf(_SC_CLK_TCK));
    Usage u;
    u.cpu_us = double(utime + stime) * tick_us;
    u.user_us = double(utime) * tick_us;
    u.switches =
        fbbench::proc_number(pid, "voluntary_ctxt_switches") + fbbench::proc_number(pid, "nonvoluntary_ctxt_switches");
    return u;
}

} // namespace

int main(int argc, char **argv)
{
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const int round_count = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
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

    fbbench::EventCounter readings_seen("mb_read_data");
    if (!readings_seen.connected()) {
        fprintf(stderr, "no bus\n");
        return 1;
    }

    fbtest::Process poll({fbtest::bin("modbus_poll"), "tcp", "1"}, {{"FIELDBRIDGE_LOGENABLE", "0"}});
    readings_seen.run_for(1000); // warm up

    // The CPU figure moves with where the scheduler puts the poller, the slave and the bus daemon
    // (each reading wakes two of them), so it is taken over several rounds: median, lowest, highest.
    struct Round {
        double per_second, cpu_us, user_us, switches;
    };
    std::vector<Round> rounds;
    for (int r = 0; r < round_count; ++r) {
        const long readings_before = readings_seen.count();
        const Usage before = usage(poll.pid());
        const auto t0 = std::chrono::steady_clock::now();
        readings_seen.run_for(seconds * 1000);
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const Usage after = usage(poll.pid());
        const double readings = double(readings_seen.count() - readings_before);
        if (readings <= 0) {
            fprintf(stderr, "no readings in round %d\n", r + 1);
            return 1;
        }
        rounds.push_back({readings / elapsed, (after.cpu_us - before.cpu_us) / readings,
                          (after.user_us - before.user_us) / readings,
                          double(after.switches - before.switches) / readings});
    }
    const long rss = fbbench::proc_number(poll.pid(), "VmRSS"), hwm = fbbench::proc_number(poll.pid(), "VmHWM");
    const long pss = fbbench::proc_number(poll.pid(), "Pss", "smaps_rollup");
    const long private_kib = fbbench::proc_number(poll.pid(), "Private_Clean", "smaps_rollup") +
                             fbbench::proc_number(poll.pid(), "Private_Dirty", "smaps_rollup");

    std::sort(rounds.begin(), rounds.end(), [](const Round &a, const Round &b) { return a.cpu_us < b.cpu_us; });
    const Round &median = rounds[rounds.size() / 2];
    printf("modbus_poll, 100 channels, TCP loopback, %d rounds of %d s\n", round_count, seconds);
    printf("  readings published:       %.0f per second (round with the median CPU)\n", median.per_second);
    printf("  CPU per reading:          %.2f us median, %.2f lowest, %.2f highest (user+system)\n", median.cpu_us,
           rounds.front().cpu_us, rounds.back().cpu_us);
    printf("    of which user:          %.2f us; context switches per reading: %.2f\n", median.user_us,
           median.switches);
    printf("  resident memory:          %ld KiB now, %ld KiB peak (proportional share %ld KiB, private %ld KiB)\n", rss,
           hwm, pss, private_kib);

    poll.stop();
    sim.stop();
    ubusd.stop();
    return 0;
}

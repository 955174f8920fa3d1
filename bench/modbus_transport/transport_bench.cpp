// Throughput of the transport: bus readings to broker publications (the applet as a process), and
// the history cache with its open-per-operation design.
//
//   build/bench/modbus_transport_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <MQTTClient.h>
#include <libubox/blobmsg.h>
#include <libubus.h>
#include <libubox/uloop.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "fbtest/support.h"
#include "modbus_transport/modbus_flavour.h"
#include "transport/engine.h"

#include <librouter.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// CPU time (user + system) of a process, in microseconds.
double cpu_us(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string f;
    unsigned long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14)
            utime = std::stoul(f);
        if (i == 15)
            stime = std::stoul(f);
    }
    return double(utime + stime) * 1e6 / double(sysconf(_SC_CLK_TCK));
}

// Counts the messages of one topic with Paho's own client.
struct Counter {
    MQTTClient client = nullptr;
    std::atomic<long> count{0};
    explicit Counter(int port)
    {
        std::string uri = "tcp://127.0.0.1:" + std::to_string(port);
        MQTTClient_create(&client, uri.c_str(), "bench-counter", MQTTCLIENT_PERSISTENCE_NONE, nullptr);
        MQTTClient_setCallbacks(client, this, nullptr, on_message, nullptr);
        MQTTClient_connectOptions opts = MQTTClient_connectOptions_initializer;
        opts.connectTimeout = 3;
        MQTTClient_connect(client, &opts);
        MQTTClient_subscribe(client, "data", 0);
    }
    ~Counter()
    {
        MQTTClient_disconnect(client, 100);
        MQTTClient_destroy(&client);
    }
    static int on_message(void *ctx, char *topic, int, MQTTClient_message *m)
    {
        static_cast<Counter *>(ctx)->count++;
        MQTTClient_freeMessage(&m);
        MQTTClient_free(topic);
        return 1;
    }
};

struct Chain {
    fbtest::TempRoot root;
    int port = fbtest::free_tcp_port();
    fbtest::Process ubusd{{fbtest::bin("ubusd")}};
    std::optional<fbtest::Process> broker, transport;

    explicit Chain(const std::string &data_type)
    {
        usi_set("system.serial_number", "BENCH");
        root.write("/mosquitto.conf", "listener " + std::to_string(port) + " 127.0.0.1\nallow_anonymous true\n" +
                                          (geteuid() == 0 ? "user root\n" : ""));
        root.write("/etc/config/applications/modbus_poll",
                   R"({"connection":[{"id":"1","channel":[{"desc":"c1"},{"desc":"c2"},{"desc":"c3"},{"desc":"c4"},)"
                   R"({"desc":"c5"},{"desc":"c6"},{"desc":"c7"},{"desc":"c8"},{"desc":"c9"},{"desc":"c10"}]}]})");
        root.write("/etc/config/applications/modbus_transport",
                   R"({"connection":[{"id":"1","enable":"true","protocol":"mqtt","server_address":"127.0.0.1",)"
                   R"("server_port":")" + std::to_string(port) +
                       R"(","enable_ssl":"false","client_id":"bench","keepalive":"30","reconnect_interval":"1",)"
                       R"("connect_timeout":"3","data_location":"ram","send_interval":"0","number_of_sent":"100",)"
                       R"("data_type":")" + data_type +
                       R"(","data_format":"{\"sn\":\"$SERIAL_NUMBER\",\"v\":\"$VALUE\",\"t\":\"$TIMESTAMP\"}",)"
                       R"("channel":[{"enable":"true","topic":"data","connection_index":"1",)"
                       R"("filter_items":"channel_index","channel_index":""}]}]})");
        fbtest::wait_for_path(root.path("/var/run/ubus/ubus.sock"));
        broker.emplace(std::vector<std::string>{"mosquitto", "-c", root.path("/mosquitto.conf")});
        fbtest::wait_for_port(port);
        std::string program = fbtest::bin("modbus_transport");
        if (access(program.c_str(), X_OK) != 0)
            program = fbtest::bin("modbus_transport_driver");
        transport.emplace(std::vector<std::string>{program, "1"},
                          std::map<std::string, std::string>{{"FIELDBRIDGE_LOGENABLE", "0"}});
        fbtest::wait_until([&] {
            char *s = usi_list_get("modbus_transport.connection", 1, "status");
            bool ok = s && std::string(s) == "Connected";
            free(s);
            return ok;
        });
    }
};

void send_reading(ubus_context *ctx, blob_buf &b, int channel, int i)
{
    blob_buf_init(&b, 0);
    blobmsg_add_u32(&b, "connection_index", 1);
    blobmsg_add_u32(&b, "channel_index", uint32_t(channel));
    blobmsg_add_u32(&b, "slave_id", 1);
    blobmsg_add_u32(&b, "func_code", 3);
    blobmsg_add_u32(&b, "register_addr", uint32_t(i));
    blobmsg_add_u32(&b, "timestamp", 1700000000);
    blobmsg_add_string(&b, "data", std::to_string(i).c_str());
    ubus_send_event(ctx, "mb_read_data", b.head);
}

// Readings per second from mb_read_data on the bus to publications at the broker.
void run_chain(benchmark::State &state, const std::string &data_type, int per_scan)
{
    Chain chain(data_type);
    Counter counter(chain.port);
    ubus_context *ctx = ubus_connect(nullptr);
    blob_buf b{};
    const int readings = int(state.range(0));
    const long expected = per_scan ? readings / per_scan : readings;
    double seconds = 0, cpu = 0;
    for (auto _ : state) {
        counter.count = 0;
        // A few readings first, so the applet is surely listening.
        bool ready = fbtest::wait_until(
            [&] {
                send_reading(ctx, b, 1, 0);
                if (per_scan) {
                    blob_buf_init(&b, 0);
                    blobmsg_add_u32(&b, "connection_index", 1);
                    blobmsg_add_u32(&b, "scan_end", 1);
                    ubus_send_event(ctx, "mb_scan_end", b.head);
                }
                return counter.count > 0;
            },
            fbtest::Millis(10000));
        if (!ready) {
            state.SkipWithError("transport did not publish");
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        counter.count = 0;
        double cpu0 = cpu_us(chain.transport->pid());
        auto t0 = Clock::now();
        for (int i = 0; i < readings; ++i) {
            send_reading(ctx, b, per_scan ? i % per_scan + 1 : 1, i);
            if (per_scan && i % per_scan == per_scan - 1) {
                blob_buf_init(&b, 0);
                blobmsg_add_u32(&b, "connection_index", 1);
                blobmsg_add_u32(&b, "scan_end", 1);
                ubus_send_event(ctx, "mb_scan_end", b.head);
            }
        }
        fbtest::wait_until([&] { return counter.count >= expected; }, fbtest::Millis(120000));
        seconds = std::chrono::duration<double>(Clock::now() - t0).count();
        cpu = cpu_us(chain.transport->pid()) - cpu0;
        state.SetIterationTime(seconds);
    }
    state.counters["readings_per_s"] = double(readings) / seconds;
    state.counters["cpu_us_per_reading"] = cpu / readings;
    state.counters["publications"] = double(counter.count.load());
    blob_buf_free(&b);
    ubus_free(ctx);
}

void BM_BusToBroker_Single(benchmark::State &state) { run_chain(state, "single", 0); }
void BM_BusToBroker_Combin1(benchmark::State &state) { run_chain(state, "combin-1", 10); }

const modbus_transport::ModbusFlavour kFlavour;

// A root under a chosen directory: /tmp (disk here) or /dev/shm (memory, as /tmp is on the router).
class BenchRoot {
public:
    explicit BenchRoot(bool memory)
    {
        std::string tmpl = std::string(memory ? "/dev/shm" : "/tmp") + "/fbbench.XXXXXX";
        dir_ = mkdtemp(tmpl.data());
        setenv("FIELDBRIDGE_ROOT", dir_.c_str(), 1);
        for (const char *d : {"/tmp", "/tmp/.usi", "/tmp/.usi/applications", "/tmp/database", "/etc"})
            std::filesystem::create_directories(dir_ + d);
    }
    ~BenchRoot()
    {
        unsetenv("FIELDBRIDGE_ROOT");
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string path(const std::string &p) const { return dir_ + p; }
    void write(const std::string &p, const std::string &text) const
    {
        std::ofstream(path(p)) << text;
    }

private:
    std::string dir_;
};

transport::TransportConfig cache_config(int port)
{
    transport::TransportConfig cfg;
    cfg.index = 1;
    cfg.protocol = transport::Protocol::Mqtt;
    cfg.server_uri = "tcp://127.0.0.1:" + std::to_string(port);
    cfg.client_id = "bench-cache";
    cfg.connect_timeout = 3;
    cfg.keepalive = 30;
    cfg.data_location = transport::DataLocation::Ram;
    cfg.data_format = "$VALUE";
    auto rule = std::make_unique<transport::ChannelRule>();
    rule->connection_index = 1;
    rule->filter = transport::Filter::ChannelIndex;
    rule->channel_index = 255;
    rule->has_topic = true;
    rule->topic = "data";
    cfg.rules.push_back(std::move(rule));
    return cfg;
}

transport::Reading bench_reading(int i)
{
    transport::Reading r;
    r.connection_index = 1;
    r.channel_index = 1;
    r.register_addr = i;
    r.timestamp = 1700000000;
    r.data = std::to_string(i);
    return r;
}

// Rows per second into the history cache, one open/insert/trim/close per reading.
void BM_CacheInsert(benchmark::State &state)
{
    BenchRoot root(state.range(0) != 0);
    usi_set("system.serial_number", "BENCH");
    uloop_init();
    transport::TransportConfig cfg = cache_config(1);
    transport::Cache cache(kFlavour, cfg);
    bool pending = false;
    cache.startup(pending);
    int i = 0;
    for (auto _ : state)
        cache.insert(false, bench_reading(i++), 0);
    state.counters["rows_per_s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

// Rows per second out of the history cache to a local broker, in passes of number_of_sent rows.
void BM_CacheResend(benchmark::State &state)
{
    BenchRoot root(state.range(1) != 0);
    usi_set("system.serial_number", "BENCH");
    uloop_init();
    int port = fbtest::free_tcp_port();
    root.write("/mosquitto.conf", "listener " + std::to_string(port) + " 127.0.0.1\nallow_anonymous true\n" +
                                      (geteuid() == 0 ? "user root\n" : ""));
    fbtest::Process broker({"mosquitto", "-c", root.path("/mosquitto.conf")});
    fbtest::wait_for_port(port);
    transport::TransportConfig cfg = cache_config(port);
    cfg.number_of_sent = uint16_t(state.range(0));
    transport::Engine engine(kFlavour, cfg);
    engine.start_cache();
    engine.open_server();
    const int rows = 2000;
    long sent = 0;
    for (auto _ : state) {
        state.PauseTiming();
        {
            transport::Db db;
            db.open(engine.cache().path());
            db.exec("begin");
            for (int i = 0; i < rows; ++i) {
                std::string sql = "insert into modbus values(null, 1, 1, 1, 3, " + std::to_string(i) +
                                  ", 1700000000, 0, '" + std::to_string(i) + "')";
                db.exec(sql.c_str());
            }
            db.exec("commit");
        }
        if (engine.connection_state() != 1)
            engine.open_server();
        state.ResumeTiming();
        // Passes until the cache is empty.
        for (;;) {
            engine.send_combin_history_data();
            char *q = usi_list_get("modbus_transport.connection", 1, "storage_quantity");
            bool empty = q && std::string(q) == "0";
            free(q);
            if (empty)
                break;
        }
        sent += rows;
    }
    state.counters["rows_per_s"] = benchmark::Counter(double(sent), benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK(BM_BusToBroker_Single)->Arg(20000)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BusToBroker_Combin1)->Arg(20000)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
// Second argument (or the only one for inserts): 0 = cache on the disk under /tmp, 1 = in memory.
BENCHMARK(BM_CacheInsert)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(BM_CacheResend)->Args({100, 0})->Args({1000, 0})->Args({100, 1})->Args({1000, 1})->Iterations(3)->UseRealTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();

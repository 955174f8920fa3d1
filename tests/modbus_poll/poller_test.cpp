// Scans, reconnect schedule, monitoring, status rows and file, and register writes, with the
// events recorded instead of sent on the bus; the devices are our libmodbus slave and the fake.
#include "modbus_poll/poller.h"

#include "common/daemon.h"
#include "fake_slave.h"
#include "fbtest/support.h"
#include "sim.h"

#include <gtest/gtest.h>
#include <json-c/json.h>
#include <librouter.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

using namespace mbtest;

namespace
{

// Events as short texts: "read c/ch@addr=data", "end c=v", "status c[/ch@addr]: text".
struct Recorder : mbp::Publisher {
    std::vector<std::string> events;
    void read_data(const mbp::Channel &ch, int addr, uint32_t, const char *data) override
    {
        events.push_back("read " + std::to_string(ch.connection_id) + "/" + std::to_string(ch.id) + "@" +
                         std::to_string(addr) + "=" + data);
    }
    void scan_end(int c, int v) override { events.push_back("end " + std::to_string(c) + "=" + std::to_string(v)); }
    void poll_status(int c, uint8_t, uint32_t, const char *text, const mbp::Channel *ch, int addr) override
    {
        char line[256];
        if (ch)
            snprintf(line, sizeof line, "status %d/%d@%d: %s", c, ch->id, addr, text);
        else
            snprintf(line, sizeof line, "status %d: %s", c, text);
        events.emplace_back(line);
    }
    size_t count(const std::string &prefix) const
    {
        size_t n = 0;
        for (const auto &e : events)
            n += e.rfind(prefix, 0) == 0;
        return n;
    }
};

std::string channel(int id, const std::string &fc, int addr, const std::string &rest)
{
    return R"({"id":")" + std::to_string(id) + R"(","enable":"true","desc":"ch)" + std::to_string(id) +
           R"(","slave_id":"1","func_code":")" + fc + R"(","register_addr":")" + std::to_string(addr) +
           R"(","plus":"0","subtract":"0","divisor":"1","multiplier":"1",)" + rest + "}";
}

std::string int16(int id, int addr, const std::string &extra = "")
{
    return channel(id, "3", addr, R"("data_type_1":"int16","endian_16":"ab","multiple_register":"false")" + extra);
}

std::string connection(int id, const std::string &type, const std::string &options, const std::string &channels)
{
    return R"({"id":")" + std::to_string(id) + R"(","enable":"true","desc":"c","type":")" + type +
           R"(","scan_rate":"100","reconnect_interval":"1","resp_timeout":"100","re_send":"0","re_receive":"0",)"
           R"("delay_between_polls":"0","baud_rate":"9600","parity":"0","data_bits":"8","stop_bits":"1",)" +
           options + R"("channel":[)" + channels + "]}";
}

std::string tcp_connection(int id, int port, const std::string &options, const std::string &channels)
{
    return connection(id, "tcp",
                      R"("server_addr":"127.0.0.1","server_port":")" + std::to_string(port) +
                          R"(","connect_timeout":"1",)" + options,
                      channels);
}

bool load(mbp::Config &conf, const std::string &connections, const char *type, long index)
{
    json_object *root = json_tokener_parse((R"({"connection":[)" + connections + "]}").c_str());
    bool ok = root && mbp::mbp_conf_init(conf, root, type, index);
    json_object_put(root);
    return ok;
}

std::string usi(const std::string &key)
{
    char *v = usi_get(key.c_str());
    std::string s = v ? v : "<none>";
    free(v);
    return s;
}

class ModbusPoller : public testing::Test
{
  protected:
    void SetUp() override
    {
        setenv("FIELDBRIDGE_LOG_STDERR", "1", 1);
        fb::openlog_applet("modbus_poll");
        const char *bin = getenv("FB_BIN_DIR");
        std::string path = std::string(bin ? bin : "build/bin") + ":" + (getenv("PATH") ? getenv("PATH") : "");
        setenv("PATH", path.c_str(), 1);
    }

    fbtest::TempRoot root;
    mbp::Config conf;
    Recorder events;
};

} // namespace

TEST_F(ModbusPoller, FailingChannelsPublishStatusPerValuePositionAndScanEndZero)
{
    std::unique_ptr<FakeSlave> fake(FakeSlave::tcp([](const Bytes &rq, int) -> Bytes {
        if (rq[9] == 0) // register 0: silence
            return {};
        Bytes b = tcp_header(rq, 2); // everything else: exception 2
        b.insert(b.end(), {uint8_t(rq[7] | 0x80), 2});
        return b;
    }));
    ASSERT_TRUE(load(conf,
                     tcp_connection(5, fake->port(), R"("re_send":"1","resp_timeout":"30",)",
                                    channel(1, "4", 0,
                                            R"("data_type_1":"uint32","endian_32":"ab_cd",)"
                                            R"("multiple_register":"true","quantity":"4")") +
                                        "," + int16(2, 7)),
                     "tcp", 5));
    mbp::Poller poller(conf, events);
    poller.start();
    // Two uint32 positions (registers 0 and 2), "Read error" after each of the two sends.
    EXPECT_EQ(events.events, (std::vector<std::string>{"status 5/1@0: Read error", "status 5/1@2: Read error",
                                                       "status 5/1@0: Read error", "status 5/1@2: Read error",
                                                       "status 5/2@7: Illegal data address", "end 5=0"}));
    EXPECT_EQ(conf.find_channel(5, 2)->state, 6);
}

TEST_F(ModbusPoller, ReconnectIntervalGrowsAndResetsOnSuccess)
{
    const int port = fbtest::free_tcp_port();
    ASSERT_TRUE(load(conf, tcp_connection(3, port, R"("reconnect_interval":"1",)", int16(1, 0)), "tcp", 3));
    mbp::Poller poller(conf, events);
    int restarts = 0;
    poller.restart_scan_timer = [&] { ++restarts; };
    poller.start();
    ASSERT_FALSE(poller.link_open());
    // Attempts come every interval + 1 ticks: after 2, 3 and 4 more ticks.
    std::vector<int> attempts;
    for (int tick = 1; tick <= 9; ++tick) {
        size_t before = events.count("status 3: Connection failed");
        poller.on_tick();
        if (events.count("status 3: Connection failed") > before)
            attempts.push_back(tick);
    }
    EXPECT_EQ(attempts, (std::vector<int>{2, 5, 9}));
    EXPECT_EQ(poller.reconnect_interval(), 4);

    Sim sim = Sim::tcp(root.dir(), port, {"--hr", "0=9"});
    for (int tick = 0; tick < 5 && !poller.link_open(); ++tick)
        poller.on_tick();
    EXPECT_TRUE(poller.link_open());
    EXPECT_EQ(poller.reconnect_interval(), 1);
    EXPECT_EQ(restarts, 1);
    EXPECT_EQ(events.events.back(), "end 3=1");

    // The cap: an interval never grows past 600 seconds.
    mbp::Config far;
    ASSERT_TRUE(load(far, tcp_connection(3, fbtest::free_tcp_port(), R"("reconnect_interval":"250",)", ""), "tcp", 3));
    Recorder quiet;
    mbp::Poller slow(far, quiet);
    slow.start();
    std::vector<int> intervals;
    for (int tick = 0; tick < 1400 && intervals.size() < 3; ++tick) {
        size_t before = quiet.count("status 3: Connection failed");
        slow.on_tick();
        if (quiet.count("status 3: Connection failed") > before)
            intervals.push_back(slow.reconnect_interval());
    }
    EXPECT_EQ(intervals, (std::vector<int>{500, 600, 600}));
}

TEST_F(ModbusPoller, MonitoredChangeIsPublishedAloneOrTriggersAFullScan)
{
    const int port = fbtest::free_tcp_port();
    Sim sim = Sim::tcp(root.dir(), port, {"--hr", "0=1,2"});
    ASSERT_TRUE(load(conf,
                     tcp_connection(4, port, "",
                                    int16(1, 0, R"(,"monitoring_interval":"2","send_only_changed":"true")") + "," +
                                        int16(2, 1, R"(,"monitoring_interval":"3","send_only_changed":"false")")),
                     "tcp", 4));
    mbp::Poller poller(conf, events);
    poller.start();
    ASSERT_EQ(events.events, (std::vector<std::string>{"read 4/1@0=1", "read 4/2@1=2", "end 4=1"}));
    events.events.clear();
    poller.on_tick();
    poller.on_tick();
    poller.on_tick();
    EXPECT_TRUE(events.events.empty()) << "unchanged registers publish nothing";

    sim.command("hr 0 11");
    poller.on_tick(); // channel 1 is checked every second tick
    EXPECT_EQ(events.events, (std::vector<std::string>{"read 4/1@0=11", "end 4=1"}));
    events.events.clear();

    sim.command("hr 1 22");
    for (int i = 0; i < 3 && events.events.empty(); ++i)
        poller.on_tick();
    EXPECT_EQ(events.events, (std::vector<std::string>{"read 4/1@0=11", "read 4/2@1=22", "end 4=1"}));
}

TEST_F(ModbusPoller, SerialWriteFailureEndsTheScanPausesAndCloses)
{
    // A serial port whose other side is gone: writes to a pseudo-terminal fail once its master
    // is closed, as they do on a USB adapter pulled out of the router.
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    std::filesystem::create_directories(root.path("/dev"));
    std::filesystem::create_symlink(ptsname(master), root.path("/dev/RS485"));
    ASSERT_TRUE(load(conf, connection(4, "rs485", "", int16(1, 0) + "," + int16(2, 1)), "rs485", 4));
    mbp::Poller poller(conf, events);
    poller.start(); // nobody answers: read errors, the port stays open
    ASSERT_TRUE(poller.link_open());
    events.events.clear();

    close(master);
    const auto t0 = std::chrono::steady_clock::now();
    poller.run_scan();
    const auto took = std::chrono::steady_clock::now() - t0;
    // Scan end first, the status after the one-second pause, then the port opened once more (it
    // is gone, so that fails), and nothing for the second channel.
    EXPECT_EQ(events.events,
              (std::vector<std::string>{"end 4=0", "status 4/1@0: Write error", "status 4: Open serial port error"}));
    EXPECT_GE(took, std::chrono::milliseconds(1000));
    EXPECT_EQ(conf.find_channel(4, 1)->state, 3);
    EXPECT_FALSE(poller.link_open()) << "the scan's caller closes the port; the reconnect schedule reopens it";
}

TEST_F(ModbusPoller, StatusRowsAndStatusFile)
{
    const int port = fbtest::free_tcp_port();
    Sim sim = Sim::tcp(root.dir(), port, {"--hr", "0=42"});
    ASSERT_TRUE(load(conf,
                     connection(1, "rs485", "", int16(1, 0)) + "," +
                         tcp_connection(2, port, R"("enable_status":"true",)",
                                        int16(1, 0) + "," + int16(2, 10000) + "," + int16(3, 10001)),
                     "tcp", 2));
    EXPECT_EQ(conf.status_offset, 1);
    mbp::Poller poller(conf, events);
    poller.write_status_rows();
    EXPECT_EQ(usi("modbus_poll.channel[2].status"), "connecting");
    EXPECT_EQ(usi("modbus_poll.channel[2].type"), "TCP");
    EXPECT_EQ(usi("modbus_poll.channel[3].reg_address"), "10000");
    EXPECT_EQ(usi("modbus_poll.channel[3].connection_index"), "2");

    // Without the file nothing is created.
    poller.on_status_request();
    EXPECT_FALSE(root.exists(mbp::kStatusFile));

    root.write(mbp::kStatusFile, "not json");
    poller.on_status_request();
    EXPECT_EQ(root.read(mbp::kStatusFile), "not json");

    root.write(mbp::kStatusFile, R"({"channel":[{"id":"1","status":"a","value":"b"},{"id":"2","status":"a","value":"b"},
        {"id":"3","value":"x"},{"id":"4","status":"a","value":"b"}]})");
    poller.on_status_request();
    json_object *doc = json_tokener_parse(root.read(mbp::kStatusFile).c_str());
    ASSERT_NE(doc, nullptr);
    auto field = [&](int i, const char *key) {
        json_object *row = json_object_array_get_idx(json_object_object_get(doc, "channel"), size_t(i)), *v = nullptr;
        return json_object_object_get_ex(row, key, &v) ? std::string(json_object_get_string(v)) : "<none>";
    };
    EXPECT_EQ(field(1, "status"), "connecting") << "link not open yet";
    json_object_put(doc);

    poller.start();
    testing::internal::CaptureStderr();
    poller.on_status_request();
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("Node status not found"), std::string::npos) << log;
    doc = json_tokener_parse(root.read(mbp::kStatusFile).c_str());
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(field(0, "status"), "a") << "another process's row";
    EXPECT_EQ(field(1, "status"), "Read successfully");
    EXPECT_EQ(field(1, "value"), "42");
    EXPECT_EQ(field(2, "status"), "<none>");
    EXPECT_EQ(field(2, "value"), "x");
    EXPECT_EQ(field(3, "status"), "Illegal data address");
    EXPECT_EQ(field(3, "value"), "b") << "a failed channel keeps its last value";
    json_object_put(doc);
}

TEST_F(ModbusPoller, RegisterWrites)
{
    const int port = fbtest::free_tcp_port();
    Sim sim = Sim::tcp(root.dir(), port);
    ASSERT_TRUE(load(conf,
                     tcp_connection(6, port, "",
                                    int16(3, 10) + "," + int16(4, 20) + "," +
                                        channel(5, "4", 30, R"("data_type_1":"uint16","endian_16":"ab")") + "," +
                                        channel(7, "3", 40, R"("data_type_1":"float","endian_32":"cd_ab")")),
                     "tcp", 6));
    mbp::Poller poller(conf, events);
    poller.start();

    poller.write_data(7, 1, 6, 0, "ab", "5");
    EXPECT_EQ(usi(mbp::kWriteResultKey), "<none>") << "another process's connection";
    EXPECT_FALSE(root.exists(mbp::kWriteResultFile));

    poller.write_data(6, 1, 6, 50, "ba", "258");
    EXPECT_EQ(usi(mbp::kWriteResultKey), "ok");
    EXPECT_TRUE(root.exists(mbp::kWriteResultFile));
    EXPECT_EQ(sim.get("hr", 50, 1), "513");
    poller.write_data(6 + 256, 1, 16, 60, "cd_ab", "-2");
    EXPECT_EQ(usi(mbp::kWriteResultKey), "ok") << "only the lowest 8 bits of the connection count";
    EXPECT_EQ(sim.get("hr", 60, 2), "65534 65535");
    poller.write_data(6, 1, 15, 60, "ab", "1");
    EXPECT_EQ(usi(mbp::kWriteResultKey), "failed");
    poller.write_data(6, 1, 6, 50, "ab", "lots");
    EXPECT_EQ(usi(mbp::kWriteResultKey), "failed");
    EXPECT_EQ(sim.get("hr", 50, 1), "513");

    poller.write_channels(6, {"3.12", "4", "9"}, {"1", "7", "8"});
    EXPECT_EQ(sim.get("hr", 12, 1), "1");
    EXPECT_EQ(sim.get("hr", 20, 1), "7");
    poller.write_channels(6, {"7"}, {"1.5"});
    EXPECT_EQ(sim.get("hr", 40, 2), "0 16320") << "float 1.5 in cd_ab order";

    testing::internal::CaptureStderr();
    poller.write_channels(6, {"5", "3"}, {"1", "2"});
    poller.write_channels(6, {"3.1.2"}, {"1"});
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("register can not be writing"), std::string::npos) << log;
    EXPECT_NE(log.find("channel_index format error"), std::string::npos) << log;
    EXPECT_EQ(sim.get("hr", 10, 1), "0") << "the handling ended at the input-register channel";
}

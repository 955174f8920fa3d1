// modbus_poll as a built program in a temporary root, with the bus daemon, our libmodbus slave
// (TCP, and RTU on a pseudo-terminal pair) and a bus listener: what a transport or a person on the
// router sees.
#include "fbtest/support.h"
#include "sim.h"

#include <gtest/gtest.h>
#include <json-c/json.h>
#include <librouter.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using mbtest::Sim;

namespace
{

struct Event {
    std::string name;
    std::vector<std::string> keys; // in the order they were sent
    json_object *body = nullptr;   // owned by the Bus's parsed list

    int num(const char *key) const
    {
        json_object *v = nullptr;
        return json_object_object_get_ex(body, key, &v) ? json_object_get_int(v) : -1;
    }
    std::string str(const char *key) const
    {
        json_object *v = nullptr;
        return json_object_object_get_ex(body, key, &v) ? json_object_get_string(v) : "<none>";
    }
};

// The bus daemon and a listener that records every event.
class Bus
{
  public:
    explicit Bus(const fbtest::TempRoot &root)
    {
        daemon_ = fbtest::Process({fbtest::bin("ubusd")});
        if (!fbtest::wait_for_path(root.path("/var/run/ubus/ubus.sock")))
            throw std::runtime_error("ubusd did not start: " + daemon_.err());
        listener_ = fbtest::Process({fbtest::bin("ubus"), "listen"});
        // Ready once it hears events: send probes until one comes back.
        bool heard = fbtest::wait_until(
            [&] {
                send("bus_probe", "{}");
                return listener_.out().find("bus_probe") != std::string::npos;
            },
            5000ms);
        if (!heard)
            throw std::runtime_error("ubus listen did not start");
    }
    ~Bus()
    {
        for (json_object *o : owned_)
            json_object_put(o);
        listener_.stop();
        daemon_.stop();
    }

    static int send(const std::string &name, const std::string &json)
    {
        return fbtest::run({fbtest::bin("ubus"), "send", name, json});
    }

    // Every event heard so far with the given name (all when empty).
    std::vector<Event> events(const std::string &name = "")
    {
        std::vector<Event> out;
        std::istringstream lines(listener_.out());
        std::string line;
        while (std::getline(lines, line)) {
            json_object *doc = json_tokener_parse(line.c_str());
            if (!doc)
                continue;
            owned_.push_back(doc);
            json_object_object_foreach(doc, key, body)
            {
                if (!name.empty() && name != key)
                    continue;
                Event e{key, {}, body};
                json_object_object_foreach(body, field, value)
                {
                    (void)value;
                    e.keys.emplace_back(field);
                }
                out.push_back(e);
            }
        }
        return out;
    }

    bool wait_for(const std::function<bool(const std::vector<Event> &)> &pred, fbtest::Millis timeout = 5000ms)
    {
        return fbtest::wait_until([&] { return pred(events()); }, timeout);
    }

    size_t count(const std::string &name, const std::string &key = "", const std::string &value = "")
    {
        size_t n = 0;
        for (const Event &e : events(name))
            n += key.empty() || e.str(key.c_str()) == value;
        return n;
    }

  private:
    fbtest::Process daemon_, listener_;
    std::vector<json_object *> owned_;
};

std::string channel(int id, int addr, const std::string &extra = "")
{
    return R"({"id":")" + std::to_string(id) + R"(","enable":"true","desc":"ch)" + std::to_string(id) +
           R"(","slave_id":"1","func_code":"3","register_addr":")" + std::to_string(addr) +
           R"(","data_type_1":"int16","multiple_register":"false","quantity":"1","endian_16":"ab","plus":"0",)"
           R"("subtract":"0","divisor":"1","multiplier":"1","decimal_places":"0","exponent":"false",)"
           R"("monitoring_interval":"0","send_only_changed":"false")" +
           extra + "}";
}

std::string replaced(std::string text, const std::string &from, const std::string &to)
{
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

std::string tcp_connection(int id, int port, const std::string &options, const std::string &channels)
{
    return R"({"id":")" + std::to_string(id) +
           R"(","enable":"true","desc":"meter","type":"tcp","scan_rate":"200",)"
           R"("reconnect_interval":"1","resp_timeout":"200","re_send":"0","re_receive":"0","delay_between_polls":"0",)" +
           options + R"("server_addr":"127.0.0.1","server_port":")" + std::to_string(port) +
           R"(","connect_timeout":"1","channel":[)" + channels + "]}";
}

class ModbusPollProgram : public testing::Test
{
  protected:
    void SetUp() override
    {
        // The programs' log lines are read from their standard error.
        setenv("FIELDBRIDGE_LOG_STDERR", "1", 1);
        // The board utility's stand-in is found on PATH, as on the router.
        std::string path = std::string(getenv("FB_BIN_DIR") ? getenv("FB_BIN_DIR") : "build/bin") + ":" +
                           (getenv("PATH") ? getenv("PATH") : "");
        setenv("PATH", path.c_str(), 1);
    }

    void configure(const std::string &connections)
    {
        root.write("/etc/config/applications/modbus_poll", R"({"connection":[)" + connections + "]}");
    }

    fbtest::Process start(const std::string &type, const std::string &index)
    {
        return fbtest::Process({fbtest::bin("modbus_poll"), type, index});
    }

    std::string usi(const std::string &key)
    {
        char *v = usi_get(key.c_str());
        std::string s = v ? v : "<none>";
        free(v);
        return s;
    }

    fbtest::TempRoot root;
};

} // namespace

TEST_F(ModbusPollProgram, TcpReadingsWritesStatusFileAndExit)
{
    Bus bus(root);
    const int port = fbtest::free_tcp_port();
    Sim sim = Sim::tcp(root.dir(), port, {"--hr", "0=65336,7", "--hr", "10=1,2,3"});
    configure(tcp_connection(1, port, R"("enable_status":"true",)",
                             channel(4, 0, R"(,"divisor":"10","decimal_places":"1")") + "," +
                                 channel(2, 10, R"(,"multiple_register":"true","quantity":"3")")));
    root.write("/tmp/.usi/applications/modbus_poll",
               R"({"channel":[{"id":"1","status":"","value":""},{"id":"2","status":"","value":""}]})");
    fbtest::Process poll = start("tcp", "1");

    ASSERT_TRUE(bus.wait_for([&](auto &) { return bus.count("mb_scan_end") >= 1; })) << poll.err();
    std::vector<Event> reads = bus.events("mb_read_data");
    ASSERT_GE(reads.size(), 4u);
    const std::vector<std::string> fields = {"connection_index", "channel_index", "slave_id", "func_code",
                                             "register_addr",    "timestamp",     "data"};
    for (const Event &e : reads)
        EXPECT_EQ(e.keys, fields);
    // Channel 2 (a block of three) comes before channel 4 in the list.
    EXPECT_EQ(reads[0].num("channel_index"), 2);
    EXPECT_EQ(reads[0].num("register_addr"), 10);
    EXPECT_EQ(reads[0].str("data"), "1");
    EXPECT_EQ(reads[2].num("register_addr"), 12);
    EXPECT_EQ(reads[3].num("channel_index"), 4);
    EXPECT_EQ(reads[3].num("func_code"), 3);
    EXPECT_EQ(reads[3].str("data"), "-20.0");
    EXPECT_NEAR(reads[3].num("timestamp"), time(nullptr), 5);
    std::vector<Event> ends = bus.events("mb_scan_end");
    ASSERT_FALSE(ends.empty());
    EXPECT_EQ(ends[0].keys, (std::vector<std::string>{"connection_index", "scan_end"}));
    EXPECT_EQ(ends[0].num("scan_end"), 1);
    EXPECT_EQ(usi("modbus_poll.channel[1].desc"), "ch2");
    EXPECT_EQ(usi("modbus_poll.channel[2].status"), "connecting");

    // A write request changes the slave's register and leaves its result.
    ASSERT_EQ(Bus::send("mb_write_data", R"({"connection_index":1,"slave_id":1,"func_code":6,"reg_addr":11,)"
                                         R"("endian":"ba","value":"258"})"),
              0);
    ASSERT_TRUE(fbtest::wait_until([&] { return usi("modbus_write.result") == "ok"; })) << poll.err();
    EXPECT_EQ(sim.get("hr", 11, 1), "513");
    EXPECT_TRUE(root.exists("/tmp/.usi/applications/modbus_write"));
    ASSERT_TRUE(bus.wait_for([](auto &ev) {
        for (auto &e : ev)
            if (e.name == "mb_read_data" && e.num("register_addr") == 11 && e.str("data") == "513")
                return true;
        return false;
    }));

    // Malformed requests and requests for other connections change nothing.
    usi_set("modbus_write.result", "untouched");
    Bus::send("mb_write_data", R"({"connection_index":1,"slave_id":1,"func_code":6,"reg_addr":11,"endian":"ab"})");
    Bus::send("mb_write_data", R"({"connection_index":2,"slave_id":1,"func_code":6,"reg_addr":11,"endian":"ab",)"
                               R"("value":"9"})");
    Bus::send("mb_write_channel", R"({"connection_index":1,"chanids":["4"],"values":["1","2"]})");
    Bus::send("mb_write_channel", R"({"connection_index":1,"chanids":["4"],"values":[5]})");
    EXPECT_TRUE(poll.wait_err("blob msg format error, channel_indexs and values length doesn't match"));
    EXPECT_TRUE(poll.wait_err("values format error"));
    EXPECT_TRUE(poll.wait_err("blob msg format error")) << poll.err();
    EXPECT_EQ(sim.get("hr", 11, 1), "513");
    EXPECT_EQ(usi("modbus_write.result"), "untouched");

    ASSERT_EQ(Bus::send("mb_write_channel", R"({"connection_index":1,"chanids":["4","2.12"],"values":["-5","6"]})"), 0);
    ASSERT_TRUE(fbtest::wait_until([&] { return sim.get("hr", 12, 1) == "6"; })) << poll.err();
    EXPECT_EQ(sim.get("hr", 0, 1), "65531");
    EXPECT_EQ(usi("modbus_write.result"), "ok");

    // SIGUSR1: the status file's rows get the channels' states and values (once a scan saw them).
    ASSERT_TRUE(bus.wait_for([](auto &ev) {
        for (auto &e : ev)
            if (e.name == "mb_read_data" && e.num("register_addr") == 12 && e.str("data") == "6")
                return true;
        return false;
    }));
    poll.signal(SIGUSR1);
    ASSERT_TRUE(fbtest::wait_until([&] {
        return root.read("/tmp/.usi/applications/modbus_poll").find("Read successfully") != std::string::npos;
    }));
    std::string status = root.read("/tmp/.usi/applications/modbus_poll");
    EXPECT_NE(status.find("\"1, 513, 6\""), std::string::npos) << status;

    // SIGTERM: "Program exits" and scan end 0, exit status 0.
    const size_t ends_before = bus.count("mb_scan_end", "scan_end", "0");
    EXPECT_EQ(fbtest::exit_code(poll.stop(SIGTERM, 2000ms)), 0);
    ASSERT_TRUE(bus.wait_for([](auto &ev) {
        for (auto &e : ev)
            if (e.name == "mb_poll_status" && e.str("error_status") == "Program exits")
                return true;
        return false;
    }));
    std::vector<Event> exits = bus.events("mb_poll_status");
    EXPECT_EQ(exits.back().keys,
              (std::vector<std::string>{"connection_index", "connection_type", "timestamp", "error_status"}));
    EXPECT_EQ(exits.back().str("connection_type"), "TCP Client");
    EXPECT_TRUE(bus.wait_for([&](auto &) { return bus.count("mb_scan_end", "scan_end", "0") == ends_before + 1; }));
}

TEST_F(ModbusPollProgram, LostSlaveGivesReadErrorsAndGrowingReconnects)
{
    Bus bus(root);
    const int port = fbtest::free_tcp_port();
    std::unique_ptr<Sim> sim(new Sim(Sim::tcp(root.dir(), port, {"--hr", "5=42"})));
    configure(tcp_connection(3, port, "", channel(1, 5) + "," + channel(2, 6)));
    fbtest::Process poll = start("tcp", "3");
    ASSERT_TRUE(bus.wait_for([](auto &ev) { return !ev.empty() && ev.back().name == "mb_scan_end"; })) << poll.err();

    sim.reset();
    ASSERT_TRUE(poll.wait_err("reconnect after 3s", 12000ms)) << poll.err();
    std::string log = poll.err();
    EXPECT_NE(log.find("Read error"), std::string::npos);
    EXPECT_NE(log.find("modbus tcp disconnected, host: 127.0.0.1:" + std::to_string(port)), std::string::npos) << log;
    const size_t first = log.find("reconnect after 1s"), second = log.find("reconnect after 2s");
    EXPECT_TRUE(first != std::string::npos && second != std::string::npos && first < second) << log;
    EXPECT_GE(bus.count("mb_poll_status", "error_status", "Read error"), 1u);
    EXPECT_GE(bus.count("mb_poll_status", "error_status", "Connection failed"), 2u);
    for (const Event &e : bus.events("mb_poll_status")) {
        if (e.str("error_status") == "Read error") {
            EXPECT_EQ(e.keys.size(), 8u) << "a channel status carries the channel's fields";
        }
    }

    // Back again: polling resumes and the interval starts over.
    const size_t reads_before = bus.count("mb_read_data");
    sim.reset(new Sim(Sim::tcp(root.dir(), port, {"--hr", "5=43"})));
    ASSERT_TRUE(bus.wait_for([&](auto &) { return bus.count("mb_read_data", "data", "43") > 0; }, 8000ms))
        << poll.err();
    EXPECT_GT(bus.count("mb_read_data"), reads_before);
    poll.stop();
}

TEST_F(ModbusPollProgram, TwoSerialConnectionsShareTheLine)
{
    Bus bus(root);
    fbtest::PtyPair pty(root.path("/dev/RS485"), root.path("/dev/sim485"));
    Sim sim(root.dir(), {"--rtu", root.path("/dev/sim485")}, {"--hr", "0=10,11,12,13"});
    auto serial = [](int id, const std::string &scan, const std::string &channels) {
        return R"({"id":")" + std::to_string(id) + R"(","enable":"true","desc":"line","type":"rs485","scan_rate":")" +
               scan +
               R"(","reconnect_interval":"1","resp_timeout":"200","re_send":"0","re_receive":"0",)"
               R"("delay_between_polls":"0","baud_rate":"9600","parity":"0","data_bits":"8","stop_bits":"1",)"
               R"("channel":[)" +
               channels + "]}";
    };
    configure(serial(2, "9", channel(1, 2) + "," + channel(2, 3)) + "," +
              serial(1, "300", channel(2, 1) + "," + channel(1, 0)));
    fbtest::Process poll = start("rs485", "1");
    ASSERT_TRUE(bus.wait_for([&](auto &) { return bus.count("mb_scan_end") >= 2; })) << poll.err();
    std::vector<std::string> seq;
    for (const Event &e : bus.events())
        if (e.name == "mb_read_data")
            seq.push_back(std::to_string(e.num("connection_index")) + "/" + std::to_string(e.num("channel_index")) +
                          "=" + e.str("data"));
        else if (e.name == "mb_scan_end")
            seq.push_back("end " + std::to_string(e.num("connection_index")));
    ASSERT_GE(seq.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(seq.begin(), seq.begin() + 6),
              (std::vector<std::string>{"1/1=10", "1/2=11", "end 1", "2/1=12", "2/2=13", "end 2"}));
    EXPECT_NE(root.read("/tmp/services/ch343_gpio_control.log").find("set 8 low"), std::string::npos);
    poll.stop();
}

TEST_F(ModbusPollProgram, MonitoredChangeIsPublishedAlone)
{
    Bus bus(root);
    const int port = fbtest::free_tcp_port();
    Sim sim = Sim::tcp(root.dir(), port, {"--hr", "0=1,2"});
    // Scans are far apart; only the monitoring check can publish in between.
    configure(replaced(
        tcp_connection(5, port, "",
                       channel(1, 0, R"(,"monitoring_interval":"1","send_only_changed":"true")") + "," + channel(2, 1)),
        R"("scan_rate":"200")", R"("scan_rate":"60000")"));
    fbtest::Process poll = start("tcp", "5");
    ASSERT_TRUE(bus.wait_for([&](auto &) { return bus.count("mb_scan_end") == 1; })) << poll.err();
    const size_t before = bus.events().size();
    sim.command("hr 0 99");
    ASSERT_TRUE(bus.wait_for([&](auto &ev) { return ev.size() >= before + 2; }, 4000ms)) << poll.err();
    std::vector<Event> after = bus.events();
    after.erase(after.begin(), after.begin() + long(before));
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0].name, "mb_read_data");
    EXPECT_EQ(after[0].num("channel_index"), 1);
    EXPECT_EQ(after[0].str("data"), "99");
    EXPECT_EQ(after[1].name, "mb_scan_end");
    EXPECT_EQ(after[1].num("scan_end"), 1);
    poll.stop();
}

TEST_F(ModbusPollProgram, StopsPromptlyInTheMiddleOfALongScan)
{
    Bus bus(root);
    // A device that accepts the connection and never answers (the kernel completes the handshake).
    int server = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(server, 4), 0);
    socklen_t len = sizeof a;
    getsockname(server, reinterpret_cast<sockaddr *>(&a), &len);
    configure(replaced(tcp_connection(7, ntohs(a.sin_port), "", channel(1, 0) + "," + channel(2, 1)),
                       R"("resp_timeout":"200")", R"("resp_timeout":"5000")"));
    fbtest::Process poll = start("tcp", "7");
    ASSERT_TRUE(poll.wait_err("connect 127.0.0.1")) << poll.err();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(fbtest::exit_code(poll.stop(SIGTERM, 3000ms)), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1000ms);
    EXPECT_TRUE(
        bus.wait_for([&](auto &) { return bus.count("mb_poll_status", "error_status", "Program exits") == 1; }));
    EXPECT_TRUE(bus.wait_for([&](auto &) { return bus.count("mb_scan_end", "scan_end", "0") == 1; }));
    close(server);
}

TEST_F(ModbusPollProgram, BadConfigurationAndArguments)
{
    std::string out;
    EXPECT_EQ(fbtest::run({fbtest::bin("modbus_poll"), "tcp"}, &out), 1);
    EXPECT_EQ(fbtest::run({fbtest::bin("modbus_poll"), "tcp", "x1"}, &out), 1);

    configure(R"({"id":"1","enable":"true","type":"tcp","scan_rate":null})");
    fbtest::Process poll = start("tcp", "1");
    EXPECT_EQ(fbtest::exit_code(poll.wait_exit(5000ms)), 255);
    EXPECT_NE(poll.err().find("Can not get scan rate."), std::string::npos) << poll.err();
    EXPECT_NE(poll.err().find("load conf failed"), std::string::npos);
    EXPECT_NE(poll.err().find("load configuration failed"), std::string::npos);

    root.write("/etc/config/applications/modbus_poll", "{ not json");
    fbtest::Process broken = start("tcp", "1");
    EXPECT_EQ(fbtest::exit_code(broken.wait_exit(5000ms)), 255);
    EXPECT_NE(broken.err().find("load configuration failed"), std::string::npos);
}

// The bus daemon is restarted under a running poller: within about a second of its return the
// poller's listening connection is back with its event handlers (a write request is served) and
// its sending connection delivers readings again, without a restart of the poller.
TEST_F(ModbusPollProgram, SurvivesABusDaemonRestart)
{
    const int port = fbtest::free_tcp_port();
    Sim sim = Sim::tcp(root.dir(), port, {"--hr", "0=7,8"});
    configure(tcp_connection(2, port, "", channel(1, 0) + "," + channel(2, 1)));
    auto bus = std::make_unique<Bus>(root);
    fbtest::Process poll = start("tcp", "2");
    ASSERT_TRUE(bus->wait_for([&](auto &) { return bus->count("mb_scan_end") >= 1; })) << poll.err();

    bus.reset(); // daemon and listener gone; readings in between are lost, as on the router
    ASSERT_TRUE(poll.running());
    bus = std::make_unique<Bus>(root);
    ASSERT_TRUE(bus->wait_for([&](auto &) { return bus->count("mb_read_data") >= 2; }, 5000ms)) << poll.err();

    // The write handler was registered again on the new daemon.
    ASSERT_TRUE(fbtest::wait_until(
        [&] {
            Bus::send("mb_write_data", R"({"connection_index":2,"slave_id":1,"func_code":6,"reg_addr":1,)"
                                       R"("endian":"ab","value":"99"})");
            return sim.get("hr", 1, 1) == "99";
        },
        5000ms))
        << poll.err();
    EXPECT_TRUE(poll.running());
}

// The link and its transactions against real peers: our libmodbus slave over TCP and over a
// pseudo-terminal pair at $ROOT/dev/RS485, and the scripted fake slave for protocol faults.
#include "modbus_engine/link.h"

#include "common/daemon.h"
#include "fake_slave.h"
#include "fbtest/support.h"
#include "sim.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

using namespace modbus;
using namespace mbtest;

namespace
{

struct Recorder : LinkObserver {
    std::vector<std::string> statuses;
    void connection_status(const char *text) override { statuses.emplace_back(text); }
};

std::string data_hex(const ReadResult &r)
{
    std::string s;
    char b[4];
    for (uint8_t v : r.data) {
        snprintf(b, sizeof b, "%02X", v);
        s += b;
    }
    return s;
}

ReadRequest request(uint8_t slave, uint8_t fc, uint16_t start, uint16_t quantity)
{
    ReadRequest r;
    r.slave_id = slave;
    r.func_code = fc;
    r.start = start;
    r.quantity = quantity;
    r.data_bytes = fc <= 2 ? uint32_t((quantity + 7) / 8) : 2u * quantity;
    return r;
}

class ModbusEngine : public testing::Test
{
  protected:
    void SetUp() override
    {
        setenv("FIELDBRIDGE_LOG_STDERR", "1", 1);
        fb::openlog_applet("modbus_poll");
        // The board utility's stand-in is found on PATH, as on the router.
        const char *bin = getenv("FB_BIN_DIR");
        std::string path = std::string(bin ? bin : "build/bin") + ":" + (getenv("PATH") ? getenv("PATH") : "");
        setenv("PATH", path.c_str(), 1);
        link.observer = &recorder;
        link.resp_timeout = 150;
    }

    void tcp_to(int port)
    {
        link.kind = uint8_t(LinkKind::tcp_client);
        link.server_addr = "127.0.0.1";
        link.server_is_ip = true;
        link.server_port = uint32_t(port);
        link.connect_timeout = 2;
    }

    void rs485()
    {
        link.kind = uint8_t(LinkKind::rs485);
        link.device = "/dev/RS485";
        link.baud_rate = 9600;
        link.data_bits = 8;
        link.stop_bits = 1;
        link.parity = 0;
    }

    fbtest::TempRoot root;
    Recorder recorder;
    Link link;
};

} // namespace

TEST_F(ModbusEngine, TcpReadsAndWritesAgainstLibmodbus)
{
    int port = fbtest::free_tcp_port();
    Sim sim = Sim::tcp(root.dir(), port, {"--hr", "10=258,65535,7", "--ir", "3=42", "--co", "0=1,0,1", "--di", "5=1"});
    tcp_to(port);
    ASSERT_TRUE(link.open());

    ReadResult r = link.read(request(1, 3, 10, 3));
    ASSERT_EQ(r.state, ChannelState::read_ok);
    EXPECT_EQ(data_hex(r), "0102FFFF0007");
    EXPECT_EQ(link.transaction_id, 1);
    EXPECT_EQ(data_hex(link.read(request(1, 4, 3, 1))), "002A");
    EXPECT_EQ(data_hex(link.read(request(1, 1, 0, 3))), "05");
    EXPECT_EQ(data_hex(link.read(request(1, 2, 5, 1))), "01");
    EXPECT_EQ(link.transaction_id, 4);

    // libmodbus answers a read beyond its tables with exception 2; the id is not advanced.
    r = link.read(request(1, 3, 9999, 5));
    EXPECT_EQ(r.state, ChannelState::func_code_error);
    EXPECT_STREQ(exception_text(r.exception_code), "Illegal data address");
    EXPECT_EQ(link.transaction_id, 4);

    uint8_t reg[] = {0x12, 0x34};
    EXPECT_TRUE(link.write(1, 6, 20, reg));
    EXPECT_EQ(link.transaction_id, 5) << "a write advances the id before it is sent";
    uint8_t regs[] = {0x3F, 0xC0, 0x00, 0x00};
    EXPECT_TRUE(link.write(1, 16, 30, regs));
    uint8_t on[] = {0xFF, 0x00};
    EXPECT_TRUE(link.write(1, 5, 2, on));
    EXPECT_EQ(sim.get("hr", 20, 1), "4660");
    EXPECT_EQ(sim.get("hr", 30, 2), "16320 0");
    EXPECT_EQ(sim.get("co", 0, 3), "1 0 1");
    EXPECT_FALSE(link.write(1, 6, 9999 + 1, reg)) << "an exception reply is a failed write";
    EXPECT_TRUE(recorder.statuses.empty());
}

TEST_F(ModbusEngine, RtuOverPseudoTerminalAndTheLineDriver)
{
    fbtest::PtyPair pty(root.path("/dev/RS485"), root.path("/dev/sim485"));
    Sim sim(root.dir(), {"--rtu", root.path("/dev/sim485")}, {"--slave", "7", "--hr", "0=500,501"});
    rs485();
    ASSERT_TRUE(link.open());
    EXPECT_NE(root.read("/tmp/services/ch343_gpio_control.log").find("set 8 low"), std::string::npos);

    ReadResult r = link.read(request(7, 3, 0, 2));
    ASSERT_EQ(r.state, ChannelState::read_ok);
    EXPECT_EQ(data_hex(r), "01F401F5");
    EXPECT_EQ(link.transaction_id, 0) << "RTU has no transaction id";
    uint8_t reg[] = {0x02, 0x01};
    EXPECT_TRUE(link.write(7, 6, 1, reg));
    EXPECT_EQ(sim.get("hr", 1, 1), "513");

    // A request to another slave on the line gets no answer at all.
    int errors = 0;
    auto count = [&] { ++errors; };
    link.re_receive = 1;
    link.resp_timeout = 60;
    r = link.read(request(8, 3, 0, 1), ReadErrorHook(count));
    EXPECT_EQ(r.state, ChannelState::read_error);
    EXPECT_EQ(errors, 1);
    EXPECT_TRUE(link.is_open()) << "a serial line stays open after read errors";
}

TEST_F(ModbusEngine, OpenFailuresAreReported)
{
    rs485(); // no /dev/RS485 in this root
    EXPECT_FALSE(link.open());
    EXPECT_EQ(link.fd(), -1);
    EXPECT_NE(root.read("/tmp/services/ch343_gpio_control.log").find("set 8 low"), std::string::npos)
        << "the line driver is set even when the open failed";

    tcp_to(fbtest::free_tcp_port()); // nobody listens there
    EXPECT_FALSE(link.open());
    EXPECT_EQ(recorder.statuses, (std::vector<std::string>{"Open serial port error", "Connection failed"}));

    // A host name is resolved first (localhost comes from the hosts file, no query leaves the host).
    std::unique_ptr<FakeSlave> fake(FakeSlave::tcp([](const Bytes &, int) { return Bytes{}; }));
    tcp_to(fake->port());
    link.server_addr = "localhost";
    link.server_is_ip = false;
    EXPECT_TRUE(link.open());
}

TEST_F(ModbusEngine, TcpProtocolFaults)
{
    // Each request number gets its own fault; the request is echoed back as the basis.
    std::unique_ptr<FakeSlave> fake(FakeSlave::tcp([](const Bytes &rq, int n) -> Bytes {
        Bytes ok = tcp_header(rq, 5);
        ok.insert(ok.end(), {rq[7], 2, 0x12, 0x34});
        switch (n) {
        case 0: { // stale transaction id
            Bytes b = ok;
            b[1] = uint8_t(b[1] - 1);
            return b;
        }
        case 1: { // protocol id not 0
            Bytes b = ok;
            b[3] = 1;
            return b;
        }
        case 2: // cut in the middle
            return Bytes(ok.begin(), ok.begin() + 10);
        case 3: { // a correct reply followed by junk
            Bytes b = ok;
            b.insert(b.end(), {0xDE, 0xAD, 0xBE, 0xEF});
            return b;
        }
        case 4: { // another unit
            Bytes b = ok;
            b[6] = uint8_t(rq[6] + 1);
            return b;
        }
        case 5: // wrong byte count
            ok[8] = 4;
            return ok;
        default:
            return ok;
        }
    }));
    tcp_to(fake->port());
    ASSERT_TRUE(link.open());
    link.transaction_id = 0x0100;
    EXPECT_EQ(link.read(request(1, 3, 0, 1)).state, ChannelState::trans_id_mismatch);
    EXPECT_EQ(link.transaction_id, 0x0100) << "the next request repeats the id";
    EXPECT_EQ(link.read(request(1, 3, 0, 1)).state, ChannelState::invalid_protocol_id);
    EXPECT_EQ(link.read(request(1, 3, 0, 1)).state, ChannelState::unexpected_bytes);
    ReadResult r = link.read(request(1, 3, 0, 1));
    EXPECT_EQ(r.state, ChannelState::read_ok);
    EXPECT_EQ(data_hex(r), "1234");
    // The junk after the previous reply is not taken for the start of this one.
    EXPECT_EQ(link.read(request(1, 3, 0, 1)).state, ChannelState::slave_id_mismatch);
    EXPECT_EQ(link.read(request(1, 3, 0, 1)).state, ChannelState::unexpected_bytes);
    EXPECT_EQ(link.read(request(1, 3, 0, 1)).state, ChannelState::read_ok);
    EXPECT_EQ(link.transaction_id, 0x0102);
    EXPECT_EQ(fake->requests(), 7);

    // The uplink changed: a server outside the LAN is connected to again; one in the LAN is kept.
    link.uplink_changed();
    EXPECT_TRUE(link.is_open());
    EXPECT_TRUE(fbtest::wait_until([&] { return fake->connections() == 2; }));
    link.server_in_lan = true;
    link.uplink_changed();
    link.close();
    link.uplink_changed();
    EXPECT_TRUE(link.is_open());
    EXPECT_TRUE(fbtest::wait_until([&] { return fake->connections() == 3; }));
}

TEST_F(ModbusEngine, SilentTcpDeviceIsReadAndReconnectedPerSend)
{
    std::unique_ptr<FakeSlave> fake(FakeSlave::tcp([](const Bytes &, int) { return Bytes{}; }));
    tcp_to(fake->port());
    ASSERT_TRUE(link.open());
    link.re_send = 1;
    link.re_receive = 2;
    link.resp_timeout = 40;
    int published = 0;
    auto count = [&] { ++published; };
    ReadResult r = link.read(request(1, 3, 0, 1), ReadErrorHook(count));
    EXPECT_EQ(r.state, ChannelState::read_error);
    EXPECT_EQ(r.last_read, 0);
    EXPECT_EQ(published, 2) << "\"Read error\" after each send";
    EXPECT_EQ(fake->requests(), 2);
    EXPECT_TRUE(fbtest::wait_until([&] { return fake->connections() == 3; })) << "reconnected after each send";
    EXPECT_TRUE(link.is_open());
}

TEST_F(ModbusEngine, RtuProtocolFaults)
{
    fbtest::PtyPair pty(root.path("/dev/RS485"), root.path("/dev/fake485"));
    std::unique_ptr<FakeSlave> fake(FakeSlave::rtu(root.path("/dev/fake485"), [](const Bytes &rq, int n) -> Bytes {
        switch (n) {
        case 0: { // bad CRC
            Bytes b = with_crc({rq[0], rq[1], 2, 0, 1});
            b.back() ^= 0xFF;
            return b;
        }
        case 1: // the reply of another slave
            return with_crc({uint8_t(rq[0] + 1), rq[1], 2, 0, 1});
        case 2: // exception: illegal data address
            return with_crc({rq[0], uint8_t(rq[1] | 0x80), 2});
        case 3: // wrong byte count, CRC right
            return with_crc({rq[0], rq[1], 4, 0, 0});
        case 4: // a write confirmed with another value
            return with_crc({rq[0], rq[1], rq[2], rq[3], 0, 0});
        default:
            return with_crc({rq[0], rq[1], 2, 0xAB, 0xCD});
        }
    }));
    rs485();
    ASSERT_TRUE(link.open());
    link.resp_timeout = 2000; // an exception reply must not wait for this
    EXPECT_EQ(link.read(request(3, 3, 0, 1)).state, ChannelState::crc_error);
    EXPECT_EQ(link.read(request(3, 3, 0, 1)).state, ChannelState::slave_id_mismatch);
    auto before = std::chrono::steady_clock::now();
    ReadResult r = link.read(request(3, 3, 0, 1));
    EXPECT_EQ(r.state, ChannelState::func_code_error);
    EXPECT_EQ(r.exception_code, 2);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(1500))
        << "an exception reply is complete after five bytes";
    EXPECT_EQ(link.read(request(3, 3, 0, 1)).state, ChannelState::unexpected_bytes);
    uint8_t reg[] = {0x00, 0x05};
    EXPECT_FALSE(link.write(3, 6, 0, reg)) << "the echo must carry the written value";
    r = link.read(request(3, 3, 0, 1));
    EXPECT_EQ(data_hex(r), "ABCD");
}

TEST_F(ModbusEngine, RefusedWritesSendNothing)
{
    std::unique_ptr<FakeSlave> fake(FakeSlave::tcp([](const Bytes &rq, int) { return rq; }));
    tcp_to(fake->port());
    ASSERT_TRUE(link.open());
    uint8_t value[] = {0xFF, 0x00};
    testing::internal::CaptureStderr();
    EXPECT_FALSE(link.write(1, 15, 0, value));
    EXPECT_FALSE(link.write(1, 3, 0, value));
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("write multiple coils not support now"), std::string::npos) << log;
    EXPECT_NE(log.find("unkonw modbus write func code (3)"), std::string::npos) << log;
    EXPECT_TRUE(link.write(1, 5, 0, value)) << "an echo confirms a coil write";
    EXPECT_EQ(fake->requests(), 1);
}

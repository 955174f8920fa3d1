// The configuration loader: selection of connections, options with their dependencies and
// messages, the derived channel values, the channel order and the status-row offset.
#include "modbus_poll/conf.h"

#include "common/daemon.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <cstdlib>
#include <string>

using mbp::Config;

namespace
{

struct Doc {
    explicit Doc(const std::string &text) : root(json_tokener_parse(text.c_str())) {}
    ~Doc() { json_object_put(root); }
    json_object *root;
};

// Loads `text` as the configuration of a process (type, index) and returns the log it wrote.
std::string load(Config &conf, const std::string &text, const char *type, long index, bool &ok)
{
    Doc doc(text);
    EXPECT_NE(doc.root, nullptr) << text;
    testing::internal::CaptureStderr();
    ok = mbp::mbp_conf_init(conf, doc.root, type, index);
    return testing::internal::GetCapturedStderr();
}

const std::string kTcp = R"({"connection":[
  {"id":"1","enable":"true","desc":"serial","type":"rs485","scan_rate":"100","channel":[]},
  {"id":"2","enable":"true","desc":"meter","type":"tcp","scan_rate":"250","reconnect_interval":"3",
   "resp_timeout":"400","re_send":"1","re_receive":"2","delay_between_polls":"5","enable_status":"true",
   "enable_logverbose":"false","baud_rate":"9600","server_addr":"127.0.0.1","server_port":"1502",
   "connect_timeout":"2","channel":[
     {"id":"9","enable":"true","desc":"flow","slave_id":"4","func_code":"3","register_addr":"100",
      "data_type_1":"float","multiple_register":"false","quantity":"10","endian_32":"cd_ab","plus":"1",
      "subtract":"2","divisor":"1","multiplier":"3","decimal_places":"2","exponent":"false",
      "monitoring_interval":"300","send_only_changed":"true"},
     {"id":"3","enable":"true","desc":"alarm bits","slave_id":"4","func_code":"2","register_addr":"7",
      "data_type_1":"int16","data_type_2":"bool","multiple_register":"true","quantity":"10","plus":"0",
      "subtract":"0","divisor":"1","multiplier":"1","decimal_places":"0","exponent":"false",
      "monitoring_interval":"0","send_only_changed":"false"},
     {"id":"5","enable":"false"},
     {"id":"6","enable":"true","desc":"status","slave_id":"4","func_code":"4","register_addr":"1",
      "data_type_1":"uint16","multiple_register":"false","quantity":"1","endian_16":"ba","plus":"0",
      "subtract":"0","divisor":"1","multiplier":"1","start_bit":"4","number_of_16bits":"4",
      "number_of_32bits":"0","decimal_places":"0","exponent":"false","monitoring_interval":"0",
      "send_only_changed":"false"}]}
]})";

std::string channel(const std::string &id, const std::string &extra = "")
{
    return R"({"id":")" + id + R"(","enable":"true","desc":"c)" + id +
           R"(","slave_id":"1","func_code":"3","register_addr":"0","data_type_1":"uint16","multiple_register":"false",)"
           R"("quantity":"1","endian_16":"ab","plus":"0","subtract":"0","divisor":"1","multiplier":"1"
             )" +
           extra + "}";
}

std::string serial_connection(const std::string &id, const std::string &type, const std::string &channels,
                              const std::string &enable = "true", const std::string &scan_rate = "100")
{
    return R"({"id":")" + id + R"(","enable":")" + enable + R"(","desc":"line","type":")" + type +
           R"(","scan_rate":")" + scan_rate +
           R"(","reconnect_interval":"1","resp_timeout":"100","re_send":"0",)"
           R"("re_receive":"0","delay_between_polls":"0","enable_status":"true","baud_rate":"9600","parity":"0",)"
           R"("data_bits":"8","stop_bits":"1","channel":[)" +
           channels + "]}";
}

std::string doc_of(const std::string &connections)
{
    return R"({"connection":[)" + connections + "]}";
}

} // namespace

class ModbusConf : public testing::Test
{
  protected:
    void SetUp() override
    {
        setenv("FIELDBRIDGE_LOG_STDERR", "1", 1);
        fb::openlog_applet("modbus_poll");
    }
};

TEST_F(ModbusConf, TcpConnectionOptionsAndDerivedChannelValues)
{
    Config conf;
    bool ok;
    load(conf, kTcp, "tcp", 2, ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(conf.connection_ids, std::vector<uint8_t>{2});
    EXPECT_EQ(conf.link.kind, uint8_t(modbus::LinkKind::tcp_client));
    EXPECT_EQ(conf.scan_rate, 250u);
    EXPECT_EQ(conf.reconnect_interval, 3);
    EXPECT_EQ(conf.link.resp_timeout, 400u);
    EXPECT_EQ(conf.link.re_send, 1);
    EXPECT_EQ(conf.link.re_receive, 2);
    EXPECT_EQ(conf.delay_between_polls, 5);
    EXPECT_TRUE(conf.enable_status);
    EXPECT_FALSE(conf.link.verbose_frames);
    EXPECT_EQ(conf.link.baud_rate, 0u) << "serial options are not read for TCP";
    EXPECT_EQ(conf.link.server_addr, "127.0.0.1");
    EXPECT_TRUE(conf.link.server_is_ip);
    EXPECT_EQ(conf.link.server_port, 1502u);
    EXPECT_EQ(conf.link.connect_timeout, 2);
    // The status rows of the RS485 connection (no channels) come first.
    EXPECT_EQ(conf.status_offset, 0);

    ASSERT_EQ(conf.channels.size(), 3u);
    const mbp::Channel &bits = *conf.channels[0], &status = *conf.channels[1], &flow = *conf.channels[2];
    EXPECT_EQ(bits.id, 3);
    EXPECT_EQ(status.id, 6);
    EXPECT_EQ(flow.id, 9);

    // Float without a block reads 2 registers whatever "quantity" says.
    EXPECT_EQ(flow.quantity, 2);
    EXPECT_EQ(flow.registers_per_value, 2);
    EXPECT_EQ(flow.data_bytes(), 4u);
    EXPECT_EQ(flow.expected_length, 13);
    EXPECT_EQ(flow.byte_order, uint32_t(modbus::ByteOrder::cd_ab));
    EXPECT_EQ(flow.monitoring_interval, 44) << "300 kept in eight bits";
    EXPECT_NE(flow.previous, nullptr);
    EXPECT_TRUE(flow.send_only_changed);
    EXPECT_EQ(flow.plus, 1);
    EXPECT_EQ(flow.subtract, 2);
    EXPECT_EQ(flow.multiplier, 3);
    EXPECT_EQ(flow.connection_id, 2);
    EXPECT_EQ(flow.state, uint8_t(modbus::ChannelState::reading));

    // Discrete inputs take "data_type_2" and ignore "data_type_1"; a block of 10 inputs is 2 bytes.
    EXPECT_EQ(bits.data_type, uint32_t(modbus::DataType::boolean));
    EXPECT_EQ(bits.quantity, 10);
    EXPECT_EQ(bits.coil_bytes, 2);
    EXPECT_EQ(bits.expected_length, 11);

    EXPECT_EQ(flow.register_addr, 100);
    EXPECT_EQ(status.start_bit, 4);
    EXPECT_EQ(status.number_of_16bits, 4);
    EXPECT_EQ(status.byte_order, uint32_t(modbus::ByteOrder::ba));
}

TEST_F(ModbusConf, SerialProcessServesEveryEnabledConnectionOfItsTypeById)
{
    std::string text =
        doc_of(serial_connection("3", "rs485", channel("2") + "," + channel("1"), "true", "999") + "," +
               serial_connection("7", "rs485", channel("1"), "false") + "," +
               serial_connection("1", "rs485", channel("5"), "true", "100") + "," +
               serial_connection("2", "rs232", channel("1")) + "," + serial_connection("4", "rs485", channel("8")) +
               "," + serial_connection("5", "rs485", channel("9")));
    Config conf;
    bool ok;
    load(conf, text, "rs485", 9, ok);
    ASSERT_TRUE(ok);
    // More than three connections on one line are all served.
    EXPECT_EQ(conf.connection_ids, (std::vector<uint8_t>{1, 3, 4, 5}));
    EXPECT_EQ(conf.scan_rate, 100u) << "options come from the lowest id only";
    EXPECT_EQ(conf.link.device, "/dev/RS485");
    EXPECT_EQ(conf.link.baud_rate, 9600u);
    std::vector<std::pair<int, int>> order;
    for (auto &ch : conf.channels)
        order.emplace_back(ch->connection_id, ch->id);
    EXPECT_EQ(order, (std::vector<std::pair<int, int>>{{1, 5}, {3, 1}, {3, 2}, {4, 8}, {5, 9}}));
    EXPECT_EQ(conf.find_channel(3, 2), conf.channels[2].get());
    EXPECT_EQ(conf.find_channel(2, 1), nullptr);
    EXPECT_TRUE(conf.serves(4));
    EXPECT_FALSE(conf.serves(7));
}

TEST_F(ModbusConf, KeyOrderDoesNotChangeTheMeaning)
{
    // "type" after its TCP options, and a channel whose block flag and quantity come first.
    std::string text = R"({"connection":[{"server_addr":"127.0.0.1","server_port":"502","id":"4","type":"tcp",
        "channel":[{"quantity":"3","multiple_register":"true","endian_16":"ab","data_type_1":"int16",
                    "func_code":"3","enable":"true","id":"1","multiplier":"1","divisor":"1"}]}]})";
    Config conf;
    bool ok;
    load(conf, text, "tcp", 4, ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(conf.link.server_port, 502u);
    ASSERT_EQ(conf.channels.size(), 1u);
    EXPECT_EQ(conf.channels[0]->quantity, 3);
    EXPECT_TRUE(conf.channels[0]->multiple_register);
}

TEST_F(ModbusConf, EveryBadConfigurationFailsWithItsMessage)
{
    struct Case {
        std::string text;
        const char *type;
        long index;
        std::vector<std::string> messages;
    };
    auto tcp_with = [](const std::string &from, const std::string &to) {
        std::string t = kTcp;
        size_t at = t.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return t.replace(at, from.size(), to);
    };
    auto one_channel = [](const std::string &ch) { return doc_of(serial_connection("1", "rs485", ch)); };
    const std::vector<Case> cases = {
        {kTcp, "modbus", 2, {"unkonw connection type"}},
        {kTcp, "tcp", 8, {"can not get connection index"}},
        {kTcp, "rs232", 1, {"can not get connection index"}},
        {R"({"connection":[null]})",
         "tcp",
         1,
         {"error in src/modbus_poll.c, mbp_get_connection_index:184", "can not get connection index"}},
        {"{}", "tcp", 1, {"can not get connection index"}},
        {tcp_with(R"("id":"2","enable":"true")", R"("id":"2","enable":"false")"), "tcp", 2, {"load conf failed"}},
        {tcp_with(R"("type":"tcp")", R"("type":"udp")"), "tcp", 2, {"load conf failed"}},
        {tcp_with(R"("desc":"meter")", R"("desc":null)"), "tcp", 2, {"Can not get desc.", "load conf failed"}},
        {tcp_with(R"("scan_rate":"250")", R"("scan_rate":null)"),
         "tcp",
         2,
         {"Can not get scan rate.", "load conf failed"}},
        {tcp_with(R"("delay_between_polls":"5")", R"("delay_between_polls":null)"),
         "tcp",
         2,
         {"Can not get delay_polls."}},
        {tcp_with(R"("server_addr":"127.0.0.1")", R"("server_addr":null)"),
         "tcp",
         2,
         {"Can not get server_addr.", "load conf failed"}},
        {doc_of(R"({"id":"1","type":"rs485","enable":"true","baud_rate":null})"),
         "rs485",
         1,
         {"Can not get baud_rate.", "load conf failed"}},
        {one_channel("null"), "rs485", 1, {"error in src/modbus_poll.c, mbp_conf_get_channel_para:267"}},
        {one_channel(R"({"enable":"true","desc":"x"})"), "rs485", 1, {"Can not get channel id"}},
        {one_channel(R"({"id":"1","desc":"x"})"), "rs485", 1, {"Can not get channel enable."}},
        {one_channel(channel("1", R"(,"desc":null)")), "rs485", 1, {"Can not get channel desc."}},
        {one_channel(R"({"id":"1","enable":"true","func_code":"5"})"), "rs485", 1, {"Can not get func_code."}},
        {one_channel(R"({"id":"1","enable":"true","func_code":"3","data_type_1":"int8"})"),
         "rs485",
         1,
         {"unkonw data type"}},
        {one_channel(R"({"id":"1","enable":"true","func_code":"3"})"), "rs485", 1, {"Can not get data_type_1."}},
        {one_channel(R"({"id":"1","enable":"true","func_code":"1","data_type_2":"coil"})"),
         "rs485",
         1,
         {"unkonw data type 2"}},
        {one_channel(R"({"id":"1","enable":"true","func_code":"3","data_type_1":"float"})"),
         "rs485",
         1,
         {"Can not get endian_32."}},
        {one_channel(R"({"id":"1","enable":"true","func_code":"3","data_type_1":"double64","endian_64":"ab"})"),
         "rs485",
         1,
         {"unkonw endian_64"}},
        {one_channel(channel("1", R"(,"quantity":null)")), "rs485", 1, {"Can not get quantity."}},
        {one_channel(channel("1", R"(,"register_addr":null)")), "rs485", 1, {"Can not get register_addr."}},
        {one_channel(channel("1", R"(,"subtract":null)")), "rs485", 1, {"Can not get subtract."}},
        {one_channel(channel("1", R"(,"start_bit":null)")), "rs485", 1, {"Can not get start_bit."}},
        {one_channel(channel("1", R"(,"monitoring_interval":null)")), "rs485", 1, {"Can not get monitoring_interval."}},
    };
    for (const Case &c : cases) {
        Config conf;
        bool ok = true;
        std::string log = load(conf, c.text, c.type, c.index, ok);
        EXPECT_FALSE(ok) << c.text;
        for (const std::string &m : c.messages)
            EXPECT_NE(log.find(m), std::string::npos) << "missing \"" << m << "\" in:\n" << log;
    }
}

TEST_F(ModbusConf, EmptyChannelListIsServedWithAWarning)
{
    Config conf;
    bool ok;
    std::string log = load(conf, doc_of(serial_connection("2", "rs232", "")), "rs232", 1, ok);
    EXPECT_TRUE(ok);
    EXPECT_NE(log.find("connection 2 channel is empty"), std::string::npos) << log;
    EXPECT_TRUE(conf.channels.empty());
}

TEST_F(ModbusConf, StatusRowOffsetCountsTheRowsBeforeThisProcess)
{
    // Enabled channels: RS485 connection 5 has 2 of 3 (one is not exactly "true"), TCP 1 has 1,
    // TCP 3 has 2, RS232 6 has 1, and the disabled TCP 2 does not count at all.
    std::string text =
        doc_of(serial_connection("5", "rs485", channel("1") + "," + channel("2") + R"(,{"id":"3","enable":"yes"})") +
               "," + R"({"id":"1","type":"tcp","enable":"true","channel":[)" + channel("1") + "]}," +
               R"({"id":"2","type":"tcp","enable":"false","channel":[)" + channel("1") + "]}," +
               R"({"id":"3","type":"tcp","enable":"true","channel":[)" + channel("1") + "," + channel("2") + "]}," +
               serial_connection("6", "rs232", channel("1")));
    Doc doc(text);
    using modbus::LinkKind;
    EXPECT_EQ(mbp::mbp_get_status_index(doc.root, uint8_t(LinkKind::rs485), 5), 0);
    EXPECT_EQ(mbp::mbp_get_status_index(doc.root, uint8_t(LinkKind::tcp_client), 1), 2);
    EXPECT_EQ(mbp::mbp_get_status_index(doc.root, uint8_t(LinkKind::tcp_client), 3), 3);
    EXPECT_EQ(mbp::mbp_get_status_index(doc.root, uint8_t(LinkKind::rs232), 6), 5);

    Doc broken(R"({"connection":[{"id":"1","type":"tcp","enable":"true","channel":[null]},null]})");
    testing::internal::CaptureStderr();
    EXPECT_EQ(mbp::mbp_get_status_index(broken.root, uint8_t(LinkKind::rs232), 1), 0);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("error in src/modbus_poll.c, mbp_get_channel_index_count:110"), std::string::npos) << log;
    EXPECT_NE(log.find("error in src/modbus_poll.c, mbp_get_status_index:137"), std::string::npos) << log;
}

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include <json-c/json.h>

#include "modbus_transport/modbus_flavour.h"
#include "mt_util.h"
#include "transport/engine.h"
#include "transport/payload.h"

using namespace transport;
using mttest::Root;

namespace {

const modbus_transport::ModbusFlavour kFlavour;

Reading reading(int conn, int chan, int slave, int fc, int reg, const char *value, int ts = 1700000000)
{
    Reading r;
    r.connection_index = uint8_t(conn);
    r.channel_index = uint8_t(chan);
    r.slave_id = uint8_t(slave);
    r.func_code = uint8_t(fc);
    r.register_addr = reg;
    r.timestamp = ts;
    r.data = value;
    return r;
}

struct PayloadTest : testing::Test {
    Root root;
    TransportConfig cfg;
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        // Channel descriptions come from the poller's configuration: connection 1, channels 1-3.
        root.root.write("/etc/config/applications/modbus_poll",
                        R"({"connection":[{"id":"1","desc":"line A","channel":[
                            {"id":"1","desc":"temp"},{"id":"2","desc":"hum"},{"id":"3","desc":""}]}]})");
        cfg.index = 7;
        cfg.serial_number = "SN0001";
        cfg.protocol = Protocol::Mqtt;
    }
    std::string combined(DataType type, const std::string &header, const Batch &batch)
    {
        cfg.data_type = type;
        cfg.data_format = header;
        JsonRef obj(kFlavour.combin_header(cfg, 1, batch.empty() ? 0 : batch.front().timestamp));
        if (!obj)
            obj.reset(json_object_new_object());
        kFlavour.combin_insert(cfg, obj.get(), batch);
        return json_text(obj.get());
    }
};

} // namespace

TEST_F(PayloadTest, SinglePayloadEndsInALineFeedAsTheProtocolAsks)
{
    uloop_init();
    cfg.data_format = "$VALUE";
    Reading r = reading(1, 1, 1, 3, 100, "21.5");
    struct Case {
        Protocol protocol;
        bool line_break;
        const char *expected;
    } cases[] = {
        {Protocol::Mqtt, true, "21.5\n"},
        {Protocol::Mqtt, false, "21.5"},
        {Protocol::Http, true, "21.5"},
        {Protocol::Ftp, false, "21.5\n"},
    };
    for (const Case &c : cases) {
        cfg.protocol = c.protocol;
        cfg.line_break = c.line_break;
        Engine engine(kFlavour, cfg);
        bool ok = false;
        EXPECT_EQ(engine.single_padding(r, ok), c.expected);
        EXPECT_TRUE(ok);
    }
}

TEST_F(PayloadTest, EveryVariableIsReplacedInTableOrder)
{
    usi_set("system.model", "RX-1");
    usi_list_set("cellular.status", 1, "csq", "23");
    cfg.data_format = "$SERIAL_NUMBER|$DATE|$VALUE|$TIMESTAMP|$CONNECTION_INDEX|$CONNECTION_DESC|$CHANNEL_INDEX|"
                      "$CHANNEL_DESC|$SLAVE_ID|$REGISTER_ADDRESS|$REGISTER_ADDER|$FUNC_CODE|$TRANSPORT_INDEX|"
                      "$TRANSPORT_DESC|$DEVICE_MODEL|$MODEM_MODEL|$CSQ";
    bool ok = false;
    std::string text = kFlavour.single_payload(cfg, reading(1, 2, 9, 3, 100, "5.25"), ok);
    EXPECT_EQ(text, "SN0001|2023-11-14 22:13:20|5.25|1700000000|1|line A|2|hum|9|100SS|100|3|7| |RX-1| |23");

    size_t count = 0;
    const Variable *vars = modbus_transport::variables(count);
    ASSERT_EQ(count, 29u); // 28 codes, code 10 under two spellings
    EXPECT_STREQ(vars[9].token, "$REGISTER_ADDRE");
    EXPECT_STREQ(vars[28].label, "Modem Firmware");
}

TEST_F(PayloadTest, CombinedLayouts)
{
    Batch b = {reading(1, 1, 1, 3, 40001, "21.5"), reading(1, 2, 1, 3, 40002, "40")};
    EXPECT_EQ(combined(DataType::Combin1, R"({"sn":"$SERIAL_NUMBER","t":"$DATE"})", b),
              R"({ "sn": "SN0001", "t": "2023-11-14 22:13:20", "temp": "21.5", "hum": "40" })");
    EXPECT_EQ(combined(DataType::Combin2, "{}", b), R"({ "1": { "40001": "21.5", "40002": "40" } })");
    b.push_back(reading(1, 1, 2, 4, 7, "x/y"));
    EXPECT_EQ(combined(DataType::Combin3, "{}", b),
              R"({ "1": { "3": { "40001": "21.5", "40002": "40" } }, "2": { "4": { "7": "x\/y" } } })");

    Batch same = {reading(1, 1, 1, 3, 1, "a"), reading(1, 1, 1, 3, 1, "b"), reading(1, 1, 1, 3, 1, "c")};
    EXPECT_EQ(combined(DataType::Combin4, "{}", same), R"({ "temp": [ "a", "b", "c" ] })");
    // combin-1: the later value of a channel replaces the earlier one; no description, no member.
    same.push_back(reading(1, 3, 1, 3, 1, "skipped"));
    EXPECT_EQ(combined(DataType::Combin1, "{}", same), R"({ "temp": "c" })");
}

TEST_F(PayloadTest, CombinedHeaderKeepsPerReadingVariablesAndNeedsAnObject)
{
    Batch b = {reading(1, 1, 1, 3, 1, "21.5")};
    EXPECT_EQ(combined(DataType::Combin1, R"({"v":"$VALUE","c":"$CONNECTION_DESC"})", b),
              R"({ "v": "$VALUE", "c": "line A", "temp": "21.5" })");
    EXPECT_EQ(combined(DataType::Combin1, "plain $SERIAL_NUMBER", b), R"({ "temp": "21.5" })");
    EXPECT_EQ(combined(DataType::Combin1, R"(["$SERIAL_NUMBER"])", b), R"({ "temp": "21.5" })");
    // A header member with the name of a slave address is replaced by the slave's object.
    EXPECT_EQ(combined(DataType::Combin2, R"({"1":"header"})", b), R"({ "1": { "1": "21.5" } })");
}

TEST_F(PayloadTest, InsertionStopsAtTheScanEndMark)
{
    Batch b = {reading(1, 1, 1, 3, 1, "a"), reading(1, 2, 1, 3, 2, "b"), reading(1, 1, 1, 3, 3, "late")};
    std::next(b.begin())->scan_end = 1;
    EXPECT_EQ(combined(DataType::Combin2, "{}", b), R"({ "1": { "1": "a", "2": "b" } })");
    JsonRef obj(json_object_new_object());
    EXPECT_EQ(kFlavour.combin_insert(cfg, obj.get(), Batch{}), 0);
    EXPECT_EQ(kFlavour.combin_insert(cfg, nullptr, b), 0);
}

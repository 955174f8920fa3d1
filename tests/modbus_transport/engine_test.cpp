// The loop's delivery and resend logic against a real broker.
#include <gtest/gtest.h>

#include <libubox/uloop.h>

#include <string>
#include <vector>

#include "modbus_transport/modbus_flavour.h"
#include "mt_util.h"
#include "transport/engine.h"

using namespace transport;
using mttest::Broker;
using mttest::Root;
using mttest::Subscriber;

namespace {

const modbus_transport::ModbusFlavour kFlavour;

Reading reading(int conn, int reg, const std::string &value)
{
    Reading r;
    r.connection_index = uint8_t(conn);
    r.channel_index = 1;
    r.slave_id = 1;
    r.func_code = 3;
    r.register_addr = reg;
    r.timestamp = 1700000000;
    r.data = value;
    return r;
}

long cached_rows(const Engine &e)
{
    Db db;
    EXPECT_EQ(db.open(e.cache().path()), SQLITE_OK);
    return count_rows(db, "modbus");
}

struct EngineTest : testing::Test {
    Root root;
    TransportConfig cfg;
    int port = fbtest::free_tcp_port();

    void SetUp() override
    {
        uloop_init();
        cfg.index = 1;
        cfg.serial_number = "SN0001";
        cfg.protocol = Protocol::Mqtt;
        cfg.server_uri = "tcp://127.0.0.1:" + std::to_string(port);
        cfg.client_id = "engine-test";
        cfg.connect_timeout = 3;
        cfg.keepalive = 30;
        cfg.reconnect_interval = 1;
        cfg.data_location = DataLocation::Ram;
        cfg.data_format = "$VALUE";
        cfg.number_of_sent = 3;
        add_rule(1, "data");
    }
    void add_rule(int conn, const char *topic)
    {
        auto rule = std::make_unique<ChannelRule>();
        rule->connection_index = uint8_t(conn);
        rule->filter = Filter::ChannelIndex;
        rule->channel_index = 255;
        if (topic) {
            rule->has_topic = true;
            rule->topic = topic;
        }
        cfg.rules.push_back(std::move(rule));
    }
    // Lets the loop run the work the MQTT thread handed over.
    void spin(int ms = 50) { uloop_run_timeout(ms); }
};

} // namespace

TEST_F(EngineTest, UndeliveredReadingsAreCachedAndResentOldestFirst)
{
    Engine e(kFlavour, cfg);
    ASSERT_TRUE(e.start_cache());
    for (int i = 1; i <= 5; ++i)
        EXPECT_EQ(e.handle_reading(false, reading(1, i, "v" + std::to_string(i))), 0);
    EXPECT_TRUE(e.history_pending());
    EXPECT_EQ(root.quantity(), "5");
    // A resend that fails again leaves the row where it is, without a copy.
    EXPECT_EQ(e.handle_reading(true, reading(1, 9, "again")), 0);
    EXPECT_EQ(cached_rows(e), 5);
    // Readings of a poller connection without a rule are dropped, not cached.
    EXPECT_EQ(e.handle_reading(false, reading(4, 1, "nobody")), 1);

    Broker broker(root.root.dir(), {}, port);
    Subscriber sub(port, "data");
    ASSERT_TRUE(e.open_server());
    ASSERT_EQ(e.connection_state(), 1);
    EXPECT_EQ(root.status(), "Connected");
    e.send_combin_history_data();
    EXPECT_EQ(root.quantity(), "2");
    e.send_combin_history_data();
    ASSERT_TRUE(sub.wait_count(5));
    EXPECT_EQ(sub.messages(), (std::vector<std::string>{"v1", "v2", "v3", "v4", "v5"}));
    EXPECT_TRUE(e.history_pending());
    e.send_combin_history_data(); // finds nothing
    EXPECT_FALSE(e.history_pending());
    EXPECT_EQ(root.quantity(), "0");
}

TEST_F(EngineTest, NewestFirstOrderResendsTheNewestPageFirst)
{
    cfg.send_order = SendOrder::LastInFirstOut;
    Engine e(kFlavour, cfg);
    ASSERT_TRUE(e.start_cache());
    for (int i = 1; i <= 5; ++i)
        e.handle_reading(false, reading(1, i, "v" + std::to_string(i)));
    Broker broker(root.root.dir(), {}, port);
    Subscriber sub(port, "data");
    ASSERT_TRUE(e.open_server());
    e.send_combin_history_data();
    e.send_combin_history_data();
    ASSERT_TRUE(sub.wait_count(5));
    EXPECT_EQ(sub.messages(), (std::vector<std::string>{"v5", "v4", "v3", "v2", "v1"}));
}

TEST_F(EngineTest, NumberOfSentZeroStillDrainsTheCache)
{
    // Absent from the configuration (or 65536 cut to 16 bits): a page of zero rows would leave
    // every stored reading behind while the published size said "0".
    cfg.number_of_sent = 0;
    Engine e(kFlavour, cfg);
    ASSERT_TRUE(e.start_cache());
    for (int i = 1; i <= 5; ++i)
        e.handle_reading(false, reading(1, i, "v" + std::to_string(i)));
    Broker broker(root.root.dir(), {}, port);
    Subscriber sub(port, "data");
    ASSERT_TRUE(e.open_server());
    e.send_combin_history_data();
    ASSERT_TRUE(sub.wait_count(5));
    EXPECT_EQ(cached_rows(e), 0);
    EXPECT_EQ(root.quantity(), "0");
}

TEST_F(EngineTest, CombinedBatchIsCachedAndResentAsOneObject)
{
    cfg.data_type = DataType::Combin2;
    cfg.send_order = SendOrder::LastInFirstOut;
    cfg.data_format = R"({"sn":"$SERIAL_NUMBER"})";
    cfg.number_of_sent = 10;
    Engine e(kFlavour, cfg);
    ASSERT_TRUE(e.start_cache());
    for (int i = 1; i <= 4; ++i)
        EXPECT_EQ(e.handle_reading(false, reading(1, i, std::string(1, char('a' + i - 1)))), 1);
    e.scan_end(2, 1); // another poller connection: the batch stays
    EXPECT_EQ(cached_rows(e), 0);
    e.scan_end(1, 1);
    EXPECT_EQ(cached_rows(e), 4);
    EXPECT_TRUE(e.poll_idle());
    // A row of a poller connection that no rule takes any more is dropped on the way.
    e.cache().insert(false, reading(9, 1, "orphan"), 0);

    Broker broker(root.root.dir(), {}, port);
    Subscriber sub(port, "data");
    ASSERT_TRUE(e.open_server());
    EXPECT_EQ(e.send_combin_history_data(), 1);
    ASSERT_TRUE(sub.wait_count(1));
    EXPECT_EQ(sub.messages()[0], R"({ "sn": "SN0001", "1": { "1": "a", "2": "b", "3": "c", "4": "d" } })");
    EXPECT_EQ(cached_rows(e), 0);

    // Live batches go out at once while connected; a reading after the mark waits for the next scan.
    e.handle_reading(false, reading(1, 7, "x"));
    e.scan_end(1, 1);
    e.handle_reading(false, reading(1, 8, "y"));
    ASSERT_TRUE(sub.wait_count(2));
    EXPECT_EQ(sub.messages()[1], R"({ "sn": "SN0001", "1": { "7": "x" } })");
    e.scan_end(1, 1);
    ASSERT_TRUE(sub.wait_count(3));
    EXPECT_EQ(sub.messages()[2], R"({ "sn": "SN0001", "1": { "8": "y" } })");
}

TEST_F(EngineTest, BatchLongerThanAPageStillDrains)
{
    cfg.data_type = DataType::Combin2;
    cfg.data_format = "{}";
    cfg.number_of_sent = 2;
    Engine e(kFlavour, cfg);
    ASSERT_TRUE(e.start_cache());
    for (int i = 1; i <= 5; ++i)
        e.handle_reading(false, reading(1, i, "v" + std::to_string(i)));
    e.scan_end(1, 1);
    ASSERT_EQ(cached_rows(e), 5);

    Broker broker(root.root.dir(), {}, port);
    Subscriber sub(port, "data");
    ASSERT_TRUE(e.open_server());
    for (int pass = 0; pass < 5 && e.history_pending(); ++pass)
        e.send_combin_history_data();
    EXPECT_EQ(cached_rows(e), 0);
    EXPECT_FALSE(e.history_pending());
    ASSERT_TRUE(sub.wait_count(3));
    std::string all;
    for (const auto &m : sub.messages())
        all += m + "\n";
    for (int i = 1; i <= 5; ++i)
        EXPECT_NE(all.find("\"" + std::to_string(i) + "\": \"v" + std::to_string(i) + "\""), std::string::npos) << all;
}

TEST_F(EngineTest, NoTopicCountsAsDeliveredAndNullLocationStoresNothing)
{
    cfg.rules.clear();
    add_rule(1, nullptr);
    add_rule(2, "data");
    cfg.data_location = DataLocation::Null;
    Engine e(kFlavour, cfg);
    ASSERT_TRUE(e.start_cache());
    Broker broker(root.root.dir(), {}, port);
    ASSERT_TRUE(e.open_server());
    EXPECT_EQ(e.handle_reading(false, reading(1, 1, "dropped")), 1);
    broker.stop();
    ASSERT_TRUE(fbtest::wait_until([&] {
        spin();
        return e.connection_state() == -1;
    }));
    EXPECT_EQ(root.status(), "Disconnected");
    EXPECT_EQ(e.handle_reading(false, reading(2, 1, "lost")), 0);
    EXPECT_FALSE(e.history_pending());
    EXPECT_EQ(root.quantity(), "0");
    EXPECT_FALSE(root.root.exists("/tmp/database/modbus_transport/connection_1"));
}

TEST_F(EngineTest, ReconnectDelayGrowsUpToTheCapAndResetsOnSuccess)
{
    cfg.reconnect_interval = 200;
    Engine e(kFlavour, cfg);
    ASSERT_TRUE(e.start_cache());
    ASSERT_TRUE(e.open_server()); // nobody listens
    EXPECT_EQ(e.connection_state(), -1);
    EXPECT_EQ(root.status(), "Connecting");
    auto tick = [&](int n) {
        for (int i = 0; i < n; ++i)
            e.timer_tick();
    };
    // An attempt comes after delay + 1 ticks; each failure adds the interval, up to 600.
    tick(200);
    EXPECT_EQ(e.reconnect_delay(), 200);
    tick(1);
    EXPECT_EQ(e.reconnect_delay(), 400);
    tick(400);
    EXPECT_EQ(e.reconnect_delay(), 400);
    tick(1);
    EXPECT_EQ(e.reconnect_delay(), 600);
    tick(601);
    EXPECT_EQ(e.reconnect_delay(), 600);
    Broker broker(root.root.dir(), {}, port);
    for (int i = 0; i <= 601 && e.connection_state() != 1; ++i)
        e.timer_tick();
    EXPECT_EQ(e.connection_state(), 1);
    EXPECT_EQ(e.reconnect_delay(), 200);
}

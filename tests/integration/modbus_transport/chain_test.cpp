// The applet as a process between the bus daemon and a real broker.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "chain_util.h"

using namespace mtchain;
using mttest::Broker;
using mttest::Root;
using mttest::Subscriber;

namespace {

// Keeps the subscription and QoS 0 messages across broker restarts.
std::string persistent_broker(const Root &root)
{
    return "persistence true\npersistence_location " + root.root.dir() + "/\nqueue_qos0_messages true\n";
}

std::vector<std::string> persistent_sub(int port) { return {"-c", "-i", "sub-" + std::to_string(port), "-q", "1"}; }

long db_rows(const Root &root)
{
    sqlite3 *db = nullptr;
    long n = -1;
    if (sqlite3_open(root.root.path("/tmp/database/modbus_transport/connection_1").c_str(), &db) == SQLITE_OK) {
        sqlite3_stmt *st = nullptr;
        if (sqlite3_prepare_v2(db, "select count(*) from modbus", -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW)
            n = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return n;
}

bool wait_status(const Root &root, const std::string &status, fbtest::Millis timeout = fbtest::Millis(10000))
{
    return fbtest::wait_until([&] { return root.status() == status; }, timeout);
}

} // namespace

TEST(TransportChain, BrokerOutageLosesNothingAndResendsOldestFirst)
{
    Root root;
    int port = fbtest::free_tcp_port();
    root.write_config(mttest::doc(mqtt_connection(port, R"(,"data_send_order":"last_in_last_out")", kAllChannels)));
    Bus bus(root);
    Broker broker(root.root.dir(), persistent_broker(root), port);
    Subscriber sub(port, "data", persistent_sub(port));
    fbtest::Process mt = start_transport();
    ASSERT_TRUE(wait_status(root, "Connected")) << mt.err();
    ASSERT_TRUE(wait_registered(mt)) << mt.err();

    ubus_send("mb_read_data", reading_json(1, 1, 1, "live"));
    ASSERT_TRUE(sub.wait_count(1)) << mt.err();

    broker.stop();
    ASSERT_TRUE(wait_status(root, "Disconnected")) << mt.err();
    for (int i = 1; i <= 7; ++i) {
        ubus_send("mb_read_data", reading_json(1, 1, i, "r" + std::to_string(i)));
        ASSERT_TRUE(fbtest::wait_until([&] { return root.quantity() == std::to_string(i); })) << root.quantity();
    }
    broker.start();
    ASSERT_TRUE(sub.wait_count(8, fbtest::Millis(20000))) << mt.err() << sub.log();
    EXPECT_TRUE(fbtest::wait_until([&] { return root.quantity() == "0"; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // nothing more may follow
    EXPECT_EQ(sub.messages(), (std::vector<std::string>{"live", "r1", "r2", "r3", "r4", "r5", "r6", "r7"}));
    EXPECT_EQ(fbtest::exit_code(mt.stop(SIGTERM)), 0);
    EXPECT_NE(mt.err().find("Signal SIGTERM receive"), std::string::npos);
}

TEST(TransportChain, CombinedBatchesNewestFirstAfterAnOutage)
{
    Root root;
    int port = fbtest::free_tcp_port();
    root.write_config(mttest::doc(mqtt_connection(
        port, R"(,"data_type":"combin-2","data_send_order":"last_in_first_out","number_of_sent":"10")",
        kAllChannels)));
    Bus bus(root);
    Broker broker(root.root.dir(), persistent_broker(root), port);
    Subscriber sub(port, "data", persistent_sub(port));
    fbtest::Process mt = start_transport();
    ASSERT_TRUE(wait_status(root, "Connected")) << mt.err();
    ASSERT_TRUE(wait_registered(mt)) << mt.err();
    broker.stop();
    ASSERT_TRUE(wait_status(root, "Disconnected")) << mt.err();

    for (int scan = 1; scan <= 2; ++scan) {
        for (int reg = 1; reg <= 2; ++reg)
            ubus_send("mb_read_data", reading_json(1, reg, reg, "s" + std::to_string(scan) + "r" + std::to_string(reg)));
        ubus_send("mb_scan_end", R"({"connection_index":2,"scan_end":1})"); // someone else's scan
        ubus_send("mb_scan_end", R"({"connection_index":1,"scan_end":1})");
        ASSERT_TRUE(fbtest::wait_until([&] { return root.quantity() == std::to_string(2 * scan); })) << mt.err();
    }
    ubus_send("mb_scan_end", R"({"connection_index":1})");
    EXPECT_TRUE(fbtest::wait_until(
        [&] { return mt.err().find("error in src/modbus_transport.c, mbt_ubus_probe_event:3410") != std::string::npos; }));

    broker.start();
    ASSERT_TRUE(sub.wait_count(2, fbtest::Millis(20000))) << mt.err();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(sub.messages(), (std::vector<std::string>{R"({ "1": { "1": "s2r1", "2": "s2r2" } })",
                                                        R"({ "1": { "1": "s1r1", "2": "s1r2" } })"}));
}

TEST(TransportChain, WriteRequestsReachTheBus)
{
    Root root;
    int port = fbtest::free_tcp_port();
    root.write_config(mttest::doc(mqtt_connection(port, "", kAllChannels)));
    Bus bus(root);
    Broker broker(root.root.dir(), {}, port);
    fbtest::Process mt = start_transport();
    ASSERT_TRUE(wait_status(root, "Connected")) << mt.err();
    fbtest::Process listen({fbtest::bin("ubus"), "listen", "mb_write_data"}, child_env());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    auto publish = [&](const std::string &topic, const std::string &text) {
        return fbtest::run({"mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(port), "-t", topic, "-m", text});
    };
    ASSERT_EQ(publish("cmd", "1,1,5,0,ab,2"), 0);
    ASSERT_EQ(publish("other", "1,1,6,10,ab,5"), 0);
    ASSERT_EQ(publish("cmd", R"({"connection_index":1,"slave_id":1,"func_code":6,"reg_addr":10,"endian":"ab","value":"12"})"), 0);
    ASSERT_EQ(publish("cmd", R"({"connection_index":2,"slave_id":3,"func_code":16,"reg_addr":7,"endian":"a\"b","value":"1.5"})"), 0);
    ASSERT_TRUE(listen.wait_out("a\\\"b", fbtest::Millis(5000))) << listen.out() << mt.err();
    std::string out = listen.out();
    EXPECT_NE(out.find(R"("connection_index":1,"slave_id":1,"func_code":6,"reg_addr":10,"endian":"ab","value":"12")"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find(R"("reg_addr":7,"endian":"a\"b","value":"1.5")"), std::string::npos) << out;
    EXPECT_EQ(out.find("\"value\":\"2\""), std::string::npos); // refused: coil value 2
    EXPECT_EQ(out.find("\"value\":\"5\""), std::string::npos); // another topic
    EXPECT_NE(mt.err().find("value does not match(2)"), std::string::npos);
}

TEST(TransportChain, KilledWhileStoringThenRestartedResendsEveryStoredRow)
{
    Root root;
    int port = fbtest::free_tcp_port();
    root.write_config(mttest::doc(mqtt_connection(port, R"(,"number_of_sent":"50")", kAllChannels)));
    Bus bus(root);
    fbtest::Process mt = start_transport(); // no broker yet: everything goes to the cache
    ASSERT_TRUE(wait_registered(mt)) << mt.err();

    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        for (int i = 1; i <= 400 && !stop; ++i)
            ubus_send("mb_read_data", reading_json(1, 1, i, "k" + std::to_string(i)));
    });
    ASSERT_TRUE(fbtest::wait_until([&] { return db_rows(root) >= 20; }, fbtest::Millis(20000)));
    mt.signal(SIGKILL);
    mt.wait_exit(fbtest::Millis(5000));
    stop = true;
    feeder.join();
    long stored = db_rows(root);
    ASSERT_GE(stored, 20);

    Broker broker(root.root.dir(), {}, port);
    Subscriber sub(port, "data");
    fbtest::Process again = start_transport();
    ASSERT_TRUE(sub.wait_count(size_t(stored), fbtest::Millis(30000))) << again.err();
    EXPECT_TRUE(fbtest::wait_until([&] { return root.quantity() == "0"; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::vector<std::string> got = sub.messages();
    ASSERT_EQ(got.size(), size_t(stored));
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_EQ(got[i], "k" + std::to_string(i + 1));
}

TEST(TransportChain, UplinkChangeReconnectsAfterASettlingPause)
{
    Root root;
    int port = fbtest::free_tcp_port();
    root.write_config(mttest::doc(mqtt_connection(port, "", kAllChannels)));
    Bus bus(root);
    Broker broker(root.root.dir(), {}, port);
    Subscriber sub(port, "data");
    fbtest::Process mt = start_transport();
    ASSERT_TRUE(wait_status(root, "Connected")) << mt.err();
    ASSERT_TRUE(wait_registered(mt)) << mt.err();

    auto t0 = std::chrono::steady_clock::now();
    mt.signal(SIGUSR1);
    ASSERT_TRUE(wait_status(root, "Disconnected", fbtest::Millis(3000))) << mt.err();
    ubus_send("mb_read_data", reading_json(1, 1, 1, "during"));
    ASSERT_TRUE(fbtest::wait_until([&] { return root.quantity() == "1"; }));
    ASSERT_TRUE(wait_status(root, "Connected", fbtest::Millis(10000))) << mt.err();
    auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, std::chrono::milliseconds(4500));
    ASSERT_TRUE(sub.wait_count(1, fbtest::Millis(5000)));
    EXPECT_EQ(sub.messages()[0], "during");
}

TEST(TransportChain, StartFailures)
{
    Root root;
    {
        fbtest::Process p({transport_program()}, child_env());
        EXPECT_EQ(fbtest::exit_code(p.wait_exit(fbtest::Millis(5000))), 1);
        EXPECT_NE(p.err().find("Usages: " + transport_program() + " <Connection index>"), std::string::npos) << p.err();
    }
    struct Case {
        std::string config, message;
    } cases[] = {
        {mttest::doc(R"({"id":"1","enable":"true","desc":null})"), "Can not get desc."},
        {mttest::doc(R"({"id":"1","enable":"true","protocol":"carrier-pigeon"})"), "Unkonw protocol"},
        {"{not json", "load configuration failed"},
        {mttest::doc(R"({"id":"1","enable":"true"})"), "unkonw protocol(0)"},
    };
    for (const Case &c : cases) {
        root.write_config(c.config);
        fbtest::Process p = start_transport();
        EXPECT_EQ(fbtest::exit_code(p.wait_exit(fbtest::Millis(5000))), 255) << c.config;
        EXPECT_NE(p.err().find(c.message), std::string::npos) << p.err();
    }
    // No bus daemon: the applet cannot listen.
    root.write_config(mttest::doc(mqtt_connection(fbtest::free_tcp_port(), "", kAllChannels)));
    fbtest::Process p = start_transport();
    EXPECT_EQ(fbtest::exit_code(p.wait_exit(fbtest::Millis(10000))), 255);
    EXPECT_NE(p.err().find("rev_sock connect failed"), std::string::npos) << p.err();
}

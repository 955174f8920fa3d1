// The whole road of a reading and of a write: libmodbus slave -> modbus_poll -> bus -> transport ->
// broker, and back from the broker to the slave's register.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "chain_util.h"

using namespace mtchain;
using mttest::Broker;
using mttest::Root;
using mttest::Subscriber;

TEST(TransportEndToEnd, SlaveValueReachesTheBrokerAndAWriteReachesTheSlave)
{
    if (access(fbtest::bin("modbus_poll").c_str(), X_OK) != 0 || access(fbtest::bin("modbus_sim").c_str(), X_OK) != 0)
        GTEST_SKIP() << "modbus_poll or modbus_sim is not part of this build";
    Root root;
    int slave_port = fbtest::free_tcp_port();
    int port = fbtest::free_tcp_port();
    fbtest::Process sim({fbtest::bin("modbus_sim"), "--tcp", std::to_string(slave_port), "--hr", "0=215"});
    ASSERT_TRUE(sim.wait_err("modbus_sim: ready")) << sim.err();
    root.root.write(
        "/etc/config/applications/modbus_poll",
        R"({"connection":[{"id":"1","enable":"true","desc":"meter","type":"tcp","scan_rate":"200",)"
        R"("reconnect_interval":"1","resp_timeout":"300","re_send":"0","re_receive":"0","delay_between_polls":"0",)"
        R"("server_addr":"127.0.0.1","server_port":")" +
            std::to_string(slave_port) +
            R"(","connect_timeout":"1","channel":[{"id":"1","enable":"true","desc":"temp","slave_id":"1",)"
            R"("func_code":"3","register_addr":"0","data_type_1":"int16","multiple_register":"false","quantity":"1",)"
            R"("endian_16":"ab","plus":"0","subtract":"0","divisor":"1","multiplier":"1","decimal_places":"0",)"
            R"("exponent":"false","monitoring_interval":"0","send_only_changed":"false"}]}]})");
    root.write_config(mttest::doc(mqtt_connection(port, R"(,"data_type":"combin-1","data_format":"{\"sn\":\"$SERIAL_NUMBER\"}")",
                                                  kAllChannels)));
    Bus bus(root);
    Broker broker(root.root.dir(), {}, port);
    Subscriber sub(port, "data");
    fbtest::Process mt = start_transport();
    ASSERT_TRUE(fbtest::wait_until([&] { return root.status() == "Connected"; })) << mt.err();
    ASSERT_TRUE(wait_registered(mt)) << mt.err();
    fbtest::Process poll({fbtest::bin("modbus_poll"), "tcp", "1"}, child_env());

    const std::string first = R"({ "sn": "SN0001", "temp": "215" })";
    ASSERT_TRUE(fbtest::wait_until([&] {
        for (const auto &m : sub.messages())
            if (m == first)
                return true;
        return false;
    }, fbtest::Millis(10000))) << mt.err() << poll.err();

    ASSERT_EQ(fbtest::run({"mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(port), "-t", "cmd", "-m",
                           R"({"connection_index":1,"slave_id":1,"func_code":6,"reg_addr":0,"endian":"ab","value":"321"})"}),
              0);
    EXPECT_TRUE(sim.wait_out("write fc=6 addr=0", fbtest::Millis(10000)) || sim.wait_err("write fc=6 addr=0"))
        << sim.out() << sim.err() << poll.err();
    EXPECT_TRUE(fbtest::wait_until([&] {
        for (const auto &m : sub.messages())
            if (m == R"({ "sn": "SN0001", "temp": "321" })")
                return true;
        return false;
    }, fbtest::Millis(10000))) << mt.err();
    poll.stop();
    mt.stop();
}

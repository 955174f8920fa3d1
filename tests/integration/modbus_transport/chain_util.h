// The running pieces of a transport test: bus daemon, broker, the applet as a process.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <librouter.h>

#include "../../modbus_transport/mt_util.h"
#include "fbtest/support.h"

namespace mtchain {

inline std::string bin_dir() { return fbtest::bin(""); }

inline std::map<std::string, std::string> child_env()
{
    const char *path = getenv("PATH");
    return {{"PATH", bin_dir() + ":" + (path ? path : "/usr/bin:/bin")}, {"FIELDBRIDGE_LOG_STDERR", "1"}};
}

// The applet under its own name: the multi-call program when it is built, else the test driver.
inline std::string transport_program()
{
    std::string suite = fbtest::bin("modbus_transport");
    if (access(suite.c_str(), X_OK) == 0)
        return suite;
    return fbtest::bin("modbus_transport_driver");
}

inline int ubus_send(const std::string &event, const std::string &json)
{
    return fbtest::run({fbtest::bin("ubus"), "send", event, json});
}

inline std::string reading_json(int conn, int chan, int reg, const std::string &value, int ts = 1700000000)
{
    return "{\"connection_index\":" + std::to_string(conn) + ",\"channel_index\":" + std::to_string(chan) +
           ",\"slave_id\":1,\"func_code\":3,\"register_addr\":" + std::to_string(reg) +
           ",\"timestamp\":" + std::to_string(ts) + ",\"data\":\"" + value + "\"}";
}

// An MQTT connection element; `extra` are further "key":"value" members (with a leading comma).
inline std::string mqtt_connection(int port, const std::string &extra, const std::string &channels)
{
    return R"({"id":"1","enable":"true","protocol":"mqtt","server_address":"127.0.0.1","server_port":")" +
           std::to_string(port) +
           R"(","enable_ssl":"false","client_id":"","subscribe_topic":"cmd","keepalive":"30",)"
           R"("reconnect_interval":"1","connect_timeout":"3","data_location":"ram","send_interval":"0",)"
           R"("number_of_sent":"3","data_format":"$VALUE")" +
           extra + R"(,"channel":)" + channels + "}";
}

inline const char *kAllChannels =
    R"([{"enable":"true","topic":"data","connection_index":"1","filter_items":"channel_index","channel_index":""}])";

struct Bus {
    fbtest::Process ubusd;
    explicit Bus(const mttest::Root &root) : ubusd({fbtest::bin("ubusd")})
    {
        if (!fbtest::wait_for_path(root.root.path("/var/run/ubus/ubus.sock")))
            ADD_FAILURE() << "ubusd did not start: " << ubusd.err();
    }
};

inline fbtest::Process start_transport(const std::string &index = "1")
{
    return fbtest::Process({transport_program(), index}, child_env());
}

// Waits until the applet listens on the bus: an event without its fields is answered with a log
// line once the handler is registered, and changes nothing.
inline bool wait_registered(const fbtest::Process &p)
{
    return fbtest::wait_until(
        [&] {
            ubus_send("mb_read_data", "{\"probe\":1}");
            return p.err().find("blob msg format error") != std::string::npos;
        },
        fbtest::Millis(10000));
}

} // namespace mtchain

// The service stand-ins, called the way modbus_alarm calls them (the ubus tool with fixed JSON
// texts), observed through their subscribers, the status store and their record files.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <librouter.h>

#include "fbtest/support.h"

using namespace std::chrono_literals;

namespace {

std::string usi(const std::string &key)
{
    char *v = usi_get(key.c_str());
    std::string out = v ? v : "<unset>";
    std::free(v);
    return out;
}

class ServicesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        start_daemon();
        for (const char *name : {"eventd", "smsd", "digital_io"}) {
            auto &p = start({name});
            ASSERT_TRUE(p.wait_err(std::string(name) + " started")) << p.err();
        }
    }
    void start_daemon()
    {
        daemon = std::make_unique<fbtest::Process>(std::vector<std::string>{fbtest::bin("ubusd")});
        ASSERT_TRUE(fbtest::wait_for_path(root.path("/var/run/ubus/ubus.sock")));
    }
    fbtest::Process &start(std::vector<std::string> argv)
    {
        argv[0] = fbtest::bin(argv[0]);
        procs[argv[0]] = std::make_unique<fbtest::Process>(argv);
        return *procs[argv[0]];
    }
    fbtest::Process &proc(const std::string &name) { return *procs.at(fbtest::bin(name)); }
    int ubus(std::vector<std::string> args, std::string *out = nullptr)
    {
        args.insert(args.begin(), fbtest::bin("ubus"));
        return fbtest::run(args, out);
    }

    fbtest::TempRoot root;
    std::unique_ptr<fbtest::Process> daemon;
    std::map<std::string, std::unique_ptr<fbtest::Process>> procs;
};

} // namespace

TEST_F(ServicesTest, EventdPassesEventsToItsSubscribers)
{
    auto &sub = start({"ubus", "subscribe", "eventd"});
    ASSERT_TRUE(fbtest::wait_until(
        [&] {
            ubus({"call", "eventd", "event",
                  R"({"name":"probe","content":"-","timestamp":"-","level":"-"})"});
            return sub.out().find("probe") != std::string::npos;
        },
        5000ms));
    // The text modbus_alarm builds for an event_notification action.
    ASSERT_EQ(ubus({"call", "eventd", "event",
                    R"({ "name": "modbus_alarm", "content": "Alarm 3: 12.5 > 10", "timestamp": "2024-05-06 07:08:09", "level": "applications" })"}),
              0);
    EXPECT_TRUE(sub.wait_out(R"({ "event": {"name":"modbus_alarm","content":"Alarm 3: 12.5 > 10",)"
                             R"("timestamp":"2024-05-06 07:08:09","level":"applications"} })"
                             "\n"))
        << sub.out();
    EXPECT_TRUE(proc("eventd").wait_err("event name=modbus_alarm level=applications"));
    int rows = std::atoi(usi("eventd.event_count").c_str());
    ASSERT_GE(rows, 2);
    EXPECT_EQ(usi("eventd.event[" + std::to_string(rows) + "].content"), "Alarm 3: 12.5 > 10");
    EXPECT_EQ(usi("eventd.event[" + std::to_string(rows) + "].timestamp"), "2024-05-06 07:08:09");

    // The optional message travels along.
    ASSERT_EQ(ubus({"call", "eventd", "event",
                    R"({"name":"n","content":"c","timestamp":"t","level":"l","message":"mail text"})"}),
              0);
    EXPECT_TRUE(sub.wait_out(R"("message":"mail text"} })"));
}

TEST_F(ServicesTest, RequestsWithoutTheirFieldsAreRefused)
{
    std::string out;
    EXPECT_EQ(ubus({"call", "eventd", "event", R"({"name":"x","content":"c","timestamp":"t"})"}, &out), 2);
    EXPECT_TRUE(proc("eventd").wait_err("event rejected: field level missing"));
    EXPECT_EQ(ubus({"call", "smsd", "sendsms", R"({"phonenum":"+100"})"}, &out), 2);
    EXPECT_EQ(ubus({"call", "digital_io", "do", R"({"id":1,"source":"s","action":"a"})"}, &out), 2);
    EXPECT_EQ(ubus({"call", "digital_io", "do", R"({"id":"../x","source":"s","action":"a"})"}, &out), 2);
    EXPECT_EQ(usi("smsd.sms_count"), "<unset>");
    EXPECT_EQ(usi("digital_io.do_count"), "<unset>");
}

TEST_F(ServicesTest, SmsAndOutputRequestsAreRecorded)
{
    // modbus_alarm sends one sendsms per phone number, then switches output 1 on and off.
    for (const char *number : {"+4712345678", "+4787654321"})
        ASSERT_EQ(ubus({"call", "smsd", "sendsms",
                        std::string(R"({"phonenum": ")") + number + R"(", "content": "Alarm 1: 5 < 10"})"}),
                  0);
    ASSERT_EQ(ubus({"call", "digital_io", "do", R"({"id":"1", "source":"modbus_alarm", "action":"alarm on"})"}), 0);
    ASSERT_EQ(ubus({"call", "digital_io", "do", R"({"id":"1", "source":"modbus_alarm", "action":"alarm off"})"}), 0);

    EXPECT_EQ(usi("smsd.sms_count"), "2");
    EXPECT_EQ(usi("smsd.sms[1].phonenum"), "+4712345678");
    EXPECT_EQ(usi("smsd.sms[2].phonenum"), "+4787654321");
    EXPECT_EQ(usi("smsd.sms[2].content"), "Alarm 1: 5 < 10");
    EXPECT_EQ(usi("digital_io.do_count"), "2");
    EXPECT_EQ(usi("digital_io.do[1].action"), "alarm on");
    EXPECT_EQ(usi("digital_io.output[1].action"), "alarm off");
    EXPECT_EQ(usi("digital_io.output[1].source"), "modbus_alarm");
    EXPECT_TRUE(proc("smsd").wait_err("sendsms phonenum=+4787654321 content=Alarm 1: 5 < 10"));
}

TEST_F(ServicesTest, ServicesComeBackAfterADaemonRestart)
{
    daemon->stop();
    EXPECT_TRUE(proc("smsd").wait_err("bus connection lost"));
    start_daemon();
    EXPECT_TRUE(fbtest::wait_until(
        [&] { return ubus({"call", "smsd", "sendsms", R"({"phonenum":"1","content":"back"})"}) == 0; }, 5000ms));
    EXPECT_TRUE(proc("eventd").wait_err("bus connection restored"));
}

TEST(ServiceTools, GpioUtilityRecordsItsCalls)
{
    fbtest::TempRoot root;
    EXPECT_EQ(fbtest::run({fbtest::bin("ch343_gpio_control"), "set", "8", "low"}), 0);
    EXPECT_EQ(fbtest::run({fbtest::bin("ch343_gpio_control"), "set", "8", "high"}), 0);
    EXPECT_EQ(root.read("/tmp/services/ch343_gpio_control.log"), "set 8 low\nset 8 high\n");
    EXPECT_EQ(usi("ch343_gpio.gpio8"), "high");
    EXPECT_EQ(fbtest::run({fbtest::bin("ch343_gpio_control"), "set", "8", "sideways"}), 1);
    EXPECT_EQ(fbtest::run({fbtest::bin("ch343_gpio_control")}), 1);
    EXPECT_EQ(usi("ch343_gpio.gpio8"), "high");
}

TEST(ServiceTools, UsiUpdateScriptRecordsItsCalls)
{
    fbtest::TempRoot root;
    EXPECT_EQ(fbtest::run({fbtest::bin("dynamic_usi_update.sh"), "modbus_poll"}), 0);
    EXPECT_EQ(root.read("/tmp/services/dynamic_usi_update.log"), "modbus_poll\n");
    EXPECT_NE(fbtest::run({fbtest::bin("dynamic_usi_update.sh")}), 0);
}

TEST(ServiceTools, InstallIntoRootLinksEverything)
{
    fbtest::TempRoot root;
    ASSERT_EQ(fbtest::run({fbtest::bin("install_into_root"), root.dir()}), 0);
    for (const char *p : {"/usr/bin/ubus", "/usr/bin/eventd", "/usr/bin/smsd", "/usr/bin/digital_io",
                          "/usr/bin/ch343_gpio_control", "/usr/sbin/ubusd", "/lib/functions/dynamic_usi_update.sh"}) {
        std::string link = root.path(p);
        char target[PATH_MAX] = {};
        ASSERT_GT(readlink(link.c_str(), target, sizeof(target) - 1), 0) << p;
        EXPECT_EQ(access(link.c_str(), X_OK), 0) << p << " -> " << target;
    }
    // The script is reachable under its router path and works from there.
    EXPECT_EQ(fbtest::run({root.path("/lib/functions/dynamic_usi_update.sh"), "modbus_poll"}), 0);
    EXPECT_EQ(root.read("/tmp/services/dynamic_usi_update.log"), "modbus_poll\n");
    // Running it again replaces the links without complaint.
    EXPECT_EQ(fbtest::run({fbtest::bin("install_into_root"), root.dir()}), 0);
    EXPECT_NE(fbtest::run({fbtest::bin("install_into_root")}), 0);
}

// An alarm raised by a register change travels to the event daemon, the SMS service, the digital
// output and the mailbox; hostile values on the way are delivered as text and run nothing.
#include <gtest/gtest.h>

#include <json-c/json.h>
#include <librouter.h>

#include <csignal>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "email_notification/mail_test_support.h"
#include "fbtest/support.h"
#include "modbus_alarm/hostile_values.h"
#include "modbus_alarm/service_chain.h"

namespace
{

const char *kEventTable = "modbus_alarm--Modbus alarm\n";

void write_mail_config(const fbtest::TempRoot &root, int smtp_port)
{
    root.write("/etc/event/event_table", kEventTable);
    root.write("/etc/config/email_notification", "config channel\n"
                                                 "\toption enable 'true'\n"
                                                 "\toption address 'ops@example.com'\n"
                                                 "\toption subject 'Router alarm'\n"
                                                 "\toption enable_timestamp 'true'\n"
                                                 "\toption modbus_alarm 'true'\n");
    mailtest::write_msmtprc(root, smtp_port);
}

std::string alarm_document(const std::string &register_filter, const std::string &mode, const std::string &rule,
                           const std::string &actions)
{
    return R"({"channel": [{"id": "1", "enable": "true", "connection_index": "1",
        "filter_items": "register_address", "register_addr": ")" +
           register_filter + R"(", "logical_type": "logical_or", "alarm_mode": ")" + mode + R"(", "contrast_rule": [)" +
           rule + R"(], "trigger_type": [)" + actions + "]}]}";
}

// Hands a command to the slave through its control file, written whole and renamed into place so
// the slave never reads half of it.
void set_register(const fbtest::TempRoot &root, const std::string &control, const std::string &command)
{
    root.write("/tmp/modbus_sim.control.new", command);
    std::filesystem::rename(root.path("/tmp/modbus_sim.control.new"), control);
}

// Waits until `pred` holds over the records of `list`, with a message naming what was seen.
#define WAIT_RECORDS(list, fields, pred)                                                                               \
    do {                                                                                                               \
        bool ok_ = fbtest::wait_until([&] { return pred(chain::records(list, fields)); }, fbtest::Millis(30000));      \
        ASSERT_TRUE(ok_) << list << " has " << chain::records(list, fields).size() << " rows";                         \
    } while (0)

TEST(AlarmChain, RegisterCrossingThresholdReachesEveryService)
{
    fbtest::TempRoot root;
    mailtest::SmtpSink sink(root);
    write_mail_config(root, sink.port());
    chain::Services services(root);
    for (const char *s : {"eventd", "smsd", "digital_io"})
        services.start_service(s);
    ASSERT_EQ(usi_set("system.serial_number", "SN-4711"), 0);
    ASSERT_EQ(usi_set("active_link.ip", "10.64.0.2"), 0);

    // The slave holds 50 in holding register 0; modbus_poll reads it every 200 ms.
    const int port = fbtest::free_tcp_port();
    const std::string control = root.path("/tmp/modbus_sim.control");
    fbtest::Process slave({fbtest::bin("modbus_sim"), "--tcp", std::to_string(port), "--slave", "1", "--hr", "0=50",
                           "--control", control, "--quiet"});
    ASSERT_TRUE(fbtest::wait_for_port(port));
    root.write("/etc/config/applications/modbus_poll",
               R"({"connection": [{"id": "1", "enable": "true", "desc": "boiler", "type": "tcp", "scan_rate": "200",
                  "reconnect_interval": "1", "resp_timeout": "500", "re_send": "0", "re_receive": "0",
                  "delay_between_polls": "0", "enable_status": "false", "enable_logverbose": "false",
                  "server_addr": "127.0.0.1", "server_port": ")" +
                   std::to_string(port) + R"(", "connect_timeout": "2",
                  "channel": [{"id": "1", "enable": "true", "desc": "temperature", "slave_id": "1", "func_code": "3",
                   "register_addr": "0", "data_type_1": "int16", "endian_16": "ab", "multiple_register": "false",
                   "quantity": "1", "plus": "0", "subtract": "0", "divisor": "1", "multiplier": "1",
                   "decimal_places": "0", "exponent": "false", "monitoring_interval": "0",
                   "send_only_changed": "false"}]}]})");
    root.write("/etc/config/applications/modbus_alarm",
               alarm_document("0", "normal",
                              R"({"id": "1", "enable": "true", "desc": "too hot", "type": "2", "bitmask": "",
                                  "initial_value": "0", "threshold": "100"})",
                              R"js({"id": "1", "enable": "true", "type": "do1"},
                                 {"id": "2", "enable": "true", "type": "event_notification",
                                  "on_content":
                                    "Alarm $ALARM_INDEX on $CONNECTION_DESC/$CHANNEL_DESC: $CONDITION ($SERIAL_NUMBER)",
                                  "off_content": "Clear $VALUE"},
                                 {"id": "3", "enable": "true", "type": "sms_notification", "phonenum": "111,222",
                                  "on_content": "SMS $VALUE at $DATE", "off_content": ""})js"));

    services.start_applet("email_notifier");
    services.start_applet("modbus_alarm");
    fbtest::Process poll({fbtest::bin("modbus_poll"), "tcp", "1"}, chain::applet_env(root));

    const std::vector<std::string> do_fields = {"id", "source", "action"};
    const std::vector<std::string> ev_fields = {"name", "content", "timestamp", "level"};
    const std::vector<std::string> sms_fields = {"phonenum", "content"};

    // The first reading below the threshold reports off once: output off and the off text.
    WAIT_RECORDS("digital_io.do", do_fields, [](const auto &r) { return r.size() == 1; });
    WAIT_RECORDS("eventd.event", ev_fields, [](const auto &r) { return r.size() == 1; });
    auto dos = chain::records("digital_io.do", do_fields);
    ASSERT_EQ(dos.size(), 1u);
    EXPECT_EQ(dos[0],
              (std::map<std::string, std::string>{{"id", "1"}, {"source", "modbus_alarm"}, {"action", "alarm off"}}));
    EXPECT_EQ(chain::records("eventd.event", ev_fields)[0]["content"], "Clear 50");

    // Above the threshold: on, once, to every service.
    set_register(root, control, "hr 0 150\n");
    WAIT_RECORDS("smsd.sms", sms_fields, [](const auto &r) { return r.size() == 2; });
    WAIT_RECORDS("digital_io.do", do_fields, [](const auto &r) { return r.size() == 2; });
    WAIT_RECORDS("eventd.event", ev_fields, [](const auto &r) { return r.size() == 2; });
    auto events = chain::records("eventd.event", ev_fields);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1]["name"], "modbus_alarm");
    EXPECT_EQ(events[1]["level"], "applications");
    EXPECT_EQ(events[1]["content"], "Alarm 1 on boiler/temperature: 150 > 100 (SN-4711)");
    const std::string stamp = events[1]["timestamp"];
    EXPECT_EQ(stamp.size(), 19u) << stamp;
    auto sms = chain::records("smsd.sms", sms_fields);
    std::vector<std::string> numbers = {sms[0]["phonenum"], sms[1]["phonenum"]};
    std::sort(numbers.begin(), numbers.end());
    EXPECT_EQ(numbers, (std::vector<std::string>{"111", "222"}));
    EXPECT_EQ(sms[0]["content"], "SMS 150 at " + stamp);
    EXPECT_EQ(sms[1]["content"], sms[0]["content"]);
    EXPECT_EQ(chain::records("digital_io.do", do_fields)[1]["action"], "alarm on");

    // Back below: off; the SMS action has no off text and sends nothing.
    set_register(root, control, "hr 0 20\n");
    // The actions of one change reach their services independently: wait for each.
    WAIT_RECORDS("eventd.event", ev_fields, [](const auto &r) { return r.size() == 3; });
    WAIT_RECORDS("digital_io.do", do_fields, [](const auto &r) { return r.size() == 3; });
    EXPECT_EQ(chain::records("eventd.event", ev_fields)[2]["content"], "Clear 20");
    EXPECT_EQ(chain::records("digital_io.do", do_fields)[2]["action"], "alarm off");
    EXPECT_EQ(chain::usi_count("smsd.sms"), 2);

    // The event daemon passed each event on to the mail notifier: three mails, in order.
    ASSERT_TRUE(sink.wait_for_count(3, fbtest::Millis(15000)));
    auto mails = sink.mails();
    ASSERT_EQ(mails.size(), 3u);
    EXPECT_NE(mails[1].headers.find("Subject: Router alarm"), std::string::npos);
    EXPECT_EQ(mails[0].body.substr(19), ", Clear 50\n");
    EXPECT_EQ(mails[1].body, stamp + ", Alarm 1 on boiler/temperature: 150 > 100 (SN-4711)\n");
    EXPECT_EQ(mails[2].body.substr(19), ", Clear 20\n");
    EXPECT_EQ(mails[1].rcpt, "ops@example.com");
    poll.stop();
}

std::string json_text(const std::string &s)
{
    json_object *o = json_object_new_string_len(s.data(), int(s.size()));
    std::string out = json_object_to_json_string_ext(o, JSON_C_TO_STRING_PLAIN);
    json_object_put(o);
    return out;
}

TEST(AlarmChain, HostileValuesAreDeliveredAsText)
{
    fbtest::TempRoot root;
    mailtest::SmtpSink sink(root);
    write_mail_config(root, sink.port());
    chain::Services services(root);
    for (const char *s : {"eventd", "smsd", "digital_io"})
        services.start_service(s);
    ASSERT_EQ(usi_set("system.serial_number", "SN-1"), 0);
    ASSERT_EQ(usi_set("active_link.ip", "10.64.0.2"), 0);
    // Continuous mode: every reading below 1 (text that is not a number reads as 0) raises the alarm.
    root.write("/etc/config/applications/modbus_alarm",
               alarm_document("7", "continuous",
                              R"({"id": "1", "enable": "true", "desc": "", "type": "1", "bitmask": "",
                                  "initial_value": "0", "threshold": "1"})",
                              R"({"id": "1", "enable": "true", "type": "event_notification",
                                  "on_content": "$VALUE", "off_content": ""},
                                 {"id": "2", "enable": "true", "type": "sms_notification", "phonenum": "555",
                                  "on_content": "$VALUE", "off_content": ""})"));
    services.start_applet("email_notifier");
    services.start_applet("modbus_alarm");

    const auto values = fbtest_hostile::values(root.path("/tmp/pwned"));
    ASSERT_GE(values.size(), 50u);
    std::vector<std::string> expected;
    for (const auto &v : values) {
        std::string msg = R"({"connection_index": 1, "channel_index": 1, "slave_id": 1, "func_code": 3,
            "register_addr": 7, "timestamp": 1700000000, "data": )" +
                          json_text(v) + "}";
        ASSERT_EQ(fbtest::run({fbtest::bin("ubus"), "send", "mb_read_data", msg}), 0) << v;
        // The template text is 1024 bytes.
        expected.push_back(v.substr(0, 1023));
    }
    const size_t n = values.size();
    const std::vector<std::string> ev_fields = {"content"};
    WAIT_RECORDS("eventd.event", ev_fields, [&](const auto &r) { return r.size() == n; });
    WAIT_RECORDS("smsd.sms", ev_fields, [&](const auto &r) { return r.size() == n; });
    auto contents = [](const std::vector<std::map<std::string, std::string>> &rows) {
        std::vector<std::string> out;
        for (const auto &r : rows)
            out.push_back(r.at("content"));
        std::sort(out.begin(), out.end());
        return out;
    };
    std::vector<std::string> sorted = expected;
    std::sort(sorted.begin(), sorted.end());
    // The notifications are started one after another but reach the services in any order.
    EXPECT_EQ(contents(chain::records("eventd.event", ev_fields)), sorted);
    EXPECT_EQ(contents(chain::records("smsd.sms", ev_fields)), sorted);

    ASSERT_TRUE(sink.wait_for_count(n, fbtest::Millis(60000)));
    auto mails = sink.mails();
    ASSERT_EQ(mails.size(), n);
    std::vector<std::string> bodies, texts;
    auto flat = [](std::string s) {
        s = mailtest::crlf_to_lf(s);
        std::erase(s, '\n');
        return s;
    };
    for (const auto &m : mails) {
        EXPECT_EQ(mailtest::header_lines(m.headers).size(), 4u) << m.headers;
        // Body: timestamp, comma, blank, the text; compared without the line breaks of long lines.
        bodies.push_back(flat(m.body).substr(21));
    }
    for (const auto &e : expected)
        texts.push_back(flat(e));
    std::sort(bodies.begin(), bodies.end());
    std::sort(texts.begin(), texts.end());
    EXPECT_EQ(bodies, texts);
    for (const auto &e : std::filesystem::directory_iterator(root.path("/tmp")))
        EXPECT_NE(e.path().filename().string().rfind("pwned", 0), 0u) << e.path();
}

} // namespace

namespace
{

TEST(AlarmChain, StartFailuresAndMalformedReadings)
{
    fbtest::TempRoot root;
    const std::string good = alarm_document("7", "normal",
                                            R"({"id": "1", "enable": "true", "desc": "", "type": "2", "bitmask": "",
                                                "initial_value": "0", "threshold": "1"})",
                                            R"({"id": "1", "enable": "true", "type": "do1"})");
    root.write("/etc/config/applications/modbus_alarm", good);
    auto start = [&] { return fbtest::Process({fbtest::bin("modbus_alarm")}, chain::applet_env(root)); };

    // Without the router's serial number the configuration is not loaded.
    fbtest::Process a = start();
    EXPECT_EQ(fbtest::exit_code(a.wait_exit(fbtest::Millis(5000))), 255);
    EXPECT_NE(a.err().find("can no get devices serial number"), std::string::npos) << a.err();
    EXPECT_NE(a.err().find("load configuration failed"), std::string::npos);

    ASSERT_EQ(usi_set("system.serial_number", "SN-1"), 0);
    root.write("/etc/config/applications/modbus_alarm", R"({"channel": [{"id": "1", "enable": "true",
        "connection_index": "1", "register_addr": "7", "alarm_mode": null}]})");
    fbtest::Process b = start();
    EXPECT_EQ(fbtest::exit_code(b.wait_exit(fbtest::Millis(5000))), 255);
    EXPECT_NE(b.err().find("Can not get alarm mode\n"), std::string::npos) << b.err();
    EXPECT_NE(b.err().find("load configuration failed"), std::string::npos);

    root.write("/etc/config/applications/modbus_alarm", good);
    fbtest::Process c = start();
    EXPECT_EQ(fbtest::exit_code(c.wait_exit(fbtest::Millis(5000))), 255);
    EXPECT_NE(c.err().find("rev_sock connect failed"), std::string::npos) << c.err();

    // Running: readings without a required field (or without any) are dropped with their message,
    // and the next good reading is evaluated as usual.
    chain::Services services(root);
    services.start_service("digital_io");
    fbtest::Process &alarm = services.start_applet("modbus_alarm");
    auto send = [](const std::string &json) {
        return fbtest::run({fbtest::bin("ubus"), "send", "mb_read_data", json});
    };
    ASSERT_EQ(send(R"({"connection_index": 1, "channel_index": 1, "slave_id": 1, "register_addr": 7,
                       "timestamp": 1700000000})"),
              0);
    ASSERT_EQ(send(R"({"connection_index": 1, "channel_index": 1, "slave_id": 1, "register_addr": "7",
                       "timestamp": 1700000000, "data": "5"})"),
              0);
    EXPECT_TRUE(fbtest::wait_until([&] {
        std::string err = alarm.err();
        size_t first = err.find("blob msg format error");
        return first != std::string::npos && err.find("blob msg format error", first + 1) != std::string::npos;
    }));
    ASSERT_EQ(send("{}"), 0);
    EXPECT_TRUE(alarm.wait_err("parse blob msg failed"));
    // func_code is optional.
    ASSERT_EQ(send(R"({"connection_index": 1, "channel_index": 1, "slave_id": 1, "register_addr": 7,
                       "timestamp": 1700000000, "data": "5"})"),
              0);
    EXPECT_TRUE(fbtest::wait_until([] { return chain::usi_count("digital_io.do") == 1; }));
    EXPECT_EQ(chain::usi("digital_io.do[1].action"), "alarm on");

    alarm.signal(SIGUSR1);
    EXPECT_TRUE(alarm.wait_err("Signal (10)"));
    EXPECT_EQ(fbtest::exit_code(alarm.stop()), 0);
    EXPECT_NE(alarm.err().find("Signal SIGTERM receive"), std::string::npos);
}

} // namespace

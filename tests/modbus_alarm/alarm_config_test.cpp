// Loading the alarm document: stored values, skipped entries and the message of every error.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/daemon.h"
#include "fbtest/support.h"
#include "modbus_alarm/alarm_config.h"

namespace
{

using mba::AlarmConfig;

// Loads `doc` from the root's configuration file and returns what the applet logged.
std::string load(const fbtest::TempRoot &root, const std::string &doc, AlarmConfig &cfg, bool &ok)
{
    root.write("/etc/config/applications/modbus_alarm", doc);
    testing::internal::CaptureStderr();
    ok = mba::mba_conf_init(cfg, "/etc/config/applications/modbus_alarm");
    return testing::internal::GetCapturedStderr();
}

const char *kDocument = R"({"channel": [
  {"id": "3", "enable": "true", "connection_index": "1", "filter_items": "channel_index",
   "channel_index": "", "logical_type": "logical_and", "alarm_mode": "normal",
   "contrast_rule": [
     {"id": "1", "enable": "true", "desc": "high", "type": "2", "bitmask": "0101",
      "initial_value": "-2.5", "threshold": "10.5"},
     {"id": "2", "enable": "false", "desc": "", "type": "1", "bitmask": "", "initial_value": "0",
      "threshold": "1"},
     {"id": "3", "enable": "true", "desc": "", "type": "7", "bitmask": "01x1", "initial_value": "7",
      "threshold": "4.9"}],
   "trigger_type": [
     {"id": "1", "enable": "true", "type": "do2"},
     {"id": "2", "enable": "true", "type": "sms_notification", "phonenum": "111,222",
      "on_content": "on $VALUE", "off_content": ""},
     {"id": "3", "enable": "false", "type": "do1"}]},
  {"id": "4", "enable": "false", "connection_index": "9"},
  {"id": 5, "enable": true, "connection_index": 2, "filter_items": "slave_id", "slave_id": 17,
   "logical_type": "logical_or", "alarm_mode": "nearest", "contrast_rule": [], "trigger_type": []},
  {"id": "6", "enable": "true", "connection_index": "2", "filter_items": "register_address",
   "register_addr": "40001", "logical_type": "logical_or", "alarm_mode": "continuous",
   "contrast_rule": [{"id": "1", "enable": "true", "desc": "d", "type": "10", "bitmask": "1",
                      "initial_value": "3.75", "threshold": "-1e-6"}],
   "trigger_type": [{"id": "1", "enable": "true", "type": "event_notification",
                     "on_content": "x", "off_content": "y"}]},
  {"id": "7", "enable": "true", "connection_index": "3", "register_addr": "12", "alarm_mode": "normal"}
]})";

TEST(AlarmConfig, StoresEveryOptionAndSkipsDisabledEntries)
{
    setenv("FIELDBRIDGE_LOG_STDERR", "1", 1);
    fb::openlog_applet("modbus_alarm");
    fbtest::TempRoot root;
    AlarmConfig cfg;
    bool ok = false;
    std::string log = load(root, kDocument, cfg, ok);
    ASSERT_TRUE(ok) << log;

    ASSERT_EQ(cfg.channels.size(), 4u); // channel 4 is disabled
    const auto &c3 = cfg.channels[0];
    EXPECT_EQ(c3.filter, mba::kFilterChannelIndex);
    EXPECT_EQ(c3.channel_index, mba::kAnyChannel) << "an empty channel_index accepts every channel";
    EXPECT_EQ(c3.logical_type, mba::kLogicalAnd);
    ASSERT_EQ(c3.rules.size(), 2u); // rule 2 is disabled
    const auto &r1 = cfg.rules[c3.rules[0]];
    EXPECT_EQ(r1.bitmask, 5u);
    // The initial value is kept both as an integer and in micro-units.
    EXPECT_EQ(r1.initial_int, -2);
    EXPECT_EQ(r1.initial_micro, -2500000);
    EXPECT_EQ(r1.threshold_micro, 10500000);
    const auto &r3 = cfg.rules[c3.rules[1]];
    EXPECT_EQ(r3.bitmask, 0u) << "a character other than 0 and 1 clears the mask";
    EXPECT_EQ(r3.threshold_bits, 4u);
    ASSERT_EQ(c3.actions.size(), 2u); // action 3 is disabled
    EXPECT_EQ(cfg.actions[c3.actions[0]].type, mba::kActionDo2);
    EXPECT_EQ(cfg.actions[c3.actions[1]].phonenum, "111,222");

    // Numbers and booleans of the document are read through their text form; empty arrays warn.
    const auto &c5 = cfg.channels[1];
    EXPECT_EQ(c5.slave_id, 17);
    EXPECT_EQ(c5.alarm_mode, mba::kModeNearest) << "any other mode text selects the nearest threshold";
    EXPECT_NE(log.find("channel 5 contrast rule is empty"), std::string::npos);
    EXPECT_NE(log.find("channel 5 trigger type is empty"), std::string::npos);
    EXPECT_EQ(cfg.rules[cfg.channels[2].rules[0]].threshold_micro, -1);

    // Without filter_items and logical_type: matched on the register, rules combined with OR.
    const auto &c7 = cfg.channels[3];
    EXPECT_EQ(c7.filter, mba::kFilterNone);
    EXPECT_EQ(c7.register_addr, 12);
    EXPECT_EQ(c7.logical_type, mba::kLogicalNone);
}

TEST(AlarmConfig, RulesAndActionsBelongToTheAlarmId)
{
    fbtest::TempRoot root;
    AlarmConfig cfg;
    bool ok = false;
    // Two channels with the same alarm id share each other's rules and actions.
    load(root, R"({"channel": [
      {"id": "1", "enable": "true", "connection_index": "1", "register_addr": "1", "alarm_mode": "normal",
       "contrast_rule": [{"id": "1", "enable": "true", "desc": "", "type": "2", "bitmask": "",
                          "initial_value": "0", "threshold": "1"}],
       "trigger_type": [{"id": "1", "enable": "true", "type": "do1"}]},
      {"id": "1", "enable": "true", "connection_index": "1", "register_addr": "2", "alarm_mode": "normal",
       "contrast_rule": [{"id": "2", "enable": "true", "desc": "", "type": "1", "bitmask": "",
                          "initial_value": "0", "threshold": "5"}]}]})",
         cfg, ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(cfg.channels.size(), 2u);
    EXPECT_EQ(cfg.channels[0].rules, (std::vector<uint32_t>{0, 1}));
    EXPECT_EQ(cfg.channels[1].rules, (std::vector<uint32_t>{0, 1}));
    EXPECT_EQ(cfg.channels[1].actions, (std::vector<uint32_t>{0}));
}

struct BadCase {
    const char *what;
    std::string channel_members; // inserted into an otherwise valid channel
    std::string rule_members;    // replaces the valid rule's members
    std::string action_members;  // replaces the valid action's members
    const char *message;
    const char *followup; // debug line of the failing array, or null
};

std::string channel_doc(const BadCase &c)
{
    std::string rule = c.rule_members.empty() ? R"("id": "1", "enable": "true", "desc": "", "type": "2", "bitmask": "",
                                "initial_value": "0", "threshold": "1")"
                                              : c.rule_members;
    std::string action = c.action_members.empty() ? R"("id": "1", "enable": "true", "type": "do1")" : c.action_members;
    std::string members = c.channel_members.empty() ? R"("id": "1", "enable": "true", "connection_index": "1",
                                   "filter_items": "register_address", "register_addr": "5",
                                   "logical_type": "logical_or", "alarm_mode": "normal")"
                                                    : c.channel_members;
    return R"({"channel": [{)" + members + R"(, "contrast_rule": [{)" + rule + R"(}], "trigger_type": [{)" + action +
           "}]}]}";
}

TEST(AlarmConfig, EveryMalformedOptionFailsTheLoadWithItsMessage)
{
    setenv("FIELDBRIDGE_LOG_STDERR", "1", 1);
    fb::openlog_applet("modbus_alarm");
    const std::string ok_head = R"("id": "1", "enable": "true", "connection_index": "1")";
    const std::vector<BadCase> cases = {
        {"channel id", R"("id": null, "enable": "true")", "", "", "Can not get channel id", nullptr},
        {"channel id text", R"("id": "one", "enable": "true")", "", "", "Can not get channel id", nullptr},
        {"connection_index", R"("id": "1", "enable": "true", "alarm_mode": "normal")", "", "",
         "Can not get connection_index", nullptr},
        {"filter null", ok_head + R"(, "filter_items": null, "alarm_mode": "normal")", "", "",
         "Can not get filter_items", nullptr},
        {"filter text", ok_head + R"(, "filter_items": "port", "alarm_mode": "normal")", "", "",
         "Can not get filter_items.", nullptr},
        {"channel_index",
         ok_head + R"(, "filter_items": "channel_index", "channel_index": "x", "alarm_mode": "normal")", "", "",
         "Can not get channel_index", nullptr},
        {"slave_id", ok_head + R"(, "filter_items": "slave_id", "alarm_mode": "normal")", "", "",
         "Can not get slave_id", nullptr},
        {"register_addr", ok_head + R"(, "filter_items": "register_address", "alarm_mode": "normal")", "", "",
         "Can not get register addr", nullptr},
        {"logical type", ok_head + R"(, "register_addr": "1", "logical_type": "xor", "alarm_mode": "normal")", "", "",
         "Can not get logical type", nullptr},
        {"alarm mode", ok_head + R"(, "register_addr": "1")", "", "", "Can not get alarm mode", nullptr},
        {"rule id", "", R"("enable": "true")", "", "Can not get contrast id", "load contrast_rule conf failed"},
        {"desc", "", R"("id": "1", "enable": "true", "type": "2")", "", "Can not get desc.",
         "load contrast_rule conf failed"},
        {"type", "", R"("id": "1", "desc": "")", "", "Can not get contrast_type.", "load contrast_rule conf failed"},
        {"bitmask", "", R"("id": "1", "desc": "", "type": "3")", "", "Can not get bitmask.",
         "load contrast_rule conf failed"},
        {"initial_value", "", R"("id": "1", "desc": "", "type": "3", "bitmask": "")", "", "Can not get initial_value.",
         "load contrast_rule conf failed"},
        {"threshold", "", R"("id": "1", "desc": "", "type": "3", "bitmask": "", "initial_value": "0")", "",
         "Can not get threshold.", "load contrast_rule conf failed"},
        {"trigger id", "", "", R"("type": "do1")", "Can not get trigger id", "load trigger_type conf failed"},
        {"alarm type", "", "", R"("id": "1", "type": "do3")", "Can not get alarm_type.",
         "load trigger_type conf failed"},
        {"phonenum", "", "", R"("id": "1", "type": "sms_notification", "on_content": "a", "off_content": "b")",
         "Can not get phonenum.", "load trigger_type conf failed"},
        {"on_content", "", "", R"("id": "1", "type": "event_notification", "off_content": "b")",
         "Can not get on_content.", "load trigger_type conf failed"},
        {"off_content", "", "", R"("id": "1", "type": "sms_notification", "phonenum": "1", "on_content": "a")",
         "Can not get off_content.", "load trigger_type conf failed"},
    };
    fbtest::TempRoot root;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        AlarmConfig cfg;
        bool ok = true;
        std::string log = load(root, channel_doc(c), cfg, ok);
        EXPECT_FALSE(ok);
        EXPECT_TRUE(cfg.channels.empty() && cfg.rules.empty() && cfg.actions.empty());
        EXPECT_NE(log.find(std::string(c.message) + "\n"), std::string::npos) << log;
        if (c.followup) {
            EXPECT_NE(log.find(c.followup), std::string::npos) << log;
        }
    }

    // Null elements of the three arrays name the loader and its line.
    struct NullCase {
        std::string doc;
        const char *line;
    };
    auto with_null = [](const std::string &array) {
        std::string doc = channel_doc({});
        std::string key = "\"" + array + "\": [";
        return doc.insert(doc.find(key) + key.size(), "null, ");
    };
    const std::vector<NullCase> nulls = {
        {R"({"channel": [null]})", "error in src/modbus_alarm.c, mba_conf_init:408"},
        {with_null("contrast_rule"), "error in src/modbus_alarm.c, mba_conf_get_contrast_rule_para:290"},
        {with_null("trigger_type"), "error in src/modbus_alarm.c, mba_conf_get_trigger_type_para:158"},
    };
    for (const auto &n : nulls) {
        AlarmConfig cfg;
        bool ok = true;
        std::string log = load(root, n.doc, cfg, ok);
        EXPECT_FALSE(ok);
        EXPECT_NE(log.find(n.line), std::string::npos) << log;
    }

    // Documents that leave no channel: unparsable, no "channel", only disabled channels, no file.
    for (const char *doc :
         {"{\"channel\": [", "{\"channels\": []}", "{\"channel\": [{\"id\": \"1\", \"enable\": \"false\"}]}"}) {
        AlarmConfig cfg;
        bool ok = true;
        load(root, doc, cfg, ok);
        EXPECT_FALSE(ok) << doc;
    }
    AlarmConfig cfg;
    EXPECT_FALSE(mba::mba_conf_init(cfg, "/etc/config/applications/no_such_file"));
}

TEST(AlarmConfig, NumberConversions)
{
    EXPECT_EQ(mba::to_micro("10.5000001"), 10500000);
    EXPECT_EQ(mba::to_micro("10.500001"), 10500001);
    EXPECT_EQ(mba::to_micro("-0.000001"), -1);
    EXPECT_EQ(mba::to_micro("abc"), 0);
    // Out-of-range readings saturate instead of overflowing.
    EXPECT_EQ(mba::to_micro("1e300"), INT64_MAX);
    EXPECT_EQ(mba::to_micro("-1e300"), INT64_MIN);
    EXPECT_EQ(mba::to_micro("nan"), 0);
    EXPECT_EQ(mba::to_bits("6.7"), 6u);
    EXPECT_EQ(mba::to_bits("4294967295"), 4294967295u);
    EXPECT_EQ(mba::to_bits("99999999999"), 4294967295u);
    EXPECT_EQ(mba::to_bits("-1"), 4294967295u);
    EXPECT_EQ(mba::to_bits("x"), 0u);
}

} // namespace

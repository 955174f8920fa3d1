// Template expansion against real configuration and status files, and the exact command vectors
// and JSON texts of the four action types.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include <json-c/json.h>
#include <librouter.h>

#include "common/daemon.h"
#include "fbtest/support.h"
#include "hostile_values.h"
#include "modbus_alarm/alarm_actions.h"

namespace
{

using mba::Command;

class AlarmTemplate : public testing::Test
{
  protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        setenv("FIELDBRIDGE_LOG_STDERR", "1", 1);
        fb::openlog_applet("modbus_alarm");
        root.write("/etc/config/applications/modbus_poll", R"({"connection": [
            {"id": "1", "desc": "boiler", "channel": [{"id": "1", "desc": "temp", "func_code": "3"},
                                                      {"id": "2", "desc": "pressure", "func_code": "4"}]}]})");
        root.write("/etc/config/applications/modbus_alarm",
                   R"({"channel": [{"id": "1", "desc": "first"}, {"id": "2", "desc": "second"}]})");
        vars.serial_number = "SN123";
        vars.timestamp = 1700000000; // 2023-11-14 22:13:20 UTC
        vars.value = "12.5";
        vars.connection_index = 1;
        vars.channel_index = 2;
        vars.slave_id = 7;
        vars.register_addr = 40001;
        vars.alarm_id = 2;
        vars.condition = "12.5 > 10";
        vars.contrast_desc = "hot";
    }

    void write_script(const std::string &body)
    {
        const std::string path = "/lib/functions/dynamic_usi_update.sh";
        root.write(path, "#!/bin/sh\n" + body);
        chmod(root.path(path).c_str(), 0755);
    }

    fbtest::TempRoot root;
    mba::TemplateVars vars;
};

TEST_F(AlarmTemplate, EveryVariableInItsOrder)
{
    EXPECT_EQ(mba::mba_expand_template("$SERIAL_NUMBER|$DATE|$VALUE|$CONNECTION_INDEX|$CONNECTION_DESC|$CHANNEL_INDEX|"
                                       "$CHANNEL_DESC|$SLAVE_ID|$REGISTER_ADDRE|$REGISTER_ADDER|$FUNC_CODE|"
                                       "$ALARM_INDEX|$ALARM_DESC|$CONDITION|$CONTRAST_DESC",
                                       vars),
              "SN123|2023-11-14 22:13:20|12.5|1|boiler|2|pressure|7|40001|40001|4|2|second|12.5 > 10|hot");
    // Every occurrence is replaced; text without variables is returned as it is.
    EXPECT_EQ(mba::mba_expand_template("$VALUE/$VALUE", vars), "12.5/12.5");
    EXPECT_EQ(mba::mba_expand_template("plain text", vars), "plain text");
    // "$REGISTER_ADDRE" matches first, so a trailing SS stays behind the address.
    EXPECT_EQ(mba::mba_expand_template("$REGISTER_ADDRESS", vars), "40001SS");
    vars.alarm_id = 3;
    vars.condition = "12.5 > 10";
    EXPECT_EQ(mba::mba_expand_template("Alarm $ALARM_INDEX: $CONDITION", vars), "Alarm 3: 12.5 > 10");
    // Options that cannot be read become a single blank.
    vars.alarm_id = 9;
    vars.connection_index = 4;
    EXPECT_EQ(mba::mba_expand_template("[$ALARM_DESC][$CONNECTION_DESC][$CHANNEL_DESC][$FUNC_CODE]", vars),
              "[ ][ ][ ][ ]");
    // A value is inserted after the serial number and date were filled but before the later
    // variables, so only those can still be expanded inside it.
    vars.value = "$SERIAL_NUMBER $CONDITION";
    EXPECT_EQ(mba::mba_expand_template("$VALUE", vars), "$SERIAL_NUMBER 12.5 > 10");
    // The result is cut to the 1024-byte text of the expansion.
    vars.value = std::string(2000, 'v');
    EXPECT_EQ(mba::mba_expand_template("$VALUE", vars).size(), mba::kTemplateMax - 1);
}

TEST_F(AlarmTemplate, OtherValueRowsAndElements)
{
    write_script("echo \"$@\" >> \"$FIELDBRIDGE_ROOT/tmp/script_args\"\n");
    ASSERT_EQ(usi_list_set("modbus_poll.channel", 4, "value", "1, 2, 3"), 0);
    ASSERT_EQ(usi_list_set("modbus_poll.channel", 5, "value", "7"), 0);
    EXPECT_EQ(mba::mba_expand_template("a=$OTHER_VALUE(4.2) b=$OTHER_VALUE(4) c=$OTHER_VALUE(4.9) d=$OTHER_VALUE(9) "
                                       "e=$OTHER_VALUE(x) f=$OTHER_VALUE g=$OTHER_VALUE(5.1) h=$OTHER_VALUE(4.3) "
                                       "i=$OTHER_VALUE(4.2) j=$OTHER_VALUE(99999999999)",
                                       vars),
              "a=2 b=1, 2, 3 c=1, 2, 3 d=$OTHER_VALUE(9) e=$OTHER_VALUE(x) f=$OTHER_VALUE g=7 h=3 i=2 "
              "j=$OTHER_VALUE(99999999999)");
    EXPECT_EQ(root.read("/tmp/script_args"), "modbus_poll\n");
    // An occurrence without a closing parenthesis ends the processing of the variable.
    EXPECT_EQ(mba::mba_expand_template("$OTHER_VALUE(5) $OTHER_VALUE(4 $OTHER_VALUE", vars),
              "7 $OTHER_VALUE(4 $OTHER_VALUE");
    // A value that itself holds the variable does not make the expansion loop.
    ASSERT_EQ(usi_list_set("modbus_poll.channel", 6, "value", "x$OTHER_VALUE(6)"), 0);
    EXPECT_EQ(mba::mba_expand_template("$OTHER_VALUE(6)", vars), "x$OTHER_VALUE(6)");
    // Templates without the variable do not run the script.
    mba::mba_expand_template("$VALUE", vars);
    EXPECT_EQ(root.read("/tmp/script_args"), "modbus_poll\nmodbus_poll\nmodbus_poll\n");

    // A failing refresh is logged and the expansion goes on with the values there are.
    write_script("exit 3\n");
    testing::internal::CaptureStderr();
    std::string out = mba::mba_expand_template("$OTHER_VALUE(5)", vars);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, "7");
    EXPECT_NE(log.find("update usi of modbus_poll failed"), std::string::npos) << log;
}

mba::Action action(int type, std::string phonenum = "")
{
    mba::Action a;
    a.type = type;
    a.phonenum = std::move(phonenum);
    return a;
}

TEST(AlarmCommands, ExactVectorsAndTexts)
{
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(mba::mba_action_commands(action(mba::kActionDo1), true, "", 0),
              (std::vector<Command>{{"ubus", "call", "digital_io", "do",
                                     "{\"id\":\"1\", \"source\":\"modbus_alarm\", \"action\":\"alarm on\"}"}}));
    EXPECT_EQ(mba::mba_action_commands(action(mba::kActionDo1), false, "", 0),
              (std::vector<Command>{{"ubus", "call", "digital_io", "do",
                                     "{\"id\":\"1\", \"source\":\"modbus_alarm\", \"action\":\"alarm off\"}"}}));
    EXPECT_EQ(mba::mba_action_commands(action(mba::kActionDo2), true, "", 0),
              (std::vector<Command>{{"ubus", "call", "digital_io", "do",
                                     "{\"id\":\"2\", \"source\":\"modbus_alarm\", \"action\":\"alarm on\"}"}}));
    EXPECT_EQ(mba::mba_action_commands(action(mba::kActionDo2), false, "", 0),
              (std::vector<Command>{{"ubus", "call", "digital_io", "do",
                                     "{\"id\":\"2\", \"source\":\"modbus_alarm\", \"action\":\"alarm off\"}"}}));
    EXPECT_EQ(mba::mba_action_commands(action(mba::kActionEvent), true, "Alarm 3: 12.5 > 10", 1700000000),
              (std::vector<Command>{{"ubus", "call", "eventd", "event",
                                     "{ \"name\": \"modbus_alarm\", \"content\": \"Alarm 3: 12.5 > 10\", "
                                     "\"timestamp\": \"2023-11-14 22:13:20\", \"level\": \"applications\" }"}}));
    // One sendsms per number, the same content each time.
    EXPECT_EQ(
        mba::mba_action_commands(action(mba::kActionSms, "111,222"), false, "off", 0),
        (std::vector<Command>{{"ubus", "call", "smsd", "sendsms", "{\"phonenum\": \"111\", \"content\": \"off\"}"},
                              {"ubus", "call", "smsd", "sendsms", "{\"phonenum\": \"222\", \"content\": \"off\"}"}}));
}

std::string json_string_member(const std::string &json, const char *member, bool *parsed)
{
    json_tokener *tok = json_tokener_new();
    json_object *obj = json_tokener_parse_ex(tok, json.c_str(), int(json.size()));
    bool complete = obj && json_tokener_get_error(tok) == json_tokener_success &&
                    size_t(json_tokener_get_parse_end(tok)) == json.size();
    json_tokener_free(tok);
    std::string out;
    json_object *val = nullptr;
    *parsed = complete && json_object_object_get_ex(obj, member, &val);
    if (*parsed)
        out.assign(json_object_get_string(val), size_t(json_object_get_string_len(val)));
    json_object_put(obj);
    return out;
}

TEST(AlarmCommands, HostileContentStaysInsideItsJsonString)
{
    const auto values = fbtest_hostile::values("/tmp/should-not-exist");
    ASSERT_GE(values.size(), 50u);
    for (const auto &v : values) {
        SCOPED_TRACE(v);
        auto event = mba::mba_action_commands(action(mba::kActionEvent), true, v, 0);
        ASSERT_EQ(event.size(), 1u);
        ASSERT_EQ(event[0].size(), 5u);
        bool parsed = false;
        EXPECT_EQ(json_string_member(event[0][4], "content", &parsed), v);
        EXPECT_TRUE(parsed);
        EXPECT_EQ(json_string_member(event[0][4], "level", &parsed), "applications");

        auto sms = mba::mba_action_commands(action(mba::kActionSms, "+4917\"1"), true, v, 0);
        ASSERT_EQ(sms.size(), 1u);
        EXPECT_EQ(json_string_member(sms[0][4], "content", &parsed), v);
        EXPECT_TRUE(parsed);
        EXPECT_EQ(json_string_member(sms[0][4], "phonenum", &parsed), "+4917\"1");
    }
}

} // namespace

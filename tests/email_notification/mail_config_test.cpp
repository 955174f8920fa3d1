// Mail channels from the UCI package and the events they select from the event table.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/daemon.h"
#include "email_notification/mail_config.h"
#include "fbtest/support.h"

namespace
{

const char *kEventTable = "modbus_alarm--Modbus alarm raised\n"
                          "wan_down--WAN link lost -- again\n"
                          "sms_received--SMS\n"
                          "a line without the separator\n"
                          "--an empty name\n"
                          "last_line--no line feed";

const char *kChannels = "config channel\n"
                        "\toption enable 'true'\n"
                        "\toption address 'a@example.com b@example.com'\n"
                        "\toption subject 'Router alarm'\n"
                        "\toption enable_timestamp 'true'\n"
                        "\toption modbus_alarm 'true'\n"
                        "\toption wan_down 'false'\n"
                        "config channel\n"
                        "\toption enable 'false'\n"
                        "\toption modbus_alarm 'true'\n"
                        "config channel\n"
                        "\toption enable 'true'\n"
                        "\toption address 'c@example.com'\n"
                        "\toption sms_received 'true'\n"
                        "\toption last_line 'true'\n"
                        "\toption modbus_alarm 'true'\n";

TEST(EventTable, NamesBeforeTheFirstSeparator)
{
    fbtest::TempRoot root;
    std::string long_line = std::string(300, 'x') + "--y\n";
    root.write("/etc/event/event_table", std::string(kEventTable) + "\n" + long_line + "tail--t\n");
    std::vector<std::string> names;
    ASSERT_TRUE(email::read_event_table("/etc/event/event_table", names));
    // The long line counts up to 255 characters: its separator lies beyond them.
    EXPECT_EQ(names, (std::vector<std::string>{"modbus_alarm", "wan_down", "sms_received", "last_line", "tail"}));
    EXPECT_FALSE(email::read_event_table("/etc/event/missing", names));
}

TEST(MailConfig, EnabledChannelsAndTheirEvents)
{
    setenv("FIELDBRIDGE_LOG_STDERR", "1", 1);
    fb::openlog_applet("email_notifier");
    fbtest::TempRoot root;
    root.write("/etc/event/event_table", kEventTable);
    root.write("/etc/config/email_notification", kChannels);
    email::MailConfig cfg;
    ASSERT_TRUE(email::config_init(cfg));
    EXPECT_TRUE(cfg.channels[0].enabled);
    EXPECT_EQ(cfg.channels[0].address, "a@example.com b@example.com");
    EXPECT_EQ(cfg.channels[0].subject, "Router alarm");
    EXPECT_TRUE(cfg.channels[0].enable_timestamp);
    EXPECT_FALSE(cfg.channels[1].enabled);
    EXPECT_EQ(cfg.channels[2].address, "c@example.com");
    EXPECT_EQ(cfg.channels[2].subject, "");
    EXPECT_FALSE(cfg.channels[2].enable_timestamp);
    // In load order: by channel, then in the order of the event table.
    std::vector<std::pair<int, std::string>> got;
    for (const auto &s : cfg.selections)
        got.emplace_back(s.channel, s.event);
    EXPECT_EQ(got, (std::vector<std::pair<int, std::string>>{
                       {0, "modbus_alarm"}, {2, "modbus_alarm"}, {2, "sms_received"}, {2, "last_line"}}));
}

TEST(MailConfig, MissingAddressFailsAndMissingTableSelectsNothing)
{
    setenv("FIELDBRIDGE_LOG_STDERR", "1", 1);
    fb::openlog_applet("email_notifier");
    fbtest::TempRoot root;
    root.write("/etc/config/email_notification", kChannels);
    email::MailConfig cfg;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(email::config_init(cfg));
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(cfg.selections.empty());
    EXPECT_TRUE(cfg.channels[2].enabled);
    // One report per enabled channel.
    size_t first = log.find("open event table file error!");
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_NE(log.find("open event table file error!", first + 1), std::string::npos) << log;

    root.write("/etc/event/event_table", kEventTable);
    for (const char *address : std::vector<const char *>{"", nullptr}) {
        std::string doc = "config channel\n\toption enable 'true'\n\toption modbus_alarm 'true'\n";
        if (address)
            doc += "\toption address ''\n";
        root.write("/etc/config/email_notification", doc);
        testing::internal::CaptureStderr();
        EXPECT_FALSE(email::config_init(cfg));
        log = testing::internal::GetCapturedStderr();
        EXPECT_NE(log.find("get email address para error"), std::string::npos) << log;
        EXPECT_TRUE(cfg.selections.empty());
    }
}

} // namespace

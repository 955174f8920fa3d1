// email_notifier between the event daemon and a real mailbox: channel selection, waiting for the
// uplink, the mail layouts, and the five attempts of a mail the server refuses.
#include <gtest/gtest.h>

#include <librouter.h>

#include <string>
#include <vector>

#include "email_notification/mail_test_support.h"
#include "fbtest/support.h"
#include "modbus_alarm/service_chain.h"

namespace
{

int call_eventd(const std::string &json)
{
    return fbtest::run({fbtest::bin("ubus"), "call", "eventd", "event", json});
}

TEST(EmailNotifier, QueuesWhileOfflineSendsOnUplinkAndRetriesFiveTimes)
{
    fbtest::TempRoot root;
    mailtest::SmtpSink sink(root);
    mailtest::write_msmtprc(root, sink.port());
    root.write("/etc/event/event_table", "modbus_alarm--Modbus alarm\nwan_down--WAN down\nreboot--Reboot\n");
    root.write("/etc/config/email_notification",
               "config channel\n\toption enable 'true'\n\toption address 'ops@example.com'\n"
               "\toption subject 'Router event'\n\toption enable_timestamp 'true'\n\toption modbus_alarm 'true'\n"
               "config channel\n\toption enable 'true'\n\toption address 'field@example.com second@example.com'\n"
               "\toption modbus_alarm 'true'\n\toption reboot 'true'\n"
               "config channel\n\toption enable 'true'\n\toption address 'reject-me@example.com'\n"
               "\toption wan_down 'true'\n");
    ASSERT_EQ(usi_set("active_link.ip", ""), 0);
    chain::Services services(root);
    services.start_service("eventd");
    fbtest::Process &notifier = services.start_applet("email_notifier");

    ASSERT_EQ(call_eventd(R"({"name": "modbus_alarm", "content": "Alarm 1: 150 > 100",
                             "timestamp": "2024-05-06 07:08:09", "level": "applications"})"),
              0);
    ASSERT_EQ(call_eventd(R"({"name": "reboot", "content": "ignored", "message": "Rebooting now",
                             "timestamp": "2024-05-06 07:08:10", "level": "system"})"),
              0);
    ASSERT_EQ(call_eventd(R"({"name": "unselected", "content": "x", "timestamp": "t", "level": "l"})"), 0);
    ASSERT_EQ(call_eventd(R"({"name": "wan_down", "content": "WAN lost", "timestamp": "t", "level": "l"})"), 0);

    // Without an uplink address nothing leaves the queue for a whole tick and more.
    EXPECT_FALSE(sink.wait_for_count(1, fbtest::Millis(6000)));
    EXPECT_EQ(notifier.err().find("send email"), std::string::npos) << notifier.err();

    // With one, everything queued goes out at the next tick.
    ASSERT_EQ(usi_set("active_link.ip", "10.64.0.2"), 0);
    ASSERT_TRUE(sink.wait_for_count(3, fbtest::Millis(7000)));
    auto mails = sink.mails();
    ASSERT_EQ(mails.size(), 3u);
    // Channel 1: subject and timestamp; channel 2: no subject, so the message starts with two line
    // feeds (an empty header) and its body with an empty line; "message" replaces the content.
    EXPECT_EQ(mails[0].rcpt, "ops@example.com");
    EXPECT_NE(mails[0].headers.find("\nSubject: Router event"), std::string::npos) << mails[0].headers;
    EXPECT_EQ(mails[0].body, "2024-05-06 07:08:09, Alarm 1: 150 > 100\n");
    EXPECT_EQ(mails[1].rcpt, "field@example.com\nsecond@example.com");
    EXPECT_EQ(mails[1].headers.find("Subject"), std::string::npos) << mails[1].headers;
    EXPECT_EQ(mails[1].body, "\nAlarm 1: 150 > 100\n");
    EXPECT_EQ(mails[2].rcpt, "field@example.com\nsecond@example.com");
    EXPECT_EQ(mails[2].body, "\nRebooting now\n");

    // The refused mail is tried five times in all, one attempt per tick, then dropped.
    EXPECT_TRUE(notifier.wait_err("send email failed, try to resend(5/5)", fbtest::Millis(40000))) << notifier.err();
    std::string log = notifier.err();
    size_t at = 0;
    for (int n = 1; n <= 5; ++n) {
        at = log.find("try to resend(" + std::to_string(n) + "/5)", at);
        ASSERT_NE(at, std::string::npos) << n;
    }
    EXPECT_NE(log.find("subject: , address: reject-me@example.com, content: , WAN lost"), std::string::npos);
    EXPECT_EQ(sink.mails().size(), 3u);

    // SIGTERM ends the notifier with status 0.
    EXPECT_EQ(fbtest::exit_code(notifier.stop()), 0);
    EXPECT_NE(notifier.err().find("receive SIGTERM, exit"), std::string::npos);
}

TEST(EmailNotifier, StartFailures)
{
    fbtest::TempRoot root;
    root.write("/etc/event/event_table", "modbus_alarm--Modbus alarm\n");
    // An enabled channel without an address fails the load.
    root.write("/etc/config/email_notification", "config channel\n\toption enable 'true'\n");
    fbtest::Process p({fbtest::bin("email_notifier")}, chain::applet_env(root));
    EXPECT_EQ(fbtest::exit_code(p.wait_exit(fbtest::Millis(5000))), 1);
    EXPECT_NE(p.err().find("get email address para error"), std::string::npos) << p.err();

    // No bus.
    root.write("/etc/config/email_notification",
               "config channel\n\toption enable 'true'\n\toption address 'a@example.com'\n");
    fbtest::Process q({fbtest::bin("email_notifier")}, chain::applet_env(root));
    EXPECT_EQ(fbtest::exit_code(q.wait_exit(fbtest::Millis(5000))), 1);
    EXPECT_NE(q.err().find("failed to connect to ubus"), std::string::npos) << q.err();

    // A bus without eventd.
    chain::Services services(root);
    fbtest::Process r({fbtest::bin("email_notifier")}, chain::applet_env(root));
    EXPECT_EQ(fbtest::exit_code(r.wait_exit(fbtest::Millis(5000))), 1);
    EXPECT_NE(r.err().find("ubus_loojup_id failed"), std::string::npos) << r.err();
}

} // namespace

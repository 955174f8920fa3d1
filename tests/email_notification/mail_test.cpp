// The mail queue, the composed messages and their delivery by the real msmtp to a real SMTP
// server on 127.0.0.1.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "common/daemon.h"
#include "email_notification/mail_config.h"
#include "email_notification/mail_delivery.h"
#include "email_notification/mail_queue.h"
#include "email_notification/mail_test_support.h"
#include "fbtest/support.h"
#include "modbus_alarm/hostile_values.h"

namespace
{

email::MailConfig two_channel_config()
{
    email::MailConfig cfg;
    cfg.channels[0] = {true, "ok@example.com", "Alarm", true};
    cfg.channels[3] = {true, "reject@example.com other@example.com", "", false};
    cfg.selections = {{0, "modbus_alarm"}, {3, "modbus_alarm"}, {3, "modbus_alarm"}, {3, "wan_down"}};
    return cfg;
}

TEST(MailQueue, OneMailPerSelectingChannel)
{
    auto cfg = two_channel_config();
    email::MailQueue q;
    email::Notification n{"modbus_alarm", "the content", "2024-05-06 07:08:09", "applications", nullptr};
    EXPECT_EQ(q.notify(cfg, n), 0);
    ASSERT_EQ(q.size(), 2u) << "two channels selected the event; the repeated selection adds nothing";
    auto it = q.items().begin();
    EXPECT_EQ(it->channel, 0);
    EXPECT_EQ(it->attempt, 1);
    EXPECT_EQ(it->text, "the content");
    ASSERT_TRUE(it->timestamp.has_value());
    EXPECT_EQ(*it->timestamp, "2024-05-06 07:08:09");
    ++it;
    EXPECT_EQ(it->channel, 3);
    EXPECT_FALSE(it->timestamp.has_value());

    // "message" replaces the content as the mail text.
    n.message = "the message";
    n.name = "wan_down";
    EXPECT_EQ(q.notify(cfg, n), 0);
    ASSERT_EQ(q.size(), 3u);
    EXPECT_EQ(q.items().back().text, "the message");

    // Events nobody selected are dropped; a missing required field is an invalid argument.
    n.name = "unknown";
    EXPECT_EQ(q.notify(cfg, n), 0);
    const email::Notification complete{"modbus_alarm", "c", "t", "l", nullptr};
    for (int missing = 0; missing < 4; ++missing) {
        email::Notification bad = complete;
        const char **fields[] = {&bad.name, &bad.content, &bad.timestamp, &bad.level};
        *fields[missing] = nullptr;
        EXPECT_EQ(q.notify(cfg, bad), 2) << missing;
    }
    EXPECT_EQ(q.size(), 3u);
}

TEST(MailCompose, LayoutsAndHeaderSafety)
{
    const std::string ts = "2024-05-06 07:08:09";
    EXPECT_EQ(email::compose_mail("Alarm", &ts, "text"), "Subject: Alarm\n\n2024-05-06 07:08:09, text");
    EXPECT_EQ(email::compose_mail("Alarm", nullptr, "text"), "Subject: Alarm\n\ntext");
    EXPECT_EQ(email::compose_mail("", &ts, "text"), "\n\n2024-05-06 07:08:09, text");
    EXPECT_EQ(email::compose_mail("", nullptr, "a\nb"), "\n\na\nb");
    // Line ends in a subject cannot start a header of their own.
    EXPECT_EQ(email::compose_mail("a\r\nBcc: x@example.com\nc", nullptr, "t"), "Subject: a  Bcc: x@example.com c\n\nt");
    // Overlong lines are broken to the mail line limit: the subject folded, the body split.
    std::string subject(1500, 's');
    std::string mail = email::compose_mail(subject, nullptr, std::string(2000, 'b') + "\nend");
    std::string expected = "Subject: " + subject.substr(0, 989) + "\n " + subject.substr(989) + "\n\n" +
                           std::string(998, 'b') + "\n" + std::string(998, 'b') + "\n" + std::string(4, 'b') + "\nend";
    EXPECT_EQ(mail, expected);
}

TEST(MailDelivery, ArgumentVector)
{
    {
        fbtest::TempRoot root;
        EXPECT_EQ(email::msmtp_argv(" a@example.com\tb@example.com \r\n-oQ/x "),
                  (std::vector<std::string>{"msmtp", "--file=" + root.dir() + "/etc/msmtprc", "--", "a@example.com",
                                            "b@example.com", "-oQ/x"}));
    }
    const char *saved = getenv("FIELDBRIDGE_ROOT");
    std::string keep = saved ? saved : "";
    unsetenv("FIELDBRIDGE_ROOT");
    // On the router the client reads its own configuration.
    EXPECT_EQ(email::msmtp_argv("a@example.com"), (std::vector<std::string>{"msmtp", "--", "a@example.com"}));
    if (saved)
        setenv("FIELDBRIDGE_ROOT", keep.c_str(), 1);
}

// Markers the hostile values would create if anything interpreted them.
bool any_marker(const fbtest::TempRoot &root)
{
    for (const auto &e : std::filesystem::directory_iterator(root.path("/tmp")))
        if (e.path().filename().string().rfind("pwned", 0) == 0)
            return true;
    return false;
}

TEST(MailDelivery, HostileValuesAreMailedAsText)
{
    fbtest::TempRoot root;
    mailtest::SmtpSink sink(root);
    mailtest::write_msmtprc(root, sink.port());
    const auto values = fbtest_hostile::values(root.path("/tmp/pwned"));
    ASSERT_GE(values.size(), 50u);
    for (const auto &v : values) {
        // The same value as subject, timestamp and text.
        std::string message = email::compose_mail(v, &v, v);
        EXPECT_EQ(email::send_mail("rcpt@example.com", message), 0) << v;
    }
    ASSERT_TRUE(sink.wait_for_count(values.size(), fbtest::Millis(10000)));
    auto mails = sink.mails();
    ASSERT_EQ(mails.size(), values.size());
    const std::set<std::string> allowed = {"Subject", "From", "Date", "Message-ID"};
    for (size_t i = 0; i < values.size(); ++i) {
        const std::string &v = values[i];
        SCOPED_TRACE(v);
        const auto &m = mails[i];
        EXPECT_EQ(m.rcpt, "rcpt@example.com");
        int subjects = 0;
        for (const auto &line : mailtest::header_lines(m.headers)) {
            std::string name = line.substr(0, line.find(':'));
            EXPECT_TRUE(allowed.count(name)) << "unexpected header line: " << line;
            if (name == "Subject") {
                ++subjects;
                std::string one_line = v;
                for (char &c : one_line)
                    if (c == '\r' || c == '\n')
                        c = ' ';
                EXPECT_EQ(line, "Subject: " + one_line);
            }
        }
        EXPECT_EQ(subjects, 1);
        // Nothing of the text is lost: apart from the breaks of overlong lines, the body is it.
        // The transport ends the last line.
        std::string expected = mailtest::crlf_to_lf(v + ", " + v) + "\n";
        if (expected.find('\n') == expected.size() - 1 && expected.size() <= email::kMailLineMax) {
            EXPECT_EQ(m.body, expected);
        } else {
            auto strip = [](std::string s) {
                std::erase(s, '\n');
                return s;
            };
            EXPECT_EQ(strip(m.body), strip(expected));
        }
    }
    EXPECT_FALSE(any_marker(root));

    // Hostile recipients reach msmtp as words, never as shell text or options.
    const std::string marker = root.path("/tmp/pwned");
    for (const std::string &address : std::vector<std::string>{
             "x@example.com;touch " + marker + "A", "$(touch " + marker + "B)@example.com", "`touch " + marker + "C`",
             "--help", "-X" + marker + "D x@example.com", "x@example.com\r\nRCPT TO:<injected@example.com>"}) {
        email::send_mail(address, "\n\nbody");
    }
    EXPECT_FALSE(any_marker(root));
    // The line end in the last address only separates words; it never reaches the SMTP dialogue.
    for (const auto &m : sink.mails())
        EXPECT_EQ(m.rcpt.find('\r'), std::string::npos) << m.rcpt;
}

TEST(MailDelivery, FailedMailsAreRetriedFiveTimesInAll)
{
    setenv("FIELDBRIDGE_LOG_STDERR", "1", 1);
    fb::openlog_applet("email_notifier");
    fbtest::TempRoot root;
    mailtest::SmtpSink sink(root);
    mailtest::write_msmtprc(root, sink.port());
    auto cfg = two_channel_config();
    email::MailQueue q;
    ASSERT_EQ(q.notify(cfg, {"modbus_alarm", "content", "2024-05-06 07:08:09", "applications", nullptr}), 0);
    ASSERT_EQ(q.size(), 2u);

    // The sink refuses "reject@...", so channel 3's mail fails every time.
    testing::internal::CaptureStderr();
    for (int round = 0; round < 5; ++round)
        q.send_all(cfg, email::send_mail);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(q.empty());
    size_t at = 0;
    for (int n = 1; n <= 5; ++n) {
        std::string line = "send email failed, try to resend(" + std::to_string(n) + "/5)";
        at = log.find(line, at);
        ASSERT_NE(at, std::string::npos) << line << "\n" << log;
    }
    EXPECT_EQ(log.find("(6/5)"), std::string::npos);
    EXPECT_NE(log.find("send email successful"), std::string::npos);
    EXPECT_NE(log.find("subject: Alarm, address: ok@example.com, content: 2024-05-06 07:08:09, content"),
              std::string::npos);
    auto mails = sink.mails();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].body, "2024-05-06 07:08:09, content\n");

    // A client that cannot reach any server fails as well.
    sink.stop();
    EXPECT_NE(email::send_mail("ok@example.com", "\n\nx"), 0);
}

} // namespace

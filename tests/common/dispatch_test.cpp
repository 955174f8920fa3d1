#include "common/dispatch.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "fbtest/support.h"

namespace
{

int poll_main(int argc, char **)
{
    return 10 + argc;
}
int alarm_main(int, char **)
{
    return 20;
}

const fb::Applet kTable[] = {{"modbus_poll", poll_main}, {"modbus_alarm", alarm_main}, {nullptr, nullptr}};

int run(const char *argv0, int argc = 1)
{
    std::string a0 = argv0;
    char extra[] = "x";
    char *argv[] = {a0.data(), extra, extra, nullptr};
    return fb::dispatch(kTable, fb::UnknownReport::Stdout, argc, argv);
}

} // namespace

TEST(Dispatch, ExactNameAfterTheLastSlash)
{
    EXPECT_EQ(run("modbus_poll"), 11);
    EXPECT_EQ(run("/usr/sbin/modbus_poll", 3), 13); // arguments pass through unchanged
    EXPECT_EQ(run("./modbus_alarm"), 20);

    testing::internal::CaptureStdout();
    EXPECT_EQ(run("modbus_pol"), 1);
    EXPECT_EQ(run("Modbus_poll"), 1);
    EXPECT_EQ(run("/bin/modbus_poll/"), 1); // nothing after the last slash
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Unknown applet: modbus_pol\nUnknown applet: Modbus_poll\nUnknown applet: \n");
}

TEST(Dispatch, ProgramsReportUnknownNames)
{
    // The installed layout: the program plus one link per applet name.
    fbtest::TempRoot root;
    std::string dir = root.path("/usr/bin");
    std::filesystem::create_directories(dir);
    for (const char *program : {"modbus_suite", "dlms_suite", "dlms_iec104_gateway"}) {
        std::filesystem::create_symlink(fbtest::bin(program), dir + "/not_an_applet");
        std::string out;
        EXPECT_EQ(fbtest::run({dir + "/not_an_applet"}, &out), 1) << program;
        EXPECT_EQ(out, "Unknown applet: not_an_applet\n") << program;
        std::filesystem::remove(dir + "/not_an_applet");
    }
    // The two gateways with DNP3 report to syslog, not standard output.
    for (const char *program : {"dnp3_iec104_gateway", "modbus_dnp3_gateway"}) {
        std::string out;
        EXPECT_EQ(fbtest::run({fbtest::bin(program)}, &out), 1) << program;
        EXPECT_EQ(out, "") << program;
    }
}

TEST(Dispatch, HelperAppletReplacesTheProgram)
{
    // modbus_transport runs as lib/fieldbridge/modbus_transport, arguments unchanged: its usage
    // line comes back through modbus_suite.
    std::string out;
    EXPECT_EQ(fbtest::run({"/bin/sh", "-c", "\"$0\" 2>&1", fbtest::bin("modbus_transport")}, &out), 1);
    EXPECT_NE(out.find("modbus_transport <Connection index>"), std::string::npos) << out;

    // Installed without its helper: the reason, and 1.
    fbtest::TempRoot root;
    const std::string dir = root.path("/usr/bin");
    std::filesystem::create_directories(dir);
    std::filesystem::copy_file(fbtest::bin("modbus_suite"), dir + "/modbus_suite");
    std::filesystem::permissions(dir + "/modbus_suite", std::filesystem::perms::owner_all);
    std::filesystem::create_symlink("modbus_suite", dir + "/modbus_transport");
    EXPECT_EQ(fbtest::run({"/bin/sh", "-c", "\"$0\" 1 2>&1", dir + "/modbus_transport"}, &out), 1);
    EXPECT_NE(out.find("cannot start " + dir + "/../lib/fieldbridge/modbus_transport: No such file or directory"),
              std::string::npos)
        << out;
}

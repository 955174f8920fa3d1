#include "common/daemon.h"
#include "common/log.h"
#include "common/routines.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include <libubox/uloop.h>

namespace {

std::string message_of(const std::string &captured)
{
    // "ident[pid]: message\n" -> "message"
    auto colon = captured.find(": ");
    std::string msg = colon == std::string::npos ? captured : captured.substr(colon + 2);
    while (!msg.empty() && msg.back() == '\n')
        msg.pop_back();
    return msg;
}

} // namespace

TEST(Logging, HexDumpIsCutAt512AndMirroredToStderr)
{
    setenv("FIELDBRIDGE_LOG_STDERR", "1", 1);
    fb::openlog_applet("test_common");
    uint8_t bytes[300];
    for (int i = 0; i < 300; ++i)
        bytes[i] = uint8_t(i);

    testing::internal::CaptureStderr();
    hex_dump_log("read", bytes, 3);
    std::string small = message_of(testing::internal::GetCapturedStderr());
    EXPECT_EQ(small, "read(3): 00 01 02");

    testing::internal::CaptureStderr();
    hex_dump_log("read", bytes, 300);
    std::string big = message_of(testing::internal::GetCapturedStderr());
    EXPECT_EQ(big.size(), 512u);
    EXPECT_EQ(big.rfind("read(300): 00 01 02", 0), 0u);

    testing::internal::CaptureStderr();
    hex_dump_log("read", bytes, 0);
    hex_dump_log("read", nullptr, 5);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    testing::internal::CaptureStderr();
    FB_CONF_ERROR("src/modbus_poll.c");
    std::string conf = message_of(testing::internal::GetCapturedStderr());
    EXPECT_EQ(conf.rfind("error in src/modbus_poll.c, TestBody:", 0), 0u) << conf;
}

TEST(Signals, RecordedByTheHandlerAndActedOnFromTheLoop)
{
    // Run in a child: the test runner's own signal state stays as it was.
    pid_t child = fork();
    if (child == 0) {
        uloop_init();
        static int usr1 = 0, usr2 = 0;
        fb::SignalActions actions;
        actions.on_usr1 = [] { ++usr1; };
        actions.on_usr2 = [] {
            ++usr2;
            uloop_end();
        };
        actions.on_term = [] { _exit(usr1 == 2 && usr2 == 1 ? 42 : 1); };
        fb::install_signals(actions);
        // Raised before the loop runs: recorded, not acted on inside the handler.
        raise(SIGUSR1);
        raise(SIGUSR1);
        if (usr1 != 0)
            _exit(2);
        raise(SIGUSR2);
        uloop_run();
        if (usr1 != 2 || usr2 != 1)
            _exit(3);
        // SIGCHLD reaps children on the loop: no zombie is left behind.
        pid_t grandchild = fork();
        if (grandchild == 0)
            _exit(0);
        static uloop_timeout check{};
        check.cb = [](uloop_timeout *) { uloop_end(); };
        uloop_timeout_set(&check, 200);
        uloop_run();
        if (waitpid(grandchild, nullptr, WNOHANG) != -1)
            _exit(4);
        // SIGTERM runs the applet's action and marks the stop for blocking work.
        raise(SIGTERM);
        if (!fb::stop_requested())
            _exit(5);
        uloop_run();
        _exit(6);
    }
    int st = 0;
    ASSERT_EQ(waitpid(child, &st, 0), child);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 42);
}

TEST(Signals, AnUnrelatedSignalDoesNotBreakAReadButStopDoes)
{
    pid_t child = fork();
    if (child == 0) {
        uloop_init();
        fb::SignalActions actions;
        fb::install_signals(actions);
        int fds[2];
        if (pipe(fds) != 0)
            _exit(10);
        pid_t self = getpid();
        pid_t poker = fork();
        if (poker == 0) {
            usleep(50 * 1000);
            kill(self, SIGUSR1); // not a stop: the read goes on
            usleep(50 * 1000);
            (void)!write(fds[1], "ab", 2);
            usleep(300 * 1000);
            kill(self, SIGTERM); // a stop: the read gives up at once
            _exit(0);
        }
        uint8_t buf[4];
        int first = read_with_timeout(fds[0], buf, 2, 1000);
        int second = read_with_timeout(fds[0], buf, 4, 5000);
        _exit(first == 2 && second == -1 && fb::stop_requested() ? 42 : 1);
    }
    int st = 0;
    ASSERT_EQ(waitpid(child, &st, 0), child);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 42);
}

TEST(Arguments, UsageLines)
{
    char prog[] = "/usr/bin/modbus_poll";
    char type[] = "rs485";
    char idx[] = "1";
    char bad[] = "1a";
    char *good_argv[] = {prog, type, idx, nullptr};
    char *bad_argv[] = {prog, type, bad, nullptr};
    char *short_argv[] = {prog, type, nullptr};
    EXPECT_TRUE(fb::check_type_index_args(3, good_argv));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(fb::check_type_index_args(3, bad_argv));
    EXPECT_FALSE(fb::check_type_index_args(2, short_argv));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Usages: /usr/bin/modbus_poll <Connection type> <Connection index>\n"
              "Usages: /usr/bin/modbus_poll <Connection type> <Connection index>\n");
    char *index_argv[] = {prog, idx, nullptr};
    EXPECT_TRUE(fb::check_index_args(2, index_argv));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(fb::check_index_args(3, good_argv));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Usages: /usr/bin/modbus_poll <Connection index>\n");
}

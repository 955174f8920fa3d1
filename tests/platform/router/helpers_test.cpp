// String, file, process, network and serial helpers, each against the real thing: files inside a
// temporary root, real child processes, loopback sockets and a pseudo-terminal pair.
#include <librouter.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "fbtest/support.h"
#include "serial_settings.h"

namespace {

// The library's error lines are read back from standard error.
const bool g_log_to_stderr = setenv("FIELDBRIDGE_LOG_STDERR", "1", 1) == 0;

std::string take(char *value)
{
    if (!value)
        return "<null>";
    std::string out(value);
    std::free(value);
    return out;
}

TEST(Strings, PredicatesAndConversions)
{
    EXPECT_TRUE(lib_string_is_digit("007"));
    EXPECT_FALSE(lib_string_is_digit(""));
    EXPECT_FALSE(lib_string_is_digit("12a"));
    EXPECT_FALSE(lib_string_is_digit("-1"));
    EXPECT_FALSE(lib_string_is_digit(nullptr));
    EXPECT_TRUE(lib_string_is_not_empty("x"));
    EXPECT_FALSE(lib_string_is_not_empty(""));
    EXPECT_FALSE(lib_string_is_not_empty(nullptr));
    EXPECT_TRUE(lib_string_cmp("tcp", "tcp"));
    EXPECT_FALSE(lib_string_cmp("tcp", "tcp "));
    EXPECT_FALSE(lib_string_cmp(nullptr, nullptr));
    EXPECT_EQ(take(lib_string_clone("copy")), "copy");
    EXPECT_EQ(lib_string_clone(nullptr), nullptr);

    uint32_t value = 5;
    EXPECT_TRUE(lib_string_to_uint32_t("4294967295", &value));
    EXPECT_EQ(value, 4294967295u);
    value = 5;
    for (const char *bad : {"4294967296", "99999999999999999999", "-1", " 1", "1 ", "", "0x10"})
        EXPECT_FALSE(lib_string_to_uint32_t(bad, &value)) << bad;
    EXPECT_FALSE(lib_string_to_uint32_t(nullptr, &value));
    EXPECT_EQ(value, 5u);

    EXPECT_STREQ(lib_basename("src/modbus_poll.c"), "modbus_poll.c");
    EXPECT_STREQ(lib_basename("modbus_poll.c"), "modbus_poll.c");
    EXPECT_STREQ(lib_basename("dir/"), "");
    EXPECT_STREQ(lib_basename(nullptr), "");
}

TEST(Strings, SplitKeepsEmptyFieldsAndNeverWritesPastMax)
{
    char rows[] = "1 2 13";
    char *parts[8];
    ASSERT_EQ(lib_string_split(rows, ' ', parts, 8), 3);
    EXPECT_STREQ(parts[0], "1");
    EXPECT_STREQ(parts[1], "2");
    EXPECT_STREQ(parts[2], "13");

    char csv[] = "a,,b,";
    ASSERT_EQ(lib_string_split(csv, ',', parts, 8), 4);
    EXPECT_STREQ(parts[1], "");
    EXPECT_STREQ(parts[3], "");

    // More fields than room: the last part keeps the rest; the slot after max stays untouched.
    char many[] = "a,b,c,d";
    char *two[3] = {nullptr, nullptr, nullptr};
    ASSERT_EQ(lib_string_split(many, ',', two, 2), 2);
    EXPECT_STREQ(two[0], "a");
    EXPECT_STREQ(two[1], "b,c,d");
    EXPECT_EQ(two[2], nullptr);

    char empty[] = "";
    EXPECT_EQ(lib_string_split(empty, ',', parts, 8), 0);
    EXPECT_EQ(lib_string_split(nullptr, ',', parts, 8), 0);
    EXPECT_EQ(lib_string_split(many, ',', parts, 0), 0);
}

TEST(Files, RouterPathsStayInsideTheRoot)
{
    fbtest::TempRoot root;
    // Present on the host, absent in the root: the host file is never looked at.
    EXPECT_FALSE(lib_file_exists("/etc/passwd"));
    root.write("/tmp/data.json", "{}");
    EXPECT_TRUE(lib_file_exists("/tmp/data.json"));
    EXPECT_FALSE(lib_dir_exists("/tmp/data.json"));
    EXPECT_TRUE(lib_dir_exists("/tmp/.usi/applications"));
    EXPECT_FALSE(lib_file_exists("/tmp/.usi/applications"));
    EXPECT_FALSE(lib_file_exists(nullptr));

    EXPECT_EQ(lib_file_touch("/tmp/.usi/applications/modbus_write"), 0);
    EXPECT_TRUE(root.exists("/tmp/.usi/applications/modbus_write"));
    EXPECT_EQ(root.read("/tmp/.usi/applications/modbus_write"), "");
    // Touching an existing file keeps its contents.
    EXPECT_EQ(lib_file_touch("/tmp/data.json"), 0);
    EXPECT_EQ(root.read("/tmp/data.json"), "{}");
    testing::internal::CaptureStderr();
    EXPECT_EQ(lib_file_touch("/no/such/dir/file"), -1);
    testing::internal::GetCapturedStderr();

    EXPECT_EQ(lib_remove_file("/tmp/data.json"), 0);
    EXPECT_FALSE(root.exists("/tmp/data.json"));
    EXPECT_EQ(lib_remove_file("/tmp/data.json"), -1);
}

TEST(Files, SafeReadIsBoundedAndWaitsForAWriterHoldingTheLock)
{
    fbtest::TempRoot root;
    root.write("/tmp/status", "0123456789abcdef");
    char small[10];
    EXPECT_EQ(lib_file_safe_read("/tmp/status", small, sizeof small), 9);
    EXPECT_STREQ(small, "012345678");
    char one[1] = {'x'};
    EXPECT_EQ(lib_file_safe_read("/tmp/status", one, 1), 0);
    EXPECT_EQ(one[0], '\0');
    char buffer[64] = "stale";
    EXPECT_EQ(lib_file_safe_read("/tmp/missing", buffer, sizeof buffer), -1);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(lib_file_safe_read("/tmp/status", nullptr, 10), -1);

    // A writer process holds the whole-file write lock while it rewrites the file.
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    const std::string path = root.path("/tmp/status");
    pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        fcntl(fd, F_SETLKW, &lock);
        (void)!write(fd, "half", 4);
        (void)!write(ready[1], "r", 1);
        char c;
        (void)!read(release[0], &c, 1);
        (void)!write(fd, "+whole", 6);
        _exit(0);
    }
    // Stops the writer whatever happens below.
    struct Reaper {
        pid_t pid;
        ~Reaper()
        {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    } reaper{writer};
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    std::atomic<bool> done{false};
    char seen[64] = {};
    std::thread reader([&] {
        lib_file_safe_read("/tmp/status", seen, sizeof seen);
        done = true;
    });
    EXPECT_FALSE(fbtest::wait_until([&] { return done.load(); }, fbtest::Millis(150)));
    ASSERT_EQ(write(release[1], "g", 1), 1);
    reader.join();
    EXPECT_STREQ(seen, "half+whole");
    for (int fd : {ready[0], ready[1], release[0], release[1]})
        close(fd);
}

TEST(Processes, EvalWaitsAndReportsTheExitStatus)
{
    fbtest::TempRoot root;
    const char *ok[] = {"true", nullptr};
    EXPECT_EQ(_eval(ok, nullptr, 0, nullptr), 0);
    const char *three[] = {"sh", "-c", "exit 3", nullptr};
    EXPECT_EQ(_eval(three, nullptr, 0, nullptr), 3);
    const char *killed[] = {"sh", "-c", "kill -9 $$", nullptr};
    EXPECT_EQ(_eval(killed, nullptr, 0, nullptr), 128 + 9);
    testing::internal::CaptureStderr();
    const char *missing[] = {"fieldbridge-no-such-program", nullptr};
    EXPECT_EQ(_eval(missing, nullptr, 0, nullptr), -1);
    const char *empty[] = {nullptr};
    EXPECT_EQ(_eval(empty, nullptr, 0, nullptr), -1);
    testing::internal::GetCapturedStderr();

    // Output redirection into a router path, truncating and appending.
    const char *both[] = {"sh", "-c", "echo out; echo err >&2", nullptr};
    EXPECT_EQ(_eval(both, "/tmp/eval.log", 0, nullptr), 0);
    EXPECT_EQ(_eval(both, ">>/tmp/eval.log", 0, nullptr), 0);
    EXPECT_EQ(root.read("/tmp/eval.log"), "out\nerr\nout\nerr\n");
    EXPECT_EQ(_eval(ok, ">/tmp/eval.log", 0, nullptr), 0);
    EXPECT_EQ(root.read("/tmp/eval.log"), "");

    // A program given by absolute path is a router path.
    root.write("/lib/functions/dynamic_usi_update.sh", "#!/bin/sh\necho \"$1\" > \"$FIELDBRIDGE_ROOT/tmp/ran\"\n");
    chmod(root.path("/lib/functions/dynamic_usi_update.sh").c_str(), 0755);
    const char *script[] = {"/lib/functions/dynamic_usi_update.sh", "modbus_poll", nullptr};
    EXPECT_EQ(_eval(script, nullptr, 0, nullptr), 0);
    EXPECT_EQ(root.read("/tmp/ran"), "modbus_poll\n");

    const char *slow[] = {"sleep", "30", nullptr};
    EXPECT_EQ(_eval(slow, nullptr, 1, nullptr), -1);
}

std::atomic<int> g_reaped{0};

void reap_all(int)
{
    int saved = errno;
    while (waitpid(-1, nullptr, WNOHANG) > 0)
        ++g_reaped;
    errno = saved;
}

TEST(Processes, EvalKeepsItsChildFromTheCallersReaper)
{
    // Applets reap every child in their SIGCHLD handler and ignore SIGPIPE.
    struct sigaction reap {}, old_chld {}, old_pipe {};
    reap.sa_handler = reap_all;
    sigemptyset(&reap.sa_mask);
    sigaction(SIGCHLD, &reap, &old_chld);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old_pipe);

    const char *five[] = {"sh", "-c", "exit 5", nullptr};
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(_eval(five, nullptr, 0, nullptr), 5);
    // The child does not inherit the ignored SIGPIPE.
    const char *pipe_kill[] = {"sh", "-c", "kill -PIPE $$; exit 0", nullptr};
    EXPECT_EQ(_eval(pipe_kill, nullptr, 0, nullptr), 128 + SIGPIPE);

    // Started in the background: the caller's handler reaps it.
    g_reaped = 0;
    int pid = 0;
    const char *quick[] = {"true", nullptr};
    EXPECT_EQ(_eval(quick, nullptr, 0, &pid), 0);
    EXPECT_GT(pid, 0);
    EXPECT_TRUE(fbtest::wait_until([] { return g_reaped.load() > 0; }));

    sigaction(SIGCHLD, &old_chld, nullptr);
    sigaction(SIGPIPE, &old_pipe, nullptr);
}

TEST(Processes, ExecPrintfRunsAShellCommandLine)
{
    fbtest::TempRoot root;
    EXPECT_EQ(exec_printf("exit %d", 4), 4);
    EXPECT_EQ(exec_printf("printf '%%s' %s > \"$FIELDBRIDGE_ROOT/tmp/%s\"", "hello", "out"), 0);
    EXPECT_EQ(root.read("/tmp/out"), "hello");
    // Long command lines are not cut.
    std::string word(10000, 'w');
    EXPECT_EQ(exec_printf("[ \"$(printf %%s %s | wc -c)\" -eq 10000 ]", word.c_str()), 0);
    EXPECT_EQ(exec_printf(nullptr), -1);
}

TEST(Network, AddressesAndKeepAlive)
{
    EXPECT_TRUE(lib_is_valid_ipv4_address("192.168.1.1"));
    EXPECT_TRUE(lib_is_valid_ipv4_address("0.0.0.0"));
    for (const char *bad : {"256.1.1.1", "1.2.3", "1.2.3.4.5", " 1.2.3.4", "a.b.c.d", "", "::1"})
        EXPECT_FALSE(lib_is_valid_ipv4_address(bad)) << bad;
    EXPECT_FALSE(lib_is_valid_ipv4_address(nullptr));

    EXPECT_EQ(take(lib_resolve_domain_name("127.0.0.1")), "127.0.0.1");
    EXPECT_EQ(take(lib_resolve_domain_name("localhost")), "127.0.0.1");
    EXPECT_EQ(take(lib_resolve_domain_name("")), "<null>");
    EXPECT_EQ(take(lib_resolve_domain_name(nullptr)), "<null>");

    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
    int client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    EXPECT_EQ(lib_sock_enable_keepalive(client), 0);
    int on = 0, idle = 0;
    socklen_t size = sizeof on;
    getsockopt(client, SOL_SOCKET, SO_KEEPALIVE, &on, &size);
    size = sizeof idle;
    getsockopt(client, IPPROTO_TCP, TCP_KEEPIDLE, &idle, &size);
    EXPECT_EQ(on, 1);
    EXPECT_EQ(idle, 30);
    close(client);
    close(listener);
    EXPECT_EQ(lib_sock_enable_keepalive(-1), -1);
}

struct LineCase {
    int baud, data_bits, stop_bits, parity, flow;
    speed_t speed;
    tcflag_t size;
};

const LineCase kLines[] = {{9600, 8, 1, 0, 0, B9600, CS8},
                           {19200, 7, 2, 2, 0, B19200, CS7},
                           {115200, 5, 1, 1, 1, B115200, CS5},
                           {1200, 6, 2, 1, 0, B1200, CS6}};

// Data bits and parity as the settings record says; a pseudo-terminal forces 8N, so these are
// checked on the record itself.
TEST(Serial, SettingsRecordFollowsEveryParameter)
{
    for (const auto &c : kLines) {
        SCOPED_TRACE(c.baud);
        termios tio{};
        tio.c_lflag = ICANON | ECHO | ISIG;
        tio.c_iflag = IXON | ICRNL;
        tio.c_oflag = OPOST;
        ASSERT_TRUE(router::apply_serial_settings(tio, c.baud, c.data_bits, c.stop_bits, c.parity, c.flow));
        EXPECT_EQ(cfgetospeed(&tio), c.speed);
        EXPECT_EQ(cfgetispeed(&tio), c.speed);
        EXPECT_EQ(tio.c_cflag & CSIZE, c.size);
        EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.stop_bits == 2);
        EXPECT_EQ((tio.c_cflag & PARENB) != 0, c.parity != 0);
        EXPECT_EQ((tio.c_cflag & PARODD) != 0, c.parity == 1);
        EXPECT_EQ((tio.c_cflag & CRTSCTS) != 0, c.flow != 0);
        EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(tio.c_iflag & (IXON | ICRNL), 0u);
        EXPECT_EQ(tio.c_oflag & OPOST, 0u);
        EXPECT_EQ(tio.c_cc[VMIN], 1);
    }
    termios untouched{};
    EXPECT_FALSE(router::apply_serial_settings(untouched, 9601, 8, 1, 0, 0));
    EXPECT_EQ(untouched.c_cflag, 0u);
}

TEST(Serial, OpensTheRouterDeviceConfiguredAndPassesBytes)
{
    fbtest::TempRoot root;
    fbtest::PtyPair pty(root.path("/dev/RS485"), root.path("/dev/sim"));
    for (const auto &c : kLines) {
        SCOPED_TRACE(c.baud);
        int fd = serial_open("/dev/RS485", c.baud, c.data_bits, c.stop_bits, c.parity, 0);
        ASSERT_GE(fd, 0);
        termios tio{};
        ASSERT_EQ(tcgetattr(fd, &tio), 0);
        EXPECT_EQ(cfgetospeed(&tio), c.speed);
        EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.stop_bits == 2);
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(tio.c_oflag & OPOST, 0u);
        EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
        close(fd);
    }

    int fd = serial_open("/dev/RS485", 9600, 8, 1, 0, 0);
    ASSERT_GE(fd, 0);
    int device = open(root.path("/dev/sim").c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(device, 0);
    termios raw{};
    tcgetattr(device, &raw);
    cfmakeraw(&raw);
    tcsetattr(device, TCSANOW, &raw);
    // A Modbus request with bytes a cooked line would mangle (CR, LF, 0x03, 0x7F).
    const unsigned char request[] = {0x01, 0x03, 0x0d, 0x0a, 0x00, 0x7f, 0x11, 0x00};
    ASSERT_EQ(write(fd, request, sizeof request), static_cast<ssize_t>(sizeof request));
    unsigned char got[sizeof request] = {};
    size_t have = 0;
    while (have < sizeof got) {
        pollfd p{device, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 5000), 1);
        ssize_t n = read(device, got + have, sizeof got - have);
        ASSERT_GT(n, 0);
        have += static_cast<size_t>(n);
    }
    EXPECT_EQ(std::memcmp(got, request, sizeof got), 0);
    const unsigned char reply[] = {0x01, 0x83, 0x02, 0xc0, 0xf1};
    ASSERT_EQ(write(device, reply, sizeof reply), static_cast<ssize_t>(sizeof reply));
    unsigned char answer[sizeof reply] = {};
    have = 0;
    while (have < sizeof answer) {
        pollfd p{fd, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 5000), 1);
        ssize_t n = read(fd, answer + have, sizeof answer - have);
        ASSERT_GT(n, 0);
        have += static_cast<size_t>(n);
    }
    EXPECT_EQ(std::memcmp(answer, reply, sizeof reply), 0);
    close(device);
    close(fd);
}

TEST(Serial, RefusesSettingsItCannotHonour)
{
    fbtest::TempRoot root;
    fbtest::PtyPair pty(root.path("/dev/RS485"), root.path("/dev/sim"));
    root.write("/dev/not_a_tty", "");
    testing::internal::CaptureStderr();
    EXPECT_EQ(serial_open("/dev/RS485", 12345, 8, 1, 0, 0), -2);
    EXPECT_EQ(serial_open("/dev/RS485", 9600, 9, 1, 0, 0), -2);
    EXPECT_EQ(serial_open("/dev/RS485", 9600, 4, 1, 0, 0), -2);
    EXPECT_EQ(serial_open("/dev/RS485", 9600, 8, 0, 0, 0), -2);
    EXPECT_EQ(serial_open("/dev/RS485", 9600, 8, 3, 0, 0), -2);
    EXPECT_EQ(serial_open("/dev/RS485", 9600, 8, 1, 3, 0), -2);
    EXPECT_EQ(serial_open(nullptr, 9600, 8, 1, 0, 0), -2);
    EXPECT_EQ(serial_open("/dev/RS232", 9600, 8, 1, 0, 0), -1);
    EXPECT_EQ(serial_open("/dev/not_a_tty", 9600, 8, 1, 0, 0), -3);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find(root.path("/dev/RS232")), std::string::npos) << log;
}

TEST(LogSwitches, DefaultsAndEnvironmentOverrides)
{
    const std::string program = fbtest::bin("router_log_switches");
    std::string out;
    ASSERT_EQ(fbtest::run({"env", "-u", "FIELDBRIDGE_LOGENABLE", "-u", "FIELDBRIDGE_LOGVERBOSE", program}, &out), 0);
    EXPECT_EQ(out, "1 0\n");
    ASSERT_EQ(fbtest::run({"env", "FIELDBRIDGE_LOGENABLE=0", "FIELDBRIDGE_LOGVERBOSE=1", program}, &out), 0);
    EXPECT_EQ(out, "0 1\n");
    // Anything but "0" or "1" leaves the default.
    ASSERT_EQ(fbtest::run({"env", "FIELDBRIDGE_LOGENABLE=yes", "FIELDBRIDGE_LOGVERBOSE=2", program}, &out), 0);
    EXPECT_EQ(out, "1 0\n");
}

} // namespace

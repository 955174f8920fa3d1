#include "common/routines.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "fbtest/support.h"

TEST(Crc16Modbus, CheckValueAndSelfCheck)
{
    const char *check = "123456789";
    EXPECT_EQ(crc16_modbus(reinterpret_cast<const uint8_t *>(check), 9), 0x4B37);

    // Read holding registers, slave 1, address 0, 10 registers: the well-known frame 01 03 00 00 00 0A C5 CD.
    uint8_t frame[8] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0, 0};
    uint16_t crc = crc16_modbus(frame, 6);
    frame[6] = uint8_t(crc & 0xFF);
    frame[7] = uint8_t(crc >> 8);
    EXPECT_EQ(frame[6], 0xC5);
    EXPECT_EQ(frame[7], 0xCD);
    // A frame followed by its CRC checks to zero; any flipped bit does not.
    EXPECT_EQ(crc16_modbus(frame, 8), 0);
    frame[3] ^= 0x10;
    EXPECT_NE(crc16_modbus(frame, 8), 0);
    EXPECT_EQ(crc16_modbus(frame, 0), 0xFFFF);
}

class SocketPairTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0); }
    void TearDown() override
    {
        for (int fd : fds)
            if (fd >= 0)
                close(fd);
    }
    int fds[2] = {-1, -1};
};

TEST_F(SocketPairTest, ReadWithTimeoutCountsWhatArrived)
{
    uint8_t buf[16];
    // Silence: nothing read, 0.
    EXPECT_EQ(read_with_timeout(fds[0], buf, 8, 30), 0);

    // A device that stops in the middle of a frame: the partial count.
    const uint8_t part[3] = {1, 2, 3};
    ASSERT_EQ(write(fds[1], part, 3), 3);
    EXPECT_EQ(read_with_timeout(fds[0], buf, 8, 30), 3);
    EXPECT_EQ(memcmp(buf, part, 3), 0);

    // Chunks that arrive within the inter-chunk timeout of each other make a whole frame, even
    // when their total time is far longer than one timeout.
    std::thread writer([fd = fds[1]] {
        for (uint8_t i = 0; i < 8; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ASSERT_EQ(write(fd, &i, 1), 1);
        }
    });
    EXPECT_EQ(read_with_timeout(fds[0], buf, 8, 200), 8);
    writer.join();
    for (uint8_t i = 0; i < 8; ++i)
        EXPECT_EQ(buf[i], i);
}

TEST_F(SocketPairTest, ReadWithTimeoutEndOfFile)
{
    uint8_t buf[8];
    const uint8_t two[2] = {9, 9};
    ASSERT_EQ(write(fds[1], two, 2), 2);
    close(fds[1]);
    fds[1] = -1;
    // Data then end of file: what came is returned; end of file with nothing is an error.
    EXPECT_EQ(read_with_timeout(fds[0], buf, 8, 50), 2);
    EXPECT_EQ(read_with_timeout(fds[0], buf, 8, 50), -1);
    EXPECT_EQ(read_with_timeout(-1, buf, 8, 50), -1);
}

TEST_F(SocketPairTest, WriteFully)
{
    std::string big(200000, 'x'); // more than a socket buffer: needs several writes
    std::string got;
    std::thread reader([&] {
        char b[4096];
        ssize_t n;
        while (got.size() < big.size() && (n = read(fds[0], b, sizeof b)) > 0)
            got.append(b, size_t(n));
    });
    EXPECT_EQ(write_fully(fds[1], reinterpret_cast<const uint8_t *>(big.data()), int(big.size())), int(big.size()));
    reader.join();
    EXPECT_EQ(got, big);
    EXPECT_EQ(write_fully(0, reinterpret_cast<const uint8_t *>("a"), 1), 0);
    EXPECT_EQ(write_fully(-1, reinterpret_cast<const uint8_t *>("a"), 1), 0);
    close(fds[0]);
    fds[0] = -1;
    signal(SIGPIPE, SIG_IGN);
    EXPECT_EQ(write_fully(fds[1], reinterpret_cast<const uint8_t *>("abc"), 3), 0);
}

static sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    return a;
}

TEST(ConnectWithTimeout, AcceptedRefusedAndUnlimited)
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    socklen_t len = sizeof a;
    getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len);

    int s = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(connect_with_timeout(s, reinterpret_cast<sockaddr *>(&a), sizeof a, 2), 1);
    // The caller's blocking mode is given back.
    EXPECT_EQ(fcntl(s, F_GETFL) & O_NONBLOCK, 0);
    close(s);
    close(listener);

    // Nobody listens there any more: refused, with the reason in errno, for a bounded and for an
    // unlimited (0) timeout alike.
    for (int timeout : {2, 0}) {
        s = socket(AF_INET, SOCK_STREAM, 0);
        errno = 0;
        EXPECT_EQ(connect_with_timeout(s, reinterpret_cast<sockaddr *>(&a), sizeof a, timeout), 0);
        EXPECT_EQ(errno, ECONNREFUSED);
        close(s);
    }
}

TEST(LocalTimeString, FormatsLocalTime)
{
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_STREQ(local_time_string(0), "1970-01-01 00:00:00");
    EXPECT_STREQ(local_time_string(1700000000), "2023-11-14 22:13:20");
    setenv("TZ", "CET-1", 1);
    tzset();
    EXPECT_STREQ(local_time_string(1700000000), "2023-11-14 23:13:20");
    unsetenv("TZ");
    tzset();
}

TEST(ReplaceAll, EveryOccurrenceLeftToRight)
{
    char out[64];
    EXPECT_STREQ(replace_all("at $DATE and $DATE", "$DATE", "today", out, sizeof out), "at today and today");
    // Non-overlapping, scanned left to right.
    EXPECT_STREQ(replace_all("aaaa", "aa", "b", out, sizeof out), "bb");
    EXPECT_STREQ(replace_all("aaa", "aa", "b", out, sizeof out), "ba");
    // A replacement that contains the token is not scanned again.
    EXPECT_STREQ(replace_all("$V", "$V", "$V$V", out, sizeof out), "$V$V");
    EXPECT_EQ(replace_all(nullptr, "a", "b", out, sizeof out), nullptr);
    EXPECT_EQ(replace_all("a", "a", "b", nullptr, 8), nullptr);
    strcpy(out, "untouched");
    EXPECT_STREQ(replace_all("abc", nullptr, "x", out, sizeof out), "untouched");
    EXPECT_STREQ(replace_all("abc", "b", nullptr, out, sizeof out), "untouched");
    // Bounded: a result larger than the output is cut and terminated, never overflowed.
    char small[8];
    memset(small, 'Z', sizeof small);
    EXPECT_STREQ(replace_all("$X$X$X", "$X", "long text", small, sizeof small), "long te");
}

TEST(BitRoutines, SetAndGet)
{
    EXPECT_EQ(bit_set(0, 0), 1);
    EXPECT_EQ(bit_set(0, 15), 0x8000);
    EXPECT_EQ(bit_set(0x1234, 16), 0x1234); // outside a register
    EXPECT_EQ(bit_set(0x1234, 40), 0x1234);
    EXPECT_EQ(bit_get(0x80000000u, 31), 1);
    EXPECT_EQ(bit_get(0x80000000u, 45), 1); // beyond 31 reads bit 31
    EXPECT_EQ(bit_get(0x4, 2), 1);
    EXPECT_EQ(bit_get(0x4, 1), 0);
}

TEST(Uptime, IsPositiveAndMonotonic)
{
    long a = uptime_seconds();
    EXPECT_GT(a, 0);
    EXPECT_GE(uptime_seconds(), a);
}

TEST(MergeSortById, StableAscending)
{
    IdPosition items[] = {{5, 0}, {1, 1}, {5, 2}, {3, 3}, {1, 4}, {9, 5}, {3, 6}};
    merge_sort_by_id(items, 7);
    const IdPosition want[] = {{1, 1}, {1, 4}, {3, 3}, {3, 6}, {5, 0}, {5, 2}, {9, 5}};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(items[i].id, want[i].id) << i;
        EXPECT_EQ(items[i].position, want[i].position) << i;
    }
    merge_sort_by_id(items, 0);
    merge_sort_by_id(nullptr, 3);
}

TEST(LanSubnetMatch, LoopbackInterface)
{
    // The loopback interface is "lo" with 127.0.0.1/8 on every Linux host.
    EXPECT_EQ(lan_subnet_match("lo", "127.9.8.7"), 1);
    EXPECT_EQ(lan_subnet_match("lo", "10.0.0.1"), 0);
    EXPECT_EQ(lan_subnet_match("no-such-interface", "127.0.0.1"), 0);
    EXPECT_EQ(lan_subnet_match("lo", "not an address"), 0);
}

TEST(FileWriteLock, ExcludesAnotherProcess)
{
    fbtest::TempRoot root;
    std::string path = root.path("/tmp/.usi/applications/modbus_poll");
    root.write("/tmp/.usi/applications/modbus_poll", "{}");
    int fd = open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(file_write_lock(fd), 0);

    int to_parent[2];
    ASSERT_EQ(pipe(to_parent), 0);
    pid_t child = fork();
    if (child == 0) {
        int cfd = open(path.c_str(), O_RDWR);
        struct flock fl{};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        char busy = fcntl(cfd, F_SETLK, &fl) == -1 ? 'b' : 'f';
        (void)!write(to_parent[1], &busy, 1);
        // Now wait for the lock the blocking way, as a status writer does.
        char got = file_write_lock(cfd) == 0 ? 'g' : 'x';
        (void)!write(to_parent[1], &got, 1);
        file_unlock(cfd);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(to_parent[0], &c, 1), 1);
    EXPECT_EQ(c, 'b'); // held by us
    EXPECT_EQ(file_unlock(fd), 0);
    ASSERT_EQ(read(to_parent[0], &c, 1), 1);
    EXPECT_EQ(c, 'g'); // released: the waiting writer gets it
    int st = 0;
    waitpid(child, &st, 0);
    EXPECT_EQ(fbtest::exit_code(st), 0);
    close(fd);
    close(to_parent[0]);
    close(to_parent[1]);
}

#include "common/json_text.h"

TEST(JsonEscape, ValuesStayInsideTheirString)
{
    EXPECT_EQ(fb::json_escape("plain 21.5 °C"), "plain 21.5 °C"); // UTF-8 passes through
    EXPECT_EQ(fb::json_escape(R"(a"b\c)"), R"(a\"b\\c)");
    EXPECT_EQ(fb::json_escape("l1\nl2\r\t\b\f"), R"(l1\nl2\r\t\b\f)");
    EXPECT_EQ(fb::json_escape(std::string("\x01\x1f", 2)), R"(\u0001\u001f)");
    EXPECT_EQ(fb::json_escape(""), "");
}

// The usi status store: keys and list rows, limits, many processes writing at once, and a store
// damaged or cut short from outside.
#include <librouter.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "fbtest/support.h"

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

const char *kStore = "/var/run/usi/store";

TEST(Usi, KeysAndListRowsAreOneNamespace)
{
    fbtest::TempRoot root;
    EXPECT_EQ(take(usi_get("system.serial_number")), "<null>");
    EXPECT_EQ(usi_set("system.serial_number", "SN123"), 0);
    EXPECT_EQ(take(usi_get("system.serial_number")), "SN123");
    EXPECT_TRUE(usi_match("system.serial_number", "SN123"));
    EXPECT_FALSE(usi_match("system.serial_number", "SN12"));
    EXPECT_FALSE(usi_match("system.nothing", ""));

    EXPECT_EQ(usi_list_set("modbus_poll.channel", 3, "status", "ok"), 0);
    EXPECT_EQ(take(usi_get("modbus_poll.channel[3].status")), "ok");
    EXPECT_EQ(usi_set("modbus_poll.channel[12].status", "late"), 0);
    EXPECT_EQ(take(usi_list_get("modbus_poll.channel", 12, "status")), "late");
    EXPECT_EQ(usi_printf("modbus_transport.connection[2].uptimestamp", "%d", 4711), 0);
    EXPECT_EQ(take(usi_list_get("modbus_transport.connection", 2, "uptimestamp")), "4711");

    // Rewrites in place, growing and shrinking, and the empty value.
    for (const char *value : {"a", "a much longer value than the room first given to it", "", "b"}) {
        EXPECT_EQ(usi_list_set("modbus_poll.channel", 3, "value", value), 0);
        EXPECT_EQ(take(usi_list_get("modbus_poll.channel", 3, "value")), value);
    }
    EXPECT_EQ(usi_set("a.null", nullptr), 0);
    EXPECT_EQ(take(usi_get("a.null")), "");

    EXPECT_EQ(take(uci_list_get_current_entry("usi", "modbus_poll.channel")), "3 12");
    EXPECT_EQ(take(uci_list_get_current_entry("usi", "modbus_poll")), "<null>");

    EXPECT_EQ(usi_list_set("modbus_poll.channel", 0, "status", "x"), -1);
    EXPECT_EQ(usi_list_set(nullptr, 1, "status", "x"), -1);
    EXPECT_EQ(take(usi_list_get("modbus_poll.channel", 3, nullptr)), "<null>");
}

TEST(Usi, DeleteRemovesTheWholeSubtreeOnly)
{
    fbtest::TempRoot root;
    usi_list_set("dnp3_to_iec104.iec104_status", 2, "status", "up");
    usi_list_set("dnp3_to_iec104.iec104_status", 2, "peer", "1.2.3.4");
    usi_list_set("dnp3_to_iec104.iec104_status", 20, "status", "up");
    usi_set("dnp3_to_iec104.iec104_status[2]x", "neighbour");
    usi_set("dnp3_to_iec104.dnp3_channel_1", "file");
    usi_set("dnp3_to_iec104.dnp3_channel_10", "file");

    EXPECT_EQ(usi_del("dnp3_to_iec104.iec104_status[2]"), 0);
    EXPECT_EQ(take(usi_list_get("dnp3_to_iec104.iec104_status", 2, "status")), "<null>");
    EXPECT_EQ(take(usi_list_get("dnp3_to_iec104.iec104_status", 2, "peer")), "<null>");
    EXPECT_EQ(take(usi_list_get("dnp3_to_iec104.iec104_status", 20, "status")), "up");
    EXPECT_EQ(take(usi_get("dnp3_to_iec104.iec104_status[2]x")), "neighbour");

    EXPECT_EQ(usi_del("dnp3_to_iec104.dnp3_channel_1"), 0);
    EXPECT_EQ(take(usi_get("dnp3_to_iec104.dnp3_channel_1")), "<null>");
    EXPECT_EQ(take(usi_get("dnp3_to_iec104.dnp3_channel_10")), "file");
    EXPECT_EQ(usi_del("never.set"), 0);
    // A deleted key can be set again.
    EXPECT_EQ(usi_list_set("dnp3_to_iec104.iec104_status", 2, "status", "again"), 0);
    EXPECT_EQ(take(usi_list_get("dnp3_to_iec104.iec104_status", 2, "status")), "again");
}

TEST(Usi, KeyAndValueLimits)
{
    fbtest::TempRoot root;
    const std::string longest_key(USI_KEY_MAX, 'k');
    EXPECT_EQ(usi_set(longest_key.c_str(), "v"), 0);
    EXPECT_EQ(take(usi_get(longest_key.c_str())), "v");
    testing::internal::CaptureStderr();
    EXPECT_EQ(usi_set((longest_key + "k").c_str(), "v"), -1);
    EXPECT_EQ(usi_set("with space", "v"), -1);
    EXPECT_EQ(usi_set("", "v"), -1);
    EXPECT_EQ(usi_set("tab\tkey", "v"), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(take(usi_get((longest_key + "k").c_str())), "<null>");

    // Longer values are cut, and never in the middle of a UTF-8 character.
    std::string value(USI_VALUE_MAX - 1, 'x');
    value += "\xc3\xa9tail";
    EXPECT_EQ(usi_set("long.value", value.c_str()), 0);
    EXPECT_EQ(take(usi_get("long.value")), std::string(USI_VALUE_MAX - 1, 'x'));
    char big[USI_VALUE_MAX * 2];
    std::memset(big, 'y', sizeof big - 1);
    big[sizeof big - 1] = '\0';
    EXPECT_EQ(usi_printf("long.printf", "%s", big), 0);
    EXPECT_EQ(take(usi_get("long.printf")).size(), static_cast<size_t>(USI_VALUE_MAX));
}

TEST(Usi, GrowsFarBeyondItsFirstSizeAndKeepsEverything)
{
    fbtest::TempRoot root;
    const int rows = 5000;
    for (int row = 1; row <= rows; ++row)
        ASSERT_EQ(usi_list_set("grow.channel", row, "value", std::to_string(row * 7).c_str()), 0);
    // Overwrite a part with longer values (records move) and delete another part.
    for (int row = 1; row <= rows; row += 3)
        ASSERT_EQ(usi_list_set("grow.channel", row, "value", std::string(200, 'z').c_str()), 0);
    for (int row = 2; row <= rows; row += 3)
        ASSERT_EQ(usi_del(("grow.channel[" + std::to_string(row) + "]").c_str()), 0);
    for (int row = 1; row <= rows; ++row) {
        std::string expected = row % 3 == 1 ? std::string(200, 'z') : row % 3 == 2 ? "<null>" : std::to_string(row * 7);
        ASSERT_EQ(take(usi_list_get("grow.channel", row, "value")), expected) << row;
    }
}

// Each process owns some rows and writes them over and over while the others do the same, so
// the store is created, grown and rebuilt under contention; nothing written last may be missing.
TEST(Usi, ConcurrentWriterProcessesLoseNoUpdate)
{
    fbtest::TempRoot root;
    const int writers = 4, rows = 600, rounds = 3;
    std::vector<pid_t> children;
    for (int w = 0; w < writers; ++w) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int failures = 0;
            for (int round = 1; round <= rounds; ++round)
                for (int row = 1; row <= rows; ++row) {
                    std::string list = "writer" + std::to_string(w) + ".row";
                    std::string value = std::to_string(round) + ":" + std::to_string(row) + std::string(row % 50, '.');
                    failures += usi_list_set(list.c_str(), row, "value", value.c_str()) != 0;
                    char *shared = usi_get("shared.last");
                    std::free(shared);
                    failures += usi_printf("shared.last", "%d/%d", w, row) != 0;
                }
            _exit(failures == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int w = 0; w < writers; ++w) {
        std::string list = "writer" + std::to_string(w) + ".row";
        for (int row = 1; row <= rows; ++row)
            ASSERT_EQ(take(usi_list_get(list.c_str(), row, "value")),
                      std::to_string(rounds) + ":" + std::to_string(row) + std::string(row % 50, '.'))
                << list << " " << row;
    }
    std::string last = take(usi_get("shared.last"));
    EXPECT_EQ(last.substr(last.find('/')), "/" + std::to_string(rows));
}

// A writer killed at any moment, possibly holding the lock, must not stop the others.
TEST(Usi, WriterKilledMidUpdateDoesNotBlockTheStore)
{
    fbtest::TempRoot root;
    ASSERT_EQ(usi_set("before.kill", "kept"), 0);
    for (int attempt = 0; attempt < 5; ++attempt) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (unsigned long i = 0;; ++i)
                usi_list_set("busy.row", static_cast<int>(i % 3000) + 1, "value", std::to_string(i).c_str());
        }
        bool running = fbtest::wait_until([] { return take(usi_get("busy.row[2000].value")) != "<null>"; });
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        ASSERT_TRUE(running);
        testing::internal::CaptureStderr();
        EXPECT_EQ(usi_set("after.kill", std::to_string(attempt).c_str()), 0);
        EXPECT_EQ(take(usi_get("after.kill")), std::to_string(attempt));
        testing::internal::GetCapturedStderr();
        usi_del("busy");
    }
}

TEST(UsiDamage, ForeignFileIsMovedAsideAndAFreshStoreStarts)
{
    fbtest::TempRoot root;
    root.write(kStore, std::string(8192, 'G'));
    testing::internal::CaptureStderr();
    EXPECT_EQ(usi_set("fresh.key", "1"), 0);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find(root.path(kStore)), std::string::npos) << log;
    EXPECT_NE(log.find("not a status store"), std::string::npos) << log;
    EXPECT_EQ(root.read(std::string(kStore) + ".bad"), std::string(8192, 'G'));
    EXPECT_EQ(take(usi_get("fresh.key")), "1");
}

TEST(UsiDamage, DamagedRecordsAndTruncationAreReportedNotFatal)
{
    fbtest::TempRoot root;
    for (int row = 1; row <= 50; ++row)
        ASSERT_EQ(usi_list_set("dmg.row", row, "v", "value"), 0);
    const std::string path = root.path(kStore);
    {
        // Scribble over the bucket table and the start of the records.
        int fd = open(path.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        std::string junk(8192, 'A');
        ASSERT_EQ(pwrite(fd, junk.data(), junk.size(), 4096), static_cast<ssize_t>(junk.size()));
        close(fd);
    }
    testing::internal::CaptureStderr();
    for (int row = 1; row <= 50; ++row)
        take(usi_list_get("dmg.row", row, "v"));
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find(path), std::string::npos) << log;
    EXPECT_EQ(usi_set("dmg.after", "ok"), 0);
    EXPECT_EQ(take(usi_get("dmg.after")), "ok");

    // Cut short while mapped: must not fault on the pages that are gone.
    ASSERT_EQ(truncate(path.c_str(), 4096), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(take(usi_get("dmg.after")), "<null>");
    EXPECT_EQ(usi_set("dmg.again", "ok"), 0);
    log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find(path), std::string::npos) << log;
    EXPECT_EQ(take(usi_get("dmg.again")), "ok");

    // Removed while in use: the next write starts a new one.
    ASSERT_EQ(unlink(path.c_str()), 0);
    EXPECT_EQ(usi_set("dmg.new", "ok"), 0);
    EXPECT_TRUE(root.exists(kStore));
    EXPECT_EQ(take(usi_get("dmg.new")), "ok");
}

} // namespace

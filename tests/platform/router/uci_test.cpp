// Configuration access through the library: UCI text and JSON packages, list rows, plain paths,
// malformed files, and files changing under a running process.
#include <librouter.h>
#include <uci.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "fbtest/support.h"

namespace {

// The library's error lines are read back from standard error.
const bool g_log_to_stderr = setenv("FIELDBRIDGE_LOG_STDERR", "1", 1) == 0;

// The library hands out malloc'ed strings; this takes ownership and returns the text ("<null>"
// for a null result, so a missing value fails comparisons visibly).
std::string take(char *value)
{
    if (!value)
        return "<null>";
    std::string out(value);
    std::free(value);
    return out;
}

const char *kMaster = R"(# DNP3 master connections
package dnp3_master

config connection 'main'
	option remote_addr "10.0.0.5"
	option remote_port 20000
	option resp_timeout ' 7 '
	option link_address -3
	option big 4294967295
	option too_big 4294967296
	option text "say \"hi\" \\ bye"
	option mixed 'it'\''s'\ ok"!"
	list tags 'a b'
	list tags c
	option multi 'line one
line two'

config connection
	option remote_addr '10.0.0.6'

config 'connection[1].channel'
	option enable 'true'
	option scan_interval 5

config connection[1].channel
	option enable 'false'

config connection[1].channel   # a comment after the statement
	option enable true
)";

TEST(UciText, QuotingEscapesAndLists)
{
    fbtest::TempRoot root;
    root.write("/etc/config/applications/dnp3_master", kMaster);
    EXPECT_EQ(take(uci_list_get("dnp3_master.connection", 1, "remote_addr")), "10.0.0.5");
    EXPECT_EQ(take(uci_list_get("dnp3_master.connection", 2, "remote_addr")), "10.0.0.6");
    EXPECT_EQ(take(uci_list_get("dnp3_master.connection", 1, "text")), "say \"hi\" \\ bye");
    EXPECT_EQ(take(uci_list_get("dnp3_master.connection", 1, "mixed")), "it's ok!");
    EXPECT_EQ(take(uci_list_get("dnp3_master.connection", 1, "tags")), "a b c");
    EXPECT_EQ(take(uci_list_get("dnp3_master.connection", 1, "multi")), "line one\nline two");
    EXPECT_EQ(take(uci_list_get("dnp3_master.connection", 2, "remote_port")), "<null>");
    EXPECT_EQ(take(uci_list_get("dnp3_master.connection", 3, "remote_addr")), "<null>");
    EXPECT_EQ(take(uci_list_get("dnp3_master.connection", 0, "remote_addr")), "<null>");
    EXPECT_EQ(take(uci_list_get("dnp3_master.nothing", 1, "remote_addr")), "<null>");
    EXPECT_EQ(take(uci_list_get("missing_package.connection", 1, "remote_addr")), "<null>");

    EXPECT_TRUE(uci_list_match("dnp3_master.connection[1].channel", 1, "enable", "true"));
    EXPECT_FALSE(uci_list_match("dnp3_master.connection[1].channel", 2, "enable", "true"));
    EXPECT_FALSE(uci_list_match("dnp3_master.connection[1].channel", 9, "enable", "true"));
    EXPECT_FALSE(uci_list_match("dnp3_master.connection[1].channel", 1, "enable", nullptr));
    EXPECT_EQ(uci_list_get_max_entry("dnp3_master.connection"), 2);
    EXPECT_EQ(uci_list_get_max_entry("dnp3_master.connection[1].channel"), 3);
    EXPECT_EQ(uci_list_get_max_entry("dnp3_master.connection[2].channel"), 0);
    EXPECT_EQ(take(uci_list_get_current_entry("uci", "dnp3_master.connection[1].channel")), "1 2 3");
    EXPECT_EQ(take(uci_list_get_current_entry("uci", "dnp3_master.connection[2].channel")), "<null>");
    EXPECT_EQ(take(uci_list_get_current_entry("other", "dnp3_master.connection")), "<null>");
}

TEST(UciText, NumbersParseStrictly)
{
    fbtest::TempRoot root;
    root.write("/etc/config/applications/dnp3_master", kMaster);
    int value = 99;
    EXPECT_TRUE(uci_list_get_int("dnp3_master.connection", 1, "resp_timeout", &value));
    EXPECT_EQ(value, 7);
    EXPECT_TRUE(uci_list_get_int("dnp3_master.connection", 1, "link_address", &value));
    EXPECT_EQ(value, -3);
    value = 99;
    EXPECT_FALSE(uci_list_get_int("dnp3_master.connection", 1, "remote_addr", &value));
    EXPECT_FALSE(uci_list_get_int("dnp3_master.connection", 1, "big", &value));
    EXPECT_FALSE(uci_list_get_int("dnp3_master.connection", 1, "absent", &value));
    EXPECT_EQ(value, 99);

    uint32_t u = 1;
    EXPECT_TRUE(uci_list_get_uint32("dnp3_master.connection", 1, "big", &u));
    EXPECT_EQ(u, 4294967295u);
    u = 1;
    EXPECT_FALSE(uci_list_get_uint32("dnp3_master.connection", 1, "too_big", &u));
    EXPECT_FALSE(uci_list_get_uint32("dnp3_master.connection", 1, "link_address", &u));
    EXPECT_EQ(u, 1u);
}

TEST(UciText, PlainPaths)
{
    fbtest::TempRoot root;
    root.write("/etc/config/dnp3_outstation", "config outstation 'main'\n"
                                              "\toption protocol 'tcp'\n"
                                              "\toption local_port '20000'\n"
                                              "config extra\n"
                                              "\toption protocol 'udp'\n");
    root.write("/etc/config/applications/dnp3_master", kMaster);
    // A package read through plain options: the options of its first section.
    EXPECT_EQ(take(uci_get("dnp3_outstation.protocol")), "tcp");
    EXPECT_TRUE(uci_match("dnp3_outstation.local_port", "20000"));
    EXPECT_FALSE(uci_match("dnp3_outstation.local_port", "2000"));
    EXPECT_EQ(take(uci_get("dnp3_outstation.main.protocol")), "tcp");
    EXPECT_EQ(take(uci_get("dnp3_outstation.@extra[0].protocol")), "udp");
    EXPECT_EQ(take(uci_get("dnp3_outstation.@outstation[-1].protocol")), "tcp");
    EXPECT_EQ(take(uci_get("dnp3_outstation.main")), "outstation");
    EXPECT_EQ(take(uci_get("dnp3_master.@connection[1].remote_addr")), "10.0.0.6");
    EXPECT_EQ(take(uci_get("dnp3_master.connection[2].remote_addr")), "10.0.0.6");
    EXPECT_EQ(take(uci_get("dnp3_master.connection[1].channel[3].enable")), "true");
    EXPECT_EQ(take(uci_get("dnp3_master.@connection[1].channel[-3].enable")), "true");
    EXPECT_EQ(take(uci_get("dnp3_master.@connection[2].remote_addr")), "<null>");
    EXPECT_EQ(take(uci_get("dnp3_master.connection[0].remote_addr")), "<null>");
    EXPECT_EQ(take(uci_get("dnp3_master")), "<null>");
    EXPECT_EQ(take(uci_get("dnp3_master.")), "<null>");
    EXPECT_EQ(take(uci_get(".x.y")), "<null>");
    EXPECT_EQ(take(uci_get(nullptr)), "<null>");
}

TEST(UciPackages, FileLookupAndUnsafeNames)
{
    fbtest::TempRoot root;
    root.write("/etc/config/iec104_server", "config iec104_connection\n\toption where 'etc/config'\n");
    root.write("/etc/config/applications/iec104_slave", "config connection\n\toption where 'applications'\n");
    root.write("/etc/config/iec104_slave", "config connection\n\toption where 'etc/config'\n");
    root.write("/etc/secret", "config connection\n\toption where 'outside'\n");
    EXPECT_EQ(take(uci_list_get("iec104_server.iec104_connection", 1, "where")), "etc/config");
    EXPECT_EQ(take(uci_list_get("applications/iec104_slave.connection", 1, "where")), "applications");
    // The applications directory wins over /etc/config.
    EXPECT_EQ(take(uci_list_get("iec104_slave.connection", 1, "where")), "applications");
    EXPECT_EQ(take(uci_list_get("../secret.connection", 1, "where")), "<null>");
    EXPECT_EQ(take(uci_list_get("applications/../../secret.connection", 1, "where")), "<null>");
    EXPECT_EQ(take(uci_list_get("/etc/secret.connection", 1, "where")), "<null>");
}

TEST(UciJson, NestedListsOfTheWebInterfaceDocuments)
{
    fbtest::TempRoot root;
    root.write("/etc/config/applications/modbus_poll", R"({
  "enable": true,
  "version": 2,
  "connection": [
    { "id": "1", "desc": "Line A", "scan_rate": 1000,
      "channel": [ { "id": "1", "desc": "Temp" }, { "id": "2", "desc": "Flow", "enable": "false" } ] },
    { "id": "2", "desc": "Line B", "tags": ["x", 5], "nothing": null,
      "channel": [ { "id": "1", "desc": "Level" } ] }
  ],
  "general": { "name": "gw" }
})");
    EXPECT_EQ(take(uci_list_get("modbus_poll.connection", 2, "desc")), "Line B");
    EXPECT_EQ(take(uci_list_get("modbus_poll.connection", 1, "scan_rate")), "1000");
    EXPECT_EQ(take(uci_list_get("modbus_poll.connection[1].channel", 2, "desc")), "Flow");
    EXPECT_EQ(take(uci_list_get("modbus_poll.connection[2].channel", 1, "desc")), "Level");
    EXPECT_EQ(take(uci_list_get("modbus_poll.connection[2].channel", 2, "desc")), "<null>");
    EXPECT_EQ(take(uci_list_get("modbus_poll.connection", 2, "tags")), "x 5");
    EXPECT_EQ(take(uci_list_get("modbus_poll.connection", 2, "nothing")), "<null>");
    EXPECT_EQ(uci_list_get_max_entry("modbus_poll.connection[1].channel"), 2);
    EXPECT_EQ(take(uci_get("modbus_poll.enable")), "true");
    EXPECT_EQ(take(uci_get("modbus_poll.version")), "2");
    EXPECT_EQ(take(uci_get("modbus_poll.general.name")), "gw");
    EXPECT_EQ(take(uci_get("modbus_poll.connection[1].channel[1].desc")), "Temp");
}

struct MalformedCase {
    std::string text;
    const char *expected; // part of the logged error, after the file name
};

TEST(UciErrors, MalformedFilesNameFileAndLineAndGiveNothing)
{
    const MalformedCase cases[] = {
        {"config a\n\toption x 'open\n\n", "line 2: unterminated quote"},
        {"config a\n\toption x \"open\\\"\n", "line 2: unterminated quote"},
        {"\n\toption x 1\n", "line 2: 'option' before the first 'config'"},
        {"config a\n\toption x\n", "line 2: expected: option <name> <value>"},
        {"config a\n\toption x 1 2\n", "line 2: expected: option <name> <value>"},
        {"config a\nbogus x\n", "line 2: unknown statement 'bogus'"},
        {"config a b c\n", "line 1: expected: config <type> [<name>]"},
        {"config 'a b'\n", "line 1: invalid section type 'a b'"},
        {"config a[x].b\n", "line 1: invalid section type"},
        {"config a na-me\n", "line 1: invalid section name 'na-me'"},
        {"config a\n\toption 'bad name' 1\n", "line 2: invalid option name"},
        {"config a\n\toption x 1\\", "line 2: backslash at the end of the file"},
        {std::string("config a\n\toption x '\0'\n", 23), "line 2: NUL byte"},
        {"{ \"connection\": [ { \"a\": 1 }, ", "line 1: JSON document ends too early"},
        {"{\n \"a\": 1,\n \"b\": tru }", "line 3: JSON"},
        {"{ \"a\": 1 } trailing", "text after the end of the JSON document"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        fbtest::TempRoot root;
        root.write("/etc/config/broken", c.text);
        testing::internal::CaptureStderr();
        EXPECT_EQ(take(uci_list_get("broken.a", 1, "x")), "<null>");
        EXPECT_EQ(uci_list_get_max_entry("broken.a"), 0);
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_NE(log.find(root.path("/etc/config/broken")), std::string::npos) << log;
        EXPECT_NE(log.find(c.expected), std::string::npos) << log;
        // Reported once for this version of the file, not on every lookup.
        EXPECT_EQ(log.find("uci:", log.find("uci:") + 1), std::string::npos) << log;
    }
}

TEST(UciCache, FollowsFileChangesAndReplacements)
{
    fbtest::TempRoot root;
    uci_context *ctx = uci_alloc_context();
    ASSERT_NE(ctx, nullptr);
    root.write("/etc/config/applications/iec104_slave", "config connection\n\toption port '2404'\n");
    EXPECT_EQ(take(uci_list_get("iec104_slave.connection", 1, "port")), "2404");
    // Same size, rewritten in place: the modification time tells it apart.
    root.write("/etc/config/applications/iec104_slave", "config connection\n\toption port '2405'\n");
    EXPECT_EQ(take(uci_list_get("iec104_slave.connection", 1, "port")), "2405");
    // Broken, then repaired: the error does not stick.
    root.write("/etc/config/applications/iec104_slave", "config connection\n\toption port '2406\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(take(uci_list_get("iec104_slave.connection", 1, "port")), "<null>");
    testing::internal::GetCapturedStderr();
    root.write("/etc/config/applications/iec104_slave", "config connection\n\toption port '2407'\n");
    EXPECT_EQ(take(uci_list_get("iec104_slave.connection", 1, "port")), "2407");
    std::remove(root.path("/etc/config/applications/iec104_slave").c_str());
    EXPECT_EQ(take(uci_list_get("iec104_slave.connection", 1, "port")), "<null>");
    uci_free_context(ctx);
    uci_free_context(nullptr);
}

} // namespace

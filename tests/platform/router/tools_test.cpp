// The people's tools as built programs: `uci`, `usi` and `uci_encrypt`, and the library reading
// what they write.
#include <librouter.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "fbtest/support.h"

namespace {

std::string take(char *value)
{
    if (!value)
        return "<null>";
    std::string out(value);
    std::free(value);
    return out;
}

struct Result {
    int code;
    std::string output; // standard output and error together
};

Result tool(const std::string &name, std::vector<std::string> args, const std::string &input = {})
{
    std::vector<std::string> argv = {"sh", "-c", "exec \"$0\" \"$@\" 2>&1", fbtest::bin(name)};
    argv.insert(argv.end(), args.begin(), args.end());
    Result result;
    result.code = fbtest::run(argv, &result.output, fbtest::Millis(20000), input);
    return result;
}

const char *kSlave = R"(# IEC 104 slave
config connection 'first'
	option enable 'true'   # on
	option port 2404
	list peer '10.0.0.1'
	list peer '10.0.0.2'

config connection
	option port "2405"
)";

TEST(UciTool, ShowAndGet)
{
    fbtest::TempRoot root;
    root.write("/etc/config/applications/iec104_slave", kSlave);
    root.write("/etc/config/applications/modbus_poll",
               R"({ "connection": [ { "desc": "Line A", "channel": [ { "desc": "Temp" } ] } ] })");
    Result shown = tool("uci", {"show", "iec104_slave"});
    EXPECT_EQ(shown.code, 0);
    EXPECT_EQ(shown.output, "iec104_slave.first=connection\n"
                            "iec104_slave.first.enable='true'\n"
                            "iec104_slave.first.port='2404'\n"
                            "iec104_slave.first.peer='10.0.0.1' '10.0.0.2'\n"
                            "iec104_slave.connection[2]=connection\n"
                            "iec104_slave.connection[2].port='2405'\n");
    Result all = tool("uci", {"show"});
    EXPECT_EQ(all.code, 0);
    EXPECT_NE(all.output.find("applications/modbus_poll.connection[1].channel[1].desc='Temp'\n"), std::string::npos)
        << all.output;
    EXPECT_EQ(tool("uci", {"show", "iec104_slave.@connection[1]"}).output,
              "iec104_slave.connection[2]=connection\niec104_slave.connection[2].port='2405'\n");

    EXPECT_EQ(tool("uci", {"get", "iec104_slave.first.port"}).output, "2404\n");
    EXPECT_EQ(tool("uci", {"get", "iec104_slave.@connection[-1].port"}).output, "2405\n");
    EXPECT_EQ(tool("uci", {"get", "iec104_slave.first"}).output, "connection\n");
    EXPECT_EQ(tool("uci", {"get", "modbus_poll.connection[1].channel[1].desc"}).output, "Temp\n");

    Result missing = tool("uci", {"get", "iec104_slave.first.nothing"});
    EXPECT_EQ(missing.code, 1);
    EXPECT_EQ(missing.output, "uci: Entry not found\n");
    Result no_package = tool("uci", {"get", "nothing.a.b"});
    EXPECT_EQ(no_package.code, 1);
    EXPECT_NE(no_package.output.find("package 'nothing' not found"), std::string::npos);
    EXPECT_EQ(tool("uci", {"get", "../x.a.b"}).code, 1);
    EXPECT_EQ(tool("uci", {}).code, 2);
    EXPECT_EQ(tool("uci", {"frobnicate"}).code, 2);
}

TEST(UciTool, SetKeepsTheRestOfTheFile)
{
    fbtest::TempRoot root;
    const std::string file = "/etc/config/applications/iec104_slave";
    root.write(file, kSlave);
    EXPECT_EQ(tool("uci", {"set", "iec104_slave.first.port=2500"}).code, 0);
    EXPECT_EQ(tool("uci", {"set", "iec104_slave.@connection[1].desc=it's \"B\""}).code, 0);
    EXPECT_EQ(tool("uci", {"set", "iec104_slave.first.peer=10.0.0.9"}).code, 0);
    EXPECT_EQ(tool("uci", {"set", "iec104_slave.first.empty="}).code, 0);
    EXPECT_EQ(root.read(file), R"(# IEC 104 slave
config connection 'first'
	option enable 'true'   # on
	option port '2500'
	option peer '10.0.0.9'
	option empty ''

config connection
	option port "2405"
	option desc 'it'\''s "B"'
)");
    // What the tool wrote reads back through the library.
    EXPECT_EQ(take(uci_list_get("iec104_slave.connection", 2, "desc")), "it's \"B\"");
    EXPECT_EQ(take(uci_list_get("iec104_slave.connection", 1, "empty")), "");

    Result no_section = tool("uci", {"set", "iec104_slave.@connection[5].port=1"});
    EXPECT_EQ(no_section.code, 1);
    EXPECT_EQ(no_section.output, "uci: Entry not found\n");
    EXPECT_EQ(tool("uci", {"set", "iec104_slave.first.port"}).code, 1);
    EXPECT_EQ(tool("uci", {"set", "iec104_slave.first.bad-name=1"}).code, 1);
    EXPECT_EQ(tool("uci", {"set", "iec104_slave.first=connection"}).code, 1);
}

TEST(UciTool, SetInJsonPackagesAndMalformedFiles)
{
    fbtest::TempRoot root;
    root.write("/etc/config/applications/modbus_poll",
               R"({ "connection": [ { "id": 1, "channel": [ { "desc": "Temp" }, { "desc": "Flow" } ] } ] })");
    EXPECT_EQ(tool("uci", {"set", "modbus_poll.connection[1].channel[2].desc=Flow/s"}).code, 0);
    EXPECT_EQ(tool("uci", {"set", "modbus_poll.version=3"}).code, 0);
    EXPECT_EQ(take(uci_list_get("modbus_poll.connection[1].channel", 2, "desc")), "Flow/s");
    EXPECT_EQ(take(uci_list_get("modbus_poll.connection[1].channel", 1, "desc")), "Temp");
    EXPECT_EQ(take(uci_list_get("modbus_poll.connection", 1, "id")), "1");
    EXPECT_EQ(take(uci_get("modbus_poll.version")), "3");
    EXPECT_EQ(tool("uci", {"set", "modbus_poll.connection[1].channel[3].desc=x"}).code, 1);

    root.write("/etc/config/broken", "config a\n\toption ok 1\n\toption x 'unterminated\n");
    Result broken = tool("uci", {"get", "broken.@a[0].ok"});
    EXPECT_EQ(broken.code, 1);
    EXPECT_EQ(broken.output, "uci: error in " + root.path("/etc/config/broken") + " line 3: unterminated quote\n");
    EXPECT_EQ(tool("uci", {"set", "broken.@a[0].ok=2"}).code, 1);
    EXPECT_EQ(root.read("/etc/config/broken"), "config a\n\toption ok 1\n\toption x 'unterminated\n");
}

TEST(UsiTool, SetGetShowDelAgainstTheLibrary)
{
    fbtest::TempRoot root;
    ASSERT_EQ(usi_list_set("modbus_poll.channel", 3, "status", "Connected"), 0);
    EXPECT_EQ(tool("usi", {"get", "modbus_poll.channel[3].status"}).output, "Connected\n");
    EXPECT_EQ(tool("usi", {"set", "modbus_poll.channel[3].value", "it's 5"}).code, 0);
    EXPECT_EQ(tool("usi", {"set", "system.model", "GW-1"}).code, 0);
    EXPECT_EQ(take(usi_list_get("modbus_poll.channel", 3, "value")), "it's 5");

    EXPECT_EQ(tool("usi", {"show", "modbus_poll."}).output,
              "modbus_poll.channel[3].status='Connected'\n"
              "modbus_poll.channel[3].value='it'\\''s 5'\n");
    EXPECT_EQ(tool("usi", {"show"}).output, "modbus_poll.channel[3].status='Connected'\n"
                                            "modbus_poll.channel[3].value='it'\\''s 5'\n"
                                            "system.model='GW-1'\n");
    EXPECT_EQ(tool("usi", {"del", "modbus_poll.channel[3]"}).code, 0);
    EXPECT_EQ(take(usi_list_get("modbus_poll.channel", 3, "status")), "<null>");
    Result gone = tool("usi", {"get", "modbus_poll.channel[3].status"});
    EXPECT_EQ(gone.code, 1);
    EXPECT_EQ(gone.output, "usi: Entry not found\n");
    EXPECT_EQ(tool("usi", {"set", "bad key", "x"}).code, 1);
    EXPECT_EQ(tool("usi", {"set", "only.key"}).code, 2);
}

TEST(UciEncrypt, StoredPasswordsDecryptAndPlainTextFallsThrough)
{
    fbtest::TempRoot root;
    Result aes = tool("uci_encrypt", {"s3cret pass"});
    ASSERT_EQ(aes.code, 0);
    std::string aes_text = aes.output.substr(0, aes.output.size() - 1);
    Result des = tool("uci_encrypt", {"--des3"}, "from stdin\n");
    ASSERT_EQ(des.code, 0);
    std::string des_text = des.output.substr(0, des.output.size() - 1);

    EXPECT_EQ(take(uci_aes256_decrypt_from_base64(aes_text.c_str())), "s3cret pass");
    EXPECT_EQ(take(uci_des3_decrypt_from_base64(des_text.c_str())), "from stdin");
    // Each call reads only its own kind, so the callers' des3-then-aes256 order finds either.
    EXPECT_EQ(take(uci_des3_decrypt_from_base64(aes_text.c_str())), "<null>");
    EXPECT_EQ(take(uci_aes256_decrypt_from_base64(des_text.c_str())), "<null>");
    // A salt makes every encryption different.
    EXPECT_NE(tool("uci_encrypt", {"s3cret pass"}).output, aes.output);

    // Plain-text passwords, even ones that happen to be base64, give nothing.
    for (const char *plain : {"password", "cGFzc3dvcmQ=", "", "QUJDRA==QUJD", "!!!!"}) {
        EXPECT_EQ(take(uci_des3_decrypt_from_base64(plain)), "<null>") << plain;
        EXPECT_EQ(take(uci_aes256_decrypt_from_base64(plain)), "<null>") << plain;
    }
    EXPECT_EQ(uci_aes256_decrypt_from_base64(nullptr), nullptr);

    // One changed character anywhere breaks the tag.
    for (size_t at : {size_t{0}, size_t{10}, aes_text.size() / 2, aes_text.size() - 3}) {
        std::string bad = aes_text;
        bad[at] = bad[at] == 'A' ? 'B' : 'A';
        EXPECT_EQ(take(uci_aes256_decrypt_from_base64(bad.c_str())), "<null>") << at;
    }

    // Another device secret: the stored text no longer opens; one made with it does.
    root.write("/etc/fieldbridge/uci_secret", "device-42-secret\n");
    EXPECT_EQ(take(uci_aes256_decrypt_from_base64(aes_text.c_str())), "<null>");
    Result mine = tool("uci_encrypt", {"--aes256", "other"});
    EXPECT_EQ(take(uci_aes256_decrypt_from_base64(mine.output.substr(0, mine.output.size() - 1).c_str())), "other");
    EXPECT_EQ(tool("uci_encrypt", {"--rot13", "x"}).code, 2);
}

} // namespace

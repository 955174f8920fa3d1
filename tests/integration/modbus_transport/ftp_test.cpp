// The applet with protocol ftp against pyftpdlib with a user account and switchable faults.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "sender_util.h"

using namespace mtchain;
using mttest::Root;

namespace {

class FtpServer {
public:
    FtpServer(const Root &root, int port, const std::string &password = "fbpass")
        : port_(port), home_(root.root.dir() + "/ftphome"), mode_file_(root.root.dir() + "/ftp_mode")
    {
        mkdir(home_.c_str(), 0755);
        set("ok");
        proc_ = fbtest::Process({"/usr/bin/python3", fbtest::source("tests/integration/modbus_transport/ftp_server.py"),
                                 std::to_string(port_), home_, "fbuser", password, mode_file_});
        if (!proc_.wait_out("ready", fbtest::Millis(10000)) || !fbtest::wait_for_port(port_))
            ADD_FAILURE() << "ftp server did not start: " << proc_.err();
    }
    void set(const std::string &mode) const { std::ofstream(mode_file_) << mode; }
    std::string log() const { return proc_.err(); }
    // Name and content of every file uploaded so far.
    std::map<std::string, std::string> files() const
    {
        std::map<std::string, std::string> out;
        if (DIR *d = opendir(home_.c_str())) {
            while (dirent *e = readdir(d)) {
                if (e->d_name[0] == '.')
                    continue;
                std::ifstream in(home_ + "/" + e->d_name);
                std::stringstream s;
                s << in.rdbuf();
                out[e->d_name] = s.str();
            }
            closedir(d);
        }
        return out;
    }
    // The data lines of all files (header lines left out), in file name order.
    std::vector<std::string> lines(const std::string &header) const
    {
        std::vector<std::string> out;
        for (auto &[name, text] : files()) {
            std::istringstream in(text);
            for (std::string line; std::getline(in, line);)
                if (line != header)
                    out.push_back(line);
        }
        return out;
    }

private:
    int port_;
    std::string home_, mode_file_;
    fbtest::Process proc_;
};

std::string ftp_element(int port, const std::string &extra)
{
    return mtsend::element("ftp", "127.0.0.1", port,
                           R"(,"username":"fbuser","password":"fbpass","connect_retry":"3","upload_interval":"1",)"
                           R"("file_name":"data_$TRANSPORT_INDEX_$DATE.csv","enable_csv":"true",)"
                           R"("data_format":"$SLAVE_ID,$VALUE")" +
                           extra);
}

const char *kHeader = "Slave ID,Value";

void send_readings(const std::string &prefix, int n)
{
    for (int i = 1; i <= n; ++i)
        ubus_send("mb_read_data", reading_json(1, 1, i, prefix + std::to_string(i)));
}

std::vector<std::string> expected(const std::string &prefix, int n)
{
    std::vector<std::string> out;
    for (int i = 1; i <= n; ++i)
        out.push_back("1," + prefix + std::to_string(i));
    return out;
}

std::vector<std::string> sorted(std::vector<std::string> v)
{
    std::sort(v.begin(), v.end());
    return v;
}

} // namespace

TEST(FtpSender, ServerDyingMidUploadIsResumedAndTheFileIsComplete)
{
    Root root;
    const int port = fbtest::free_tcp_port();
    FtpServer server(root, port);
    root.write_config(mttest::doc(ftp_element(port, R"(,"ftp_conn_mode":"passive")")));
    Bus bus(root);
    fbtest::Process mt = start_transport();
    ASSERT_TRUE(wait_registered(mt)) << mt.err();

    server.set("cut");
    send_readings("c", 4);
    ASSERT_TRUE(fbtest::wait_until([&] { return root.status() == "Send Successfully" && server.lines(kHeader).size() >= 4; },
                                   fbtest::Millis(15000)))
        << mt.err() << server.log();
    EXPECT_NE(server.log().find("cut after"), std::string::npos) << server.log();
    EXPECT_NE(server.log().find("<- APPE"), std::string::npos) << server.log();
    EXPECT_TRUE(server.log().find("<- EPSV") != std::string::npos || server.log().find("<- PASV") != std::string::npos);
    EXPECT_NE(mt.err().find("ftp upload try to resend(1/3)"), std::string::npos) << mt.err();
    // Every file starts with its header and holds whole lines only.
    for (auto &[name, text] : server.files()) {
        EXPECT_EQ(text.rfind(std::string(kHeader) + "\n", 0), 0u) << name << ": " << text;
        EXPECT_EQ(text.back(), '\n') << name;
        EXPECT_EQ(name.rfind("data_1_", 0), 0u) << name;
    }
    EXPECT_EQ(sorted(server.lines(kHeader)), expected("c", 4));
    EXPECT_EQ(root.quantity(), "0");
}

TEST(FtpSender, PartiallyStoredUploadIsCaughtBySizeCheckInActiveMode)
{
    Root root;
    const int port = fbtest::free_tcp_port();
    FtpServer server(root, port);
    root.write_config(mttest::doc(ftp_element(port, R"(,"ftp_conn_mode":"port")")));
    Bus bus(root);
    fbtest::Process mt = start_transport();
    ASSERT_TRUE(wait_registered(mt)) << mt.err();

    server.set("short");
    send_readings("p", 6);
    // The file is complete on disk for a moment before the server cuts it: wait for the verdict.
    ASSERT_TRUE(fbtest::wait_until([&] { return root.status() == "Send Successfully" && server.lines(kHeader).size() >= 6; },
                                   fbtest::Millis(15000)))
        << mt.err() << server.log();
    EXPECT_NE(server.log().find("kept "), std::string::npos) << server.log();
    // Active mode: the client names its data port (EPRT or PORT), never asks for a passive one.
    const std::string log = server.log();
    EXPECT_TRUE(log.find("<- EPRT") != std::string::npos || log.find("<- PORT") != std::string::npos) << log;
    EXPECT_EQ(log.find("<- EPSV"), std::string::npos) << log;
    EXPECT_EQ(log.find("<- PASV"), std::string::npos) << log;
    EXPECT_NE(mt.err().find("ftp server holds"), std::string::npos) << mt.err();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500)); // another upload round changes nothing
    EXPECT_EQ(sorted(server.lines(kHeader)), expected("p", 6));
}

TEST(FtpSender, UnreachableServerMovesRowsToHistoryAndTheyArriveOnceLater)
{
    Root root;
    const int port = fbtest::free_tcp_port();
    root.write_config(mttest::doc(ftp_element(port, R"(,"ftp_conn_mode":"passive","number_of_sent":"3")")));
    Bus bus(root);
    fbtest::Process mt = start_transport();
    ASSERT_TRUE(wait_registered(mt)) << mt.err();
    send_readings("h", 5);
    ASSERT_TRUE(fbtest::wait_until([&] { return root.quantity() == "5"; }, fbtest::Millis(10000))) << mt.err();
    EXPECT_EQ(root.status(), "Send Failed");
    std::string err = mt.err();
    for (const char *n : {"(1/3)", "(2/3)", "(3/3)"})
        EXPECT_NE(err.find(std::string("failed: Couldn't connect to server (0), ftp upload try to resend") + n),
                  std::string::npos)
            << n << "\n" << err;
    EXPECT_NE(err.find("ftp upload failed (Couldn't connect to server)"), std::string::npos) << err;

    {
        // Wrong credentials fail the same way and keep the rows.
        FtpServer wrong(root, port, "other");
        ASSERT_TRUE(mt.wait_err("ftp upload failed (Login denied)", fbtest::Millis(10000))) << mt.err();
        EXPECT_EQ(root.quantity(), "5");
        EXPECT_TRUE(wrong.files().empty());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    FtpServer server(root, port);
    ASSERT_TRUE(fbtest::wait_until([&] { return root.quantity() == "0"; }, fbtest::Millis(15000)))
        << mt.err() << server.log();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    // At most number_of_sent rows per history file.
    for (auto &[name, text] : server.files())
        EXPECT_LE(mtsend::count_of(text, "\n"), 4u) << name;
    EXPECT_EQ(sorted(server.lines(kHeader)), expected("h", 5));
}

TEST(FtpSender, WithoutAHistoryCacheAFailedUploadDropsItsRows)
{
    Root root;
    const int port = fbtest::free_tcp_port();
    root.write_config(mttest::doc(
        ftp_element(port, R"(,"ftp_conn_mode":"passive","connect_retry":"1","data_location":"null")")));
    Bus bus(root);
    fbtest::Process mt = start_transport();
    ASSERT_TRUE(wait_registered(mt)) << mt.err();
    send_readings("n", 1);
    ASSERT_TRUE(mt.wait_err("ftp upload failed (Couldn't connect to server)", fbtest::Millis(10000))) << mt.err();
    EXPECT_EQ(mtsend::count_of(mt.err(), "ftp upload try to resend("), 1u) << mt.err();
    // The staging queue was emptied: a server that comes up later receives nothing old.
    FtpServer server(root, port);
    send_readings("m", 1);
    ASSERT_TRUE(fbtest::wait_until([&] { return root.status() == "Send Successfully"; }, fbtest::Millis(10000)))
        << mt.err();
    EXPECT_EQ(server.lines(kHeader), expected("m", 1));
}

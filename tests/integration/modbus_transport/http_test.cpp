// The applet with protocol http against a Python HTTP server whose answers the test chooses.
#include <gtest/gtest.h>

#include <signal.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "sender_util.h"

using namespace mtchain;
using mttest::Root;

namespace {

class HttpServer {
public:
    explicit HttpServer(const Root &root, std::vector<std::string> tls = {})
        : port_(fbtest::free_tcp_port()), control_(root.root.dir() + "/http_control"),
          log_(root.root.dir() + "/http_log")
    {
        set("200");
        std::vector<std::string> argv = {"/usr/bin/python3", fbtest::source("tests/integration/modbus_transport/http_server.py"),
                                         std::to_string(port_), control_, log_};
        argv.insert(argv.end(), tls.begin(), tls.end());
        proc_ = fbtest::Process(argv);
        if (!proc_.wait_out("ready", fbtest::Millis(10000)))
            ADD_FAILURE() << "http server did not start: " << proc_.err();
    }
    int port() const { return port_; }
    void set(const std::string &mode) const { std::ofstream(control_) << mode; }
    std::string log() const
    {
        std::ifstream in(log_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // Requests with this body that were answered with `mode`.
    size_t count(const std::string &body, const std::string &mode = "200") const
    {
        size_t n = 0;
        std::istringstream lines(log());
        for (std::string line; std::getline(lines, line);)
            if (line.find("\"body\": \"" + body + "\"") != std::string::npos &&
                line.find("\"mode\": \"" + mode + "\"") != std::string::npos)
                ++n;
        return n;
    }

private:
    int port_;
    std::string control_, log_;
    fbtest::Process proc_;
};

std::string slurp(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A self-signed certificate for 127.0.0.1 (it is its own CA) and its key, as `dir/name.crt|key`.
void self_signed(const std::string &dir, const std::string &name)
{
    ASSERT_EQ(fbtest::run({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                           "-keyout", dir + "/" + name + ".key", "-out", dir + "/" + name + ".crt", "-subj",
                           "/CN=127.0.0.1", "-days", "2"}),
              0);
}

std::string http_element(const std::string &url, const std::string &extra)
{
    return mtsend::element("http", url, 0, R"(,"connect_timeout":"2","line_break":"true")" + extra);
}

} // namespace

TEST(HttpSender, OnlyStatus200CountsAndNothingStoredIsLost)
{
    Root root;
    HttpServer server(root);
    const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/ingest";
    root.write_config(mttest::doc(http_element(url, R"(,"auth_token":"Bearer abc")")));
    Bus bus(root);
    fbtest::Process mt = start_transport();
    ASSERT_TRUE(wait_registered(mt)) << mt.err();

    ubus_send("mb_read_data", reading_json(1, 1, 1, "v1"));
    ASSERT_TRUE(fbtest::wait_until([&] { return server.count("v1") == 1; })) << mt.err() << server.log();
    EXPECT_TRUE(fbtest::wait_until([&] { return root.status() == "Send successfully"; }));
    std::string log = server.log();
    EXPECT_NE(log.find(R"("path": "/ingest")"), std::string::npos) << log;
    EXPECT_NE(log.find(R"("content_type": "application/json", "accept": "text/plain", "authorization": "Bearer abc")"),
              std::string::npos)
        << log;

    // 201, 500 and no answer within the time limit all count as failures: each reading is kept.
    const std::pair<const char *, const char *> odd[] = {{"201", "a201"}, {"500", "a500"}, {"hang", "ahang"}};
    int stored = 0;
    for (auto [mode, body] : odd) {
        server.set(mode);
        ubus_send("mb_read_data", reading_json(1, 1, 2, body));
        ++stored;
        ASSERT_TRUE(fbtest::wait_until([&] { return root.quantity() == std::to_string(stored); }))
            << mode << "\n" << mt.err();
        EXPECT_EQ(root.status(), "Send Failed") << mode;
        EXPECT_EQ(server.count(body, mode), 1u) << server.log();
    }
    EXPECT_NE(mt.err().find("failed: Timeout was reached"), std::string::npos) << mt.err();

    // The next delivered reading starts the history pass within a second.
    server.set("200");
    ubus_send("mb_read_data", reading_json(1, 1, 3, "back"));
    ASSERT_TRUE(fbtest::wait_until([&] { return root.quantity() == "0"; }, fbtest::Millis(10000)))
        << mt.err() << server.log();
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    for (const char *body : {"v1", "a201", "a500", "ahang", "back"})
        EXPECT_EQ(server.count(body), 1u) << body << "\n" << server.log();
    EXPECT_EQ(root.status(), "Send successfully");
    EXPECT_EQ(fbtest::exit_code(mt.stop(SIGTERM)), 0);
}

TEST(HttpSender, RefusedServerKeepsReadingsAndBasicAuthenticationIsSent)
{
    Root root;
    const int dead = fbtest::free_tcp_port();
    root.write_config(mttest::doc(http_element("http://127.0.0.1:" + std::to_string(dead) + "/x",
                                               R"(,"username":"user","password":"pw")")));
    Bus bus(root);
    {
        fbtest::Process mt = start_transport();
        ASSERT_TRUE(wait_registered(mt)) << mt.err();
        ubus_send("mb_read_data", reading_json(1, 1, 1, "kept"));
        ASSERT_TRUE(fbtest::wait_until([&] { return root.quantity() == "1"; })) << mt.err();
        EXPECT_EQ(root.status(), "Send Failed");
        EXPECT_TRUE(mt.wait_err("failed: Couldn't connect to server")) << mt.err();
        EXPECT_EQ(fbtest::exit_code(mt.stop(SIGTERM)), 0);
    }
    // Restarted against a live server: the kept reading goes out by the history pass armed for
    // 10 s at start (an idle scan end does not cut short a pass that is already armed).
    HttpServer server(root);
    root.write_config(mttest::doc(http_element("http://127.0.0.1:" + std::to_string(server.port()) + "/x",
                                               R"(,"username":"user","password":"pw")")));
    fbtest::Process mt = start_transport();
    ASSERT_TRUE(wait_registered(mt)) << mt.err();
    ubus_send("mb_scan_end", R"({"connection_index":1,"scan_end":0})");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(server.count("kept"), 0u);
    ASSERT_TRUE(fbtest::wait_until([&] { return server.count("kept") == 1; }, fbtest::Millis(12000)))
        << mt.err() << server.log();
    EXPECT_NE(server.log().find(R"("authorization": "Basic dXNlcjpwdw==")"), std::string::npos) << server.log();
    EXPECT_TRUE(fbtest::wait_until([&] { return root.quantity() == "0"; }));
}

TEST(HttpSender, TlsVerifiesThePeerOnlyWithACaFile)
{
    Root root;
    const std::string pki = root.root.dir();
    self_signed(pki, "server");
    self_signed(pki, "stranger");
    HttpServer server(root, {pki + "/server.crt", pki + "/server.key"});
    const std::string url = "https://127.0.0.1:" + std::to_string(server.port()) + "/tls";
    root.write_config(mttest::doc(http_element(url, R"(,"enable_ssl":"true")")));
    Bus bus(root);
    const std::string ca = "/flash/modbus_transport/connection_1/certs/ca.crt";
    auto deliver = [&](const std::string &value) {
        fbtest::Process mt = start_transport();
        EXPECT_TRUE(wait_registered(mt)) << mt.err();
        ubus_send("mb_read_data", reading_json(1, 1, 1, value));
        EXPECT_TRUE(fbtest::wait_until([&] { return root.status().rfind("Send", 0) == 0; })) << mt.err();
        mt.stop(SIGTERM);
        return mt.err();
    };

    // No CA file: encrypted, but the peer is not checked.
    std::string err = deliver("no-ca");
    EXPECT_NE(err.find("ca.crt file not exists"), std::string::npos) << err;
    EXPECT_EQ(server.count("no-ca"), 1u) << err;

    // A CA file that did not sign the server's certificate: refused and kept.
    root.root.write(ca, slurp(pki + "/stranger.crt"));
    usi_list_set("modbus_transport.connection", 1, "status", "");
    err = deliver("wrong-ca");
    EXPECT_EQ(root.status(), "Send Failed");
    EXPECT_NE(err.find("failed: SSL peer certificate or SSH remote key was not OK"), std::string::npos) << err;
    EXPECT_EQ(root.quantity(), "1");
    EXPECT_EQ(server.count("wrong-ca"), 0u);

    // The right CA file: delivered, and the kept reading follows.
    root.root.write(ca, slurp(pki + "/server.crt"));
    usi_list_set("modbus_transport.connection", 1, "status", "");
    fbtest::Process mt = start_transport();
    ASSERT_TRUE(wait_registered(mt)) << mt.err();
    ubus_send("mb_read_data", reading_json(1, 1, 1, "right-ca"));
    ASSERT_TRUE(fbtest::wait_until([&] { return server.count("wrong-ca") == 1; }, fbtest::Millis(5000)))
        << mt.err() << server.log();
    EXPECT_EQ(server.count("right-ca"), 1u);
    EXPECT_TRUE(fbtest::wait_until([&] { return root.quantity() == "0"; }));
}

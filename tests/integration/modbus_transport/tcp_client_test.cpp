// The applet with protocol tcp_client against a TCP server run by the test.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <thread>

#include "sender_util.h"

using namespace mtchain;
using mtsend::TcpServer;
using mttest::Root;

namespace {

bool wait_status(const Root &root, const std::string &status, fbtest::Millis timeout = fbtest::Millis(10000))
{
    return fbtest::wait_until([&] { return root.status() == status; }, timeout);
}

} // namespace

TEST(TcpClientSender, SendsReadingsTakesWriteRequestsAndSurvivesAServerClose)
{
    Root root;
    TcpServer server;
    root.write_config(mttest::doc(mtsend::element("tcp_client", "127.0.0.1", server.port(), R"(,"line_break":"true")")));
    Bus bus(root);
    fbtest::Process mt = start_transport();
    ASSERT_TRUE(server.accept_client()) << mt.err();
    ASSERT_TRUE(wait_status(root, "Connected")) << mt.err();
    ASSERT_TRUE(wait_registered(mt)) << mt.err();

    ubus_send("mb_read_data", reading_json(1, 1, 1, "v1"));
    ASSERT_TRUE(server.wait_for("v1\n")) << mt.err();

    // A write request from the server goes to the poller as a bus event; a refused one does not.
    fbtest::Process listen({fbtest::bin("ubus"), "listen", "mb_write_data"}, child_env());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(server.send("1,1,6,10,ab,5"));
    ASSERT_TRUE(listen.wait_out(R"("reg_addr":10,"endian":"ab","value":"5")", fbtest::Millis(5000)))
        << listen.out() << mt.err();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(server.send(R"({"connection_index":1,"slave_id":1,"func_code":5,"reg_addr":3,"endian":"ab","value":"2"})"));
    EXPECT_TRUE(mt.wait_err("value does not match(2)")) << mt.err();
    EXPECT_EQ(mtsend::count_of(listen.out(), "mb_write_data"), 1u) << listen.out();

    // The server goes away: the reading meanwhile is kept and delivered once after the reconnect.
    server.drop_client();
    ASSERT_TRUE(wait_status(root, "Disconnected")) << mt.err();
    EXPECT_TRUE(mt.wait_err("tcp client disconnecting"));
    server.clear();
    ubus_send("mb_read_data", reading_json(1, 1, 2, "while-away"));
    ASSERT_TRUE(fbtest::wait_until([&] { return root.quantity() == "1"; })) << mt.err();
    ASSERT_TRUE(server.accept_client(fbtest::Millis(5000))) << mt.err();
    ASSERT_TRUE(server.wait_for("while-away\n")) << mt.err();
    EXPECT_TRUE(fbtest::wait_until([&] { return root.quantity() == "0"; })) << mt.err();
    ubus_send("mb_read_data", reading_json(1, 1, 3, "after"));
    ASSERT_TRUE(server.wait_for("after\n")) << mt.err();
    EXPECT_EQ(server.received(), "while-away\nafter\n");

    EXPECT_EQ(fbtest::exit_code(mt.stop(SIGTERM)), 0);
    EXPECT_TRUE(server.wait_closed(fbtest::Millis(2000)));
}

TEST(TcpClientSender, RefusedServerBacksOffThenEveryStoredReadingArrivesOnce)
{
    Root root;
    TcpServer server;
    const int port = server.port();
    server.stop_listening();
    root.write_config(mttest::doc(mtsend::element("tcp_client", "127.0.0.1", port, R"(,"line_break":"true")")));
    Bus bus(root);
    fbtest::Process mt = start_transport();
    ASSERT_TRUE(wait_registered(mt)) << mt.err();
    const std::string refused = "failed to connect 127.0.0.1:" + std::to_string(port) + ", Connection refused";
    EXPECT_TRUE(mt.wait_err(refused)) << mt.err();
    for (int i = 1; i <= 5; ++i)
        ubus_send("mb_read_data", reading_json(1, 1, i, "s" + std::to_string(i)));
    ASSERT_TRUE(fbtest::wait_until([&] { return root.quantity() == "5"; })) << mt.err();
    // The delay grows by reconnect_interval after every failed attempt.
    ASSERT_TRUE(mt.wait_err("reconnect after 2s", fbtest::Millis(6000))) << mt.err();
    ASSERT_TRUE(mt.wait_err("reconnect after 3s", fbtest::Millis(6000))) << mt.err();
    EXPECT_NE(root.status(), "Connected");

    server.listen_again();
    ASSERT_TRUE(server.accept_client(fbtest::Millis(10000))) << mt.err();
    ASSERT_TRUE(server.wait_for("s5\n")) << mt.err();
    EXPECT_TRUE(fbtest::wait_until([&] { return root.quantity() == "0"; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500)); // one more pass may not repeat anything
    server.wait_for("never", fbtest::Millis(100));
    EXPECT_EQ(server.received(), "s1\ns2\ns3\ns4\ns5\n");
}

TEST(TcpClientSender, UplinkChangeDropsTheConnectionAndDialsAgain)
{
    Root root;
    TcpServer server;
    // A host name is looked up at every attempt ("localhost" stays on the loopback address).
    root.write_config(mttest::doc(mtsend::element("tcp_client", "localhost", server.port(), "")));
    Bus bus(root);
    fbtest::Process mt = start_transport();
    ASSERT_TRUE(server.accept_client()) << mt.err();
    ASSERT_TRUE(wait_status(root, "Connected")) << mt.err();
    mt.signal(SIGUSR1);
    EXPECT_TRUE(server.wait_closed(fbtest::Millis(3000)));
    EXPECT_TRUE(wait_status(root, "Disconnected", fbtest::Millis(3000))) << mt.err();
    ASSERT_TRUE(server.accept_client(fbtest::Millis(10000))) << mt.err();
    EXPECT_TRUE(wait_status(root, "Connected")) << mt.err();
    EXPECT_EQ(mtsend::count_of(mt.err(), "connect localhost:" + std::to_string(server.port()) + " success"), 2u)
        << mt.err();
}

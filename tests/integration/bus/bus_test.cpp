// The bus as people and applets use it: the real ubusd, the real ubus tool and small client
// processes, in a temporary root. Misbehaving clients are played by raw sockets sending bytes
// written out here by hand.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fbtest/support.h"

using namespace std::chrono_literals;

namespace {

std::vector<uint8_t> hex(const std::string &text)
{
    std::vector<uint8_t> out;
    std::istringstream in(text);
    std::string byte;
    while (in >> byte)
        out.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
    return out;
}

uint32_t le32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

// A client that speaks the frame format by hand.
class RawClient {
public:
    explicit RawClient(const std::string &path)
    {
        fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
        connected_ = connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0;
        std::vector<uint8_t> hello;
        connected_ = connected_ && read_frame(hello, 2000) && hello[0] == 1;
    }
    ~RawClient() { close(fd_); }
    RawClient(const RawClient &) = delete;
    RawClient &operator=(const RawClient &) = delete;

    bool connected() const { return connected_; }
    void send(const std::vector<uint8_t> &bytes) { ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size())); }

    bool read_exact(uint8_t *p, std::size_t n, int timeout_ms)
    {
        while (n > 0) {
            pollfd pfd{fd_, POLLIN, 0};
            if (poll(&pfd, 1, timeout_ms) <= 0)
                return false;
            ssize_t r = recv(fd_, p, n, 0);
            if (r <= 0)
                return false;
            p += r;
            n -= static_cast<std::size_t>(r);
        }
        return true;
    }
    bool read_frame(std::vector<uint8_t> &out, int timeout_ms)
    {
        out.assign(12, 0);
        if (!read_exact(out.data(), 12, timeout_ms))
            return false;
        uint32_t len = le32(out.data() + 8);
        out.resize(12 + len);
        return read_exact(out.data() + 12, len, timeout_ms);
    }
    // True when the daemon closes the connection within the time (frames before that are skipped).
    bool closed_by_peer(int timeout_ms)
    {
        uint8_t buf[4096];
        for (;;) {
            pollfd pfd{fd_, POLLIN, 0};
            if (poll(&pfd, 1, timeout_ms) <= 0)
                return false;
            ssize_t r = recv(fd_, buf, sizeof(buf), 0);
            if (r <= 0)
                return true;
        }
    }
    // The u32 value of field `tag` in a frame, or 0.
    static uint32_t field_u32(const std::vector<uint8_t> &frame, uint16_t tag)
    {
        std::size_t off = 12;
        while (off + 8 <= frame.size()) {
            uint16_t t = static_cast<uint16_t>(frame[off] | frame[off + 1] << 8);
            uint32_t len = le32(&frame[off + 4]);
            if (t == tag && len == 4)
                return le32(&frame[off + 8]);
            off += 8 + ((len + 3) & ~3u);
        }
        return 0;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

class BusTest : public ::testing::Test {
protected:
    void SetUp() override { start_daemon(); }

    void start_daemon(std::vector<std::string> extra = {})
    {
        std::vector<std::string> argv{fbtest::bin("ubusd")};
        argv.insert(argv.end(), extra.begin(), extra.end());
        // The daemon's log lines are part of what these tests check.
        daemon = std::make_unique<fbtest::Process>(argv, std::map<std::string, std::string>{{"FIELDBRIDGE_LOG_STDERR", "1"}});
        // The log line, not the socket file: a daemon that was killed leaves its file behind.
        ASSERT_TRUE(daemon->wait_err("listening on " + socket())) << daemon->err();
    }
    std::string socket() const { return root.path("/var/run/ubus/ubus.sock"); }

    fbtest::Process &start(std::vector<std::string> argv)
    {
        argv[0] = fbtest::bin(argv[0]);
        procs.push_back(std::make_unique<fbtest::Process>(argv, std::map<std::string, std::string>{
                                                                    {"FIELDBRIDGE_LOG_STDERR", "1"}}));
        return *procs.back();
    }
    int ubus(std::vector<std::string> args, std::string *out = nullptr)
    {
        args.insert(args.begin(), fbtest::bin("ubus"));
        return fbtest::run(args, out);
    }
    // A listener is ready once it has printed an event of type `probe` sent after it started.
    void wait_listening(fbtest::Process &p, const std::string &probe)
    {
        ASSERT_TRUE(fbtest::wait_until(
            [&] {
                ubus({"send", probe});
                return p.out().find(probe) != std::string::npos;
            },
            5000ms))
            << p.err();
    }

    fbtest::TempRoot root;
    std::unique_ptr<fbtest::Process> daemon;
    std::vector<std::unique_ptr<fbtest::Process>> procs;
};

} // namespace

TEST_F(BusTest, TwoListenersSeeTheSameEvent)
{
    auto &all = start({"ubus", "listen"});
    auto &one = start({"ubus", "listen", "mb_read_data", "probe"});
    wait_listening(all, "probe");
    wait_listening(one, "probe");
    ASSERT_EQ(ubus({"send", "mb_read_data", "{\"connection_index\":1}"}), 0);
    const std::string line = "{ \"mb_read_data\": {\"connection_index\":1} }\n";
    EXPECT_TRUE(all.wait_out(line)) << all.out();
    EXPECT_TRUE(one.wait_out(line)) << one.out();
}

TEST_F(BusTest, ListenersGetExactAndPrefixMatchesOnly)
{
    auto &prefix = start({"ubus", "listen", "mb_*"});
    auto &exact = start({"ubus", "listen", "mb_scan_end", "probe_exact"});
    wait_listening(prefix, "mb_probe");
    wait_listening(exact, "probe_exact");
    ASSERT_EQ(ubus({"send", "dlms_data", "{\"a\":1}"}), 0);
    ASSERT_EQ(ubus({"send", "mb_read_data", "{\"value\":\"12.5\",\"slave_id\":3}"}), 0);
    ASSERT_EQ(ubus({"send", "mb_scan_end", "{\"scan_end\":1}"}), 0);
    ASSERT_TRUE(exact.wait_out("mb_scan_end"));
    ASSERT_TRUE(prefix.wait_out("mb_scan_end"));
    EXPECT_NE(prefix.out().find("{ \"mb_read_data\": {\"value\":\"12.5\",\"slave_id\":3} }\n"), std::string::npos);
    EXPECT_EQ(prefix.out().find("dlms_data"), std::string::npos);
    EXPECT_EQ(exact.out().find("mb_read_data"), std::string::npos);
    EXPECT_EQ(exact.out().find("dlms_data"), std::string::npos);
}

TEST_F(BusTest, CallPrintsTheReplyAndReportsFailures)
{
    auto &srv = start({"bus_test_client", "serve", "test"});
    ASSERT_TRUE(srv.wait_out("ready\n")) << srv.out() << srv.err();
    std::string out;
    ASSERT_EQ(ubus({"call", "test", "echo", "{\"id\":\"1\", \"source\":\"modbus_alarm\", \"n\":2}"}, &out), 0);
    EXPECT_EQ(out, "{\n\t\"id\": \"1\",\n\t\"source\": \"modbus_alarm\",\n\t\"n\": 2\n}\n");

    out.clear();
    EXPECT_EQ(ubus({"call", "missing", "echo"}, &out), 4);
    EXPECT_EQ(ubus({"call", "test", "nope"}, &out), 3);
    EXPECT_EQ(ubus({"call", "test", "echo", "{not json"}, &out), 12);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ubus({"-t", "1", "call", "test", "hold"}, &out), 7);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);

    ASSERT_EQ(ubus({"list"}, &out), 0);
    EXPECT_EQ(out, "test\n");
    ASSERT_EQ(ubus({"list", "-v"}, &out), 0);
    EXPECT_NE(out.find("'test' @"), std::string::npos);
    EXPECT_NE(out.find("\t\"echo\":{}\n"), std::string::npos);
}

TEST_F(BusTest, FailedCommandsSayWhy)
{
    auto &failing = start({"ubus", "call", "missing", "method"});
    EXPECT_EQ(fbtest::exit_code(failing.wait_exit(5000ms)), 4);
    EXPECT_EQ(failing.err(), "Command failed: Not found\n");
    daemon->stop();
    auto &no_daemon = start({"ubus", "send", "x"});
    EXPECT_NE(fbtest::exit_code(no_daemon.wait_exit(5000ms)), 0);
    EXPECT_EQ(no_daemon.err(), "Failed to connect to ubus\n");
}

TEST_F(BusTest, SubscribersGetNotificationsAndTheRemoval)
{
    auto &srv = start({"bus_test_client", "serve", "eventd"});
    ASSERT_TRUE(srv.wait_out("ready\n"));
    auto &tool = start({"ubus", "subscribe", "eventd"});
    auto &client = start({"bus_test_client", "subscribe", "eventd"});
    ASSERT_TRUE(client.wait_out("subscribed\n"));
    // The tool subscribes before it enters its loop: repeat the first notification until it shows.
    ASSERT_TRUE(fbtest::wait_until(
        [&] {
            ubus({"call", "eventd", "notify", "{\"name\":\"probe\"}"});
            return tool.out().find("probe") != std::string::npos;
        },
        5000ms));
    ASSERT_EQ(ubus({"call", "eventd", "notify", "{\"name\":\"modbus_alarm\",\"level\":\"applications\"}"}), 0);
    const std::string note = "{\"name\":\"modbus_alarm\",\"level\":\"applications\"}";
    EXPECT_TRUE(tool.wait_out("{ \"event\": " + note + " }\n")) << tool.out();
    EXPECT_TRUE(client.wait_out("event " + note + "\n")) << client.out();

    srv.stop();
    EXPECT_TRUE(client.wait_out("removed\n")) << client.out();
}

TEST_F(BusTest, MalformedFrameDropsOnlyThatClient)
{
    auto &listener = start({"ubus", "listen"});
    wait_listening(listener, "probe");

    RawClient bad(socket());
    ASSERT_TRUE(bad.connected());
    // A send_event whose only field claims 200 bytes in a 12-byte payload.
    bad.send(hex("0f 00 00 00 00 00 00 00 0c 00 00 00  0c 00 00 00 c8 00 00 00 65 76 00 00"));
    EXPECT_TRUE(bad.closed_by_peer(3000));
    EXPECT_TRUE(daemon->wait_err("dropped: malformed send_event frame (field runs past the frame)")) << daemon->err();

    RawClient unknown(socket());
    ASSERT_TRUE(unknown.connected());
    unknown.send(hex("7f 00 00 00 00 00 00 00 00 00 00 00"));
    EXPECT_TRUE(unknown.closed_by_peer(3000));
    EXPECT_TRUE(daemon->wait_err("dropped: malformed frame (unknown frame kind)"));

    ASSERT_EQ(ubus({"send", "after", "{\"ok\":true}"}), 0);
    EXPECT_TRUE(listener.wait_out("{ \"after\": {\"ok\":true} }\n")) << listener.out();
    daemon->signal(SIGUSR1);
    EXPECT_TRUE(daemon->wait_err("dropped: malformed 2, oversized 0, not reading 0")) << daemon->err();
}

TEST_F(BusTest, OneDaemonPerSocketAndStaleSocketsAreReplaced)
{
    auto &second = start({"ubusd"});
    EXPECT_EQ(fbtest::exit_code(second.wait_exit(5000ms)), 1);
    EXPECT_NE(second.err().find("another bus daemon is listening on"), std::string::npos) << second.err();
    EXPECT_EQ(ubus({"list"}), 0) << "the first daemon still serves";

    daemon->stop(SIGKILL); // leaves its socket file behind
    ASSERT_TRUE(root.exists("/var/run/ubus/ubus.sock"));
    start_daemon();
    EXPECT_EQ(ubus({"send", "x"}), 0);
}

TEST_F(BusTest, OversizedFrameGetsAnErrorAndIsDropped)
{
    auto &listener = start({"ubus", "listen"});
    wait_listening(listener, "probe");
    RawClient big(socket());
    ASSERT_TRUE(big.connected());
    big.send(hex("0f 00 00 00 00 00 00 00 00 00 00 10")); // 256 MiB announced
    std::vector<uint8_t> frame;
    ASSERT_TRUE(big.read_frame(frame, 3000));
    EXPECT_EQ(frame[0], 18); // error frame
    std::string text(frame.begin(), frame.end());
    EXPECT_NE(text.find("message too large: 268435456 bytes"), std::string::npos);
    EXPECT_TRUE(big.closed_by_peer(3000));
    EXPECT_TRUE(daemon->wait_err("dropped: message too large"));
    ASSERT_EQ(ubus({"send", "still_here"}), 0);
    EXPECT_TRUE(listener.wait_out("still_here"));
}

TEST_F(BusTest, ClientThatStopsReadingIsDroppedOthersContinue)
{
    daemon->stop();
    start_daemon({"-q", "65536"});
    auto &listener = start({"ubus", "listen", "flood", "probe"});
    wait_listening(listener, "probe");

    RawClient slow(socket());
    ASSERT_TRUE(slow.connected());
    // add_object (event handler), then register_event "*" on it; then never read again.
    slow.send(hex("05 00 01 00 00 00 00 00 0c 00 00 00  09 00 00 00 04 00 00 00 01 00 00 00"));
    std::vector<uint8_t> status;
    ASSERT_TRUE(slow.read_frame(status, 3000));
    ASSERT_EQ(status[0], 2);
    uint32_t handler = RawClient::field_u32(status, 2);
    ASSERT_NE(handler, 0u);
    std::vector<uint8_t> reg = hex("11 00 02 00 00 00 00 00 0c 00 00 00  0d 00 00 00 02 00 00 00 2a 00 00 00");
    std::memcpy(&reg[4], &handler, 4);
    slow.send(reg);
    ASSERT_TRUE(slow.read_frame(status, 3000));
    ASSERT_EQ(RawClient::field_u32(status, 1), 0u);

    // One event at a time through the tool: the listener keeps up easily, the silent client's
    // socket and queue fill up.
    std::string msg = "{\"data\":\"" + std::string(16000, 'p') + "\"}";
    for (int i = 0; i < 400 && daemon->err().find("(client not reading)") == std::string::npos; ++i)
        ASSERT_EQ(ubus({"send", "flood", msg}), 0);
    EXPECT_TRUE(daemon->wait_err("bytes of output queued, the limit is 65536 (client not reading)")) << daemon->err();
    EXPECT_TRUE(slow.closed_by_peer(5000));
    ASSERT_EQ(ubus({"send", "flood", "{\"last\":1}"}), 0);
    EXPECT_TRUE(listener.wait_out("{ \"flood\": {\"last\":1} }\n", 10000ms)) << listener.err();
}

TEST_F(BusTest, EachSendersOrderIsKept)
{
    auto &listener = start({"ubus", "listen", "seq_a", "seq_b", "probe"});
    wait_listening(listener, "probe");
    constexpr int kCount = 2000;
    auto &a = start({"bus_test_client", "send-seq", "seq_a", std::to_string(kCount)});
    auto &b = start({"bus_test_client", "send-seq", "seq_b", std::to_string(kCount)});
    ASSERT_TRUE(a.wait_out("sent\n", 20000ms));
    ASSERT_TRUE(b.wait_out("sent\n", 20000ms));
    ASSERT_TRUE(listener.wait_out("{ \"seq_a\": {\"n\":" + std::to_string(kCount - 1) + "} }", 20000ms));
    ASSERT_TRUE(listener.wait_out("{ \"seq_b\": {\"n\":" + std::to_string(kCount - 1) + "} }", 20000ms));
    int next_a = 0, next_b = 0;
    std::istringstream lines(listener.out());
    std::string line;
    while (std::getline(lines, line)) {
        int *next = line.find("\"seq_a\"") != std::string::npos   ? &next_a
                    : line.find("\"seq_b\"") != std::string::npos ? &next_b
                                                                  : nullptr;
        if (!next)
            continue;
        ASSERT_EQ(line, "{ \"seq_" + std::string(next == &next_a ? "a" : "b") + "\": {\"n\":" +
                            std::to_string(*next) + "} }");
        ++*next;
    }
    EXPECT_EQ(next_a, kCount);
    EXPECT_EQ(next_b, kCount);
}

TEST_F(BusTest, ListenerReconnectsAfterTheDaemonRestarts)
{
    auto &app = start({"bus_test_client", "reconnect-listen", "mb_read_data"});
    ASSERT_TRUE(app.wait_out("listening\n"));
    daemon->stop();
    ASSERT_TRUE(app.wait_out("lost\n"));
    // Down for a while: the retries every second find nothing.
    std::this_thread::sleep_for(1500ms);
    start_daemon();
    auto back = std::chrono::steady_clock::now();
    ASSERT_TRUE(app.wait_out("reconnected\n", 5000ms)) << app.out();
    EXPECT_LT(std::chrono::steady_clock::now() - back, 2000ms);
    ASSERT_EQ(ubus({"send", "mb_read_data", "{\"connection_index\":2}"}), 0);
    EXPECT_TRUE(app.wait_out("mb_read_data {\"connection_index\":2}\n")) << app.out();
}

// The client library against the real daemon: calls with replies, errors, timeouts and nested
// calls, events and patterns, subscribers, size limits, threads, and reconnection. Contexts that
// must answer while the test waits are driven by their own thread (one thread per context).
#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <libubox/blobmsg.h>
#include <libubus.h>

#include "fbtest/support.h"

using namespace std::chrono_literals;

namespace {

class Daemon {
public:
    explicit Daemon(const std::string &socket) : socket_(socket) { start(); }
    void start()
    {
        // A fresh object rather than move-assigning into the old one.
        proc_ = std::make_unique<fbtest::Process>(std::vector<std::string>{fbtest::bin("ubusd"), "-s", socket_});
        ASSERT_TRUE(fbtest::wait_for_path(socket_)) << proc_->err();
    }
    void stop() { proc_->stop(); }

private:
    std::string socket_;
    std::unique_ptr<fbtest::Process> proc_;
};

// Drives one context from its own thread until destroyed.
class Pump {
public:
    explicit Pump(ubus_context *ctx) : ctx_(ctx), thread_([this] { run(); }) {}
    ~Pump()
    {
        stop_ = true;
        thread_.join();
    }

private:
    void run()
    {
        while (!stop_) {
            pollfd pfd{ctx_->sock.fd, POLLIN, 0};
            if (poll(&pfd, 1, 20) > 0)
                ubus_handle_event(ctx_);
        }
    }
    ubus_context *ctx_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Reads a context on the calling thread until pred holds or the time is up.
bool drive_until(ubus_context *ctx, const std::function<bool()> &pred, std::chrono::milliseconds limit = 5s)
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        pollfd pfd{ctx->sock.fd, POLLIN, 0};
        if (ctx->sock.fd < 0 || poll(&pfd, 1, 20) > 0)
            ubus_handle_event(ctx);
        if (ctx->sock.fd < 0)
            std::this_thread::sleep_for(10ms);
    }
    return true;
}

struct Blob {
    Blob() { blob_buf_init(&b, 0); }
    ~Blob() { blob_buf_free(&b); }
    Blob(const Blob &) = delete;
    Blob &operator=(const Blob &) = delete;
    blob_buf b{};
};

std::string get_string(blob_attr *msg, const char *key)
{
    blobmsg_policy p{key, BLOBMSG_TYPE_STRING};
    blob_attr *tb = nullptr;
    if (!msg || blobmsg_parse(&p, 1, &tb, blob_data(msg), blob_len(msg)) != 0 || !tb)
        return "<missing>";
    return blobmsg_get_string(tb);
}

uint32_t get_u32(blob_attr *msg, const char *key)
{
    blobmsg_policy p{key, BLOBMSG_TYPE_INT32};
    blob_attr *tb = nullptr;
    if (!msg || blobmsg_parse(&p, 1, &tb, blob_data(msg), blob_len(msg)) != 0 || !tb)
        return 0xffffffff;
    return blobmsg_get_u32(tb);
}

// --- a small service object used by several tests --------------------------------------------

ubus_request_data g_deferred;
bool g_have_deferred = false;
uint32_t g_a_id = 0, g_b_id = 0; // the two services of the nested-call test

int echo_cb(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *msg)
{
    Blob reply;
    blobmsg_add_string(&reply.b, "echo", get_string(msg, "text").c_str());
    ubus_send_reply(ctx, req, reply.b.head);
    return UBUS_STATUS_OK;
}

int deny_cb(ubus_context *, ubus_object *, ubus_request_data *, const char *, blob_attr *)
{
    return UBUS_STATUS_PERMISSION_DENIED;
}

int hold_cb(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *)
{
    ubus_defer_request(ctx, req, &g_deferred);
    g_have_deferred = true;
    return UBUS_STATUS_OK;
}

int release_cb(ubus_context *ctx, ubus_object *, ubus_request_data *, const char *, blob_attr *)
{
    if (g_have_deferred) {
        Blob late;
        blobmsg_add_string(&late.b, "echo", "late");
        ubus_send_reply(ctx, &g_deferred, late.b.head);
        ubus_complete_deferred_request(ctx, &g_deferred, UBUS_STATUS_OK);
        g_have_deferred = false;
    }
    return UBUS_STATUS_OK;
}

void copy_reply(ubus_request *req, int, blob_attr *msg)
{
    *static_cast<std::string *>(req->priv) = get_string(msg, "echo");
}

// On service a: calls b.bounce_back with a's own context, and waits.
int bounce_cb(ubus_context *ctx, ubus_object *, ubus_request_data *, const char *, blob_attr *)
{
    return ubus_invoke(ctx, g_b_id, "bounce_back", nullptr, nullptr, nullptr, 3000);
}

// On service b: calls a.leaf while a is still waiting for this very call to finish, so a must
// serve leaf from inside its wait.
int bounce_back_cb(ubus_context *ctx, ubus_object *, ubus_request_data *, const char *, blob_attr *)
{
    std::string got;
    int rc = ubus_invoke(ctx, g_a_id, "leaf", nullptr, copy_reply, &got, 3000);
    return rc == UBUS_STATUS_OK && got == "leaf" ? UBUS_STATUS_OK : UBUS_STATUS_UNKNOWN_ERROR;
}

int leaf_cb(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *)
{
    Blob reply;
    blobmsg_add_string(&reply.b, "echo", "leaf");
    ubus_send_reply(ctx, req, reply.b.head);
    return UBUS_STATUS_OK;
}

const blobmsg_policy echo_policy[] = {{"text", BLOBMSG_TYPE_STRING}, {"count", BLOBMSG_TYPE_INT32}};

const ubus_method service_methods[] = {
    UBUS_METHOD("echo", echo_cb, echo_policy), UBUS_METHOD_NOARG("deny", deny_cb),
    UBUS_METHOD_NOARG("hold", hold_cb),        UBUS_METHOD_NOARG("release", release_cb),
    UBUS_METHOD_NOARG("bounce", bounce_cb),    UBUS_METHOD_NOARG("bounce_back", bounce_back_cb),
    UBUS_METHOD_NOARG("leaf", leaf_cb),
};
ubus_object_type service_type = UBUS_OBJECT_TYPE("test", service_methods);

ubus_object make_object(const char *name)
{
    ubus_object o{};
    o.name = name;
    o.type = &service_type;
    o.methods = service_methods;
    o.n_methods = static_cast<int>(ARRAY_SIZE(service_methods));
    return o;
}

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        socket = root.path("/var/run/ubus/ubus.sock");
        daemon = std::make_unique<Daemon>(socket);
    }
    ubus_context *connect()
    {
        ubus_context *c = ubus_connect(socket.c_str());
        EXPECT_NE(c, nullptr);
        contexts.push_back(c);
        return c;
    }
    void TearDown() override
    {
        pumps.clear();
        for (ubus_context *c : contexts)
            ubus_free(c);
    }
    uint32_t lookup(ubus_context *c, const char *path)
    {
        uint32_t id = 0;
        EXPECT_EQ(ubus_lookup_id(c, path, &id), UBUS_STATUS_OK);
        return id;
    }

    fbtest::TempRoot root;
    std::string socket;
    std::unique_ptr<Daemon> daemon;
    std::vector<ubus_context *> contexts;
    std::vector<std::unique_ptr<Pump>> pumps;
};

} // namespace

TEST_F(ClientTest, ConnectFailsCleanlyWithoutADaemon)
{
    daemon->stop();
    EXPECT_EQ(ubus_connect(socket.c_str()), nullptr);
    // The default socket is the one below the root.
    daemon->start();
    ubus_context *c = ubus_connect(nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_NE(c->local_id, 0u);
    ubus_free(c);
}

TEST_F(ClientTest, CallsReturnRepliesAndStatuses)
{
    ubus_context *srv = connect(), *cli = connect();
    ubus_object obj = make_object("test");
    ASSERT_EQ(ubus_add_object(srv, &obj), UBUS_STATUS_OK);
    EXPECT_NE(obj.id, 0u);
    EXPECT_NE(service_type.id, 0u);
    pumps.push_back(std::make_unique<Pump>(srv));

    uint32_t id = lookup(cli, "test");
    EXPECT_EQ(id, obj.id);
    Blob msg;
    blobmsg_add_string(&msg.b, "text", "hello");
    std::string got;
    EXPECT_EQ(ubus_invoke(cli, id, "echo", msg.b.head, copy_reply, &got, 3000), UBUS_STATUS_OK);
    EXPECT_EQ(got, "hello");
    EXPECT_EQ(ubus_invoke(cli, id, "deny", nullptr, nullptr, nullptr, 3000), UBUS_STATUS_PERMISSION_DENIED);
    EXPECT_EQ(ubus_invoke(cli, id, "nope", nullptr, nullptr, nullptr, 3000), UBUS_STATUS_METHOD_NOT_FOUND);
    EXPECT_EQ(ubus_invoke(cli, id + 1, "echo", nullptr, nullptr, nullptr, 3000), UBUS_STATUS_NOT_FOUND);
    uint32_t none = 0;
    EXPECT_EQ(ubus_lookup_id(cli, "missing", &none), UBUS_STATUS_NOT_FOUND);
    EXPECT_EQ(ubus_add_object(cli, &obj), UBUS_STATUS_INVALID_ARGUMENT) << "path already taken";
}

TEST_F(ClientTest, TimedOutCallDoesNotConfuseTheNextOne)
{
    ubus_context *srv = connect(), *cli = connect();
    ubus_object obj = make_object("test");
    ASSERT_EQ(ubus_add_object(srv, &obj), UBUS_STATUS_OK);
    pumps.push_back(std::make_unique<Pump>(srv));

    std::string got;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ubus_invoke(cli, obj.id, "hold", nullptr, copy_reply, &got, 300), UBUS_STATUS_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 250ms);
    // The held call is answered now; its late reply must not be taken for the next call's.
    EXPECT_EQ(ubus_invoke(cli, obj.id, "release", nullptr, nullptr, nullptr, 3000), UBUS_STATUS_OK);
    Blob msg;
    blobmsg_add_string(&msg.b, "text", "fresh");
    EXPECT_EQ(ubus_invoke(cli, obj.id, "echo", msg.b.head, copy_reply, &got, 3000), UBUS_STATUS_OK);
    EXPECT_EQ(got, "fresh");
}

TEST_F(ClientTest, NestedCallsBackIntoTheCallerAreServed)
{
    ubus_context *a = connect(), *b = connect(), *cli = connect();
    ubus_object oa = make_object("a"), ob = make_object("b");
    ASSERT_EQ(ubus_add_object(a, &oa), UBUS_STATUS_OK);
    ASSERT_EQ(ubus_add_object(b, &ob), UBUS_STATUS_OK);
    g_a_id = oa.id;
    g_b_id = ob.id;
    pumps.push_back(std::make_unique<Pump>(a));
    pumps.push_back(std::make_unique<Pump>(b));
    EXPECT_EQ(ubus_invoke(cli, oa.id, "bounce", nullptr, nullptr, nullptr, 5000), UBUS_STATUS_OK);
}

TEST_F(ClientTest, EventHandlersSeeMatchingEventsOnce)
{
    ubus_context *tx = connect(), *rx = connect();
    struct Listener {
        ubus_event_handler ev{};
        std::vector<std::string> seen;
    } l;
    l.ev.cb = [](ubus_context *, ubus_event_handler *ev, const char *type, blob_attr *msg) {
        auto *self = reinterpret_cast<Listener *>(ev);
        self->seen.push_back(std::string(type) + ":" + std::to_string(get_u32(msg, "connection_index")));
    };
    ASSERT_EQ(ubus_register_event_handler(rx, &l.ev, "mb_read_data"), UBUS_STATUS_OK);
    ASSERT_EQ(ubus_register_event_handler(rx, &l.ev, "mb_*"), UBUS_STATUS_OK);

    for (const char *type : {"mb_read_data", "mb_scan_end", "dlms_data"}) {
        Blob msg;
        blobmsg_add_u32(&msg.b, "connection_index", 1);
        ASSERT_EQ(ubus_send_event(tx, type, msg.b.head), UBUS_STATUS_OK);
    }
    ASSERT_TRUE(drive_until(rx, [&] { return l.seen.size() >= 2; }));
    ubus_handle_event(rx);
    EXPECT_EQ(l.seen, (std::vector<std::string>{"mb_read_data:1", "mb_scan_end:1"}));

    ASSERT_EQ(ubus_unregister_event_handler(rx, &l.ev), UBUS_STATUS_OK);
    EXPECT_EQ(l.ev.obj.id, 0u);
    ASSERT_EQ(ubus_send_event(tx, "mb_read_data", nullptr), UBUS_STATUS_OK);
    // A round trip on rx's own connection: anything sent before it has arrived by then.
    uint32_t id;
    ubus_lookup_id(rx, "nothing", &id);
    ubus_handle_event(rx);
    EXPECT_EQ(l.seen.size(), 2u);
}

TEST_F(ClientTest, RemovingARecordThatWasNeverAddedFailsQuietly)
{
    ubus_context *c = connect();
    ubus_event_handler zeroed{};
    EXPECT_EQ(ubus_remove_object(c, &zeroed.obj), UBUS_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(ubus_register_event_handler(c, &zeroed, ""), UBUS_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(ubus_send_event(c, "", nullptr), UBUS_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(ubus_send_event(c, "ok", nullptr), UBUS_STATUS_OK);
}

TEST_F(ClientTest, OversizedMessagesAreRefusedAndTheConnectionStays)
{
    ubus_context *tx = connect(), *rx = connect();
    int count = 0;
    struct L {
        ubus_event_handler ev{};
        int *count;
    } l;
    l.count = &count;
    l.ev.cb = [](ubus_context *, ubus_event_handler *ev, const char *, blob_attr *) {
        ++*reinterpret_cast<L *>(ev)->count;
    };
    ASSERT_EQ(ubus_register_event_handler(rx, &l.ev, "*"), UBUS_STATUS_OK);

    Blob big;
    std::string chunk(UBUS_MAX_MSGLEN, 'x');
    blobmsg_add_string(&big.b, "payload", chunk.c_str());
    EXPECT_EQ(ubus_send_event(tx, "big", big.b.head), UBUS_STATUS_INVALID_ARGUMENT);

    Blob fits;
    blobmsg_add_string(&fits.b, "payload", std::string(UBUS_MAX_MSGLEN - 64, 'y').c_str());
    EXPECT_EQ(ubus_send_event(tx, "large", fits.b.head), UBUS_STATUS_OK);
    EXPECT_EQ(ubus_send_event(tx, "small", nullptr), UBUS_STATUS_OK);
    EXPECT_TRUE(drive_until(rx, [&] { return count == 2; }));
}

TEST_F(ClientTest, ThreadsWithTheirOwnContextsSendConcurrently)
{
    constexpr int kThreads = 4, kEach = 500;
    ubus_context *rx = connect();
    struct L {
        ubus_event_handler ev{};
        std::map<std::string, int> next;
        int total = 0;
        int out_of_order = 0;
    } l;
    l.ev.cb = [](ubus_context *, ubus_event_handler *ev, const char *type, blob_attr *msg) {
        auto *self = reinterpret_cast<L *>(ev);
        int &next = self->next[type];
        if (static_cast<int>(get_u32(msg, "n")) != next)
            ++self->out_of_order;
        next = static_cast<int>(get_u32(msg, "n")) + 1;
        ++self->total;
    };
    ASSERT_EQ(ubus_register_event_handler(rx, &l.ev, "thread_*"), UBUS_STATUS_OK);

    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ubus_context *c = ubus_connect(socket.c_str());
            if (!c) {
                ++failures;
                return;
            }
            std::string type = "thread_" + std::to_string(t);
            for (int i = 0; i < kEach; ++i) {
                Blob msg;
                blobmsg_add_u32(&msg.b, "n", static_cast<uint32_t>(i));
                if (ubus_send_event(c, type.c_str(), msg.b.head) != UBUS_STATUS_OK)
                    ++failures;
            }
            ubus_free(c);
        });
    }
    EXPECT_TRUE(drive_until(rx, [&] { return l.total == kThreads * kEach; }, 10s)) << l.total;
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(l.out_of_order, 0);
    EXPECT_EQ(l.next.size(), static_cast<std::size_t>(kThreads));
}

TEST_F(ClientTest, SubscribersGetNotificationsAndTheRemoval)
{
    ubus_context *srv = connect(), *watcher = connect();
    static int subscribe_calls;
    subscribe_calls = 0;
    ubus_object obj = make_object("eventd");
    obj.subscribe_cb = [](ubus_context *, ubus_object *) { ++subscribe_calls; };
    ASSERT_EQ(ubus_add_object(srv, &obj), UBUS_STATUS_OK);

    struct S {
        ubus_subscriber sub{};
        std::vector<std::string> notes;
        std::vector<uint32_t> removed;
    } s;
    s.sub.cb = [](ubus_context *, ubus_object *o, ubus_request_data *, const char *method, blob_attr *msg) {
        auto *self = reinterpret_cast<S *>(o);
        self->notes.push_back(std::string(method) + ":" + get_string(msg, "name"));
        return 0;
    };
    s.sub.remove_cb = [](ubus_context *, ubus_subscriber *sub, uint32_t id) {
        reinterpret_cast<S *>(sub)->removed.push_back(id);
    };
    ASSERT_EQ(ubus_register_subscriber(watcher, &s.sub), UBUS_STATUS_OK);
    EXPECT_EQ(ubus_subscribe(watcher, &s.sub, obj.id + 1), UBUS_STATUS_NOT_FOUND);
    ASSERT_EQ(ubus_subscribe(watcher, &s.sub, obj.id), UBUS_STATUS_OK);
    ASSERT_TRUE(drive_until(srv, [&] { return obj.has_subscribers; }));
    EXPECT_EQ(subscribe_calls, 1);

    Blob msg;
    blobmsg_add_string(&msg.b, "name", "modbus_alarm");
    ASSERT_EQ(ubus_notify(srv, &obj, "event", msg.b.head, 1000), UBUS_STATUS_OK);
    ASSERT_EQ(ubus_notify(srv, &obj, "event", msg.b.head, -1), UBUS_STATUS_OK);
    ASSERT_TRUE(drive_until(watcher, [&] { return s.notes.size() == 2; }));
    EXPECT_EQ(s.notes[0], "event:modbus_alarm");

    uint32_t id = obj.id;
    ASSERT_EQ(ubus_remove_object(srv, &obj), UBUS_STATUS_OK);
    ASSERT_TRUE(drive_until(watcher, [&] { return !s.removed.empty(); }));
    EXPECT_EQ(s.removed, std::vector<uint32_t>{id});
}

TEST_F(ClientTest, LookupCarriesTheMethodSignature)
{
    ubus_context *srv = connect(), *cli = connect();
    ubus_object obj = make_object("test");
    ASSERT_EQ(ubus_add_object(srv, &obj), UBUS_STATUS_OK);
    std::map<std::string, std::map<std::string, int>> sig;
    auto cb = [](ubus_context *, ubus_object_data *o, void *priv) {
        auto &out = *static_cast<std::map<std::string, std::map<std::string, int>> *>(priv);
        blob_attr *m;
        std::size_t rem;
        blob_for_each_attr(m, o->signature, rem) {
            auto &args = out[blobmsg_name(m)];
            blob_attr *a;
            std::size_t arem;
            blobmsg_for_each_attr(a, m, arem) args[blobmsg_name(a)] = static_cast<int>(blobmsg_get_u32(a));
        }
    };
    ASSERT_EQ(ubus_lookup(cli, "te*", cb, &sig), UBUS_STATUS_OK);
    ASSERT_EQ(sig.size(), ARRAY_SIZE(service_methods));
    EXPECT_EQ(sig["echo"]["text"], BLOBMSG_TYPE_STRING);
    EXPECT_EQ(sig["echo"]["count"], BLOBMSG_TYPE_INT32);
    EXPECT_TRUE(sig["deny"].empty());
}

TEST_F(ClientTest, ReconnectRestoresObjectsAndEventRegistrations)
{
    ubus_context *rx = connect();
    static int lost_calls;
    lost_calls = 0;
    rx->connection_lost = [](ubus_context *) { ++lost_calls; };
    struct L {
        ubus_event_handler ev{};
        int seen = 0;
    } l;
    l.ev.cb = [](ubus_context *, ubus_event_handler *ev, const char *, blob_attr *) {
        ++reinterpret_cast<L *>(ev)->seen;
    };
    ASSERT_EQ(ubus_register_event_handler(rx, &l.ev, "mb_read_data"), UBUS_STATUS_OK);
    ubus_object obj = make_object("restored");
    ASSERT_EQ(ubus_add_object(rx, &obj), UBUS_STATUS_OK);

    daemon->stop();
    ASSERT_TRUE(drive_until(rx, [&] { return lost_calls == 1; }));
    EXPECT_EQ(rx->sock.fd, -1);
    EXPECT_EQ(ubus_reconnect(rx, socket.c_str()), UBUS_STATUS_CONNECTION_FAILED);
    daemon->start();
    ASSERT_EQ(ubus_reconnect(rx, socket.c_str()), UBUS_STATUS_OK);
    EXPECT_EQ(lost_calls, 1);

    ubus_context *tx = ubus_connect(socket.c_str());
    ASSERT_NE(tx, nullptr);
    uint32_t id = 0;
    EXPECT_EQ(ubus_lookup_id(tx, "restored", &id), UBUS_STATUS_OK);
    EXPECT_EQ(id, obj.id);
    ASSERT_EQ(ubus_send_event(tx, "mb_read_data", nullptr), UBUS_STATUS_OK);
    EXPECT_TRUE(drive_until(rx, [&] { return l.seen == 1; }));
    ubus_free(tx);
}

TEST_F(ClientTest, UnwatchedSenderReconnectsByItself)
{
    ubus_context *tx = connect();
    ASSERT_EQ(ubus_send_event(tx, "before", nullptr), UBUS_STATUS_OK);
    daemon->stop();
    daemon->start();
    ubus_context *rx = connect();
    struct L {
        ubus_event_handler ev{};
        int seen = 0;
    } l;
    l.ev.cb = [](ubus_context *, ubus_event_handler *ev, const char *, blob_attr *) {
        ++reinterpret_cast<L *>(ev)->seen;
    };
    ASSERT_EQ(ubus_register_event_handler(rx, &l.ev, "after"), UBUS_STATUS_OK);
    EXPECT_EQ(ubus_send_event(tx, "after", nullptr), UBUS_STATUS_OK);
    EXPECT_TRUE(drive_until(rx, [&] { return l.seen == 1; }));
}

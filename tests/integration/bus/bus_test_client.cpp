// A small bus client for the integration tests, built on the client library the way the applets
// use it. Every line it prints is flushed at once.
//
//   bus_test_client serve NAME            object NAME: echo (replies with the message), hold (never
//                                         answers), notify (passes the message to subscribers as
//                                         an "event" notification); prints "ready"
//   bus_test_client subscribe NAME        subscriber of NAME; prints "event <json>" per
//                                         notification and "removed" when NAME goes away
//   bus_test_client reconnect-listen PAT  listens for PAT; on a lost connection reconnects as an
//                                         applet does (at once, then every 1000 ms); prints
//                                         "listening", "lost", "reconnected", and each event
//   bus_test_client send-seq TYPE N       sends N events TYPE {"n": i}, i = 0..N-1
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <libubox/blobmsg_json.h>
#include <libubox/uloop.h>
#include <libubus.h>

namespace {

ubus_context *g_ctx;
const char *g_socket;

void say(const std::string &line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::string json(blob_attr *msg)
{
    char *s = blobmsg_format_json(msg, true);
    std::string out = s ? s : "{}";
    std::free(s);
    return out;
}

// --- serve ------------------------------------------------------------------------------------

ubus_object g_served;
ubus_request_data g_held;

int echo_cb(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *msg)
{
    ubus_send_reply(ctx, req, msg);
    return UBUS_STATUS_OK;
}

int hold_cb(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *)
{
    ubus_defer_request(ctx, req, &g_held);
    return UBUS_STATUS_OK;
}

int notify_cb(ubus_context *ctx, ubus_object *obj, ubus_request_data *, const char *, blob_attr *msg)
{
    return ubus_notify(ctx, obj, "event", msg, -1);
}

const ubus_method g_methods[] = {
    UBUS_METHOD_NOARG("echo", echo_cb),
    UBUS_METHOD_NOARG("hold", hold_cb),
    UBUS_METHOD_NOARG("notify", notify_cb),
};
ubus_object_type g_type = UBUS_OBJECT_TYPE("test", g_methods);

int serve(const char *name)
{
    g_served.name = name;
    g_served.type = &g_type;
    g_served.methods = g_methods;
    g_served.n_methods = static_cast<int>(ARRAY_SIZE(g_methods));
    int rc = ubus_add_object(g_ctx, &g_served);
    if (rc != UBUS_STATUS_OK) {
        say(std::string("add failed: ") + ubus_strerror(rc));
        return 1;
    }
    ubus_add_uloop(g_ctx);
    say("ready");
    uloop_run();
    return 0;
}

// --- subscribe --------------------------------------------------------------------------------

ubus_subscriber g_sub;

int note_cb(ubus_context *, ubus_object *, ubus_request_data *, const char *method, blob_attr *msg)
{
    say(std::string(method) + " " + json(msg));
    return 0;
}

void removed_cb(ubus_context *, ubus_subscriber *, uint32_t) { say("removed"); }

int subscribe(const char *name)
{
    g_sub.cb = note_cb;
    g_sub.remove_cb = removed_cb;
    uint32_t id = 0;
    if (ubus_register_subscriber(g_ctx, &g_sub) != UBUS_STATUS_OK || ubus_lookup_id(g_ctx, name, &id) != 0 ||
        ubus_subscribe(g_ctx, &g_sub, id) != UBUS_STATUS_OK) {
        say("subscribe failed");
        return 1;
    }
    ubus_add_uloop(g_ctx);
    say("subscribed");
    uloop_run();
    return 0;
}

// --- reconnect-listen ---------------------------------------------------------------------------

ubus_event_handler g_listener;
uloop_timeout g_retry;

void event_cb(ubus_context *, ubus_event_handler *, const char *type, blob_attr *msg)
{
    say(std::string(type) + " " + json(msg));
}

void reconnect(uloop_timeout *)
{
    if (ubus_reconnect(g_ctx, g_socket) != UBUS_STATUS_OK) {
        uloop_timeout_set(&g_retry, 1000);
        return;
    }
    ubus_add_uloop(g_ctx);
    say("reconnected");
}

void lost_cb(ubus_context *)
{
    say("lost");
    reconnect(&g_retry);
}

int reconnect_listen(const char *pattern)
{
    g_retry.cb = reconnect;
    g_ctx->connection_lost = lost_cb;
    g_listener.cb = event_cb;
    if (ubus_register_event_handler(g_ctx, &g_listener, pattern) != UBUS_STATUS_OK) {
        say("register failed");
        return 1;
    }
    ubus_add_uloop(g_ctx);
    say("listening");
    uloop_run();
    return 0;
}

// --- send-seq ---------------------------------------------------------------------------------

int send_seq(const char *type, long n)
{
    blob_buf b{};
    for (long i = 0; i < n; ++i) {
        blob_buf_init(&b, 0);
        blobmsg_add_u32(&b, "n", static_cast<uint32_t>(i));
        int rc = ubus_send_event(g_ctx, type, b.head);
        if (rc != UBUS_STATUS_OK) {
            say(std::string("send failed: ") + ubus_strerror(rc));
            blob_buf_free(&b);
            return 1;
        }
    }
    blob_buf_free(&b);
    say("sent");
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s serve|subscribe|reconnect-listen|send-seq ARG [N]\n", argv[0]);
        return 2;
    }
    g_socket = std::getenv("BUS_SOCKET");
    signal(SIGPIPE, SIG_IGN);
    uloop_init();
    g_ctx = ubus_connect(g_socket);
    if (!g_ctx) {
        say("connect failed");
        return 1;
    }
    std::string mode = argv[1];
    int rc = 2;
    if (mode == "serve")
        rc = serve(argv[2]);
    else if (mode == "subscribe")
        rc = subscribe(argv[2]);
    else if (mode == "reconnect-listen")
        rc = reconnect_listen(argv[2]);
    else if (mode == "send-seq" && argc == 4)
        rc = send_seq(argv[2], std::strtol(argv[3], nullptr, 10));
    ubus_free(g_ctx);
    uloop_done();
    return rc;
}

#include "common/bus.h"
#include "common/log.h"

#include <libubox/uloop.h>
#include <libubus.h>

namespace fb {

namespace {

// One retry timer for the listening connection: applets keep exactly one such connection.
struct Listener {
    ubus_context *ctx = nullptr;
    uloop_timeout retry{};
};
Listener g_listener;

void reconnect(ubus_context *ctx);

void retry_cb(uloop_timeout *)
{
    if (g_listener.ctx)
        reconnect(g_listener.ctx);
}

void reconnect(ubus_context *ctx)
{
    if (ubus_reconnect(ctx, nullptr) == 0) {
        // The library restores the handlers and objects registered on this context.
        ubus_add_uloop(ctx);
        FB_LOG_DEBUG("ubus reconnected");
        return;
    }
    g_listener.retry.cb = retry_cb;
    uloop_timeout_set(&g_listener.retry, 1000);
}

void on_connection_lost(ubus_context *ctx)
{
    reconnect(ctx);
}

} // namespace

ubus_context *bus_connect_send()
{
    ubus_context *ctx = ubus_connect(nullptr);
    if (!ctx)
        FB_LOG_ERR("send_sock connect failed");
    return ctx;
}

ubus_context *bus_connect_listen()
{
    ubus_context *ctx = ubus_connect(nullptr);
    if (!ctx) {
        FB_LOG_ERR("rev_sock connect failed");
        return nullptr;
    }
    ctx->connection_lost = on_connection_lost;
    ubus_add_uloop(ctx);
    g_listener.ctx = ctx;
    return ctx;
}

int bus_register_event(ubus_context *ctx, ubus_event_handler *handler, const char *pattern)
{
    int ret = ubus_register_event_handler(ctx, handler, pattern);
    if (ret != 0) {
        ubus_remove_object(ctx, &handler->obj);
        FB_LOG_ERR("register event failed.\n");
    }
    return ret;
}

void bus_free(ubus_context *ctx)
{
    if (!ctx)
        return;
    if (ctx == g_listener.ctx) {
        uloop_timeout_cancel(&g_listener.retry);
        g_listener.ctx = nullptr;
    }
    ubus_free(ctx);
}

} // namespace fb

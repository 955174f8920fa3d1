// The applet body shared by the transports: start-up order, bus glue, signals, loop.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <libubox/uloop.h>
#include <libubus.h>
#include <openssl/evp.h>
#include <uci.h>

#include "common/bus.h"
#include "common/daemon.h"
#include "common/log.h"
#include "transport/engine.h"

namespace transport {

namespace {

struct Handler {
    ubus_event_handler ev; // first member: the bus library hands back a pointer to it
    Engine *engine;
};

void on_bus_event(ubus_context *, ubus_event_handler *ev, const char *type, blob_attr *msg)
{
    reinterpret_cast<Handler *>(ev)->engine->on_event(type, msg);
}

// What the signal actions reach; they run on the loop while run_transport is on the stack.
Engine *g_engine = nullptr;
uci_context *g_uci = nullptr;

struct UciContext {
    uci_context *ctx;
    ~UciContext()
    {
        if (ctx)
            uci_free_context(ctx);
    }
};

} // namespace

int run_transport(const Flavour &flavour, int argc, char **argv)
{
    const TransportNames &names = flavour.names();
    if (!fb::check_index_args(argc, argv))
        return 1;
    const int index = atoi(argv[1]);

    fb::openlog_applet(names.applet);
    // Signals are recorded by their handlers and acted on by the loop, which must exist first.
    uloop_init();
    fb::SignalActions actions;
    actions.install_usr2 = false;
    actions.on_term = [] {
        if (g_uci)
            uci_free_context(g_uci);
        g_uci = nullptr;
        if (g_engine)
            g_engine->on_term();
        else
            FB_LOG_DEBUG("Signal SIGTERM receive");
    };
    actions.on_usr1 = [] {
        if (g_engine)
            g_engine->on_usr1();
    };
    fb::install_signals(actions);
    FB_LOG_INFO("%s", names.start_line);

    UciContext uci{uci_alloc_context()};
    // From here the context belongs to whichever comes first: SIGTERM or the end of this function.
    if (!uci.ctx) {
        FB_LOG_ERR("memory error in %s, %s:%d", names.source, names.fn_main, names.line_main_uci);
        return -1;
    }
    g_uci = uci.ctx;

    TransportConfig cfg;
    if (!conf_init(flavour, index, cfg)) {
        FB_LOG_ERR("load configuration failed");
        g_uci = nullptr;
        return -1;
    }

    Engine engine(flavour, cfg);
    if (!engine.start_cache()) {
        FB_LOG_ERR("database init failed");
        g_uci = nullptr;
        return -1;
    }
    if (cfg.protocol == Protocol::Gcloud)
        OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);

    const int code = static_cast<int>(cfg.protocol);
    if (code < 1 || code > 5) {
        FB_LOG_ERR("unkonw protocol(%d)", code);
        g_uci = nullptr;
        return -1;
    }
    g_engine = &engine;
    if (!engine.open_server()) {
        g_uci = nullptr;
        return -1;
    }

    ubus_context *bus = fb::bus_connect_listen();
    if (!bus) {
        g_engine = nullptr;
        g_uci = nullptr;
        return -1;
    }
    Handler handler{};
    handler.ev.cb = on_bus_event;
    handler.engine = &engine;
    if (fb::bus_register_event(bus, &handler.ev, names.read_event) == 0) {
        if (cfg.combined() || cfg.protocol == Protocol::Http)
            fb::bus_register_event(bus, &handler.ev, names.scan_end_event);
    }
    engine.start_timer();

    uloop_run();
    uloop_done();
    g_engine = nullptr;
    fb::bus_free(bus);
    g_uci = nullptr;
    return 0;
}

} // namespace transport

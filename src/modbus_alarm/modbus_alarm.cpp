#include "modbus_alarm/modbus_alarm.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include <libubox/blobmsg.h>
#include <libubox/uloop.h>
#include <libubus.h>
#include <librouter.h>
#include <uci.h>

#include "common/bus.h"
#include "common/daemon.h"
#include "common/log.h"
#include "modbus_alarm/alarm_actions.h"
#include "modbus_alarm/alarm_config.h"
#include "modbus_alarm/alarm_eval.h"
#include "modbus_alarm/alarm_reading.h"

namespace
{

constexpr const char *kConfigPath = "/etc/config/applications/modbus_alarm";
// Line of the memory-error report when the UCI context cannot be allocated.
constexpr int kLineUciAlloc = 1143;

mba::AlarmConfig g_config;
mba::ActionRunner g_runner;

void mba_ubus_event_cb(struct ubus_context *, struct ubus_event_handler *, const char *type, struct blob_attr *msg)
{
    mba::mba_handle_event(g_config, type, msg, g_runner);
}

} // namespace

int modbus_alarm_main(int argc, char **argv)
{
    (void)argc;
    fb::openlog_applet(lib_basename(argv[0]));
    uloop_init();
    fb::SignalActions signals;
    signals.on_term = [] {
        FB_LOG_INFO("Signal SIGTERM receive");
        g_config = mba::AlarmConfig{};
    };
    signals.install_pipe = false;
    signals.install_usr2 = false;
    fb::install_signals(signals);
    FB_LOG_INFO("Modbus Alarm started");

    struct uci_context *uci = uci_alloc_context();
    if (!uci) {
        FB_LOG_ERR("memory error in %s, %s:%d", mba::kSourceName, "modbus_alarm_main", kLineUciAlloc);
        uloop_done();
        return -1;
    }
    bool loaded = false;
    {
        std::unique_ptr<char, decltype(&free)> serial(usi_get("system.serial_number"), &free);
        if (!serial || !*serial.get()) {
            FB_LOG_ERR("can no get devices serial number");
        } else {
            g_config.serial_number = serial.get();
            loaded = mba::mba_conf_init(g_config, kConfigPath);
        }
    }
    if (!loaded) {
        FB_LOG_ERR("load configuration failed");
        g_config = mba::AlarmConfig{};
        uci_free_context(uci);
        uloop_done();
        return -1;
    }

    struct ubus_context *ctx = fb::bus_connect_listen();
    if (!ctx) {
        g_config = mba::AlarmConfig{};
        uci_free_context(uci);
        uloop_done();
        return -1;
    }
    static struct ubus_event_handler handler;
    memset(&handler, 0, sizeof handler);
    handler.cb = mba_ubus_event_cb;
    fb::bus_register_event(ctx, &handler, "mb_read_data");

    uloop_run();
    uloop_done();
    fb::bus_free(ctx);
    g_config = mba::AlarmConfig{};
    uci_free_context(uci);
    return 0;
}

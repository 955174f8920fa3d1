// The applet frame: arguments, signals, configuration, bus connections, timers and the event loop,
// plus the thin bus layer (events out, write requests in) around the Poller.
#include "modbus_poll/modbus_poll.h"

#include "common/bus.h"
#include "common/daemon.h"
#include "common/log.h"
#include "modbus_poll/poller.h"

#include <libubox/blobmsg.h>
#include <libubox/uloop.h>
#include <librouter.h>
#include <libubus.h>
#include <uci.h>

#include <cstdlib>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <cstring>
#include <string>
#include <vector>

namespace mbp
{

namespace
{

class BusPublisher : public Publisher
{
  public:
    BusPublisher() = default;
    void set_context(ubus_context *ctx) { ctx_ = ctx; }
    ~BusPublisher() override { blob_buf_free(&buf_); }
    BusPublisher(const BusPublisher &) = delete;
    BusPublisher &operator=(const BusPublisher &) = delete;

    void read_data(const Channel &ch, int register_addr, uint32_t timestamp, const char *data) override
    {
        blob_buf_init(&buf_, 0);
        blobmsg_add_u32(&buf_, "connection_index", ch.connection_id);
        blobmsg_add_u32(&buf_, "channel_index", ch.id);
        blobmsg_add_u32(&buf_, "slave_id", ch.slave_id);
        blobmsg_add_u32(&buf_, "func_code", ch.func_code);
        blobmsg_add_u32(&buf_, "register_addr", uint32_t(register_addr));
        blobmsg_add_u32(&buf_, "timestamp", timestamp);
        blobmsg_add_string(&buf_, "data", data);
        ubus_send_event(ctx_, "mb_read_data", buf_.head);
        FB_LOG_VERBOSE("connection_index:%d channel_index:%d slave_id:%d func_code:%d register_addr:%d value:%s",
                       ch.connection_id, ch.id, ch.slave_id, ch.func_code, register_addr, data);
    }

    void scan_end(int connection_id, int scan_end) override
    {
        blob_buf_init(&buf_, 0);
        blobmsg_add_u32(&buf_, "connection_index", uint32_t(connection_id));
        blobmsg_add_u32(&buf_, "scan_end", uint32_t(scan_end));
        ubus_send_event(ctx_, "mb_scan_end", buf_.head);
    }

    void poll_status(int connection_id, uint8_t kind, uint32_t timestamp, const char *text, const Channel *ch,
                     int register_addr) override
    {
        blob_buf_init(&buf_, 0);
        blobmsg_add_u32(&buf_, "connection_index", uint32_t(connection_id));
        blobmsg_add_string(&buf_, "connection_type", modbus::link_kind_text(kind));
        blobmsg_add_u32(&buf_, "timestamp", timestamp);
        blobmsg_add_string(&buf_, "error_status", text);
        if (ch) {
            blobmsg_add_u32(&buf_, "channel_index", ch->id);
            blobmsg_add_u32(&buf_, "slave_id", ch->slave_id);
            blobmsg_add_u32(&buf_, "func_code", ch->func_code);
            blobmsg_add_u32(&buf_, "register_addr", uint32_t(register_addr));
        }
        ubus_send_event(ctx_, "mb_poll_status", buf_.head);
    }

  private:
    ubus_context *ctx_ = nullptr;
    blob_buf buf_{};
};

// The one poller of this process, reached from the C callbacks of the loop and the bus.
Poller *g_poller = nullptr;
Config *g_conf = nullptr;
uloop_timeout g_scan_timer{};
uloop_timeout g_tick_timer{};

void on_scan_timer(uloop_timeout *t)
{
    g_poller->on_scan_timer();
    uloop_timeout_set(t, int(g_conf->scan_rate));
}

void on_tick_timer(uloop_timeout *t)
{
    g_poller->on_tick();
    uloop_timeout_set(t, 1000);
}

// Writes never overlap a scan (both run on the loop), but a poll that starts while one is marked
// in progress waits for it; the mark is dropped on every way out.
struct WriteMark {
    WriteMark() { g_conf->link.write_in_progress = true; }
    ~WriteMark() { g_conf->link.write_in_progress = false; }
};

void on_write_data(ubus_context *, ubus_event_handler *, const char *type, blob_attr *msg)
{
    if (!msg || !g_poller || !g_conf->link.is_open())
        return;
    if (strcmp(type, "mb_write_data") != 0) {
        FB_LOG_INFO("unkonw event");
        return;
    }
    enum { conn, slave, func, reg, endian, value, count };
    static const blobmsg_policy policy[count] = {
        {"connection_index", BLOBMSG_TYPE_INT32}, {"slave_id", BLOBMSG_TYPE_INT32}, {"func_code", BLOBMSG_TYPE_INT32},
        {"reg_addr", BLOBMSG_TYPE_INT32},         {"endian", BLOBMSG_TYPE_STRING},  {"value", BLOBMSG_TYPE_STRING},
    };
    blob_attr *tb[count];
    if (blobmsg_parse(policy, count, tb, blob_data(msg), blob_len(msg)) != 0) {
        FB_LOG_ERR("Parse blob msg failed");
        return;
    }
    for (blob_attr *a : tb)
        if (!a) {
            FB_LOG_ERR("blob msg format error");
            return;
        }
    g_poller->write_data(int32_t(blobmsg_get_u32(tb[conn])), int32_t(blobmsg_get_u32(tb[slave])),
                         int32_t(blobmsg_get_u32(tb[func])), int32_t(blobmsg_get_u32(tb[reg])),
                         blobmsg_get_string(tb[endian]), blobmsg_get_string(tb[value]));
}

// Collects the texts of a string array; false when an element is not a string.
bool string_array(blob_attr *array, std::vector<std::string> &out)
{
    blob_attr *cur;
    size_t rem;
    blobmsg_for_each_attr(cur, array, rem)
    {
        if (blobmsg_type(cur) != BLOBMSG_TYPE_STRING)
            return false;
        out.emplace_back(blobmsg_get_string(cur));
    }
    return true;
}

size_t element_count(blob_attr *array)
{
    size_t n = 0;
    blob_attr *cur;
    size_t rem;
    blobmsg_for_each_attr(cur, array, rem)++ n;
    return n;
}

void mbp_ubus_probe_ch_event(ubus_context *, ubus_event_handler *, const char *, blob_attr *msg)
{
    if (!msg || !g_poller || !g_conf->link.is_open())
        return;
    WriteMark mark;
    enum { conn, chanids, values, count };
    static const blobmsg_policy policy[count] = {
        {"connection_index", BLOBMSG_TYPE_INT32},
        {"chanids", BLOBMSG_TYPE_ARRAY},
        {"values", BLOBMSG_TYPE_ARRAY},
    };
    blob_attr *tb[count];
    if (blobmsg_parse(policy, count, tb, blob_data(msg), blob_len(msg)) != 0) {
        FB_LOG_ERR("Parse blob msg failed");
        return;
    }
    for (blob_attr *a : tb)
        if (!a) {
            FB_LOG_ERR("blob msg format error");
            return;
        }
    if (element_count(tb[chanids]) != element_count(tb[values])) {
        FB_LOG_ERR("blob msg format error, channel_indexs and values length doesn't match");
        return;
    }
    std::vector<std::string> ids, texts;
    if (!string_array(tb[chanids], ids) || !string_array(tb[values], texts)) {
        FB_LOG_ERR("values format error");
        return;
    }
    g_poller->write_channels(int32_t(blobmsg_get_u32(tb[conn])), ids, texts);
}

ubus_event_handler g_write_data_handler{};
ubus_event_handler g_write_channel_handler{};

} // namespace

} // namespace mbp

int modbus_poll_main(int argc, char **argv)
{
    using namespace mbp;
    if (!fb::check_type_index_args(argc, argv))
        return 1;
    // The syslog identity is the applet's name, however the program was reached.
    fb::openlog_applet(lib_basename(argv[0]));
    uloop_init();
    fb::SignalActions actions;
    actions.on_term = [] {
        if (g_poller)
            g_poller->on_terminate();
    };
    actions.on_usr1 = [] {
        if (g_poller)
            g_poller->on_status_request();
    };
    actions.on_usr2 = [] {
        if (g_poller)
            g_poller->on_uplink_changed();
    };
    fb::install_signals(actions);
    FB_LOG_INFO("Modbus Poll started");

    uci_context *uci = fb::alloc_uci_context();
    if (!uci)
        return -1;
    Config conf;
    if (!mbp_conf_init(conf, argv[1], strtol(argv[2], nullptr, 10))) {
        FB_LOG_ERR("load configuration failed");
        uci_free_context(uci);
        return -1;
    }
    g_conf = &conf;
#ifdef __GLIBC__
    // The parsed configuration document is gone: give its memory back instead of keeping it
    // resident for the life of the daemon.
    malloc_trim(0);
#endif
    BusPublisher publisher;
    Poller poller(conf, publisher);
    poller.write_status_rows();

    ubus_context *send_ctx = fb::bus_connect_send();
    ubus_context *recv_ctx = send_ctx ? fb::bus_connect_listen() : nullptr;
    if (!send_ctx || !recv_ctx) {
        fb::bus_free(send_ctx);
        uci_free_context(uci);
        uloop_done();
        return -1;
    }
    publisher.set_context(send_ctx);
    g_poller = &poller;

    g_write_data_handler.cb = on_write_data;
    fb::bus_register_event(recv_ctx, &g_write_data_handler, "mb_write_data");
    g_write_channel_handler.cb = mbp_ubus_probe_ch_event;
    fb::bus_register_event(recv_ctx, &g_write_channel_handler, "mb_write_channel");

    g_scan_timer.cb = on_scan_timer;
    g_tick_timer.cb = on_tick_timer;
    poller.restart_scan_timer = [&conf] {
        uloop_timeout_cancel(&g_scan_timer);
        uloop_timeout_set(&g_scan_timer, int(conf.scan_rate));
    };
    poller.start();
    uloop_timeout_set(&g_scan_timer, int(conf.scan_rate));
    uloop_timeout_set(&g_tick_timer, 1000);
    uloop_run();

    uloop_timeout_cancel(&g_scan_timer);
    uloop_timeout_cancel(&g_tick_timer);
    g_poller = nullptr;
    uloop_done();
    fb::bus_free(recv_ctx);
    fb::bus_free(send_ctx);
    uci_free_context(uci);
    return 0;
}

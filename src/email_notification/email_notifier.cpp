#include "email_notification/email_notifier.h"

#include <syslog.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include <libubox/blobmsg.h>
#include <libubox/uloop.h>
#include <libubus.h>
#include <librouter.h>
#include <uci.h>

#include "common/daemon.h"
#include "common/log.h"
#include "email_notification/mail_config.h"
#include "email_notification/mail_delivery.h"
#include "email_notification/mail_queue.h"

namespace
{

constexpr int kTimerMs = 5000;
// Lines of the memory-error reports, part of the log vocabulary.
constexpr int kLineConfigInit = 255;
constexpr int kLineTimer = 188;

email::MailConfig g_config;
email::MailQueue g_queue;
struct uloop_timeout g_timer;
struct ubus_subscriber g_subscriber;

enum { kName, kContent, kTimestamp, kLevel, kMessage, kFieldCount };

const struct blobmsg_policy kNotifyPolicy[kFieldCount] = {
    {"name", BLOBMSG_TYPE_STRING},  {"content", BLOBMSG_TYPE_STRING}, {"timestamp", BLOBMSG_TYPE_STRING},
    {"level", BLOBMSG_TYPE_STRING}, {"message", BLOBMSG_TYPE_STRING},
};

const char *field(struct blob_attr *tb[], int i)
{
    return tb[i] ? blobmsg_get_string(tb[i]) : nullptr;
}

int eventd_notify_cb(struct ubus_context *, struct ubus_object *, struct ubus_request_data *, const char *,
                     struct blob_attr *msg)
{
    struct blob_attr *tb[kFieldCount] = {};
    if (msg)
        blobmsg_parse(kNotifyPolicy, kFieldCount, tb, blob_data(msg), blob_len(msg));
    email::Notification n;
    n.name = field(tb, kName);
    n.content = field(tb, kContent);
    n.timestamp = field(tb, kTimestamp);
    n.level = field(tb, kLevel);
    n.message = field(tb, kMessage);
    return g_queue.notify(g_config, n) == 0 ? UBUS_STATUS_OK : UBUS_STATUS_INVALID_ARGUMENT;
}

void eventd_remove_cb(struct ubus_context *, struct ubus_subscriber *, uint32_t)
{
    FB_LOG_ERR("eventd exit");
}

void email_timer_cb(struct uloop_timeout *t)
{
    if (!g_queue.empty()) {
        struct uci_context *uci = uci_alloc_context();
        if (!uci) {
            FB_LOG_ERR("memory error in %s, %s:%d", email::kSourceName, "email_timer_cb", kLineTimer);
        } else {
            std::unique_ptr<char, decltype(&free)> ip(usi_get("active_link.ip"), &free);
            // Without an uplink address the mails wait for a later tick.
            if (ip && *ip.get())
                g_queue.send_all(g_config, email::send_mail);
            uci_free_context(uci);
        }
    }
    uloop_timeout_set(t, kTimerMs);
}

} // namespace

int email_notifier_main(int argc, char **argv)
{
    (void)argc;
    fb::openlog_applet(lib_basename(argv[0]));
    uloop_init();
    fb::SignalActions signals;
    signals.on_term = [] {
        if (logenable)
            syslog(LOG_NOTICE, "receive SIGTERM, exit");
        g_queue.clear();
        g_config = email::MailConfig{};
    };
    signals.install_pipe = false;
    signals.install_usr1 = false;
    signals.install_usr2 = false;
    fb::install_signals(signals);
    FB_LOG_INFO("Email Notification started");

    struct uci_context *uci = uci_alloc_context();
    if (!uci) {
        FB_LOG_ERR("memory error in %s, %s:%d", email::kSourceName, "config_init", kLineConfigInit);
        uloop_done();
        return 1;
    }
    bool loaded = email::config_init(g_config);
    uci_free_context(uci);
    if (!loaded) {
        uloop_done();
        return 1;
    }

    struct ubus_context *ctx = ubus_connect(nullptr);
    if (!ctx) {
        FB_LOG_ERR("failed to connect to ubus");
        uloop_done();
        return 1;
    }
    ubus_add_uloop(ctx);
    memset(&g_subscriber, 0, sizeof g_subscriber);
    g_subscriber.cb = eventd_notify_cb;
    g_subscriber.remove_cb = eventd_remove_cb;
    int ret = ubus_register_subscriber(ctx, &g_subscriber);
    uint32_t eventd_id = 0;
    if (ret != 0) {
        FB_LOG_ERR("ubus_register_subscriber failed");
    } else if (ubus_lookup_id(ctx, "eventd", &eventd_id) != 0) {
        FB_LOG_ERR("ubus_loojup_id failed");
        ret = -1;
    } else if ((ret = ubus_subscribe(ctx, &g_subscriber, eventd_id)) != 0) {
        FB_LOG_ERR("failed to subscribe: %s", ubus_strerror(ret));
    }
    if (ret != 0) {
        ubus_free(ctx);
        uloop_done();
        return 1;
    }

    memset(&g_timer, 0, sizeof g_timer);
    g_timer.cb = email_timer_cb;
    uloop_timeout_set(&g_timer, kTimerMs);
    uloop_run();
    uloop_timeout_cancel(&g_timer);
    ubus_free(ctx);
    uloop_done();
    g_queue.clear();
    g_config = email::MailConfig{};
    return 0;
}

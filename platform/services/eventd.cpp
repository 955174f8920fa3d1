// eventd stand-in: object "eventd" with method "event". Each accepted event is logged, stored in
// the status store (list "eventd.event") and passed on to the object's subscribers as an "event"
// notification carrying the same fields, which is what the e-mail notifier listens for.
#include <libubus.h>

#include "service.h"

using namespace fb::services;

namespace {

enum { EV_NAME, EV_CONTENT, EV_TIMESTAMP, EV_LEVEL, EV_MESSAGE, __EV_MAX };

const blobmsg_policy event_policy[__EV_MAX] = {
    {"name", BLOBMSG_TYPE_STRING},
    {"content", BLOBMSG_TYPE_STRING},
    {"timestamp", BLOBMSG_TYPE_STRING},
    {"level", BLOBMSG_TYPE_STRING},
    {"message", BLOBMSG_TYPE_STRING},
};

int event_cb(ubus_context *ctx, ubus_object *obj, ubus_request_data *, const char *, blob_attr *msg)
{
    blob_attr *tb[__EV_MAX];
    int missing = parse_request(event_policy, __EV_MAX, EV_MESSAGE, msg, tb);
    if (missing >= 0) {
        log_line("event rejected: field %s missing or not a string", event_policy[missing].name);
        return UBUS_STATUS_INVALID_ARGUMENT;
    }
    const char *name = blobmsg_get_string(tb[EV_NAME]);
    const char *content = blobmsg_get_string(tb[EV_CONTENT]);
    const char *timestamp = blobmsg_get_string(tb[EV_TIMESTAMP]);
    const char *level = blobmsg_get_string(tb[EV_LEVEL]);
    const char *message = tb[EV_MESSAGE] ? blobmsg_get_string(tb[EV_MESSAGE]) : nullptr;
    log_line("event name=%s level=%s timestamp=%s content=%s%s%s", name, level, timestamp, content,
             message ? " message=" : "", message ? message : "");
    record("eventd.event", {{"name", name}, {"content", content}, {"timestamp", timestamp}, {"level", level},
                            {"message", message}});
    int rc = ubus_notify(ctx, obj, "event", msg, -1);
    if (rc != UBUS_STATUS_OK)
        log_line("notify failed: %s", ubus_strerror(rc));
    return UBUS_STATUS_OK;
}

const ubus_method eventd_methods[] = {
    UBUS_METHOD("event", event_cb, event_policy),
};

ubus_object_type eventd_type = UBUS_OBJECT_TYPE("eventd", eventd_methods);

ubus_object eventd_object = {
    .name = "eventd",
    .id = 0,
    .path = nullptr,
    .type = &eventd_type,
    .subscribe_cb = nullptr,
    .has_subscribers = false,
    .methods = eventd_methods,
    .n_methods = ARRAY_SIZE(eventd_methods),
};

} // namespace

int main(int argc, char **argv) { return service_main(argc, argv, "eventd", &eventd_object); }

// smsd stand-in: object "smsd" with method "sendsms" (phonenum, content). Nothing is sent; each
// request is logged and stored in the status store (list "smsd.sms").
#include <libubus.h>

#include "service.h"

using namespace fb::services;

namespace {

enum { SMS_PHONENUM, SMS_CONTENT, __SMS_MAX };

const blobmsg_policy sms_policy[__SMS_MAX] = {
    {"phonenum", BLOBMSG_TYPE_STRING},
    {"content", BLOBMSG_TYPE_STRING},
};

int sendsms_cb(ubus_context *, ubus_object *, ubus_request_data *, const char *, blob_attr *msg)
{
    blob_attr *tb[__SMS_MAX];
    int missing = parse_request(sms_policy, __SMS_MAX, __SMS_MAX, msg, tb);
    if (missing >= 0) {
        log_line("sendsms rejected: field %s missing or not a string", sms_policy[missing].name);
        return UBUS_STATUS_INVALID_ARGUMENT;
    }
    const char *phonenum = blobmsg_get_string(tb[SMS_PHONENUM]);
    const char *content = blobmsg_get_string(tb[SMS_CONTENT]);
    log_line("sendsms phonenum=%s content=%s", phonenum, content);
    record("smsd.sms", {{"phonenum", phonenum}, {"content", content}});
    return UBUS_STATUS_OK;
}

const ubus_method smsd_methods[] = {
    UBUS_METHOD("sendsms", sendsms_cb, sms_policy),
};

ubus_object_type smsd_type = UBUS_OBJECT_TYPE("smsd", smsd_methods);

ubus_object smsd_object = {
    .name = "smsd",
    .id = 0,
    .path = nullptr,
    .type = &smsd_type,
    .subscribe_cb = nullptr,
    .has_subscribers = false,
    .methods = smsd_methods,
    .n_methods = ARRAY_SIZE(smsd_methods),
};

} // namespace

int main(int argc, char **argv) { return service_main(argc, argv, "smsd", &smsd_object); }

// digital_io stand-in: object "digital_io" with method "do" (id, source, action). There is no
// output to drive; each request is logged and stored in the status store: the list
// "digital_io.do" keeps the history, "digital_io.output[<id>]" the last action per output.
#include <cstdlib>

#include <librouter.h>
#include <libubus.h>

#include "service.h"

using namespace fb::services;

namespace {

enum { DO_ID, DO_SOURCE, DO_ACTION, __DO_MAX };

const blobmsg_policy do_policy[__DO_MAX] = {
    {"id", BLOBMSG_TYPE_STRING},
    {"source", BLOBMSG_TYPE_STRING},
    {"action", BLOBMSG_TYPE_STRING},
};

// Output numbers are small positive integers ("1", "2"); anything else is refused rather than
// used as part of a status key.
int output_number(const char *id)
{
    char *end = nullptr;
    long n = std::strtol(id, &end, 10);
    if (!*id || *end || n < 1 || n > 64)
        return -1;
    return static_cast<int>(n);
}

int do_cb(ubus_context *, ubus_object *, ubus_request_data *, const char *, blob_attr *msg)
{
    blob_attr *tb[__DO_MAX];
    int missing = parse_request(do_policy, __DO_MAX, __DO_MAX, msg, tb);
    if (missing >= 0) {
        log_line("do rejected: field %s missing or not a string", do_policy[missing].name);
        return UBUS_STATUS_INVALID_ARGUMENT;
    }
    const char *id = blobmsg_get_string(tb[DO_ID]);
    const char *source = blobmsg_get_string(tb[DO_SOURCE]);
    const char *action = blobmsg_get_string(tb[DO_ACTION]);
    int output = output_number(id);
    if (output < 0) {
        log_line("do rejected: bad output id %s", id);
        return UBUS_STATUS_INVALID_ARGUMENT;
    }
    log_line("do id=%s source=%s action=%s", id, source, action);
    record("digital_io.do", {{"id", id}, {"source", source}, {"action", action}});
    usi_list_set("digital_io.output", output, "action", action);
    usi_list_set("digital_io.output", output, "source", source);
    return UBUS_STATUS_OK;
}

const ubus_method digital_io_methods[] = {
    UBUS_METHOD("do", do_cb, do_policy),
};

ubus_object_type digital_io_type = UBUS_OBJECT_TYPE("digital_io", digital_io_methods);

ubus_object digital_io_object = {
    .name = "digital_io",
    .id = 0,
    .path = nullptr,
    .type = &digital_io_type,
    .subscribe_cb = nullptr,
    .has_subscribers = false,
    .methods = digital_io_methods,
    .n_methods = ARRAY_SIZE(digital_io_methods),
};

} // namespace

int main(int argc, char **argv) { return service_main(argc, argv, "digital_io", &digital_io_object); }

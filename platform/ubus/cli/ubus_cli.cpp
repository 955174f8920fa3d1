// ubus: command-line access to the bus. send, call, listen, subscribe, list and wait_for.
// Output lines of listen and subscribe are flushed one by one, so they can be piped.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <libubox/blobmsg_json.h>
#include <libubox/uloop.h>
#include <libubus.h>

namespace {

struct Options {
    const char *socket = nullptr;
    int timeout_s = 30;
    bool timeout_given = false;
    bool simple = false;
    bool verbose = false;
};

Options g_opt;
bool g_lost = false;

void usage(const char *prog)
{
    std::fprintf(stderr,
                 "Usage: %s [<options>] <command> [arguments...]\n"
                 "Options:\n"
                 " -s <socket>:\t\tSet the unix domain socket to connect to\n"
                 " -t <timeout>:\t\tSet the timeout (in seconds) for a command to complete\n"
                 " -S:\t\t\tUse simplified output (for scripts)\n"
                 " -v:\t\t\tMore verbose output\n"
                 "\n"
                 "Commands:\n"
                 " - list [<path>]\t\t\tList objects\n"
                 " - call <path> <method> [<message>]\tCall an object method\n"
                 " - subscribe <path> [<path>...]\tSubscribe to object(s) notifications\n"
                 " - listen [<path>...]\t\t\tListen for events\n"
                 " - send <type> [<message>]\t\tSend an event\n"
                 " - wait_for <object> [<object>...]\tWait for multiple objects to appear on ubus\n"
                 "\n",
                 prog);
}

// Prints one line and flushes it at once: listeners are usually read through a pipe.
void print_line(const std::string &s)
{
    std::fwrite(s.data(), 1, s.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string json_text(blob_attr *msg, bool indent)
{
    char *s = indent ? blobmsg_format_json_indent(msg, true, 0) : blobmsg_format_json(msg, true);
    if (!s)
        return "{}";
    std::string out(s);
    std::free(s);
    return out;
}

// Fills b from the optional JSON argument; false (after a message) when it is not a JSON object.
bool message_from_arg(blob_buf *b, const char *arg)
{
    blob_buf_init(b, 0);
    if (arg && !blobmsg_add_json_from_string(b, arg)) {
        std::fprintf(stderr, "Failed to parse message data\n");
        return false;
    }
    return true;
}

void lost_cb(ubus_context *)
{
    g_lost = true;
    uloop_end();
}

const char *type_name(int type)
{
    switch (type) {
    case BLOBMSG_TYPE_STRING: return "String";
    case BLOBMSG_TYPE_INT64:
    case BLOBMSG_TYPE_INT32:
    case BLOBMSG_TYPE_INT16: return "Integer";
    case BLOBMSG_TYPE_INT8: return "Boolean";
    case BLOBMSG_TYPE_DOUBLE: return "Double";
    case BLOBMSG_TYPE_ARRAY: return "Array";
    case BLOBMSG_TYPE_TABLE: return "Table";
    default: return "(unknown)";
    }
}

void list_cb(ubus_context *, ubus_object_data *obj, void *)
{
    if (!g_opt.verbose) {
        print_line(obj->path);
        return;
    }
    char head[300];
    std::snprintf(head, sizeof(head), "'%s' @%08x", obj->path, obj->id);
    print_line(head);
    if (!obj->signature)
        return;
    blob_attr *method;
    std::size_t rem;
    blob_for_each_attr(method, obj->signature, rem) {
        std::string line = "\t\"";
        line += blobmsg_name(method);
        line += "\":{";
        blob_attr *arg;
        std::size_t arem;
        bool first = true;
        blobmsg_for_each_attr(arg, method, arem) {
            if (blobmsg_type(arg) != BLOBMSG_TYPE_INT32)
                continue;
            if (!first)
                line += ",";
            first = false;
            line += "\"";
            line += blobmsg_name(arg);
            line += "\":\"";
            line += type_name(static_cast<int>(blobmsg_get_u32(arg)));
            line += "\"";
        }
        line += "}";
        print_line(line);
    }
}

int cmd_list(ubus_context *ctx, int argc, char **argv)
{
    const char *path = argc > 0 ? argv[0] : nullptr;
    return ubus_lookup(ctx, path, list_cb, nullptr);
}

void call_data_cb(ubus_request *, int, blob_attr *msg)
{
    if (!msg)
        return;
    print_line(json_text(msg, !g_opt.simple));
}

int cmd_call(ubus_context *ctx, int argc, char **argv)
{
    if (argc < 2 || argc > 3)
        return -2;
    uint32_t id = 0;
    int rc = ubus_lookup_id(ctx, argv[0], &id);
    if (rc != UBUS_STATUS_OK)
        return rc;
    blob_buf b{};
    if (!message_from_arg(&b, argc > 2 ? argv[2] : nullptr)) {
        blob_buf_free(&b);
        return UBUS_STATUS_PARSE_ERROR;
    }
    rc = ubus_invoke(ctx, id, argv[1], b.head, call_data_cb, nullptr, g_opt.timeout_s * 1000);
    blob_buf_free(&b);
    return rc;
}

int cmd_send(ubus_context *ctx, int argc, char **argv)
{
    if (argc < 1 || argc > 2)
        return -2;
    blob_buf b{};
    if (!message_from_arg(&b, argc > 1 ? argv[1] : nullptr)) {
        blob_buf_free(&b);
        return UBUS_STATUS_PARSE_ERROR;
    }
    int rc = ubus_send_event(ctx, argv[0], b.head);
    blob_buf_free(&b);
    return rc;
}

void listen_cb(ubus_context *, ubus_event_handler *, const char *type, blob_attr *msg)
{
    print_line(std::string("{ \"") + type + "\": " + json_text(msg, false) + " }");
}

uloop_timeout g_stop_timer;

void stop_cb(uloop_timeout *) { uloop_end(); }

// Runs the loop until a signal, the -t timeout (when given) or the loss of the bus.
int run_loop(ubus_context *ctx)
{
    ctx->connection_lost = lost_cb;
    ubus_add_uloop(ctx);
    if (g_opt.timeout_given) {
        g_stop_timer.cb = stop_cb;
        uloop_timeout_set(&g_stop_timer, g_opt.timeout_s * 1000);
    }
    uloop_run();
    return g_lost ? UBUS_STATUS_CONNECTION_FAILED : UBUS_STATUS_OK;
}

int cmd_listen(ubus_context *ctx, int argc, char **argv)
{
    static ubus_event_handler listener;
    std::memset(&listener, 0, sizeof(listener));
    listener.cb = listen_cb;
    if (argc == 0) {
        int rc = ubus_register_event_handler(ctx, &listener, "*");
        if (rc != UBUS_STATUS_OK)
            return rc;
    }
    for (int i = 0; i < argc; ++i) {
        int rc = ubus_register_event_handler(ctx, &listener, argv[i]);
        if (rc != UBUS_STATUS_OK)
            return rc;
    }
    return run_loop(ctx);
}

int notify_cb(ubus_context *, ubus_object *, ubus_request_data *, const char *method, blob_attr *msg)
{
    print_line(std::string("{ \"") + method + "\": " + json_text(msg, false) + " }");
    return UBUS_STATUS_OK;
}

void remove_cb(ubus_context *, ubus_subscriber *, uint32_t id)
{
    if (g_opt.verbose)
        std::fprintf(stderr, "Object %08x went away\n", id);
}

int cmd_subscribe(ubus_context *ctx, int argc, char **argv)
{
    if (argc < 1)
        return -2;
    static ubus_subscriber sub;
    std::memset(&sub, 0, sizeof(sub));
    sub.cb = notify_cb;
    sub.remove_cb = remove_cb;
    int rc = ubus_register_subscriber(ctx, &sub);
    if (rc != UBUS_STATUS_OK)
        return rc;
    for (int i = 0; i < argc; ++i) {
        uint32_t id = 0;
        rc = ubus_lookup_id(ctx, argv[i], &id);
        if (rc == UBUS_STATUS_OK)
            rc = ubus_subscribe(ctx, &sub, id);
        if (rc != UBUS_STATUS_OK)
            return rc;
    }
    return run_loop(ctx);
}

int cmd_wait_for(ubus_context *ctx, int argc, char **argv)
{
    if (argc < 1)
        return -2;
    // Polls the lookup; objects appear within one poll interval.
    for (int elapsed = 0;; elapsed += 100) {
        bool all = true;
        for (int i = 0; i < argc && all; ++i) {
            uint32_t id;
            int rc = ubus_lookup_id(ctx, argv[i], &id);
            if (rc == UBUS_STATUS_CONNECTION_FAILED)
                return rc;
            all = rc == UBUS_STATUS_OK;
        }
        if (all)
            return UBUS_STATUS_OK;
        if (elapsed >= g_opt.timeout_s * 1000)
            return UBUS_STATUS_TIMEOUT;
        usleep(100 * 1000);
    }
}

struct Command {
    const char *name;
    int (*fn)(ubus_context *, int, char **);
};

const Command kCommands[] = {
    {"list", cmd_list},           {"call", cmd_call},     {"subscribe", cmd_subscribe},
    {"listen", cmd_listen},       {"send", cmd_send},     {"wait_for", cmd_wait_for},
};

} // namespace

int main(int argc, char **argv)
{
    const char *prog = argv[0];
    int opt;
    while ((opt = getopt(argc, argv, "+s:t:Sv")) != -1) {
        switch (opt) {
        case 's':
            g_opt.socket = optarg;
            break;
        case 't': {
            char *end = nullptr;
            long v = std::strtol(optarg, &end, 10);
            if (!end || *end || v < 0 || v > 86400) {
                usage(prog);
                return 1;
            }
            g_opt.timeout_s = static_cast<int>(v);
            g_opt.timeout_given = true;
            break;
        }
        case 'S':
            g_opt.simple = true;
            break;
        case 'v':
            g_opt.verbose = true;
            break;
        default:
            usage(prog);
            return 1;
        }
    }
    argc -= optind;
    argv += optind;
    if (argc < 1) {
        usage(prog);
        return 1;
    }
    // "ubus list -v" as well as "ubus -v list".
    std::vector<char *> args;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-v") == 0 && std::strcmp(argv[0], "list") == 0)
            g_opt.verbose = true;
        else
            args.push_back(argv[i]);
    }
    const Command *cmd = nullptr;
    for (const Command &c : kCommands)
        if (std::strcmp(c.name, argv[0]) == 0)
            cmd = &c;
    if (!cmd) {
        usage(prog);
        return 1;
    }

    signal(SIGPIPE, SIG_IGN);
    uloop_init();
    ubus_context *ctx = ubus_connect(g_opt.socket);
    if (!ctx) {
        std::fprintf(stderr, "Failed to connect to ubus\n");
        uloop_done();
        return 255;
    }
    int rc = cmd->fn(ctx, static_cast<int>(args.size()), args.data());
    ubus_free(ctx);
    uloop_done();
    if (rc == -2) {
        usage(prog);
        return 1;
    }
    if (rc != UBUS_STATUS_OK) {
        std::fprintf(stderr, "Command failed: %s\n", ubus_strerror(rc));
        return rc;
    }
    return 0;
}

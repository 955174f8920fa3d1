#include "service.h"

#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>

#include <libubox/uloop.h>
#include <librouter.h>

namespace fb::services {

namespace {

const char *g_name = "service";
ubus_context *g_ctx = nullptr;
ubus_object *g_obj = nullptr;
std::string g_socket;
bool g_have_socket = false;
uloop_timeout g_retry;
std::map<std::string, int> g_rows;

const char *socket_arg() { return g_have_socket ? g_socket.c_str() : nullptr; }

void reconnect_cb(uloop_timeout *)
{
    if (ubus_reconnect(g_ctx, socket_arg()) != UBUS_STATUS_OK) {
        uloop_timeout_set(&g_retry, 1000);
        return;
    }
    ubus_add_uloop(g_ctx);
    log_line("bus connection restored");
}

void lost_cb(ubus_context *)
{
    log_line("bus connection lost, reconnecting");
    reconnect_cb(&g_retry);
}

} // namespace

void log_open(const char *name)
{
    g_name = name;
    openlog(name, LOG_PID, LOG_USER);
}

void log_line(const char *fmt, ...)
{
    char text[2048];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof(text), fmt, ap);
    va_end(ap);
    syslog(LOG_INFO, "%s", text);
    std::fprintf(stderr, "%s[%d]: %s\n", g_name, static_cast<int>(getpid()), text);
    std::fflush(stderr);
}

bool bus_start(ubus_object *obj, const char *socket, int wait_ms)
{
    if (socket) {
        g_socket = socket;
        g_have_socket = true;
    }
    g_obj = obj;
    for (int waited = 0;; waited += 100) {
        g_ctx = ubus_connect(socket_arg());
        if (g_ctx || waited >= wait_ms)
            break;
        usleep(100 * 1000);
    }
    if (!g_ctx) {
        log_line("cannot connect to the bus");
        return false;
    }
    int rc = ubus_add_object(g_ctx, obj);
    if (rc != UBUS_STATUS_OK) {
        log_line("cannot publish object %s: %s", obj->name, ubus_strerror(rc));
        ubus_free(g_ctx);
        g_ctx = nullptr;
        return false;
    }
    g_retry.cb = reconnect_cb;
    g_ctx->connection_lost = lost_cb;
    ubus_add_uloop(g_ctx);
    return true;
}

ubus_context *bus_context() { return g_ctx; }

void record(const char *list, std::initializer_list<Field> fields)
{
    std::string key = std::string(list) + "_count";
    auto it = g_rows.find(list);
    if (it == g_rows.end()) {
        // A restarted service continues the numbering instead of overwriting the newest rows.
        char *stored = usi_get(key.c_str());
        int start = stored ? std::atoi(stored) : 0;
        std::free(stored);
        it = g_rows.emplace(list, start > 0 ? start : 0).first;
    }
    int &count = it->second;
    ++count;
    int row = (count - 1) % kHistoryRows + 1;
    for (const Field &f : fields)
        if (f.second)
            usi_list_set(list, row, f.first, f.second);
    usi_printf(key.c_str(), "%d", count);
}

int parse_request(const blobmsg_policy *policy, int n_policy, int n_required, blob_attr *msg, blob_attr **tb)
{
    if (!msg || blobmsg_parse(policy, n_policy, tb, blob_data(msg), blob_len(msg)) != 0)
        return 0;
    for (int i = 0; i < n_required; ++i)
        if (!tb[i])
            return i;
    return -1;
}

int service_main(int argc, char **argv, const char *name, ubus_object *obj)
{
    log_open(name);
    const char *socket = nullptr;
    int opt;
    while ((opt = getopt(argc, argv, "s:")) != -1) {
        if (opt == 's') {
            socket = optarg;
        } else {
            std::fprintf(stderr, "Usage: %s [-s SOCKET]\n", argv[0]);
            return 1;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    uloop_init();
    if (!bus_start(obj, socket, 5000)) {
        uloop_done();
        return 1;
    }
    log_line("%s started", name);
    uloop_run();
    ubus_free(g_ctx);
    g_ctx = nullptr;
    uloop_done();
    return 0;
}

} // namespace fb::services

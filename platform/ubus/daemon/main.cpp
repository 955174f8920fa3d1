// ubusd: the message bus daemon. Listens on a Unix socket (default /var/run/ubus/ubus.sock below
// $FIELDBRIDGE_ROOT) and routes events, method calls, replies and notifications between clients.
#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <libubox/uloop.h>
#include <libubus.h>

#include "buslog.h"
#include "fieldbridge/root.h"
#include "server.h"

static fb::bus::Server *g_server;

// SIGUSR1 asks for the statistics line; the loop runs this, not the signal handler.
static void stats_cb(uloop_signal *) { g_server->log_stats(); }

// SIGTERM and SIGINT end the loop, which then removes the socket file. Taken over before the
// socket appears, so that a signal arriving between start-up and the loop still ends cleanly.
static void stop_cb(uloop_signal *) { uloop_end(); }

static void usage(const char *prog)
{
    std::fprintf(stderr,
                 "Usage: %s [-s SOCKET] [-q BYTES]\n"
                 "  -s SOCKET  listen on SOCKET (default %s)\n"
                 "  -q BYTES   drop a client when this much output waits for it (default %zu)\n"
                 "SIGUSR1 logs client, object and traffic counts and why clients were dropped.\n",
                 prog, fb::root_path(UBUS_UNIX_SOCKET).c_str(), fb::bus::ServerLimits{}.max_queue_bytes);
}

int main(int argc, char **argv)
{
    fb::bus::log_open("ubusd");
    std::string path = fb::root_path(UBUS_UNIX_SOCKET);
    fb::bus::ServerLimits limits;
    int opt;
    while ((opt = getopt(argc, argv, "s:q:h")) != -1) {
        switch (opt) {
        case 's':
            path = optarg;
            break;
        case 'q': {
            char *end = nullptr;
            unsigned long long v = std::strtoull(optarg, &end, 10);
            if (!end || *end || v < 4096) {
                std::fprintf(stderr, "%s: -q needs a byte count of at least 4096\n", argv[0]);
                return 1;
            }
            limits.max_queue_bytes = static_cast<std::size_t>(v);
            break;
        }
        default:
            usage(argv[0]);
            return opt == 'h' ? 0 : 1;
        }
    }

    signal(SIGPIPE, SIG_IGN);
    uloop_init();
    uloop_signal term{}, intr{};
    term.cb = intr.cb = stop_cb;
    term.signo = SIGTERM;
    intr.signo = SIGINT;
    uloop_signal_add(&term);
    uloop_signal_add(&intr);
    int rc = 0;
    {
        fb::bus::Server server(limits);
        if (!server.listen(path)) {
            rc = 1;
        } else {
            server.attach();
            g_server = &server;
            uloop_signal stats{};
            stats.cb = stats_cb;
            stats.signo = SIGUSR1;
            uloop_signal_add(&stats);
            fb::bus::log_msg(LOG_INFO, "listening on %s", path.c_str());
            uloop_run();
            uloop_signal_delete(&stats);
            server.log_stats();
            fb::bus::log_msg(LOG_INFO, "shutting down");
            server.shutdown();
        }
    }
    uloop_signal_delete(&term);
    uloop_signal_delete(&intr);
    uloop_done();
    return rc;
}

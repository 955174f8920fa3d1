#include "common/daemon.h"
#include "common/log.h"
#include "common/stop_flag.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <libubox/uloop.h>
#include <librouter.h>
#include <uci.h>

namespace fb {

namespace {

// Self-pipe: handlers write the signal number, the loop reads and acts.
int g_pipe[2] = {-1, -1};
SignalActions g_actions;
uloop_fd g_signal_fd{};

// Signals that are only reported, as a daemon has no use for them.
constexpr int kLoggedOnly[] = {SIGHUP, SIGQUIT, SIGALRM};

void record_signal(int signo)
{
    int saved = errno;
    if (signo == SIGTERM)
        fb_stop_flag = 1;
    unsigned char b = static_cast<unsigned char>(signo);
    if (g_pipe[1] >= 0) {
        ssize_t ignored = write(g_pipe[1], &b, 1);
        (void)ignored;
    }
    errno = saved;
}

void install(int signo, void (*handler)(int))
{
    struct sigaction sa{};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: a blocking read or select in the middle of a transaction returns EINTR, so a
    // SIGTERM is acted on promptly instead of after the transaction's timeouts.
    sa.sa_flags = 0;
    sigaction(signo, &sa, nullptr);
}

void reap_children()
{
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    if (errno == ECHILD)
        errno = 0;
}

void act_on(int signo)
{
    switch (signo) {
    case SIGTERM:
        if (g_actions.on_term)
            g_actions.on_term();
        exit(0);
    case SIGCHLD:
        reap_children();
        break;
    case SIGPIPE:
        break;
    case SIGUSR1:
        if (g_actions.on_usr1) {
            g_actions.on_usr1();
            break;
        }
        FB_LOG_DEBUG("Signal (%d)", signo);
        break;
    case SIGUSR2:
        if (g_actions.on_usr2) {
            g_actions.on_usr2();
            break;
        }
        FB_LOG_DEBUG("Signal (%d)", signo);
        break;
    default:
        FB_LOG_DEBUG("Signal (%d)", signo);
        break;
    }
}

void on_signal_pipe(uloop_fd *, unsigned int)
{
    dispatch_signals();
}

} // namespace

void openlog_applet(const char *name)
{
    int options = LOG_PID;
    const char *mirror = getenv("FIELDBRIDGE_LOG_STDERR");
    if (mirror && strcmp(mirror, "1") == 0)
        options |= LOG_PERROR;
    openlog(name, options, LOG_USER);
}

bool check_type_index_args(int argc, char **argv)
{
    if (argc != 3 || !lib_string_is_digit(argv[2])) {
        fprintf(stderr, "Usages: %s <Connection type> <Connection index>\n", argv[0]);
        return false;
    }
    return true;
}

bool check_index_args(int argc, char **argv)
{
    if (argc != 2 || !lib_string_is_digit(argv[1])) {
        fprintf(stderr, "Usages: %s <Connection index>\n", argv[0]);
        return false;
    }
    return true;
}

void install_signals(const SignalActions &actions)
{
    g_actions = actions;
    if (g_pipe[0] < 0) {
        if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            FB_LOG_ERR("signal pipe: %s", strerror(errno));
            return;
        }
        g_signal_fd.fd = g_pipe[0];
        g_signal_fd.cb = on_signal_pipe;
        uloop_fd_add(&g_signal_fd, ULOOP_READ);
    }
    // The loop's own child handling would race with ours for the exit statuses.
    uloop_handle_sigchld = false;
    install(SIGTERM, record_signal);
    install(SIGCHLD, record_signal);
    if (actions.install_pipe)
        install(SIGPIPE, record_signal);
    if (actions.install_usr1)
        install(SIGUSR1, record_signal);
    if (actions.install_usr2)
        install(SIGUSR2, record_signal);
    for (int s : kLoggedOnly)
        install(s, record_signal);
}

bool stop_requested()
{
    return fb_stop_flag != 0;
}

void dispatch_signals()
{
    if (g_pipe[0] < 0)
        return;
    unsigned char buf[64];
    ssize_t n;
    while ((n = read(g_pipe[0], buf, sizeof buf)) > 0) {
        // SIGTERM wins over everything queued with it: the applet is going away.
        for (ssize_t i = 0; i < n; ++i)
            if (buf[i] == SIGTERM)
                act_on(SIGTERM);
        for (ssize_t i = 0; i < n; ++i)
            act_on(buf[i]);
    }
}

struct uci_context *alloc_uci_context()
{
    struct uci_context *ctx = uci_alloc_context();
    if (!ctx)
        FB_LOG_ERR("uci alloc error");
    return ctx;
}

} // namespace fb

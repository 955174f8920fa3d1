// The start-up frame every applet shares: syslog identity, argument checks, signals recorded by
// their handlers and acted on from the event loop, and the UCI context.
#pragma once

#include <functional>

struct uci_context;

namespace fb {

// openlog(name, LOG_PID, LOG_USER); with FIELDBRIDGE_LOG_STDERR=1 every line is also written to
// standard error, which is how tests and people on a host read an applet's log.
void openlog_applet(const char *name);

// Pollers: exactly (connection type, connection index), the index made of digits. Prints
// "Usages: %s <Connection type> <Connection index>\n" and returns false otherwise.
bool check_type_index_args(int argc, char **argv);
// Applets that take only a connection index: "Usages: %s <Connection index>\n".
bool check_index_args(int argc, char **argv);

// What each signal means to an applet. A null action for SIGUSR1/SIGUSR2 means "log the signal";
// the `install_*` switches leave a signal at its default disposition, as some applets do.
struct SignalActions {
    std::function<void()> on_term; // runs on the loop; the process then exits with status 0
    std::function<void()> on_usr1;
    std::function<void()> on_usr2;
    bool install_pipe = true; // SIGPIPE ignored when installed
    bool install_usr1 = true;
    bool install_usr2 = true;
};

// Installs the handlers for SIGTERM, SIGCHLD, SIGPIPE, SIGUSR1, SIGUSR2 and a few others that are
// only logged ("Signal (%d)"). The handlers only record the signal; the actions run as callbacks on
// the event loop (uloop_init must have been called), so nothing unsafe ever runs inside a handler.
// SIGCHLD reaps every finished child.
void install_signals(const SignalActions &actions);

// True once SIGTERM has arrived: long blocking transactions check it and give up at once, so the
// loop can act on the signal promptly.
bool stop_requested();

// Runs pending signal actions now (the loop does this by itself; a long blocking piece of work
// may call it between steps).
void dispatch_signals();

// The UCI context held for the process's life. Logs "uci alloc error" on failure.
struct uci_context *alloc_uci_context();

} // namespace fb

/*
 * The event loop: one per process, single-threaded. Timers, descriptor watchers, child processes
 * and signals are records embedded in their owners; the loop never allocates for them. Callbacks
 * may add, re-arm, cancel or delete any record, including the one being dispatched.
 */
#ifndef LIBUBOX_ULOOP_H
#define LIBUBOX_ULOOP_H

#include <signal.h>
#include <stdbool.h>
#include <stdint.h>
#include <sys/time.h>
#include <sys/types.h>

#include "list.h"

#ifdef __cplusplus
extern "C" {
#endif

struct uloop_fd;
struct uloop_timeout;
struct uloop_process;
struct uloop_signal;

typedef void (*uloop_fd_handler)(struct uloop_fd *u, unsigned int events);
typedef void (*uloop_timeout_handler)(struct uloop_timeout *t);
typedef void (*uloop_process_handler)(struct uloop_process *c, int ret);
typedef void (*uloop_signal_handler)(struct uloop_signal *s);

/* Interest and mode flags for uloop_fd_add. */
#define ULOOP_READ (1 << 0)
#define ULOOP_WRITE (1 << 1)
#define ULOOP_EDGE_TRIGGER (1 << 2)
#define ULOOP_BLOCKING (1 << 3)

#define ULOOP_EVENT_MASK (ULOOP_READ | ULOOP_WRITE)

/* Internal flags kept in uloop_fd.flags. */
#define ULOOP_EVENT_BUFFERED (1 << 4)
#define ULOOP_ERROR_CB (1 << 6)

struct uloop_fd {
    uloop_fd_handler cb;
    int fd;
    bool eof;
    bool error;
    bool registered;
    uint8_t flags;
};

struct uloop_timeout {
    struct list_head list;
    bool pending;

    uloop_timeout_handler cb;
    struct timeval time;
};

struct uloop_process {
    struct list_head list;
    bool pending;

    uloop_process_handler cb;
    pid_t pid;
};

struct uloop_signal {
    struct list_head list;
    struct sigaction orig;
    bool pending;

    uloop_signal_handler cb;
    int signo;
};

/* Set by uloop_end() or by SIGINT/SIGTERM (when the application left them at their default). */
extern bool uloop_cancelled;
/* When true (the default), uloop_run reaps children for uloop_process records on SIGCHLD. */
extern bool uloop_handle_sigchld;
/* Optional observer told of every descriptor (un)registration: events 0 means deleted. */
extern uloop_fd_handler uloop_fd_set_cb;

int uloop_fd_add(struct uloop_fd *sock, unsigned int flags);
int uloop_fd_delete(struct uloop_fd *sock);

/* Milliseconds until the earliest timer is due (0 if overdue), or -1 when no timer is pending. */
int uloop_get_next_timeout(void);

int uloop_timeout_add(struct uloop_timeout *timeout);
int uloop_timeout_set(struct uloop_timeout *timeout, int msecs);
int uloop_timeout_cancel(struct uloop_timeout *timeout);
/* Milliseconds left (0 once due), or -1 when the timer is not pending. */
int uloop_timeout_remaining(struct uloop_timeout *timeout);
int64_t uloop_timeout_remaining64(struct uloop_timeout *timeout);

int uloop_process_add(struct uloop_process *p);
int uloop_process_delete(struct uloop_process *p);

int uloop_signal_add(struct uloop_signal *s);
int uloop_signal_delete(struct uloop_signal *s);

/* True while a uloop_run is active and has been asked to end. */
bool uloop_cancelling(void);

static inline void uloop_end(void)
{
    uloop_cancelled = true;
}

int uloop_init(void);
/* Runs until uloop_end(), a terminating signal, or (timeout >= 0) that many milliseconds have
 * passed. Returns the number of the signal that ended the loop, or 0. */
int uloop_run_timeout(int timeout);
static inline int uloop_run(void)
{
    return uloop_run_timeout(-1);
}
void uloop_done(void);

#ifdef __cplusplus
}
#endif

#endif

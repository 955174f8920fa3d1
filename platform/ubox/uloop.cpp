// The event loop: epoll for descriptors, a deadline-sorted list for timers, and a self-pipe that
// turns signals into loop callbacks.

#include <libubox/uloop.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <vector>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" {
bool uloop_cancelled = false;
bool uloop_handle_sigchld = true;
uloop_fd_handler uloop_fd_set_cb = nullptr;
}

namespace
{

constexpr int kMaxEvents = 64;

int poll_fd = -1;
int run_depth = 0;
volatile sig_atomic_t loop_status = 0;

LIST_HEAD(timeouts);
LIST_HEAD(processes);
LIST_HEAD(signals);

// Events fetched by one epoll_wait and not yet dispatched. A deleted watcher has its entries
// cleared here, so a callback may delete (and free) any watcher, and a nested uloop_run keeps
// working through the same batch.
epoll_event events[kMaxEvents];
int event_next = 0;
int event_count = 0;

// The self-pipe: signal handlers write one byte to wake epoll_wait; the work runs on the loop.
int waker_pipe[2] = {-1, -1};
std::atomic<int> waker_wr{-1};
uloop_fd waker_fd;
std::atomic<bool> signal_pending[NSIG];
std::atomic<bool> any_signal_pending{false};
std::atomic<bool> sigchld_pending{false};

static_assert(std::atomic<bool>::is_always_lock_free, "signal handlers need lock-free flags");
static_assert(std::atomic<int>::is_always_lock_free, "signal handlers need lock-free flags");

void wake()
{
    int fd = waker_wr.load(std::memory_order_relaxed);
    if (fd >= 0) {
        char c = 'w';
        // A full pipe already guarantees a wake-up; the result does not matter.
        ssize_t r = write(fd, &c, 1);
        (void)r;
    }
}

void record_signal(int signo)
{
    int saved = errno;
    if (signo > 0 && signo < NSIG)
        signal_pending[signo].store(true, std::memory_order_relaxed);
    any_signal_pending.store(true, std::memory_order_release);
    wake();
    errno = saved;
}

void end_on_signal(int signo)
{
    int saved = errno;
    loop_status = signo;
    uloop_cancelled = true;
    wake();
    errno = saved;
}

void note_sigchld(int)
{
    int saved = errno;
    sigchld_pending.store(true, std::memory_order_release);
    wake();
    errno = saved;
}

// ---- time -------------------------------------------------------------------------------------

timeval now_tv()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    timeval tv;
    tv.tv_sec = ts.tv_sec;
    tv.tv_usec = ts.tv_nsec / 1000;
    return tv;
}

int64_t to_us(const timeval &tv)
{
    return static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
}

// Milliseconds from now until `when`, rounded up so a timer is never reported due (or waited for)
// before its deadline; 0 once due.
int64_t ms_until(const timeval &when, const timeval &now)
{
    int64_t us = to_us(when) - to_us(now);
    if (us <= 0)
        return 0;
    return (us + 999) / 1000;
}

// ---- descriptors ------------------------------------------------------------------------------

void forget_buffered(uloop_fd *fd)
{
    for (int i = event_next; i < event_count; i++) {
        if (events[i].data.ptr == fd)
            events[i].data.ptr = nullptr;
    }
}

uint32_t epoll_mask(unsigned int flags)
{
    uint32_t ev = 0;
    if (flags & ULOOP_READ)
        ev |= EPOLLIN | EPOLLRDHUP;
    if (flags & ULOOP_WRITE)
        ev |= EPOLLOUT;
    if (flags & ULOOP_EDGE_TRIGGER)
        ev |= EPOLLET;
    return ev;
}

void dispatch_fd(uloop_fd *u, uint32_t got)
{
    unsigned int ev = 0;
    if (got & EPOLLIN)
        ev |= ULOOP_READ;
    if (got & EPOLLOUT)
        ev |= ULOOP_WRITE;
    if (got & EPOLLERR)
        u->error = true;
    if (got & (EPOLLHUP | EPOLLRDHUP))
        u->eof = true;
    if (got & (EPOLLERR | EPOLLHUP)) {
        // A hung-up or failed descriptor stays readable for ever; unless the owner asked to keep
        // it, it leaves the loop so a callback that ignores the marks cannot spin the loop.
        if (u->flags & ULOOP_READ)
            ev |= ULOOP_READ;
        if (!(u->flags & ULOOP_ERROR_CB))
            uloop_fd_delete(u);
    } else if ((got & EPOLLRDHUP) && (u->flags & ULOOP_READ)) {
        // The peer closed: a read now returns what is left and then end of file.
        ev |= ULOOP_READ;
    }
    if (!ev && !u->eof && !u->error)
        return;
    if (u->cb)
        u->cb(u, ev);
}

void run_events(int timeout)
{
    if (event_next >= event_count) {
        event_next = event_count = 0;
        int n = epoll_wait(poll_fd, events, kMaxEvents, timeout);
        if (n <= 0)
            return; // timeout, or EINTR: the caller's loop re-checks timers and cancellation
        event_count = n;
    }
    while (event_next < event_count) {
        epoll_event &e = events[event_next++];
        auto *u = static_cast<uloop_fd *>(e.data.ptr);
        if (!u)
            continue;
        dispatch_fd(u, e.events);
        if (uloop_cancelled)
            return;
    }
}

// ---- signals ----------------------------------------------------------------------------------

bool signal_registered(const uloop_signal *s)
{
    list_head *p;
    list_for_each(p, &signals)
    {
        if (p == &s->list)
            return true;
    }
    return false;
}

void dispatch_signals()
{
    if (!any_signal_pending.exchange(false, std::memory_order_acquire))
        return;
    for (int signo = 1; signo < NSIG; signo++) {
        if (!signal_pending[signo].exchange(false, std::memory_order_relaxed))
            continue;
        // Callbacks may delete any record: take a snapshot and call only those still registered.
        std::vector<uloop_signal *> due;
        uloop_signal *s;
        list_for_each_entry(s, &signals, list)
        {
            if (s->signo == signo)
                due.push_back(s);
        }
        for (uloop_signal *d : due) {
            if (signal_registered(d) && d->cb)
                d->cb(d);
        }
    }
}

void waker_cb(uloop_fd *u, unsigned int)
{
    char buf[64];
    while (read(u->fd, buf, sizeof(buf)) > 0) {
    }
    dispatch_signals();
}

// Installs `handler` for signo while the application left it at its default; remembers the old
// action so it can be put back exactly.
struct SavedAction {
    bool installed = false;
    struct sigaction old;
};

void install_if_default(int signo, void (*handler)(int), SavedAction &saved)
{
    struct sigaction cur;
    if (sigaction(signo, nullptr, &cur) != 0)
        return;
    if ((cur.sa_flags & SA_SIGINFO) || cur.sa_handler != SIG_DFL)
        return;
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: a blocking call in a callback must see EINTR
    if (sigaction(signo, &sa, &saved.old) == 0)
        saved.installed = true;
}

void restore_if_ours(int signo, void (*handler)(int), SavedAction &saved)
{
    if (!saved.installed)
        return;
    saved.installed = false;
    struct sigaction cur;
    if (sigaction(signo, nullptr, &cur) != 0)
        return;
    // The application may have installed its own handler meanwhile: leave that one alone.
    if ((cur.sa_flags & SA_SIGINFO) || cur.sa_handler != handler)
        return;
    sigaction(signo, &saved.old, nullptr);
}

SavedAction saved_int, saved_term, saved_chld, saved_pipe;

void setup_run_signals()
{
    install_if_default(SIGINT, end_on_signal, saved_int);
    install_if_default(SIGTERM, end_on_signal, saved_term);
    if (uloop_handle_sigchld)
        install_if_default(SIGCHLD, note_sigchld, saved_chld);
    install_if_default(SIGPIPE, SIG_IGN, saved_pipe);
}

void restore_run_signals()
{
    restore_if_ours(SIGINT, end_on_signal, saved_int);
    restore_if_ours(SIGTERM, end_on_signal, saved_term);
    restore_if_ours(SIGCHLD, note_sigchld, saved_chld);
    restore_if_ours(SIGPIPE, SIG_IGN, saved_pipe);
}

// ---- timers and children ----------------------------------------------------------------------

void process_timeouts()
{
    // Only timers due at the start of this pass fire in it; one re-armed for "now" by its own
    // callback waits for the next pass, so descriptors are not starved.
    timeval now = now_tv();
    while (!list_empty(&timeouts)) {
        uloop_timeout *t = list_first_entry(&timeouts, uloop_timeout, list);
        if (to_us(t->time) > to_us(now))
            break;
        uloop_timeout_cancel(t);
        if (t->cb)
            t->cb(t);
        if (uloop_cancelled)
            break;
    }
}

void handle_processes()
{
    if (!sigchld_pending.exchange(false, std::memory_order_acquire))
        return;
    // Only children someone registered are reaped: other code in the process (system(), a
    // pipe to a child) waits for its own children and must still find them.
    bool again = true;
    while (again) {
        again = false;
        uloop_process *p;
        list_for_each_entry(p, &processes, list)
        {
            int status;
            pid_t r = waitpid(p->pid, &status, WNOHANG);
            if (r == p->pid || (r < 0 && errno == ECHILD)) {
                uloop_process_delete(p);
                if (p->cb)
                    p->cb(p, r == p->pid ? status : -1);
                // The callback may have changed the list: start over.
                again = true;
                break;
            }
        }
    }
}

bool is_initialized()
{
    return poll_fd >= 0;
}

} // namespace

extern "C" {

int uloop_init(void)
{
    if (is_initialized())
        return 0;
    poll_fd = epoll_create1(EPOLL_CLOEXEC);
    if (poll_fd < 0)
        return -1;
    if (pipe2(waker_pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        close(poll_fd);
        poll_fd = -1;
        return -1;
    }
    waker_wr.store(waker_pipe[1]);
    memset(&waker_fd, 0, sizeof(waker_fd));
    waker_fd.fd = waker_pipe[0];
    waker_fd.cb = waker_cb;
    if (uloop_fd_add(&waker_fd, ULOOP_READ) != 0) {
        uloop_done();
        return -1;
    }
    return 0;
}

void uloop_done(void)
{
    // Signal handlers of this loop must not outlive the pipe they write to.
    while (!list_empty(&signals))
        uloop_signal_delete(list_first_entry(&signals, uloop_signal, list));
    if (run_depth == 0)
        restore_run_signals();

    while (!list_empty(&timeouts))
        uloop_timeout_cancel(list_first_entry(&timeouts, uloop_timeout, list));
    while (!list_empty(&processes))
        uloop_process_delete(list_first_entry(&processes, uloop_process, list));

    if (waker_fd.registered)
        uloop_fd_delete(&waker_fd);
    waker_wr.store(-1);
    for (int &fd : waker_pipe) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    if (poll_fd >= 0)
        close(poll_fd);
    poll_fd = -1;
    event_next = event_count = 0;
}

int uloop_fd_add(uloop_fd *sock, unsigned int flags)
{
    if (!sock || sock->fd < 0)
        return -1;
    if (!(flags & ULOOP_EVENT_MASK))
        return uloop_fd_delete(sock);
    if (!is_initialized() && uloop_init() != 0)
        return -1;

    if (!(flags & ULOOP_BLOCKING)) {
        int fl = fcntl(sock->fd, F_GETFL);
        if (fl >= 0 && !(fl & O_NONBLOCK))
            fcntl(sock->fd, F_SETFL, fl | O_NONBLOCK);
    }

    epoll_event ev;
    memset(&ev, 0, sizeof(ev));
    ev.events = epoll_mask(flags);
    ev.data.ptr = sock;
    int op = sock->registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    int r = epoll_ctl(poll_fd, op, sock->fd, &ev);
    // The record's notion of registration can be stale (descriptor closed and reused, loop
    // re-initialised): fall back to the other operation.
    if (r != 0 && op == EPOLL_CTL_MOD && errno == ENOENT)
        r = epoll_ctl(poll_fd, EPOLL_CTL_ADD, sock->fd, &ev);
    else if (r != 0 && op == EPOLL_CTL_ADD && errno == EEXIST)
        r = epoll_ctl(poll_fd, EPOLL_CTL_MOD, sock->fd, &ev);
    if (r != 0)
        return -1;

    // Events fetched under the old interest must not be delivered under the new one.
    forget_buffered(sock);
    sock->flags = static_cast<uint8_t>((sock->flags & ULOOP_ERROR_CB) | flags);
    sock->registered = true;
    sock->eof = false;
    sock->error = false;
    if (uloop_fd_set_cb)
        uloop_fd_set_cb(sock, flags);
    return 0;
}

int uloop_fd_delete(uloop_fd *sock)
{
    if (!sock)
        return -1;
    forget_buffered(sock);
    if (!sock->registered)
        return 0;
    if (uloop_fd_set_cb)
        uloop_fd_set_cb(sock, 0);
    sock->registered = false;
    sock->flags = static_cast<uint8_t>(sock->flags & ULOOP_ERROR_CB);
    if (poll_fd >= 0 && sock->fd >= 0)
        epoll_ctl(poll_fd, EPOLL_CTL_DEL, sock->fd, nullptr);
    return 0;
}

int uloop_timeout_add(uloop_timeout *timeout)
{
    if (!timeout || timeout->pending)
        return -1;
    // Equal deadlines keep the order in which they were armed.
    list_head *pos = &timeouts;
    uloop_timeout *t;
    list_for_each_entry(t, &timeouts, list)
    {
        if (to_us(t->time) > to_us(timeout->time)) {
            pos = &t->list;
            break;
        }
    }
    list_add_tail(&timeout->list, pos);
    timeout->pending = true;
    return 0;
}

int uloop_timeout_set(uloop_timeout *timeout, int msecs)
{
    if (!timeout)
        return -1;
    if (timeout->pending)
        uloop_timeout_cancel(timeout);
    if (msecs < 0)
        msecs = 0;
    timeval now = now_tv();
    int64_t us = to_us(now) + static_cast<int64_t>(msecs) * 1000;
    timeout->time.tv_sec = static_cast<time_t>(us / 1000000);
    timeout->time.tv_usec = static_cast<suseconds_t>(us % 1000000);
    return uloop_timeout_add(timeout);
}

int uloop_timeout_cancel(uloop_timeout *timeout)
{
    if (!timeout || !timeout->pending)
        return -1;
    list_del(&timeout->list);
    timeout->pending = false;
    return 0;
}

int64_t uloop_timeout_remaining64(uloop_timeout *timeout)
{
    if (!timeout || !timeout->pending)
        return -1;
    return ms_until(timeout->time, now_tv());
}

int uloop_timeout_remaining(uloop_timeout *timeout)
{
    int64_t ms = uloop_timeout_remaining64(timeout);
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

int uloop_get_next_timeout(void)
{
    if (list_empty(&timeouts))
        return -1;
    uloop_timeout *t = list_first_entry(&timeouts, uloop_timeout, list);
    int64_t ms = ms_until(t->time, now_tv());
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

int uloop_process_add(uloop_process *p)
{
    if (!p || p->pending)
        return -1;
    list_add_tail(&p->list, &processes);
    p->pending = true;
    // The child may have ended before it was registered.
    sigchld_pending.store(true);
    return 0;
}

int uloop_process_delete(uloop_process *p)
{
    if (!p || !p->pending)
        return -1;
    list_del(&p->list);
    p->pending = false;
    return 0;
}

int uloop_signal_add(uloop_signal *s)
{
    if (!s || s->pending || s->signo <= 0 || s->signo >= NSIG)
        return -1;
    if (!is_initialized() && uloop_init() != 0)
        return -1;

    // The first record of a signal installs the handler; later ones share it and its saved action.
    uloop_signal *other = nullptr;
    uloop_signal *it;
    list_for_each_entry(it, &signals, list)
    {
        if (it->signo == s->signo) {
            other = it;
            break;
        }
    }
    if (other) {
        s->orig = other->orig;
    } else {
        struct sigaction sa;
        memset(&sa, 0, sizeof(sa));
        sa.sa_handler = record_signal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0; // no SA_RESTART: a blocking call in a callback must see EINTR
        if (sigaction(s->signo, &sa, &s->orig) != 0)
            return -1;
    }
    list_add_tail(&s->list, &signals);
    s->pending = true;
    return 0;
}

int uloop_signal_delete(uloop_signal *s)
{
    if (!s || !s->pending)
        return -1;
    list_del(&s->list);
    s->pending = false;
    uloop_signal *it;
    list_for_each_entry(it, &signals, list)
    {
        if (it->signo == s->signo)
            return 0;
    }
    sigaction(s->signo, &s->orig, nullptr);
    return 0;
}

bool uloop_cancelling(void)
{
    return run_depth > 0 && uloop_cancelled;
}

int uloop_run_timeout(int timeout)
{
    if (!is_initialized() && uloop_init() != 0)
        return -1;

    timeval end{};
    if (timeout >= 0) {
        int64_t us = to_us(now_tv()) + static_cast<int64_t>(timeout) * 1000;
        end.tv_sec = static_cast<time_t>(us / 1000000);
        end.tv_usec = static_cast<suseconds_t>(us % 1000000);
    }

    if (run_depth++ == 0)
        setup_run_signals();
    loop_status = 0;
    uloop_cancelled = false;

    while (!uloop_cancelled) {
        process_timeouts();
        handle_processes();
        dispatch_signals();
        if (uloop_cancelled)
            break;
        int next = uloop_get_next_timeout();
        if (timeout >= 0) {
            int64_t left = ms_until(end, now_tv());
            if (next < 0 || left < next)
                next = static_cast<int>(left);
        }
        run_events(next);
        // A bounded run still makes at least one pass over ready descriptors (timeout 0 is a
        // non-blocking poll).
        if (timeout >= 0 && ms_until(end, now_tv()) <= 0)
            break;
    }

    if (--run_depth == 0)
        restore_run_signals();
    return loop_status;
}

} // extern "C"

// The event loop: timer order and bookkeeping, descriptor readiness and end-of-file marks,
// watchers deleted from callbacks, signals turned into loop callbacks, and the run-time SIGINT/
// SIGTERM handling that must respect handlers the application installed itself.

#include <libubox/uloop.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

class Loop : public ::testing::Test
{
  protected:
    void SetUp() override { ASSERT_EQ(uloop_init(), 0); }
    void TearDown() override { uloop_done(); }

    // A watchdog so that a broken loop fails the test instead of hanging it.
    void run(int limit_ms = 10000) { uloop_run_timeout(limit_ms); }
};

struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() { EXPECT_EQ(pipe(fd), 0); }
    ~Pipe() { close_all(); }
    void close_write()
    {
        if (fd[1] >= 0)
            close(fd[1]);
        fd[1] = -1;
    }
    void close_all()
    {
        for (int &f : fd) {
            if (f >= 0)
                close(f);
            f = -1;
        }
    }
    void put(const char *s) { EXPECT_EQ(write(fd[1], s, strlen(s)), static_cast<ssize_t>(strlen(s))); }
};

// ---- timers -----------------------------------------------------------------------------------

struct Named {
    uloop_timeout t{};
    const char *name;
    std::vector<std::string> *log;
};

TEST_F(Loop, TimersFireInDeadlineOrderAndEqualDeadlinesInArmingOrder)
{
    std::vector<std::string> log;
    auto cb = [](uloop_timeout *t) {
        auto *n = container_of(t, Named, t);
        n->log->push_back(n->name);
        if (n->log->size() == 4)
            uloop_end();
    };
    Named c{{}, "c", &log}, a{{}, "a", &log}, b{{}, "b", &log}, a2{{}, "a2", &log};
    for (Named *n : {&c, &a, &b, &a2})
        n->t.cb = cb;
    uloop_timeout_set(&c.t, 60);
    uloop_timeout_set(&a.t, 20);
    uloop_timeout_set(&b.t, 40);
    a2.t.time = a.t.time; // same deadline, armed later
    ASSERT_EQ(uloop_timeout_add(&a2.t), 0);
    run();
    EXPECT_EQ(log, (std::vector<std::string>{"a", "a2", "b", "c"}));
    for (Named *n : {&c, &a, &b, &a2})
        EXPECT_FALSE(n->t.pending);
}

TEST_F(Loop, TimerBookkeeping)
{
    uloop_timeout t{};
    EXPECT_EQ(uloop_get_next_timeout(), -1);
    EXPECT_EQ(uloop_timeout_remaining(&t), -1);
    EXPECT_EQ(uloop_timeout_remaining64(&t), -1);
    EXPECT_EQ(uloop_timeout_cancel(&t), -1);

    ASSERT_EQ(uloop_timeout_set(&t, 100000), 0);
    EXPECT_TRUE(t.pending);
    EXPECT_EQ(uloop_timeout_add(&t), -1); // already armed
    int left = uloop_timeout_remaining(&t);
    EXPECT_LE(left, 100000);
    EXPECT_GT(left, 90000);
    EXPECT_LE(uloop_get_next_timeout(), 100000);
    EXPECT_GT(uloop_get_next_timeout(), 90000);

    // Re-setting an armed timer moves it instead of arming it twice.
    ASSERT_EQ(uloop_timeout_set(&t, 200000), 0);
    EXPECT_GT(uloop_timeout_remaining64(&t), 190000);

    uloop_timeout sooner{};
    uloop_timeout_set(&sooner, 5000);
    EXPECT_LE(uloop_get_next_timeout(), 5000);
    uloop_timeout_cancel(&sooner);
    EXPECT_GT(uloop_get_next_timeout(), 190000);

    EXPECT_EQ(uloop_timeout_cancel(&t), 0);
    EXPECT_FALSE(t.pending);
    EXPECT_EQ(uloop_timeout_remaining(&t), -1);
    EXPECT_EQ(uloop_get_next_timeout(), -1);

    // An overdue timer reports 0, never a negative time that could read as "not armed".
    uloop_timeout_set(&t, 0);
    EXPECT_EQ(uloop_timeout_remaining(&t), 0);
    uloop_timeout_cancel(&t);
}

struct Rearm {
    uloop_timeout self{};
    uloop_timeout *victim = nullptr;
    int fired = 0;
};

TEST_F(Loop, CallbackRearmsItselfAndCancelsAnotherTimer)
{
    Rearm r;
    uloop_timeout victim{};
    victim.cb = [](uloop_timeout *) { ADD_FAILURE() << "cancelled timer fired"; };
    r.victim = &victim;
    r.self.cb = [](uloop_timeout *t) {
        auto *me = container_of(t, Rearm, self);
        me->fired++;
        uloop_timeout_cancel(me->victim);
        if (me->fired < 3)
            uloop_timeout_set(t, 0);
        else
            uloop_end();
    };
    uloop_timeout_set(&r.self, 5);
    uloop_timeout_set(&victim, 10); // due after the first firing, cancelled by it
    run();
    EXPECT_EQ(r.fired, 3);
    EXPECT_FALSE(victim.pending);
}

struct Owned {
    uloop_timeout t{};
    int *freed;
};

TEST_F(Loop, CallbackMayFreeItsOwnTimerAndOthersDueNow)
{
    int freed = 0;
    // Two timers due together; the first frees both. The second must not run.
    auto *first = new Owned{{}, &freed};
    auto *second = new Owned{{}, &freed};
    static Owned *other;
    other = second;
    first->t.cb = [](uloop_timeout *t) {
        auto *me = container_of(t, Owned, t);
        uloop_timeout_cancel(&other->t);
        (*me->freed) += 2;
        delete other;
        delete me;
        uloop_end();
    };
    second->t.cb = [](uloop_timeout *) { ADD_FAILURE() << "freed timer ran"; };
    uloop_timeout_set(&first->t, 1);
    second->t.time = first->t.time;
    uloop_timeout_add(&second->t);
    run();
    EXPECT_EQ(freed, 2);
}

TEST_F(Loop, ZeroTimeoutRunIsOneNonBlockingPass)
{
    Pipe p;
    static int calls;
    calls = 0;
    uloop_fd u{};
    u.fd = p.fd[0];
    u.cb = [](uloop_fd *fd, unsigned int) {
        char c;
        EXPECT_EQ(read(fd->fd, &c, 1), 1);
        calls++;
    };
    ASSERT_EQ(uloop_fd_add(&u, ULOOP_READ), 0);
    EXPECT_EQ(uloop_run_timeout(0), 0); // nothing ready: returns at once
    EXPECT_EQ(calls, 0);
    p.put("ab");
    uloop_run_timeout(0);
    EXPECT_EQ(calls, 1); // one byte read per callback, one pass
    uloop_run_timeout(0);
    EXPECT_EQ(calls, 2);
    uloop_fd_delete(&u);
}

// ---- descriptors ------------------------------------------------------------------------------

struct Reader {
    uloop_fd u{};
    std::string got;
    unsigned int events = 0;
    int calls = 0;
};

TEST_F(Loop, ReadableDescriptorDeliversDataAndIsMadeNonBlocking)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    Reader r;
    r.u.fd = sv[0];
    r.u.cb = [](uloop_fd *u, unsigned int ev) {
        auto *me = container_of(u, Reader, u);
        me->events |= ev;
        char buf[64];
        ssize_t n;
        while ((n = read(u->fd, buf, sizeof(buf))) > 0)
            me->got.append(buf, static_cast<size_t>(n));
        EXPECT_EQ(n, -1); // non-blocking: drained to EAGAIN rather than blocking
        EXPECT_EQ(errno, EAGAIN);
        if (me->got == "hello")
            uloop_end();
    };
    ASSERT_EQ(uloop_fd_add(&r.u, ULOOP_READ), 0);
    EXPECT_TRUE(r.u.registered);
    EXPECT_TRUE(fcntl(sv[0], F_GETFL) & O_NONBLOCK);
    ASSERT_EQ(write(sv[1], "hello", 5), 5);
    run();
    EXPECT_EQ(r.got, "hello");
    EXPECT_EQ(r.events, static_cast<unsigned>(ULOOP_READ));
    EXPECT_FALSE(r.u.eof);
    EXPECT_EQ(uloop_fd_delete(&r.u), 0);
    EXPECT_FALSE(r.u.registered);
    close(sv[0]);
    close(sv[1]);
}

TEST_F(Loop, BlockingFlagLeavesDescriptorBlockingAndWriteInterestFires)
{
    Pipe p;
    Reader w;
    w.u.fd = p.fd[1];
    w.u.cb = [](uloop_fd *u, unsigned int ev) {
        auto *me = container_of(u, Reader, u);
        me->events |= ev;
        uloop_fd_delete(u);
        uloop_end();
    };
    ASSERT_EQ(uloop_fd_add(&w.u, ULOOP_WRITE | ULOOP_BLOCKING), 0);
    EXPECT_FALSE(fcntl(p.fd[1], F_GETFL) & O_NONBLOCK);
    run();
    EXPECT_EQ(w.events, static_cast<unsigned>(ULOOP_WRITE));
}

// Reads everything there is, as a callback must once it sees eof.
void drain(uloop_fd *u, unsigned int ev)
{
    auto *me = container_of(u, Reader, u);
    me->events |= ev;
    me->calls++;
    char buf[8];
    ssize_t n;
    while ((n = read(u->fd, buf, sizeof(buf))) > 0)
        me->got.append(buf, static_cast<size_t>(n));
}

TEST_F(Loop, HalfClosedPeerMarksEofAndTheOwnerDecides)
{
    // Only the peer's sending side is shut: end of file for us, but the watcher stays until its
    // owner removes it.
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    Reader s;
    s.u.fd = sv[0];
    s.u.cb = [](uloop_fd *u, unsigned int ev) {
        drain(u, ev);
        if (u->eof) {
            EXPECT_TRUE(u->registered);
            uloop_fd_delete(u);
            uloop_end();
        }
    };
    ASSERT_EQ(uloop_fd_add(&s.u, ULOOP_READ), 0);
    ASSERT_EQ(write(sv[1], "xyz", 3), 3);
    shutdown(sv[1], SHUT_WR);
    run();
    EXPECT_TRUE(s.u.eof);
    EXPECT_FALSE(s.u.error);
    EXPECT_EQ(s.got, "xyz");
    close(sv[0]);
    close(sv[1]);
}

TEST_F(Loop, HangupIsReportedOnceWithEofAndTheWatcherLeavesTheLoop)
{
    // The writer is gone (closed socket peer, closed pipe writer): the reader is told once, as
    // readable with eof set, and is taken off the loop so a callback that ignores the mark cannot
    // spin it.
    uloop_timeout stop{};
    stop.cb = [](uloop_timeout *) { uloop_end(); };

    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    Pipe p;
    Reader s, r;
    s.u.fd = sv[0];
    s.u.cb = drain;
    r.u.fd = p.fd[0];
    r.u.cb = drain;
    ASSERT_EQ(uloop_fd_add(&s.u, ULOOP_READ), 0);
    ASSERT_EQ(uloop_fd_add(&r.u, ULOOP_READ), 0);
    ASSERT_EQ(write(sv[1], "left", 4), 4);
    close(sv[1]);
    p.put("over");
    p.close_write();
    uloop_timeout_set(&stop, 50);
    run();
    for (Reader *x : {&s, &r}) {
        EXPECT_EQ(x->calls, 1);
        EXPECT_TRUE(x->u.eof);
        EXPECT_FALSE(x->u.registered);
        EXPECT_TRUE(x->events & ULOOP_READ);
    }
    EXPECT_EQ(s.got, "left");
    EXPECT_EQ(r.got, "over");
    close(sv[0]);
}

Reader *g_first;
Reader *g_second;
int g_ran;

TEST_F(Loop, CallbackDeletesAndFreesAnotherReadyWatcher)
{
    // Both descriptors are ready in the same batch; whichever runs first removes and frees the
    // other, whose buffered event must then be dropped (ASan reports any later use).
    Pipe p1, p2;
    g_first = new Reader;
    g_second = new Reader;
    g_ran = 0;
    g_first->u.fd = p1.fd[0];
    g_second->u.fd = p2.fd[0];
    auto cb = [](uloop_fd *u, unsigned int) {
        g_ran++;
        Reader *&other = (u == &g_first->u) ? g_second : g_first;
        uloop_fd_delete(&other->u);
        delete other;
        other = nullptr;
        uloop_end();
    };
    g_first->u.cb = cb;
    g_second->u.cb = cb;
    p1.put("1");
    p2.put("2");
    ASSERT_EQ(uloop_fd_add(&g_first->u, ULOOP_READ), 0);
    ASSERT_EQ(uloop_fd_add(&g_second->u, ULOOP_READ), 0);
    run();
    EXPECT_EQ(g_ran, 1);
    Reader *survivor = g_first ? g_first : g_second;
    ASSERT_NE(survivor, nullptr);
    EXPECT_TRUE(g_first == nullptr || g_second == nullptr);
    uloop_fd_delete(&survivor->u);
    delete survivor;
}

TEST_F(Loop, EdgeTriggeredWatcherFiresOncePerArrival)
{
    Pipe p;
    Reader r;
    r.u.fd = p.fd[0];
    r.u.cb = [](uloop_fd *u, unsigned int) { container_of(u, Reader, u)->calls++; }; // never reads
    ASSERT_EQ(uloop_fd_add(&r.u, ULOOP_READ | ULOOP_EDGE_TRIGGER), 0);

    struct Step {
        uloop_timeout t{};
        Pipe *p;
        Reader *r;
        int step = 0;
    } s;
    s.p = &p;
    s.r = &r;
    s.t.cb = [](uloop_timeout *t) {
        auto *me = container_of(t, Step, t);
        switch (me->step++) {
        case 0:
            me->p->put("a");
            uloop_timeout_set(t, 50);
            break;
        case 1:
            // Unread data does not make an edge-triggered watcher fire again.
            EXPECT_EQ(me->r->calls, 1);
            me->p->put("b");
            uloop_timeout_set(t, 50);
            break;
        default:
            EXPECT_EQ(me->r->calls, 2);
            uloop_end();
        }
    };
    uloop_timeout_set(&s.t, 0);
    run();
    EXPECT_EQ(s.step, 3);
    uloop_fd_delete(&r.u);
}

TEST_F(Loop, ReaddingChangesInterestAndObserverSeesIt)
{
    static std::vector<unsigned int> seen;
    seen.clear();
    uloop_fd_set_cb = [](uloop_fd *, unsigned int events) { seen.push_back(events); };
    Pipe p;
    uloop_fd u{};
    u.fd = p.fd[0];
    u.cb = [](uloop_fd *, unsigned int) {};
    EXPECT_EQ(uloop_fd_add(&u, ULOOP_READ), 0);
    EXPECT_EQ(uloop_fd_add(&u, ULOOP_READ | ULOOP_WRITE), 0);
    EXPECT_EQ(u.flags & ULOOP_EVENT_MASK, ULOOP_READ | ULOOP_WRITE);
    EXPECT_EQ(uloop_fd_add(&u, 0), 0); // no interest: removed
    EXPECT_FALSE(u.registered);
    EXPECT_EQ(uloop_fd_delete(&u), 0); // deleting twice is harmless
    uloop_fd_set_cb = nullptr;
    EXPECT_EQ(seen, (std::vector<unsigned int>{ULOOP_READ, ULOOP_READ | ULOOP_WRITE, 0}));

    uloop_fd bad{};
    bad.fd = -1;
    EXPECT_EQ(uloop_fd_add(&bad, ULOOP_READ), -1);
}

// ---- signals ----------------------------------------------------------------------------------

struct Sig {
    uloop_signal s{};
    int calls = 0;
};
std::atomic<int> g_in_handler_calls{0};

TEST_F(Loop, SignalRunsItsCallbackOnTheLoopNotInTheHandler)
{
    Sig sig;
    sig.s.signo = SIGUSR1;
    sig.s.cb = [](uloop_signal *s) {
        container_of(s, Sig, s)->calls++;
        uloop_end();
    };
    ASSERT_EQ(uloop_signal_add(&sig.s), 0);
    EXPECT_EQ(uloop_signal_add(&sig.s), -1);

    struct Raiser {
        uloop_timeout t{};
        Sig *sig;
    } r;
    r.sig = &sig;
    r.t.cb = [](uloop_timeout *t) {
        auto *me = container_of(t, Raiser, t);
        raise(SIGUSR1);
        raise(SIGUSR1); // two before the loop looks: one callback
        // The handler only recorded it; the work waits for the loop.
        EXPECT_EQ(me->sig->calls, 0);
    };
    uloop_timeout_set(&r.t, 0);
    run();
    EXPECT_EQ(sig.calls, 1);

    // Deleting the last record restores what was there before.
    EXPECT_EQ(uloop_signal_delete(&sig.s), 0);
    struct sigaction cur;
    sigaction(SIGUSR1, nullptr, &cur);
    EXPECT_EQ(cur.sa_handler, SIG_DFL);
}

TEST_F(Loop, SignalInterruptsABlockingReadInsideACallback)
{
    // The handler is installed without restart: a callback stuck in a blocking read gets EINTR,
    // and the signal's own callback runs once that callback returns.
    static int never_fd;
    static std::atomic<bool> read_returned;
    static int read_errno;
    Sig sig;
    sig.s.signo = SIGUSR2;
    sig.s.cb = [](uloop_signal *s) {
        container_of(s, Sig, s)->calls++;
        // Pokes may arrive before the reading callback ran; only the ones after it end the test.
        if (read_returned)
            uloop_end();
    };
    ASSERT_EQ(uloop_signal_add(&sig.s), 0);

    Pipe trigger, never;
    never_fd = never.fd[0];
    read_returned = false;
    Reader r;
    r.u.fd = trigger.fd[0];
    r.u.cb = [](uloop_fd *u, unsigned int) {
        char c;
        EXPECT_EQ(read(u->fd, &c, 1), 1);
        uloop_fd_delete(u);
        ssize_t n = read(never_fd, &c, 1); // blocks: nothing is ever written
        read_errno = errno;
        read_returned = true;
        EXPECT_EQ(n, -1);
    };
    ASSERT_EQ(uloop_fd_add(&r.u, ULOOP_READ), 0);
    int fl = fcntl(never_fd, F_GETFL);
    fcntl(never_fd, F_SETFL, fl & ~O_NONBLOCK);
    trigger.put("go");

    pthread_t main_thread = pthread_self();
    std::thread poker([main_thread] {
        // Keep poking until the blocked read has come back.
        while (!read_returned) {
            pthread_kill(main_thread, SIGUSR2);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    run();
    poker.join();
    EXPECT_TRUE(read_returned);
    EXPECT_EQ(read_errno, EINTR);
    EXPECT_GE(sig.calls, 1);
    uloop_signal_delete(&sig.s);
}

TEST_F(Loop, SeveralRecordsForOneSignalAllRunAndMayDeleteEachOther)
{
    static Sig a, b;
    a = Sig{};
    b = Sig{};
    a.s.signo = b.s.signo = SIGUSR1;
    a.s.cb = [](uloop_signal *s) {
        container_of(s, Sig, s)->calls++;
        uloop_signal_delete(&b.s); // b was due too, but is gone now
        uloop_end();
    };
    b.s.cb = [](uloop_signal *s) { container_of(s, Sig, s)->calls++; };
    ASSERT_EQ(uloop_signal_add(&a.s), 0);
    ASSERT_EQ(uloop_signal_add(&b.s), 0);
    raise(SIGUSR1);
    run();
    EXPECT_EQ(a.calls, 1);
    EXPECT_EQ(b.calls, 0);
    uloop_signal_delete(&a.s);
    struct sigaction cur;
    sigaction(SIGUSR1, nullptr, &cur);
    EXPECT_EQ(cur.sa_handler, SIG_DFL);
}

TEST_F(Loop, SigtermEndsTheRunOnlyWhereTheApplicationLeftTheDefault)
{
    uloop_timeout raiser{};
    raiser.cb = [](uloop_timeout *) { raise(SIGTERM); };

    // Default disposition: the loop takes SIGTERM, ends, reports it and puts the default back.
    signal(SIGTERM, SIG_DFL);
    uloop_timeout_set(&raiser, 0);
    EXPECT_EQ(uloop_run_timeout(10000), SIGTERM);
    EXPECT_TRUE(uloop_cancelled);
    struct sigaction cur;
    sigaction(SIGTERM, nullptr, &cur);
    EXPECT_EQ(cur.sa_handler, SIG_DFL);

    // The application's own handler stays in charge and the loop keeps running.
    static int own_calls;
    own_calls = 0;
    auto own = [](int) { own_calls++; };
    signal(SIGTERM, own);
    uloop_timeout stop{};
    stop.cb = [](uloop_timeout *) { uloop_end(); };
    uloop_timeout_set(&raiser, 0);
    uloop_timeout_set(&stop, 30);
    EXPECT_EQ(uloop_run_timeout(10000), 0);
    EXPECT_EQ(own_calls, 1);
    sigaction(SIGTERM, nullptr, &cur);
    EXPECT_EQ(cur.sa_handler, own);
    signal(SIGTERM, SIG_DFL);
}

TEST_F(Loop, SigintWhileWaitingEndsTheRun)
{
    signal(SIGINT, SIG_DFL);
    static std::atomic<bool> running;
    running = false;
    // Once the loop runs (and so has its handler in place), another thread sends one SIGINT
    // while the loop waits with nothing else to do.
    uloop_timeout ready{};
    ready.cb = [](uloop_timeout *) { running = true; };
    uloop_timeout_set(&ready, 0);
    pthread_t main_thread = pthread_self();
    std::thread t([main_thread] {
        while (!running)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        pthread_kill(main_thread, SIGINT);
    });
    int r = uloop_run_timeout(10000);
    t.join();
    EXPECT_EQ(r, SIGINT);
    struct sigaction cur;
    sigaction(SIGINT, nullptr, &cur);
    EXPECT_EQ(cur.sa_handler, SIG_DFL);
}

// ---- child processes --------------------------------------------------------------------------

struct Child {
    uloop_process p{};
    int status = -1;
    int calls = 0;
};

TEST_F(Loop, ExitedChildIsReportedWithItsStatus)
{
    signal(SIGCHLD, SIG_DFL);
    Child c;
    c.p.cb = [](uloop_process *p, int ret) {
        auto *me = container_of(p, Child, p);
        me->status = ret;
        me->calls++;
        uloop_end();
    };
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
        _exit(3);
    c.p.pid = pid;
    ASSERT_EQ(uloop_process_add(&c.p), 0);
    run();
    EXPECT_EQ(c.calls, 1);
    ASSERT_TRUE(WIFEXITED(c.status));
    EXPECT_EQ(WEXITSTATUS(c.status), 3);
    EXPECT_FALSE(c.p.pending);
}

TEST_F(Loop, UnregisteredChildrenAreLeftForTheirOwnersToReap)
{
    signal(SIGCHLD, SIG_DFL);
    pid_t stranger = fork();
    ASSERT_GE(stranger, 0);
    if (stranger == 0)
        _exit(7);
    Child c;
    c.p.cb = [](uloop_process *, int) { uloop_end(); };
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
        _exit(0);
    c.p.pid = pid;
    uloop_process_add(&c.p);
    run();
    int status = 0;
    ASSERT_EQ(waitpid(stranger, &status, 0), stranger);
    EXPECT_EQ(WEXITSTATUS(status), 7);
}

} // namespace

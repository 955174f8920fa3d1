#include "log.h"

#include <librouter.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "fieldbridge/root.h"

extern char **environ;

namespace {

int status_code(int wait_status)
{
    if (WIFEXITED(wait_status))
        return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status))
        return 128 + WTERMSIG(wait_status);
    return -1;
}

// Keeps SIGCHLD blocked in this thread while a child is awaited: the applets' SIGCHLD handlers
// reap with waitpid(-1), and a handler running between fork and our waitpid would take the status
// of the very child we wait for.
class ChildSignalBlock {
public:
    ChildSignalBlock()
    {
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, SIGCHLD);
        pthread_sigmask(SIG_BLOCK, &block, &saved_);
    }
    ~ChildSignalBlock() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    ChildSignalBlock(const ChildSignalBlock &) = delete;
    ChildSignalBlock &operator=(const ChildSignalBlock &) = delete;
    const sigset_t &saved() const { return saved_; }

private:
    sigset_t saved_;
};

class SpawnSetup {
public:
    SpawnSetup()
    {
        posix_spawn_file_actions_init(&actions_);
        posix_spawnattr_init(&attr_);
    }
    ~SpawnSetup()
    {
        posix_spawn_file_actions_destroy(&actions_);
        posix_spawnattr_destroy(&attr_);
    }
    SpawnSetup(const SpawnSetup &) = delete;
    SpawnSetup &operator=(const SpawnSetup &) = delete;
    posix_spawn_file_actions_t actions_;
    posix_spawnattr_t attr_;
};

int wait_child(pid_t pid, int timeout_seconds)
{
    int status = 0;
    if (timeout_seconds <= 0) {
        while (::waitpid(pid, &status, 0) < 0) {
            if (errno != EINTR)
                return -1;
        }
        return status_code(status);
    }
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (true) {
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return status_code(status);
        if (done < 0 && errno != EINTR)
            return -1;
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec >= timeout_seconds) {
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return -1;
        }
        timespec pause{0, 5 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

} // namespace

extern "C" {

int _eval(const char *const argv[], const char *path, int timeout, int *ppid)
{
    if (!argv || !argv[0] || !*argv[0])
        return -1;
    const std::string program = fb::root_path(argv[0]);
    SpawnSetup setup;

    std::string output;
    if (path && *path) {
        int flags = O_WRONLY | O_CREAT | O_TRUNC;
        const char *name = path;
        if (std::strncmp(name, ">>", 2) == 0) {
            flags = O_WRONLY | O_CREAT | O_APPEND;
            name += 2;
        } else if (*name == '>') {
            name += 1;
        }
        output = fb::root_path(name);
        posix_spawn_file_actions_addopen(&setup.actions_, STDOUT_FILENO, output.c_str(), flags, 0644);
        posix_spawn_file_actions_adddup2(&setup.actions_, STDOUT_FILENO, STDERR_FILENO);
    }

    // The child starts with default dispositions (an applet ignores SIGPIPE, which exec would
    // otherwise pass on) and with the signal mask the caller had.
    sigset_t defaults;
    sigfillset(&defaults);
    sigdelset(&defaults, SIGKILL);
    sigdelset(&defaults, SIGSTOP);
    posix_spawnattr_setsigdefault(&setup.attr_, &defaults);

    std::vector<char *> args;
    for (const char *const *arg = argv; *arg; ++arg)
        args.push_back(const_cast<char *>(*arg));
    args.push_back(nullptr);

    ChildSignalBlock block;
    posix_spawnattr_setsigmask(&setup.attr_, &block.saved());
    posix_spawnattr_setflags(&setup.attr_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    pid_t pid = -1;
    int rc = posix_spawnp(&pid, program.c_str(), &setup.actions_, &setup.attr_, args.data(), environ);
    if (rc != 0) {
        router::log_message(LOG_ERR, "cannot run %s: %s", program.c_str(), std::strerror(rc));
        return -1;
    }
    if (ppid) {
        *ppid = pid;
        return 0;
    }
    return wait_child(pid, timeout);
}

int exec_printf(const char *format, ...)
{
    if (!format)
        return -1;
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length < 0) {
        va_end(args);
        return -1;
    }
    std::string command(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(command.data(), command.size(), format, args);
    va_end(args);
    command.resize(static_cast<size_t>(length));
    const char *argv[] = {"sh", "-c", command.c_str(), nullptr};
    return _eval(argv, nullptr, 0, nullptr);
}

} // extern "C"

#include "email_notification/mail_delivery.h"

#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "common/daemon.h"
#include "fieldbridge/root.h"

extern char **environ;

namespace email
{

namespace
{

// Appends `line` cut into pieces of at most kMailLineMax bytes, each ended by a line feed.
void append_wrapped(std::string &out, const std::string &line, const char *continuation)
{
    size_t pos = 0;
    do {
        size_t n = line.size() - pos;
        if (n > kMailLineMax)
            n = kMailLineMax;
        if (pos > 0)
            out += continuation;
        out.append(line, pos, n);
        out += '\n';
        pos += n;
    } while (pos < line.size());
}

std::string one_line(std::string text)
{
    for (char &c : text)
        if (c == '\r' || c == '\n')
            c = ' ';
    return text;
}

} // namespace

std::string compose_mail(const std::string &subject, const std::string *timestamp, const std::string &text)
{
    std::string out;
    if (!subject.empty()) {
        // A folded header continues on lines that start with a blank.
        append_wrapped(out, "Subject: " + one_line(subject), " ");
        out += '\n';
    } else {
        out += "\n\n";
    }
    std::string body = timestamp ? *timestamp + ", " + text : text;
    // The header ends at the first empty line; the body keeps its own line breaks.
    size_t start = 0;
    while (start <= body.size()) {
        size_t nl = body.find('\n', start);
        if (nl == std::string::npos) {
            std::string last = body.substr(start);
            if (last.size() > kMailLineMax) {
                append_wrapped(out, last, "");
                out.pop_back();
            } else {
                out += last;
            }
            break;
        }
        append_wrapped(out, body.substr(start, nl - start), "");
        start = nl + 1;
    }
    return out;
}

std::vector<std::string> msmtp_argv(const std::string &address)
{
    std::vector<std::string> argv{"msmtp"};
    // Under a root (a test or a demo) the client reads the root's configuration only.
    if (!fb::root_prefix().empty())
        argv.push_back("--file=" + fb::root_path("/etc/msmtprc"));
    argv.push_back("--");
    size_t pos = 0;
    const char *blanks = " \t\r\n";
    while ((pos = address.find_first_not_of(blanks, pos)) != std::string::npos) {
        size_t end = address.find_first_of(blanks, pos);
        if (end == std::string::npos)
            end = address.size();
        argv.push_back(address.substr(pos, end - pos));
        pos = end;
    }
    return argv;
}

int send_mail(const std::string &address, const std::string &message)
{
    std::vector<std::string> args = msmtp_argv(address);
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    // A socket rather than a pipe for the client's input: a client that exits before reading
    // everything must not raise SIGPIPE in this process (MSG_NOSIGNAL).
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, sv[1], STDIN_FILENO);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(sv[1]);
    if (rc != 0) {
        close(sv[0]);
        return -1;
    }
    // The client stops reading when it gives up (an unreachable server); the rest is dropped.
    size_t off = 0;
    while (off < message.size()) {
        ssize_t n = send(sv[0], message.data() + off, message.size() - off, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR && !fb::stop_requested())
                continue;
            break;
        }
        off += size_t(n);
    }
    close(sv[0]);

    int status = 0;
    if (fb::stop_requested())
        kill(pid, SIGKILL);
    for (;;) {
        pid_t r = waitpid(pid, &status, 0);
        if (r == pid)
            break;
        if (r < 0 && errno == EINTR) {
            if (fb::stop_requested()) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                return -1;
            }
            continue;
        }
        return -1;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

} // namespace email

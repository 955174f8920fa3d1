#include "fbtest/support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace fbtest {

static std::string env_or(const char *name, const char *fallback)
{
    const char *v = std::getenv(name);
    return v ? v : fallback;
}

std::string bin(const std::string &name) { return env_or("FB_BIN_DIR", "build/bin") + "/" + name; }
std::string source(const std::string &relative) { return env_or("FB_SOURCE_DIR", ".") + "/" + relative; }

static std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TempRoot::TempRoot()
{
    char tmpl[] = "/tmp/fbroot.XXXXXX";
    if (!mkdtemp(tmpl))
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    dir_ = tmpl;
    for (const char *d : {"/etc/config/applications", "/tmp/.usi/applications", "/var/run/ubus", "/dev",
                          "/flash", "/lib/functions", "/tmp/database", "/etc/event", "/app/etc"})
        fs::create_directories(dir_ + d);
    if (const char *old = std::getenv("FIELDBRIDGE_ROOT")) {
        saved_ = old;
        had_saved_ = true;
    }
    setenv("FIELDBRIDGE_ROOT", dir_.c_str(), 1);
}

TempRoot::~TempRoot()
{
    if (had_saved_)
        setenv("FIELDBRIDGE_ROOT", saved_.c_str(), 1);
    else
        unsetenv("FIELDBRIDGE_ROOT");
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

std::string TempRoot::path(const std::string &absolute) const { return dir_ + absolute; }

void TempRoot::write(const std::string &absolute, const std::string &content) const
{
    fs::path p(path(absolute));
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out)
        throw std::runtime_error("cannot write " + p.string());
}

std::string TempRoot::read(const std::string &absolute) const { return slurp(path(absolute)); }
bool TempRoot::exists(const std::string &absolute) const { return fs::exists(path(absolute)); }

Process::Process(std::vector<std::string> argv, std::map<std::string, std::string> env)
{
    char tmpl[] = "/tmp/fbproc.XXXXXX";
    if (!mkdtemp(tmpl))
        throw std::runtime_error("mkdtemp failed");
    out_path_ = std::string(tmpl) + "/out";
    err_path_ = std::string(tmpl) + "/err";
    std::vector<char *> args;
    for (auto &a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        int o = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int n = open("/dev/null", O_RDONLY);
        dup2(n, 0);
        dup2(o, 1);
        dup2(e, 2);
        for (auto &[k, v] : env)
            setenv(k.c_str(), v.c_str(), 1);
        // The child gets a clean signal state whatever the test runner did.
        sigset_t all;
        sigemptyset(&all);
        sigprocmask(SIG_SETMASK, &all, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        execvp(args[0], args.data());
        dprintf(2, "exec %s: %s\n", args[0], std::strerror(errno));
        _exit(127);
    }
}

void Process::reset()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    if (!out_path_.empty()) {
        std::error_code ec;
        fs::remove_all(fs::path(out_path_).parent_path(), ec);
        out_path_.clear();
        err_path_.clear();
    }
}

Process::~Process() { reset(); }

Process::Process(Process &&o) noexcept
    : pid_(o.pid_), status_(o.status_), out_path_(std::move(o.out_path_)), err_path_(std::move(o.err_path_))
{
    o.pid_ = -1;
    o.out_path_.clear();
}

Process &Process::operator=(Process &&o) noexcept
{
    if (this != &o) {
        reset();
        pid_ = o.pid_;
        status_ = o.status_;
        out_path_ = std::move(o.out_path_);
        err_path_ = std::move(o.err_path_);
        o.pid_ = -1;
        o.out_path_.clear();
    }
    return *this;
}

bool Process::running()
{
    if (pid_ <= 0)
        return false;
    int st = 0;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        status_ = st;
        pid_ = -1;
        return false;
    }
    return true;
}

int Process::wait_exit(Millis timeout)
{
    if (!wait_until([&] { return !running(); }, timeout))
        return -1;
    return status_;
}

int Process::stop(int sig, Millis timeout)
{
    if (!running())
        return status_;
    ::kill(pid_, sig);
    int st = wait_exit(timeout);
    if (st == -1 && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
        pid_ = -1;
        st = status_;
    }
    return st;
}

void Process::signal(int sig) const
{
    if (pid_ > 0)
        ::kill(pid_, sig);
}

std::string Process::out() const { return slurp(out_path_); }
std::string Process::err() const { return slurp(err_path_); }

bool Process::wait_err(const std::string &text, Millis timeout) const
{
    return wait_until([&] { return err().find(text) != std::string::npos; }, timeout);
}

bool Process::wait_out(const std::string &text, Millis timeout) const
{
    return wait_until([&] { return out().find(text) != std::string::npos; }, timeout);
}

int exit_code(int st)
{
    if (st < 0)
        return -1;
    if (WIFEXITED(st))
        return WEXITSTATUS(st);
    if (WIFSIGNALED(st))
        return 128 + WTERMSIG(st);
    return -1;
}

int run(const std::vector<std::string> &argv, std::string *output, Millis timeout, const std::string &stdin_text)
{
    int in_pipe[2], out_pipe[2];
    if (pipe(in_pipe) || pipe(out_pipe))
        return -1;
    std::vector<std::string> copy = argv;
    std::vector<char *> args;
    for (auto &a : copy)
        args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        close(in_pipe[1]);
        close(out_pipe[0]);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    if (!stdin_text.empty()) {
        auto ignored = ::write(in_pipe[1], stdin_text.data(), stdin_text.size());
        (void)ignored;
    }
    close(in_pipe[1]);
    std::string collected;
    fcntl(out_pipe[0], F_SETFL, O_NONBLOCK);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int st = 0;
    bool done = false;
    while (!done) {
        char buf[4096];
        ssize_t n;
        while ((n = ::read(out_pipe[0], buf, sizeof buf)) > 0)
            collected.append(buf, size_t(n));
        if (waitpid(pid, &st, WNOHANG) == pid) {
            done = true;
            while ((n = ::read(out_pipe[0], buf, sizeof buf)) > 0)
                collected.append(buf, size_t(n));
        } else if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            close(out_pipe[0]);
            return -1;
        } else {
            std::this_thread::sleep_for(2ms);
        }
    }
    close(out_pipe[0]);
    if (output)
        *output = collected;
    return exit_code(st);
}

int free_tcp_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

bool wait_for_port(int port, Millis timeout)
{
    return wait_until(
        [port] {
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(uint16_t(port));
            bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
            close(fd);
            return ok;
        },
        timeout);
}

bool wait_for_path(const std::string &path, Millis timeout)
{
    return wait_until([&] { return fs::exists(path); }, timeout);
}

bool wait_until(const std::function<bool()> &pred, Millis timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (pred())
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
}

PtyPair::PtyPair(const std::string &link_a, const std::string &link_b) : a_(link_a), b_(link_b)
{
    fs::create_directories(fs::path(link_a).parent_path());
    fs::create_directories(fs::path(link_b).parent_path());
    socat_ = Process({"socat", "PTY,raw,echo=0,link=" + link_a, "PTY,raw,echo=0,link=" + link_b});
    if (!wait_for_path(link_a) || !wait_for_path(link_b))
        throw std::runtime_error("socat did not create " + link_a + " and " + link_b);
}

} // namespace fbtest

// Test support shared by every test directory: a temporary root, real processes started by argument
// vector and stopped by process id, free loopback ports, readiness waits, pseudo-terminal pairs.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <sys/types.h>

namespace fbtest {

using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;

// Absolute path of a built program (build/bin/<name>), from $FB_BIN_DIR.
std::string bin(const std::string &name);
// Absolute path inside the source tree, from $FB_SOURCE_DIR.
std::string source(const std::string &relative);

// A fresh directory under /tmp used as $FIELDBRIDGE_ROOT for this process (and, by inheritance,
// for every process it starts). The usual router directories exist; everything is removed on
// destruction and the previous $FIELDBRIDGE_ROOT is restored.
class TempRoot {
public:
    TempRoot();
    ~TempRoot();
    TempRoot(const TempRoot &) = delete;
    TempRoot &operator=(const TempRoot &) = delete;

    const std::string &dir() const { return dir_; }
    // dir() + absolute (absolute starts with '/').
    std::string path(const std::string &absolute) const;
    void write(const std::string &absolute, const std::string &content) const;
    std::string read(const std::string &absolute) const; // "" when missing
    bool exists(const std::string &absolute) const;

private:
    std::string dir_;
    std::string saved_;
    bool had_saved_ = false;
};

// A child process started from an argument vector (never a shell). Standard output and standard
// error go to files that can be read at any time. The destructor kills and reaps it.
class Process {
public:
    Process() = default;
    Process(std::vector<std::string> argv, std::map<std::string, std::string> env = {});
    ~Process();
    Process(Process &&other) noexcept;
    Process &operator=(Process &&other) noexcept;
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    // Sends `sig`, waits up to `timeout` for the exit, then SIGKILL. Returns the wait status
    // (as from waitpid), or -1 when the process was not running.
    int stop(int sig = 15, Millis timeout = 5000ms);
    // Waits for the process to exit on its own; returns the wait status, or -1 on timeout.
    int wait_exit(Millis timeout);
    void signal(int sig) const;
    std::string out() const; // everything written to standard output so far
    std::string err() const; // everything written to standard error so far
    // Waits until standard error (or output) contains `text`.
    bool wait_err(const std::string &text, Millis timeout = 5000ms) const;
    bool wait_out(const std::string &text, Millis timeout = 5000ms) const;

private:
    void reset(); // kills and reaps the process, removes its output files
    pid_t pid_ = -1;
    int status_ = -1;
    std::string out_path_, err_path_;
};

// Decodes a wait status: the exit code, or 128 + signal number.
int exit_code(int wait_status);

// Runs a command to completion (argument vector), capturing standard output; returns the exit code.
int run(const std::vector<std::string> &argv, std::string *output = nullptr, Millis timeout = 20000ms,
        const std::string &stdin_text = {});

// A TCP port on 127.0.0.1 that was free a moment ago.
int free_tcp_port();
bool wait_for_port(int port, Millis timeout = 5000ms);
bool wait_for_path(const std::string &path, Millis timeout = 5000ms);
// Polls `pred` every few milliseconds until it holds or the timeout passes.
bool wait_until(const std::function<bool()> &pred, Millis timeout = 5000ms);

// Two linked pseudo-terminals made by socat, with symbolic links at `link_a` and `link_b`
// (e.g. $ROOT/dev/RS485 for the gateway and another path for the simulated device).
class PtyPair {
public:
    PtyPair(const std::string &link_a, const std::string &link_b);
    const std::string &a() const { return a_; }
    const std::string &b() const { return b_; }

private:
    std::string a_, b_;
    Process socat_;
};

} // namespace fbtest

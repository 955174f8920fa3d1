// Helpers shared by the transport tests: a root with a serial number, configuration documents,
// log capture for in-process code.
#pragma once

#include <gtest/gtest.h>
#include <syslog.h>

#include <string>

#include <librouter.h>

#include "fbtest/support.h"

namespace mttest {

// Everything the in-process code logs while the object lives (syslog mirrored to standard error).
class LogCapture {
public:
    LogCapture()
    {
        openlog("modbus_transport", LOG_PID | LOG_PERROR, LOG_USER);
        testing::internal::CaptureStderr();
    }
    ~LogCapture() { text(); }
    const std::string &text()
    {
        if (!done_) {
            out_ = testing::internal::GetCapturedStderr();
            done_ = true;
        }
        return out_;
    }
    bool has(const std::string &line) { return text().find(line) != std::string::npos; }

private:
    bool done_ = false;
    std::string out_;
};

// A temporary root with the serial number set and the given transport configuration.
struct Root {
    fbtest::TempRoot root;
    explicit Root(const std::string &config = {})
    {
        usi_set("system.serial_number", "SN0001");
        if (!config.empty())
            write_config(config);
    }
    void write_config(const std::string &json) const
    {
        root.write("/etc/config/applications/modbus_transport", json);
    }
    std::string quantity(int index = 1) const
    {
        char *v = usi_list_get("modbus_transport.connection", index, "storage_quantity");
        std::string s = v ? v : "<unset>";
        free(v);
        return s;
    }
    std::string status(int index = 1) const
    {
        char *v = usi_list_get("modbus_transport.connection", index, "status");
        std::string s = v ? v : "<unset>";
        free(v);
        return s;
    }
};

// One connection element wrapped in a document.
inline std::string doc(const std::string &elements) { return "{\"connection\":[" + elements + "]}"; }

} // namespace mttest

#include <unistd.h>

#include <optional>
#include <sstream>
#include <vector>

namespace mttest {

// A real mosquitto on 127.0.0.1 and a port picked now; `extra` adds listener options (TLS).
class Broker {
public:
    Broker(const std::string &dir, const std::string &extra = {}, int port = 0) : port_(port ? port : fbtest::free_tcp_port())
    {
        conf_ = dir + "/mosquitto_" + std::to_string(port_) + ".conf";
        std::string text = "listener " + std::to_string(port_) + " 127.0.0.1\nallow_anonymous true\n" + extra;
        // As root mosquitto would switch to its own user, which cannot enter the private test root.
        if (geteuid() == 0)
            text += "user root\n";
        FILE *f = fopen(conf_.c_str(), "w");
        fputs(text.c_str(), f);
        fclose(f);
        start();
    }
    void start()
    {
        // Process objects are replaced by emplace: a new process, never a moved-over one.
        proc_.reset();
        proc_.emplace(std::vector<std::string>{"mosquitto", "-c", conf_});
        if (!fbtest::wait_for_port(port_, fbtest::Millis(5000)))
            ADD_FAILURE() << "mosquitto did not start: " << proc_->err();
    }
    void stop()
    {
        if (proc_)
            proc_->stop();
    }
    std::string log() const { return proc_ ? proc_->err() : std::string(); }
    int port() const { return port_; }

private:
    int port_;
    std::string conf_;
    std::optional<fbtest::Process> proc_;
};

// mosquitto_sub on one topic; returns the payloads received so far, in order.
class Subscriber {
public:
    // `extra` adds options, e.g. a persistent session ({"-c", "-i", id, "-q", "1"}) that keeps its
    // subscription across a broker restart.
    Subscriber(int port, const std::string &topic, std::vector<std::string> extra = {}) : topic_(topic)
    {
        std::vector<std::string> argv = {"stdbuf", "-oL", "mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(port), "-t", topic,
                                         "-v", "-d"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        proc_.emplace(argv);
        if (!proc_->wait_out("SUBACK", fbtest::Millis(5000)))
            ADD_FAILURE() << "mosquitto_sub did not subscribe: " << proc_->err();
    }
    std::vector<std::string> messages() const
    {
        std::vector<std::string> out;
        std::istringstream in(proc_->out());
        std::string line;
        const std::string prefix = topic_ + " ";
        while (std::getline(in, line))
            if (line.rfind(prefix, 0) == 0)
                out.push_back(line.substr(prefix.size()));
        return out;
    }
    std::string log() const { return proc_->err() + proc_->out(); }
    bool wait_count(size_t n, fbtest::Millis timeout = fbtest::Millis(5000)) const
    {
        return fbtest::wait_until([&] { return messages().size() >= n; }, timeout);
    }

private:
    std::string topic_;
    std::optional<fbtest::Process> proc_;
};

} // namespace mttest

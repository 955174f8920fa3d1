// Our libmodbus slave (tools/modbus_sim) as a test peer: started as a real process, registers set
// and read back through its control file, stopped by its process id.
#pragma once

#include "fbtest/support.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace mbtest
{

class Sim
{
  public:
    // `transport` is {"--tcp", PORT} or {"--rtu", DEVICE}; `extra` adds presets and options.
    Sim(const std::string &control_dir, std::vector<std::string> transport, std::vector<std::string> extra = {})
        : control_(control_dir + "/modbus_sim.ctl")
    {
        std::vector<std::string> argv = {fbtest::bin("modbus_sim")};
        argv.insert(argv.end(), transport.begin(), transport.end());
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.push_back("--control");
        argv.push_back(control_);
        proc_ = fbtest::Process(argv);
        if (!proc_.wait_err("modbus_sim: ready", fbtest::Millis(5000)))
            throw std::runtime_error("modbus_sim did not start: " + proc_.err());
    }

    static Sim tcp(const std::string &dir, int port, std::vector<std::string> extra = {})
    {
        Sim s(dir, {"--tcp", std::to_string(port)}, std::move(extra));
        fbtest::wait_for_port(port);
        return s;
    }

    // Runs command lines in the slave and waits until they took effect.
    void command(const std::string &lines)
    {
        const std::string tmp = control_ + ".tmp";
        {
            std::ofstream out(tmp);
            out << lines << "\n";
        }
        std::filesystem::rename(tmp, control_);
        if (!fbtest::wait_until([&] { return !std::filesystem::exists(control_); }))
            throw std::runtime_error("modbus_sim did not take its commands");
    }

    // The values of `count` entries of a table ("hr", "ir", "co", "di") as "v v v".
    std::string get(const std::string &table, int addr, int count)
    {
        const std::string tag = table + " " + std::to_string(addr) + ":";
        const size_t before = proc_.out().size();
        command("get " + table + " " + std::to_string(addr) + " " + std::to_string(count));
        std::string line;
        fbtest::wait_until([&] {
            std::string out = proc_.out();
            size_t at = out.find(tag, before);
            size_t nl = at == std::string::npos ? at : out.find('\n', at);
            if (nl == std::string::npos)
                return false;
            line = out.substr(at + tag.size() + 1, nl - at - tag.size() - 1);
            return true;
        });
        return line;
    }

    fbtest::Process &process() { return proc_; }
    void stop() { proc_.stop(); }

  private:
    std::string control_;
    fbtest::Process proc_;
};

} // namespace mbtest

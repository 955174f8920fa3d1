// The real processes around the alarm and mail applets, started inside a test root: the bus
// daemon, the eventd/smsd/digital_io stand-ins, the SMTP server and the applets themselves.
#pragma once

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <librouter.h>

#include "email_notification/mail_test_support.h"
#include "fbtest/support.h"

namespace chain
{

// Environment of the applets: the programs of the root and of the build first on PATH (the alarm
// applet runs "ubus" from there), then the system's (msmtp).
inline std::map<std::string, std::string> applet_env(const fbtest::TempRoot &root)
{
    std::string bin_dir = fbtest::bin("");
    bin_dir.pop_back();
    return {{"PATH", root.path("/usr/bin") + ":" + bin_dir + ":/usr/bin:/bin"}, {"FIELDBRIDGE_LOG_STDERR", "1"}};
}

// True once the process sits in its event loop's wait: every start-up step of the applets
// (bus connection, subscription) runs synchronously before the loop, so that is their readiness.
inline bool in_event_loop(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
    long nr = -1;
    in >> nr;
    return nr == 232 /* epoll_wait */ || nr == 281 /* epoll_pwait */ || nr == 441 /* epoll_pwait2 */;
}

inline std::string usi(const std::string &key)
{
    char *v = usi_get(key.c_str());
    std::string out = v ? v : "";
    free(v);
    return out;
}

inline int usi_count(const std::string &list)
{
    return atoi(usi(list + "_count").c_str());
}

// The fields of every row recorded by a service stand-in in list `list`.
inline std::vector<std::map<std::string, std::string>> records(const std::string &list,
                                                               const std::vector<std::string> &fields)
{
    std::vector<std::map<std::string, std::string>> out;
    int n = usi_count(list);
    for (int row = 1; row <= n && row <= 100; ++row) {
        std::map<std::string, std::string> r;
        for (const auto &f : fields) {
            char *v = usi_list_get(list.c_str(), row, f.c_str());
            r[f] = v ? v : "";
            free(v);
        }
        out.push_back(std::move(r));
    }
    return out;
}

class Services
{
  public:
    explicit Services(const fbtest::TempRoot &root) : root_(root)
    {
        if (fbtest::run({fbtest::bin("install_into_root"), root.dir()}) != 0)
            throw std::runtime_error("install_into_root failed");
        bus_ = fbtest::Process({fbtest::bin("ubusd")}, applet_env(root));
        if (!fbtest::wait_for_path(root.path("/var/run/ubus/ubus.sock")))
            throw std::runtime_error("ubusd did not start: " + bus_.err());
    }

    // A service stand-in (eventd, smsd, digital_io), ready once its object is on the bus.
    void start_service(const std::string &name)
    {
        services_.emplace_back(std::vector<std::string>{fbtest::bin(name)}, applet_env(root_));
        if (fbtest::run({fbtest::bin("ubus"), "-t", "10", "wait_for", name}, nullptr, fbtest::Millis(15000)) != 0)
            throw std::runtime_error(name + " did not appear on the bus");
    }

    // An applet by its program name, with its arguments; waits until it runs its loop.
    fbtest::Process &start_applet(const std::string &program, std::vector<std::string> args = {})
    {
        args.insert(args.begin(), fbtest::bin(program));
        applets_.push_back(std::make_unique<fbtest::Process>(args, applet_env(root_)));
        fbtest::Process &p = *applets_.back();
        if (!fbtest::wait_until([&] { return !p.running() || in_event_loop(p.pid()); }, fbtest::Millis(10000)) ||
            !p.running())
            throw std::runtime_error(program + " did not start: " + p.err());
        return p;
    }

    ~Services()
    {
        for (auto &a : applets_) {
            a->stop();
            // In the sanitizer build a finding in an applet shows only in its own output.
            std::string err = a->err();
            if (err.find("Sanitizer") != std::string::npos || err.find("runtime error:") != std::string::npos)
                ADD_FAILURE() << "sanitizer report from an applet:\n" << err;
        }
        for (auto &s : services_)
            s.stop();
        bus_.stop();
    }

  private:
    const fbtest::TempRoot &root_;
    fbtest::Process bus_;
    std::vector<fbtest::Process> services_;
    std::vector<std::unique_ptr<fbtest::Process>> applets_;
};

} // namespace chain

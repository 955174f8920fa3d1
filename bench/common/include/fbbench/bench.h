// Shared by the benchmarks that run the daemons for real: figures from /proc and a counter of
// bus events received by the benchmark itself.
#pragma once

#include <libubox/uloop.h>
#include <libubus.h>

#include <sys/types.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace fbbench
{

// The number of a "Key:   value [kB]" line of /proc/<pid>/status (or smaps_rollup); -1 when absent.
inline long proc_number(pid_t pid, const std::string &key, const char *file = "status")
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key + ":", 0) == 0)
            return std::strtol(line.c_str() + key.size() + 1, nullptr, 10);
    return -1;
}

// Counts the events of one name on the bus while run_for() turns the loop. One per process.
class EventCounter
{
  public:
    explicit EventCounter(const char *event)
    {
        uloop_init();
        ctx_ = ubus_connect(nullptr);
        if (!ctx_)
            return;
        ubus_add_uloop(ctx_);
        handler_.cb = [](ubus_context *, ubus_event_handler *, const char *, blob_attr *) { ++count_; };
        ubus_register_event_handler(ctx_, &handler_, event);
    }
    ~EventCounter()
    {
        if (ctx_)
            ubus_free(ctx_);
        uloop_done();
    }
    EventCounter(const EventCounter &) = delete;
    EventCounter &operator=(const EventCounter &) = delete;

    bool connected() const { return ctx_ != nullptr; }
    long count() const { return count_; }

    void run_for(int ms)
    {
        static uloop_timeout done{};
        done.cb = [](uloop_timeout *) { uloop_end(); };
        uloop_timeout_set(&done, ms);
        uloop_run();
    }

  private:
    static inline long count_ = 0;
    ubus_context *ctx_ = nullptr;
    ubus_event_handler handler_{};
};

} // namespace fbbench

// Work handed from another thread (the MQTT library's callback thread) to the event loop: the
// closures run on the loop thread, in the order they were posted, so the loop's state is only
// ever touched from one thread.
#pragma once

#include <deque>
#include <functional>
#include <mutex>

#include <libubox/uloop.h>

namespace transport {

class Mailbox {
public:
    Mailbox(); // uloop_init must have been called
    ~Mailbox();
    Mailbox(const Mailbox &) = delete;
    Mailbox &operator=(const Mailbox &) = delete;

    // Safe from any thread.
    void post(std::function<void()> fn);
    // Runs everything posted so far (the loop does this by itself).
    void drain();

private:
    struct Watch {
        uloop_fd fd; // first member: the loop hands back a pointer to it
        Mailbox *self;
    };
    static void on_readable(uloop_fd *fd, unsigned int events);

    int pipe_[2] = {-1, -1};
    Watch watch_{};
    std::mutex mutex_;
    std::deque<std::function<void()>> queue_;
};

} // namespace transport

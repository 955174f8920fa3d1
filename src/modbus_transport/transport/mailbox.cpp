#include "transport/mailbox.h"

#include <fcntl.h>
#include <unistd.h>

namespace transport {

Mailbox::Mailbox()
{
    if (pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    watch_.fd.fd = pipe_[0];
    watch_.fd.cb = on_readable;
    watch_.self = this;
    uloop_fd_add(&watch_.fd, ULOOP_READ);
}

Mailbox::~Mailbox()
{
    if (pipe_[0] >= 0) {
        uloop_fd_delete(&watch_.fd);
        close(pipe_[0]);
        close(pipe_[1]);
    }
}

void Mailbox::post(std::function<void()> fn)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(fn));
    }
    char b = 1;
    ssize_t ignored = write(pipe_[1], &b, 1);
    (void)ignored;
}

void Mailbox::drain()
{
    char buf[64];
    while (read(pipe_[0], buf, sizeof buf) > 0) {
    }
    for (;;) {
        std::function<void()> fn;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (queue_.empty())
                return;
            fn = std::move(queue_.front());
            queue_.pop_front();
        }
        fn();
    }
}

void Mailbox::on_readable(uloop_fd *fd, unsigned int)
{
    reinterpret_cast<Watch *>(fd)->self->drain();
}

} // namespace transport

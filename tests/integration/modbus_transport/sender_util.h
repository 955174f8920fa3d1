// Servers for the sender tests: a raw TCP listener driven from the test thread, and the HTTP and
// FTP servers as child processes. Everything listens on 127.0.0.1 on ports picked at run time.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "chain_util.h"

namespace mtsend {

// One listening socket; accepts and reads on demand, with deadlines.
class TcpServer {
public:
    explicit TcpServer(int port = 0) { listen_on(port); }
    ~TcpServer()
    {
        drop_client();
        if (listen_fd_ >= 0)
            close(listen_fd_);
    }
    TcpServer(const TcpServer &) = delete;
    TcpServer &operator=(const TcpServer &) = delete;

    int port() const { return port_; }

    bool accept_client(fbtest::Millis timeout = fbtest::Millis(10000))
    {
        drop_client();
        pollfd p{listen_fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
            return false;
        client_ = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC); // child processes must not keep it open
        return client_ >= 0;
    }
    // Reads until the text received since the last accept contains `text`.
    bool wait_for(const std::string &text, fbtest::Millis timeout = fbtest::Millis(10000))
    {
        auto end = std::chrono::steady_clock::now() + timeout;
        while (received_.find(text) == std::string::npos) {
            if (!read_some(end))
                return false;
        }
        return true;
    }
    // True when the client closed its end before the deadline.
    bool wait_closed(fbtest::Millis timeout = fbtest::Millis(10000))
    {
        auto end = std::chrono::steady_clock::now() + timeout;
        while (client_ >= 0)
            if (!read_some(end))
                return client_ < 0;
        return true;
    }
    bool send(const std::string &text) const
    {
        return client_ >= 0 && ::send(client_, text.data(), text.size(), MSG_NOSIGNAL) == ssize_t(text.size());
    }
    void drop_client()
    {
        if (client_ >= 0)
            close(client_);
        client_ = -1;
    }
    // Stops listening (connections are refused) and starts again on the same port.
    void stop_listening()
    {
        close(listen_fd_);
        listen_fd_ = -1;
    }
    void listen_again() { listen_on(port_); }
    const std::string &received() const { return received_; }
    void clear() { received_.clear(); }

private:
    void listen_on(int port)
    {
        listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(listen_fd_, 4) != 0)
            ADD_FAILURE() << "cannot listen on 127.0.0.1:" << port;
        socklen_t len = sizeof a;
        getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    bool read_some(std::chrono::steady_clock::time_point end)
    {
        if (client_ < 0)
            return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{client_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return false;
        char buf[4096];
        ssize_t n = recv(client_, buf, sizeof buf, 0);
        if (n <= 0) {
            drop_client();
            return false;
        }
        received_.append(buf, size_t(n));
        return true;
    }

    int listen_fd_ = -1;
    int port_ = 0;
    int client_ = -1;
    std::string received_;
};

inline std::string element(const std::string &protocol, const std::string &address, int port, const std::string &extra)
{
    return R"({"id":"1","enable":"true","protocol":")" + protocol + R"(","server_address":")" + address +
           R"(","server_port":")" + std::to_string(port) +
           R"(","reconnect_interval":"1","connect_timeout":"3","data_location":"ram","send_interval":"0",)"
           R"("number_of_sent":"20","data_format":"$VALUE")" +
           extra + R"(,"channel":)" + mtchain::kAllChannels + "}";
}

inline size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++n;
    return n;
}

} // namespace mtsend

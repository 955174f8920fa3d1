// A scripted Modbus slave for the faults a real one will not produce (bad CRC, another slave's
// reply, stale transaction ids, cut or overlong replies, silence). It runs on a thread of the test,
// reads whole requests (TCP on 127.0.0.1, or RTU on one end of a pseudo-terminal pair) and answers
// each with whatever the script returns.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace mbtest
{

using Bytes = std::vector<uint8_t>;

class FakeSlave
{
  public:
    // (request, 0-based request number) -> reply bytes; empty means silence.
    using Script = std::function<Bytes(const Bytes &request, int number)>;

    static FakeSlave *tcp(Script script);
    static FakeSlave *rtu(const std::string &device, Script script);
    ~FakeSlave();

    int port() const { return port_; }
    int requests() const { return requests_; }
    int connections() const { return connections_; }

  private:
    FakeSlave() = default;
    void run();
    bool read_request(int fd, Bytes &out);

    Script script_;
    bool tcp_ = false;
    int listen_fd_ = -1;
    int device_fd_ = -1;
    int port_ = 0;
    int wake_[2] = {-1, -1};
    std::atomic<int> requests_{0};
    std::atomic<int> connections_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

Bytes hex(const std::string &text);
Bytes with_crc(Bytes frame);
// The normal TCP reply header for `request` (transaction id, protocol 0, length, unit, function).
Bytes tcp_header(const Bytes &request, size_t pdu_length);

} // namespace mbtest

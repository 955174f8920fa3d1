// Helpers of the IEC 104 tests: hex octet strings, and a raw TCP peer that speaks octets built in
// the test, independent of the library's encoders.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "iec104/server.h"

namespace iec104test {

using Bytes = std::vector<uint8_t>;

// "68 04 07 00 00 00" -> octets.
Bytes hex(const std::string &text);
std::string to_hex(std::span<const uint8_t> octets);

// A TCP connection to 127.0.0.1 that the test drives octet by octet. While it waits for frames it
// ticks the server under test, so both run on the test's thread.
class RawPeer {
public:
    explicit RawPeer(uint16_t port);
    ~RawPeer();
    RawPeer(const RawPeer &) = delete;
    RawPeer &operator=(const RawPeer &) = delete;

    bool connected() const { return fd_ >= 0; }
    void send(const Bytes &octets);
    // Next complete frame (by its length octet); empty on timeout or when the server closed.
    Bytes next_frame(iec104::Server &server, int timeout_ms = 2000);
    // Waits until the server closes the connection.
    bool wait_closed(iec104::Server &server, int timeout_ms = 2000);

private:
    bool fill(iec104::Server &server, size_t want, int timeout_ms);
    int fd_ = -1;
    bool eof_ = false;
    Bytes buf_;
};

// Octets of an I-frame around `asdu`, with N(S) and N(R).
Bytes i_frame(uint16_t ns, uint16_t nr, const Bytes &asdu);
Bytes s_frame(uint16_t nr);

} // namespace iec104test

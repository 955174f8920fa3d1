// Why a peer's input was refused, counted per reason so that an operator can see what a misbehaving
// peer did without verbose tracing. Every refusal also produces one log line through LogHandler.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "iec104/types.h"

namespace iec104 {

enum class Rejection : uint8_t {
    // The link is closed for these.
    BadStartByte,       // an APDU did not start with 0x68
    BadLength,          // APDU length below 4, above 253, or wrong for its format
    BadControlField,    // control field of no known format or function
    UnexpectedSendSeq,  // I-frame whose N(S) is not the next expected one
    BadAck,             // N(R) acknowledging frames that were never sent
    T1Timeout,          // sent frames or U-frame requests not confirmed within t1
    MalformedAsdu,      // ASDU header or objects do not fit the octets received
    OutputOverflow,     // the peer does not read what we send
    // The ASDU is answered negatively (or dropped) and the link stays open.
    UnknownType,
    UnknownCause,
    UnknownCommonAddress,
    UnknownIoa,
    InterrogationRefused,
    ClockSyncRefused,
    CommandRefused,
    AsduWhileStopped,   // I-frame received before STARTDT or after STOPDT
    UnexpectedUFrame,   // a confirmation nobody asked for, or a request for the other role
    // Connection requests.
    ConnectionLimit,
    ConnectionRefused,
    // Our own queues.
    LowPriorityQueueFull,
    HighPriorityQueueFull,
    Count_,
};

inline constexpr size_t kRejectionCount = static_cast<size_t>(Rejection::Count_);

const char *to_string(Rejection reason);

struct Counters {
    std::array<uint64_t, kRejectionCount> rejected{};
    uint64_t connections_accepted = 0;
    uint64_t frames_received = 0;
    uint64_t frames_sent = 0;
    uint64_t asdus_received = 0;
    uint64_t asdus_sent = 0;

    uint64_t operator[](Rejection r) const { return rejected[static_cast<size_t>(r)]; }
    void count(Rejection r) { ++rejected[static_cast<size_t>(r)]; }
    uint64_t total_rejected() const
    {
        uint64_t sum = 0;
        for (uint64_t v : rejected)
            sum += v;
        return sum;
    }
};

using LogHandler = std::function<void(LogLevel level, const std::string &text)>;

} // namespace iec104

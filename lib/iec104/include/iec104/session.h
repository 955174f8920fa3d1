// One connection's link layer: sequence numbers, the k and w windows, timers t1/t2/t3 and the U-frame
// procedures (STARTDT, STOPDT, TESTFR). It performs no I/O and reads no clock: the owner feeds it the
// octets it received and the current time, takes the octets it must send from output(), and calls
// tick() at next_deadline().
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "iec104/apci.h"
#include "iec104/diagnostics.h"
#include "iec104/types.h"

namespace iec104 {

enum class Role : uint8_t {
    ControlledStation,  // answers STARTDT/STOPDT; sends data only while started
    ControllingStation, // requests STARTDT/STOPDT
};

// The layer above a session.
class SessionUser {
public:
    virtual ~SessionUser() = default;
    // An I-frame's ASDU, in sequence. Not called for a controlled station that is stopped.
    virtual void on_asdu(std::span<const uint8_t> asdu) = 0;
    // Data transfer started or stopped (STARTDT act received / STARTDT con received, and so on).
    virtual void on_started() {}
    virtual void on_stopped() {}
    // Every complete frame received (before it is checked) and every frame produced.
    virtual void on_frame(std::span<const uint8_t> /*frame*/, bool /*sent*/) {}
    // A refusal, closing or not; `detail` completes the reason for the log.
    virtual void on_rejection(Rejection /*reason*/, const char * /*detail*/) {}
};

class Session {
public:
    // Octets waiting in output() beyond which no further I-frame is produced, and beyond which the
    // session gives up on a peer that does not read.
    static constexpr size_t kSendHighWater = 16 * 1024;
    static constexpr size_t kOutputLimit = 64 * 1024;

    Session(Role role, const ApciParameters &params, SessionUser &user, TimePoint now);

    void receive(std::span<const uint8_t> octets, TimePoint now);
    void tick(TimePoint now);
    // When tick() has work to do next; nothing once closed.
    std::optional<TimePoint> next_deadline() const;

    bool started() const { return started_; }
    // An I-frame may be sent now: started, within k, output not backed up.
    bool can_send() const;
    // False (and nothing sent) unless can_send().
    bool send_asdu(std::span<const uint8_t> asdu, TimePoint now);

    // Controlling station: STARTDT act / STOPDT act, each confirmed within t1.
    void request_start(TimePoint now);
    void request_stop(TimePoint now);

    std::span<const uint8_t> output() const { return {out_.data() + out_head_, out_.size() - out_head_}; }
    void consume_output(size_t n);

    bool closed() const { return closed_; }
    // Why the session closed itself; nothing when it is open or was closed by close().
    std::optional<Rejection> close_reason() const { return close_reason_; }
    // Closes for a reason found above the link (a malformed ASDU): counted and logged like the
    // link's own reasons.
    void fail(Rejection reason, const char *detail);
    void close() { closed_ = true; }

    uint16_t send_seq() const { return vs_; }
    uint16_t recv_seq() const { return vr_; }
    uint16_t unacknowledged_sent() const { return static_cast<uint16_t>(sent_times_.size()); }
    uint16_t unacknowledged_received() const { return unacked_rx_; }

private:
    void handle_frame(std::span<const uint8_t> frame, TimePoint now);
    void handle_u(UFunction f, TimePoint now);
    bool handle_ack(uint16_t nr);
    void emit(std::span<const uint8_t> frame);
    void send_s();
    void send_u(UFunction f);

    Role role_;
    ApciParameters params_;
    SessionUser &user_;
    ApduFramer framer_;

    bool closed_ = false;
    std::optional<Rejection> close_reason_;
    bool started_ = false;
    bool stop_con_pending_ = false; // STOPDT act received; con once our frames are acknowledged

    uint16_t vs_ = 0;  // next N(S) to send
    uint16_t ack_ = 0; // oldest unacknowledged N(S)
    uint16_t vr_ = 0;  // next N(S) expected
    uint16_t unacked_rx_ = 0;
    TimePoint first_unacked_rx_{};
    TimePoint last_rx_{};
    std::deque<TimePoint> sent_times_; // one per unacknowledged I-frame, oldest first

    std::optional<TimePoint> test_since_;          // our TESTFR act awaiting con
    std::optional<UFunction> control_pending_;     // our STARTDT/STOPDT act awaiting con
    TimePoint control_since_{};

    std::vector<uint8_t> out_;
    size_t out_head_ = 0;
};

} // namespace iec104

#include "iec104/session.h"

#include <cstdio>

namespace iec104 {

Session::Session(Role role, const ApciParameters &params, SessionUser &user, TimePoint now)
    : role_(role), params_(params), user_(user), last_rx_(now)
{
}

void Session::receive(std::span<const uint8_t> octets, TimePoint now)
{
    size_t pos = 0;
    while (pos < octets.size() && !closed_) {
        size_t used = 0;
        const ApduFramer::Status st = framer_.push(octets.subspan(pos), used);
        pos += used;
        if (st == ApduFramer::Status::Error) {
            const ApciError e = framer_.error();
            fail(e == ApciError::BadStartByte ? Rejection::BadStartByte : Rejection::BadLength, to_string(e));
            return;
        }
        if (st == ApduFramer::Status::Frame)
            handle_frame(framer_.frame(), now);
    }
}

void Session::handle_frame(std::span<const uint8_t> frame, TimePoint now)
{
    user_.on_frame(frame, false);
    Apdu apdu;
    const ApciError e = parse_apdu(frame, apdu);
    if (e != ApciError::Ok) {
        fail(e == ApciError::BadControlField ? Rejection::BadControlField : Rejection::BadLength, to_string(e));
        return;
    }
    last_rx_ = now;
    switch (apdu.apci.format) {
    case FrameFormat::I: {
        if (apdu.apci.send_seq != vr_) {
            char detail[64];
            std::snprintf(detail, sizeof detail, "N(S) %u, expected %u", apdu.apci.send_seq, vr_);
            fail(Rejection::UnexpectedSendSeq, detail);
            return;
        }
        if (!handle_ack(apdu.apci.recv_seq))
            return;
        vr_ = seq_next(vr_);
        if (unacked_rx_ == 0)
            first_unacked_rx_ = now;
        ++unacked_rx_;
        if (role_ == Role::ControlledStation && !started_)
            user_.on_rejection(Rejection::AsduWhileStopped, "data transfer not started");
        else
            user_.on_asdu(apdu.asdu);
        if (!closed_ && unacked_rx_ >= params_.w)
            send_s();
        break;
    }
    case FrameFormat::S:
        handle_ack(apdu.apci.recv_seq);
        break;
    case FrameFormat::U:
        handle_u(apdu.apci.function, now);
        break;
    }
}

bool Session::handle_ack(uint16_t nr)
{
    const uint16_t outstanding = seq_distance(ack_, vs_);
    const uint16_t acked = seq_distance(ack_, nr);
    if (acked > outstanding) {
        char detail[64];
        std::snprintf(detail, sizeof detail, "N(R) %u, unacknowledged %u..%u", nr, ack_, vs_);
        fail(Rejection::BadAck, detail);
        return false;
    }
    for (uint16_t i = 0; i < acked; ++i)
        sent_times_.pop_front();
    ack_ = nr;
    if (stop_con_pending_ && sent_times_.empty()) {
        stop_con_pending_ = false;
        send_u(UFunction::StopDtCon);
    }
    return true;
}

void Session::handle_u(UFunction f, TimePoint now)
{
    const bool controlled = role_ == Role::ControlledStation;
    switch (f) {
    case UFunction::StartDtAct:
        if (!controlled)
            break;
        stop_con_pending_ = false;
        send_u(UFunction::StartDtCon);
        if (!started_) {
            started_ = true;
            user_.on_started();
        }
        return;
    case UFunction::StopDtAct: {
        if (!controlled)
            break;
        const bool was_started = started_;
        started_ = false;
        if (unacked_rx_ > 0)
            send_s();
        // Confirmed only once everything we sent is acknowledged, so that the controlling station
        // knows no data is still under way.
        if (sent_times_.empty())
            send_u(UFunction::StopDtCon);
        else
            stop_con_pending_ = true;
        if (was_started)
            user_.on_stopped();
        return;
    }
    case UFunction::TestFrAct:
        send_u(UFunction::TestFrCon);
        return;
    case UFunction::TestFrCon:
        if (!test_since_)
            break;
        test_since_.reset();
        return;
    case UFunction::StartDtCon:
        if (controlled || control_pending_ != UFunction::StartDtAct)
            break;
        control_pending_.reset();
        if (!started_) {
            started_ = true;
            user_.on_started();
        }
        return;
    case UFunction::StopDtCon:
        if (controlled || control_pending_ != UFunction::StopDtAct)
            break;
        control_pending_.reset();
        if (started_) {
            started_ = false;
            user_.on_stopped();
        }
        return;
    }
    (void)now;
    user_.on_rejection(Rejection::UnexpectedUFrame, to_string(f));
}

void Session::tick(TimePoint now)
{
    if (closed_)
        return;
    if (!sent_times_.empty() && now - sent_times_.front() >= params_.t1) {
        char detail[64];
        std::snprintf(detail, sizeof detail, "%zu I-frames unacknowledged", sent_times_.size());
        fail(Rejection::T1Timeout, detail);
        return;
    }
    if (test_since_ && now - *test_since_ >= params_.t1) {
        fail(Rejection::T1Timeout, "no TESTFR con");
        return;
    }
    if (control_pending_ && now - control_since_ >= params_.t1) {
        fail(Rejection::T1Timeout, *control_pending_ == UFunction::StartDtAct ? "no STARTDT con" : "no STOPDT con");
        return;
    }
    if (unacked_rx_ > 0 && now - first_unacked_rx_ >= params_.t2)
        send_s();
    if (!test_since_ && now - last_rx_ >= params_.t3) {
        send_u(UFunction::TestFrAct);
        test_since_ = now;
    }
}

std::optional<TimePoint> Session::next_deadline() const
{
    if (closed_)
        return std::nullopt;
    TimePoint d = test_since_ ? *test_since_ + params_.t1 : last_rx_ + params_.t3;
    auto earlier = [&d](TimePoint t) {
        if (t < d)
            d = t;
    };
    if (!sent_times_.empty())
        earlier(sent_times_.front() + params_.t1);
    if (control_pending_)
        earlier(control_since_ + params_.t1);
    if (unacked_rx_ > 0)
        earlier(first_unacked_rx_ + params_.t2);
    return d;
}

bool Session::can_send() const
{
    return !closed_ && started_ && !stop_con_pending_ && control_pending_ != UFunction::StopDtAct &&
           sent_times_.size() < params_.k && output().size() < kSendHighWater;
}

bool Session::send_asdu(std::span<const uint8_t> asdu, TimePoint now)
{
    if (!can_send())
        return false;
    std::array<uint8_t, kMaxFrameSize> frame;
    ByteWriter w(frame);
    if (!encode_i_frame(vs_, vr_, asdu, w))
        return false;
    emit(w.written());
    if (closed_)
        return false;
    sent_times_.push_back(now);
    vs_ = seq_next(vs_);
    unacked_rx_ = 0; // N(R) of this frame acknowledges everything received
    return true;
}

void Session::request_start(TimePoint now)
{
    if (closed_ || role_ != Role::ControllingStation)
        return;
    send_u(UFunction::StartDtAct);
    control_pending_ = UFunction::StartDtAct;
    control_since_ = now;
}

void Session::request_stop(TimePoint now)
{
    if (closed_ || role_ != Role::ControllingStation)
        return;
    if (unacked_rx_ > 0)
        send_s();
    send_u(UFunction::StopDtAct);
    control_pending_ = UFunction::StopDtAct;
    control_since_ = now;
}

void Session::consume_output(size_t n)
{
    const size_t pending = out_.size() - out_head_;
    out_head_ += n < pending ? n : pending;
    if (out_head_ == out_.size()) {
        out_.clear();
        out_head_ = 0;
    } else if (out_head_ >= 4096) {
        out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(out_head_));
        out_head_ = 0;
    }
}

void Session::fail(Rejection reason, const char *detail)
{
    if (closed_)
        return;
    closed_ = true;
    close_reason_ = reason;
    user_.on_rejection(reason, detail);
}

void Session::emit(std::span<const uint8_t> frame)
{
    if (closed_)
        return;
    if (output().size() + frame.size() > kOutputLimit) {
        fail(Rejection::OutputOverflow, "peer does not read");
        return;
    }
    out_.insert(out_.end(), frame.begin(), frame.end());
    user_.on_frame(frame, true);
}

void Session::send_s()
{
    emit(encode_s_frame(vr_));
    unacked_rx_ = 0;
}

void Session::send_u(UFunction f) { emit(encode_u_frame(f)); }

} // namespace iec104

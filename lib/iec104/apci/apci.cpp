#include "iec104/apci.h"

#include <algorithm>
#include <cstring>

namespace iec104 {

const char *to_string(ApciError e)
{
    switch (e) {
    case ApciError::Ok: return "ok";
    case ApciError::Truncated: return "truncated APDU";
    case ApciError::BadStartByte: return "bad start octet";
    case ApciError::BadLength: return "bad APDU length";
    case ApciError::BadControlField: return "bad control field";
    }
    return "?";
}

const char *to_string(UFunction f)
{
    switch (f) {
    case UFunction::StartDtAct: return "STARTDT act";
    case UFunction::StartDtCon: return "STARTDT con";
    case UFunction::StopDtAct: return "STOPDT act";
    case UFunction::StopDtCon: return "STOPDT con";
    case UFunction::TestFrAct: return "TESTFR act";
    case UFunction::TestFrCon: return "TESTFR con";
    }
    return "?";
}

namespace {

bool known_u_function(uint8_t c1)
{
    switch (static_cast<UFunction>(c1)) {
    case UFunction::StartDtAct:
    case UFunction::StartDtCon:
    case UFunction::StopDtAct:
    case UFunction::StopDtCon:
    case UFunction::TestFrAct:
    case UFunction::TestFrCon:
        return true;
    }
    return false;
}

uint16_t seq_from(uint8_t lo, uint8_t hi) { return static_cast<uint16_t>((lo | (hi << 8)) >> 1); }

} // namespace

ApciError parse_apdu(std::span<const uint8_t> frame, Apdu &out)
{
    if (frame.size() < 2)
        return ApciError::Truncated;
    if (frame[0] != kStartByte)
        return ApciError::BadStartByte;
    const size_t length = frame[1];
    if (length < kMinApduLength || length > kMaxApduLength)
        return ApciError::BadLength;
    if (frame.size() < length + 2)
        return ApciError::Truncated;
    if (frame.size() > length + 2)
        return ApciError::BadLength;

    const uint8_t c1 = frame[2], c2 = frame[3], c3 = frame[4], c4 = frame[5];
    Apdu apdu;
    if ((c1 & 0x01) == 0) {
        if (c3 & 0x01)
            return ApciError::BadControlField;
        if (length == kMinApduLength)
            return ApciError::BadLength;
        apdu.apci.format = FrameFormat::I;
        apdu.apci.send_seq = seq_from(c1, c2);
        apdu.apci.recv_seq = seq_from(c3, c4);
        apdu.asdu = frame.subspan(6);
    } else if ((c1 & 0x03) == 0x01) {
        if (c1 != 0x01 || c2 != 0 || (c3 & 0x01))
            return ApciError::BadControlField;
        if (length != kMinApduLength)
            return ApciError::BadLength;
        apdu.apci.format = FrameFormat::S;
        apdu.apci.recv_seq = seq_from(c3, c4);
    } else {
        if (!known_u_function(c1) || c2 != 0 || c3 != 0 || c4 != 0)
            return ApciError::BadControlField;
        if (length != kMinApduLength)
            return ApciError::BadLength;
        apdu.apci.format = FrameFormat::U;
        apdu.apci.function = static_cast<UFunction>(c1);
    }
    out = apdu;
    return ApciError::Ok;
}

std::array<uint8_t, 6> encode_s_frame(uint16_t recv_seq)
{
    const uint16_t nr = static_cast<uint16_t>((recv_seq % kSeqModulo) << 1);
    return {kStartByte, 0x04, 0x01, 0x00, static_cast<uint8_t>(nr & 0xFF), static_cast<uint8_t>(nr >> 8)};
}

std::array<uint8_t, 6> encode_u_frame(UFunction f)
{
    return {kStartByte, 0x04, static_cast<uint8_t>(f), 0x00, 0x00, 0x00};
}

bool encode_i_frame(uint16_t send_seq, uint16_t recv_seq, std::span<const uint8_t> asdu, ByteWriter &w)
{
    if (asdu.empty() || asdu.size() > kMaxAsduSize)
        return false;
    const uint16_t ns = static_cast<uint16_t>((send_seq % kSeqModulo) << 1);
    const uint16_t nr = static_cast<uint16_t>((recv_seq % kSeqModulo) << 1);
    w.u8(kStartByte);
    w.u8(static_cast<uint8_t>(asdu.size() + 4));
    w.u16le(ns);
    w.u16le(nr);
    w.bytes(asdu);
    return w.ok();
}

ApduFramer::Status ApduFramer::push(std::span<const uint8_t> in, size_t &consumed)
{
    consumed = 0;
    if (complete_) {
        have_ = 0;
        complete_ = false;
    }
    if (error_ != ApciError::Ok)
        return Status::Error;
    while (consumed < in.size()) {
        if (have_ == 0) {
            if (in[consumed] != kStartByte) {
                error_ = ApciError::BadStartByte;
                return Status::Error;
            }
            buf_[have_++] = in[consumed++];
            continue;
        }
        if (have_ == 1) {
            const uint8_t length = in[consumed];
            if (length < kMinApduLength || length > kMaxApduLength) {
                error_ = ApciError::BadLength;
                return Status::Error;
            }
            buf_[have_++] = in[consumed++];
            continue;
        }
        const size_t total = size_t{buf_[1]} + 2;
        const size_t take = std::min(total - have_, in.size() - consumed);
        std::memcpy(&buf_[have_], &in[consumed], take);
        have_ += take;
        consumed += take;
        if (have_ == total) {
            complete_ = true;
            return Status::Frame;
        }
    }
    return Status::NeedMore;
}

void ApduFramer::reset()
{
    have_ = 0;
    complete_ = false;
    error_ = ApciError::Ok;
}

} // namespace iec104

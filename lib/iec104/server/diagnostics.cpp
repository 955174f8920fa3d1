#include "iec104/diagnostics.h"

namespace iec104 {

const char *to_string(Rejection reason)
{
    switch (reason) {
    case Rejection::BadStartByte: return "bad start octet";
    case Rejection::BadLength: return "bad APDU length";
    case Rejection::BadControlField: return "bad control field";
    case Rejection::UnexpectedSendSeq: return "unexpected send sequence number";
    case Rejection::BadAck: return "acknowledgement of frames never sent";
    case Rejection::T1Timeout: return "t1 expired";
    case Rejection::MalformedAsdu: return "malformed ASDU";
    case Rejection::OutputOverflow: return "send buffer overflow";
    case Rejection::UnknownType: return "unknown type identification";
    case Rejection::UnknownCause: return "unknown cause of transmission";
    case Rejection::UnknownCommonAddress: return "unknown common address";
    case Rejection::UnknownIoa: return "unknown information object address";
    case Rejection::InterrogationRefused: return "interrogation refused";
    case Rejection::ClockSyncRefused: return "clock synchronisation refused";
    case Rejection::CommandRefused: return "command refused";
    case Rejection::AsduWhileStopped: return "ASDU while data transfer stopped";
    case Rejection::UnexpectedUFrame: return "unexpected U-frame";
    case Rejection::ConnectionLimit: return "connection limit reached";
    case Rejection::ConnectionRefused: return "connection refused";
    case Rejection::LowPriorityQueueFull: return "low-priority queue full";
    case Rejection::HighPriorityQueueFull: return "high-priority queue full";
    case Rejection::Count_: break;
    }
    return "?";
}

} // namespace iec104

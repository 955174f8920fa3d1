// Vocabulary shared by the codecs, the link layer, the controlled station and the controlling
// station: type identifications, causes of transmission, field sizes, link parameters, time.
#pragma once

#include <chrono>
#include <cstdint>

namespace iec104 {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Millis = std::chrono::milliseconds;

// Type identification (first octet of the ASDU). Any octet value can be held; type_name() tells
// which ones this stack can decode.
enum class TypeId : uint8_t {
    M_SP_NA_1 = 1,   // single point
    M_DP_NA_1 = 3,   // double point
    M_ST_NA_1 = 5,   // step position
    M_BO_NA_1 = 7,   // bitstring of 32 bits
    M_ME_NA_1 = 9,   // measured value, normalized
    M_ME_NB_1 = 11,  // measured value, scaled
    M_ME_NC_1 = 13,  // measured value, short floating point
    M_IT_NA_1 = 15,  // integrated totals
    M_ME_ND_1 = 21,  // measured value, normalized, without quality descriptor
    M_SP_TB_1 = 30,  // ... with CP56Time2a
    M_DP_TB_1 = 31,
    M_ST_TB_1 = 32,
    M_BO_TB_1 = 33,
    M_ME_TD_1 = 34,
    M_ME_TE_1 = 35,
    M_ME_TF_1 = 36,
    M_IT_TB_1 = 37,
    C_SC_NA_1 = 45,  // single command
    C_DC_NA_1 = 46,  // double command
    C_SE_NA_1 = 48,  // set point, normalized
    C_SE_NB_1 = 49,  // set point, scaled
    C_SE_NC_1 = 50,  // set point, short floating point
    C_SC_TA_1 = 58,  // ... with CP56Time2a
    C_DC_TA_1 = 59,
    C_SE_TA_1 = 61,
    C_SE_TB_1 = 62,
    C_SE_TC_1 = 63,
    M_EI_NA_1 = 70,  // end of initialisation
    C_IC_NA_1 = 100, // interrogation
    C_CS_NA_1 = 103, // clock synchronisation
    C_TS_TA_1 = 107, // test command with CP56Time2a
};

// "M_SP_NA_1" etc., or nullptr for a type this stack does not decode.
const char *type_name(TypeId type);

// Cause of transmission (six bits).
enum class Cause : uint8_t {
    Periodic = 1,
    Background = 2,
    Spontaneous = 3,
    Initialized = 4,
    Request = 5,
    Activation = 6,
    ActivationCon = 7,
    Deactivation = 8,
    DeactivationCon = 9,
    ActivationTermination = 10,
    ReturnRemote = 11,
    ReturnLocal = 12,
    File = 13,
    InterrogatedByStation = 20, // 21..36: interrogated by group 1..16
    CounterRequest = 37,        // 38..41: counter request by group 1..4
    UnknownType = 44,
    UnknownCause = 45,
    UnknownCommonAddress = 46,
    UnknownIoa = 47,
};

// "per/cyc", "act", "inrogen", ... or "cause N" for values without a name (into a static buffer
// for those, so copy it before the next call).
const char *cause_name(Cause cause);

// Sizes of the variable fields of the ASDU header and object addresses, agreed per system.
struct AppLayerParameters {
    uint8_t cot_size = 2; // 1, or 2 with the originator address
    uint8_t ca_size = 2;  // 1 or 2
    uint8_t ioa_size = 3; // 1 to 3

    bool valid() const
    {
        return (cot_size == 1 || cot_size == 2) && (ca_size == 1 || ca_size == 2) && ioa_size >= 1 &&
               ioa_size <= 3;
    }
    // Common address that addresses every station (all ones).
    uint16_t broadcast_address() const { return ca_size == 1 ? 0xFF : 0xFFFF; }
    uint32_t max_ioa() const { return ioa_size == 3 ? 0xFFFFFF : ioa_size == 2 ? 0xFFFF : 0xFF; }
    uint16_t max_ca() const { return broadcast_address(); }
};

// Link parameters: k (unacknowledged I-frames we may send), w (I-frames we receive before we
// acknowledge), t1 (acknowledgement timeout), t2 (acknowledge at the latest), t3 (idle test).
struct ApciParameters {
    uint16_t k = 12;
    uint16_t w = 8;
    Millis t1 = std::chrono::seconds(15);
    Millis t2 = std::chrono::seconds(10);
    Millis t3 = std::chrono::seconds(20);

    bool valid() const
    {
        return k >= 1 && k <= 32767 && w >= 1 && w <= 32767 && t1.count() > 0 && t2.count() > 0 && t3.count() > 0;
    }
};

// Octets of the quality descriptors (QDS, and the upper nibble of SIQ and DIQ).
namespace quality {
inline constexpr uint8_t Overflow = 0x01;    // OV (QDS only)
inline constexpr uint8_t Blocked = 0x10;     // BL
inline constexpr uint8_t Substituted = 0x20; // SB
inline constexpr uint8_t NotTopical = 0x40;  // NT
inline constexpr uint8_t Invalid = 0x80;     // IV
} // namespace quality

enum class LogLevel : uint8_t { Error, Warning, Info, Debug };

} // namespace iec104

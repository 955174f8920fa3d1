// ASDU codec: data unit identifier (type, variable structure qualifier, cause of transmission,
// common address) followed by information objects (address, element, optional CP56Time2a).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "iec104/bytes.h"
#include "iec104/time.h"
#include "iec104/types.h"

namespace iec104 {

enum class AsduError : uint8_t {
    Ok,
    BadParameters,    // field sizes outside 1..2 / 1..2 / 1..3
    Truncated,        // header incomplete, or fewer octets than the element count needs
    EmptyAsdu,        // element count 0
    UnknownType,      // header valid, type not decodable here
    TrailingOctets,   // octets left after the last element
    TooManyObjects,   // more than 127
    ObjectMismatch,   // element or time tag does not belong to the header's type
    AddressRange,     // IOA or common address does not fit its field
    NotContiguous,    // SQ=1 with addresses that do not follow each other
    TooLong,          // more than 249 octets
};

const char *to_string(AsduError e);

struct AsduHeader {
    TypeId type = TypeId::M_SP_NA_1;
    bool sequence = false; // SQ: one address, elements at consecutive addresses
    uint8_t count = 0;     // number of objects (SQ=0) or elements (SQ=1), 0..127
    Cause cause = Cause::Spontaneous;
    bool negative = false; // P/N
    bool test = false;     // T
    uint8_t originator = 0;
    uint16_t common_address = 0;
};

// ---- Information elements ----
struct SinglePoint { // SIQ
    bool on = false;
    uint8_t quality = 0; // BL SB NT IV
    bool operator==(const SinglePoint &) const = default;
};

enum class DoublePointState : uint8_t { Intermediate = 0, Off = 1, On = 2, Indeterminate = 3 };

struct DoublePoint { // DIQ
    DoublePointState state = DoublePointState::Intermediate;
    uint8_t quality = 0;
    bool operator==(const DoublePoint &) const = default;
};

struct StepPosition { // VTI + QDS
    int8_t value = 0; // -64..63
    bool transient = false;
    uint8_t quality = 0;
    bool operator==(const StepPosition &) const = default;
};

struct Bitstring32 { // BSI + QDS
    uint32_t bits = 0;
    uint8_t quality = 0;
    bool operator==(const Bitstring32 &) const = default;
};

struct NormalizedValue { // NVA + QDS; value = raw / 32768
    int16_t raw = 0;
    uint8_t quality = 0;
    bool operator==(const NormalizedValue &) const = default;
};

struct ScaledValue { // SVA + QDS
    int16_t value = 0;
    uint8_t quality = 0;
    bool operator==(const ScaledValue &) const = default;
};

struct ShortFloat { // IEEE 754 single + QDS
    float value = 0;
    uint8_t quality = 0;
    bool operator==(const ShortFloat &) const = default;
};

struct IntegratedTotal { // BCR
    int32_t counter = 0;
    uint8_t sequence = 0; // 0..31
    bool carry = false;
    bool adjusted = false;
    bool invalid = false;
    bool operator==(const IntegratedTotal &) const = default;
};

struct NormalizedValueNoQuality { // NVA alone (type 21)
    int16_t raw = 0;
    bool operator==(const NormalizedValueNoQuality &) const = default;
};

struct SingleCommand { // SCO
    bool on = false;
    uint8_t qualifier = 0; // QU 0..31
    bool select = false;   // S/E: 1 select, 0 execute
    bool operator==(const SingleCommand &) const = default;
};

struct DoubleCommand { // DCO
    uint8_t state = 0;     // DCS: 1 off, 2 on (0 and 3 not permitted, carried as received)
    uint8_t qualifier = 0; // QU 0..31
    bool select = false;
    bool operator==(const DoubleCommand &) const = default;
};

struct SetpointNormalized { // NVA + QOS
    int16_t raw = 0;
    uint8_t qualifier = 0; // QL 0..127
    bool select = false;
    bool operator==(const SetpointNormalized &) const = default;
};

struct SetpointScaled { // SVA + QOS
    int16_t value = 0;
    uint8_t qualifier = 0;
    bool select = false;
    bool operator==(const SetpointScaled &) const = default;
};

struct SetpointFloat { // IEEE 754 single + QOS
    float value = 0;
    uint8_t qualifier = 0;
    bool select = false;
    bool operator==(const SetpointFloat &) const = default;
};

struct EndOfInitialisation { // COI
    uint8_t cause = 0;       // 0 power on, 1 manual reset, 2 remote reset
    bool after_change = false; // initialisation after change of local parameters
    bool operator==(const EndOfInitialisation &) const = default;
};

struct InterrogationCommand { // QOI
    uint8_t qoi = 20;
    bool operator==(const InterrogationCommand &) const = default;
};

struct ClockSyncCommand {
    Cp56Time2a time;
    bool operator==(const ClockSyncCommand &) const = default;
};

struct TestCommandWithTime { // TSC + CP56Time2a
    uint16_t counter = 0;
    Cp56Time2a time;
    bool operator==(const TestCommandWithTime &) const = default;
};

using Element = std::variant<SinglePoint, DoublePoint, StepPosition, Bitstring32, NormalizedValue, ScaledValue,
                             ShortFloat, IntegratedTotal, NormalizedValueNoQuality, SingleCommand, DoubleCommand,
                             SetpointNormalized, SetpointScaled, SetpointFloat, EndOfInitialisation,
                             InterrogationCommand, ClockSyncCommand, TestCommandWithTime>;

struct InformationObject {
    InformationObject() = default;
    InformationObject(uint32_t address, Element e, std::optional<Cp56Time2a> t = std::nullopt)
        : ioa(address), element(std::move(e)), time(t)
    {
    }

    uint32_t ioa = 0;
    Element element;
    // The time tag of the time-tagged types (30..37, 58..63); unset for the others. Types 103 and
    // 107 carry their time inside the element.
    std::optional<Cp56Time2a> time;
};

struct Asdu {
    AsduHeader header;
    std::vector<InformationObject> objects;
};

// What a type identification carries.
struct TypeInfo {
    TypeId type;
    size_t element_index; // alternative of Element
    uint8_t element_size; // octets, without the time tag
    bool time_tag;        // followed by CP56Time2a
    bool control;         // control direction (commands, interrogation, clock sync, test)
};

// Nothing for a type this stack does not decode.
const TypeInfo *type_info(TypeId type);

// The type identification that carries `element`, with or without time tag; nothing when the
// element has no such variant.
std::optional<TypeId> type_for(const Element &element, bool with_time);

// Header alone, to answer ASDUs whose objects cannot be decoded. `size` is the header length.
AsduError decode_header(std::span<const uint8_t> asdu, const AppLayerParameters &p, AsduHeader &out,
                        size_t &size);

// The whole ASDU, validated before `out` is filled. Trailing octets after the last element are an
// error unless `allow_trailing`.
AsduError decode_asdu(std::span<const uint8_t> asdu, const AppLayerParameters &p, Asdu &out,
                      bool allow_trailing = false);

// Encodes header and objects; the element count comes from objects.size().
AsduError encode_asdu(const Asdu &asdu, const AppLayerParameters &p, ByteWriter &w);

// Largest number of objects of `type` that fit one ASDU.
size_t max_objects(TypeId type, const AppLayerParameters &p, bool sequence = false);

// Copy of an encoded ASDU with another cause and P/N bit (replies that mirror a request, including
// requests whose type cannot be decoded). Empty when the header is incomplete.
std::vector<uint8_t> mirror_asdu(std::span<const uint8_t> asdu, const AppLayerParameters &p, Cause cause,
                                 bool negative);

// Readable multi-line description ("M_ME_NC_1(13) cause inrogen(20) ... ").
std::string describe(const Asdu &asdu);
std::string describe(const Cp56Time2a &t);

// Normalized values as fractions: raw / 32768, clamped to the representable range.
inline float normalized_to_float(int16_t raw) { return static_cast<float>(raw) / 32768.0f; }
int16_t float_to_normalized(float v);

} // namespace iec104

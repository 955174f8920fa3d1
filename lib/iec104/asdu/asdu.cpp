#include "iec104/asdu.h"

#include "iec104/apci.h"

#include <cmath>
#include <cstdio>

namespace iec104 {

namespace {

template <class T>
constexpr size_t kIdx = Element(std::in_place_type<T>).index();

constexpr TypeInfo kTypes[] = {
    {TypeId::M_SP_NA_1, kIdx<SinglePoint>, 1, false, false},
    {TypeId::M_DP_NA_1, kIdx<DoublePoint>, 1, false, false},
    {TypeId::M_ST_NA_1, kIdx<StepPosition>, 2, false, false},
    {TypeId::M_BO_NA_1, kIdx<Bitstring32>, 5, false, false},
    {TypeId::M_ME_NA_1, kIdx<NormalizedValue>, 3, false, false},
    {TypeId::M_ME_NB_1, kIdx<ScaledValue>, 3, false, false},
    {TypeId::M_ME_NC_1, kIdx<ShortFloat>, 5, false, false},
    {TypeId::M_IT_NA_1, kIdx<IntegratedTotal>, 5, false, false},
    {TypeId::M_ME_ND_1, kIdx<NormalizedValueNoQuality>, 2, false, false},
    {TypeId::M_SP_TB_1, kIdx<SinglePoint>, 1, true, false},
    {TypeId::M_DP_TB_1, kIdx<DoublePoint>, 1, true, false},
    {TypeId::M_ST_TB_1, kIdx<StepPosition>, 2, true, false},
    {TypeId::M_BO_TB_1, kIdx<Bitstring32>, 5, true, false},
    {TypeId::M_ME_TD_1, kIdx<NormalizedValue>, 3, true, false},
    {TypeId::M_ME_TE_1, kIdx<ScaledValue>, 3, true, false},
    {TypeId::M_ME_TF_1, kIdx<ShortFloat>, 5, true, false},
    {TypeId::M_IT_TB_1, kIdx<IntegratedTotal>, 5, true, false},
    {TypeId::C_SC_NA_1, kIdx<SingleCommand>, 1, false, true},
    {TypeId::C_DC_NA_1, kIdx<DoubleCommand>, 1, false, true},
    {TypeId::C_SE_NA_1, kIdx<SetpointNormalized>, 3, false, true},
    {TypeId::C_SE_NB_1, kIdx<SetpointScaled>, 3, false, true},
    {TypeId::C_SE_NC_1, kIdx<SetpointFloat>, 5, false, true},
    {TypeId::C_SC_TA_1, kIdx<SingleCommand>, 1, true, true},
    {TypeId::C_DC_TA_1, kIdx<DoubleCommand>, 1, true, true},
    {TypeId::C_SE_TA_1, kIdx<SetpointNormalized>, 3, true, true},
    {TypeId::C_SE_TB_1, kIdx<SetpointScaled>, 3, true, true},
    {TypeId::C_SE_TC_1, kIdx<SetpointFloat>, 5, true, true},
    {TypeId::M_EI_NA_1, kIdx<EndOfInitialisation>, 1, false, false},
    {TypeId::C_IC_NA_1, kIdx<InterrogationCommand>, 1, false, true},
    {TypeId::C_CS_NA_1, kIdx<ClockSyncCommand>, 7, false, true},
    {TypeId::C_TS_TA_1, kIdx<TestCommandWithTime>, 9, false, true},
};

constexpr uint8_t kQdsMask = 0xF1;
constexpr uint8_t kSiqQualityMask = 0xF0;

size_t header_size(const AppLayerParameters &p) { return 2u + p.cot_size + p.ca_size; }

size_t object_payload(const TypeInfo &ti) { return ti.element_size + (ti.time_tag ? kCp56Size : 0); }

// Reads one element of `ti`'s type. The caller has checked that enough octets remain; the reads
// are still checked so that a miscounted size cannot overrun.
bool read_element(const TypeInfo &ti, ByteReader &r, Element &out)
{
    uint8_t b = 0;
    uint16_t u16 = 0;
    uint32_t u32 = 0;
    float f = 0;
    switch (ti.element_index) {
    case kIdx<SinglePoint>:
        if (!r.u8(b))
            return false;
        out = SinglePoint{(b & 0x01) != 0, static_cast<uint8_t>(b & kSiqQualityMask)};
        return true;
    case kIdx<DoublePoint>:
        if (!r.u8(b))
            return false;
        out = DoublePoint{static_cast<DoublePointState>(b & 0x03), static_cast<uint8_t>(b & kSiqQualityMask)};
        return true;
    case kIdx<StepPosition>: {
        uint8_t q = 0;
        if (!r.u8(b) || !r.u8(q))
            return false;
        int v = b & 0x7F;
        if (v & 0x40)
            v -= 0x80;
        out = StepPosition{static_cast<int8_t>(v), (b & 0x80) != 0, static_cast<uint8_t>(q & kQdsMask)};
        return true;
    }
    case kIdx<Bitstring32>:
        if (!r.u32le(u32) || !r.u8(b))
            return false;
        out = Bitstring32{u32, static_cast<uint8_t>(b & kQdsMask)};
        return true;
    case kIdx<NormalizedValue>:
        if (!r.u16le(u16) || !r.u8(b))
            return false;
        out = NormalizedValue{static_cast<int16_t>(u16), static_cast<uint8_t>(b & kQdsMask)};
        return true;
    case kIdx<ScaledValue>:
        if (!r.u16le(u16) || !r.u8(b))
            return false;
        out = ScaledValue{static_cast<int16_t>(u16), static_cast<uint8_t>(b & kQdsMask)};
        return true;
    case kIdx<ShortFloat>:
        if (!r.f32le(f) || !r.u8(b))
            return false;
        out = ShortFloat{f, static_cast<uint8_t>(b & kQdsMask)};
        return true;
    case kIdx<IntegratedTotal>:
        if (!r.u32le(u32) || !r.u8(b))
            return false;
        out = IntegratedTotal{static_cast<int32_t>(u32), static_cast<uint8_t>(b & 0x1F), (b & 0x20) != 0,
                              (b & 0x40) != 0, (b & 0x80) != 0};
        return true;
    case kIdx<NormalizedValueNoQuality>:
        if (!r.u16le(u16))
            return false;
        out = NormalizedValueNoQuality{static_cast<int16_t>(u16)};
        return true;
    case kIdx<SingleCommand>:
        if (!r.u8(b))
            return false;
        out = SingleCommand{(b & 0x01) != 0, static_cast<uint8_t>((b >> 2) & 0x1F), (b & 0x80) != 0};
        return true;
    case kIdx<DoubleCommand>:
        if (!r.u8(b))
            return false;
        out = DoubleCommand{static_cast<uint8_t>(b & 0x03), static_cast<uint8_t>((b >> 2) & 0x1F), (b & 0x80) != 0};
        return true;
    case kIdx<SetpointNormalized>:
        if (!r.u16le(u16) || !r.u8(b))
            return false;
        out = SetpointNormalized{static_cast<int16_t>(u16), static_cast<uint8_t>(b & 0x7F), (b & 0x80) != 0};
        return true;
    case kIdx<SetpointScaled>:
        if (!r.u16le(u16) || !r.u8(b))
            return false;
        out = SetpointScaled{static_cast<int16_t>(u16), static_cast<uint8_t>(b & 0x7F), (b & 0x80) != 0};
        return true;
    case kIdx<SetpointFloat>:
        if (!r.f32le(f) || !r.u8(b))
            return false;
        out = SetpointFloat{f, static_cast<uint8_t>(b & 0x7F), (b & 0x80) != 0};
        return true;
    case kIdx<EndOfInitialisation>:
        if (!r.u8(b))
            return false;
        out = EndOfInitialisation{static_cast<uint8_t>(b & 0x7F), (b & 0x80) != 0};
        return true;
    case kIdx<InterrogationCommand>:
        if (!r.u8(b))
            return false;
        out = InterrogationCommand{b};
        return true;
    case kIdx<ClockSyncCommand>: {
        ClockSyncCommand c;
        if (!decode_cp56(r, c.time))
            return false;
        out = c;
        return true;
    }
    case kIdx<TestCommandWithTime>: {
        TestCommandWithTime c;
        if (!r.u16le(c.counter) || !decode_cp56(r, c.time))
            return false;
        out = c;
        return true;
    }
    }
    return false;
}

uint8_t qds(uint8_t q) { return q & kQdsMask; }

struct ElementWriter {
    ByteWriter &w;
    void operator()(const SinglePoint &e)
    {
        w.u8(static_cast<uint8_t>((e.quality & kSiqQualityMask) | (e.on ? 1 : 0)));
    }
    void operator()(const DoublePoint &e)
    {
        w.u8(static_cast<uint8_t>((e.quality & kSiqQualityMask) | (static_cast<uint8_t>(e.state) & 0x03)));
    }
    void operator()(const StepPosition &e)
    {
        w.u8(static_cast<uint8_t>((e.value & 0x7F) | (e.transient ? 0x80 : 0)));
        w.u8(qds(e.quality));
    }
    void operator()(const Bitstring32 &e)
    {
        w.u32le(e.bits);
        w.u8(qds(e.quality));
    }
    void operator()(const NormalizedValue &e)
    {
        w.u16le(static_cast<uint16_t>(e.raw));
        w.u8(qds(e.quality));
    }
    void operator()(const ScaledValue &e)
    {
        w.u16le(static_cast<uint16_t>(e.value));
        w.u8(qds(e.quality));
    }
    void operator()(const ShortFloat &e)
    {
        w.f32le(e.value);
        w.u8(qds(e.quality));
    }
    void operator()(const IntegratedTotal &e)
    {
        w.u32le(static_cast<uint32_t>(e.counter));
        w.u8(static_cast<uint8_t>((e.sequence & 0x1F) | (e.carry ? 0x20 : 0) | (e.adjusted ? 0x40 : 0) |
                                  (e.invalid ? 0x80 : 0)));
    }
    void operator()(const NormalizedValueNoQuality &e) { w.u16le(static_cast<uint16_t>(e.raw)); }
    void operator()(const SingleCommand &e)
    {
        w.u8(static_cast<uint8_t>((e.on ? 1 : 0) | ((e.qualifier & 0x1F) << 2) | (e.select ? 0x80 : 0)));
    }
    void operator()(const DoubleCommand &e)
    {
        w.u8(static_cast<uint8_t>((e.state & 0x03) | ((e.qualifier & 0x1F) << 2) | (e.select ? 0x80 : 0)));
    }
    void operator()(const SetpointNormalized &e)
    {
        w.u16le(static_cast<uint16_t>(e.raw));
        w.u8(static_cast<uint8_t>((e.qualifier & 0x7F) | (e.select ? 0x80 : 0)));
    }
    void operator()(const SetpointScaled &e)
    {
        w.u16le(static_cast<uint16_t>(e.value));
        w.u8(static_cast<uint8_t>((e.qualifier & 0x7F) | (e.select ? 0x80 : 0)));
    }
    void operator()(const SetpointFloat &e)
    {
        w.f32le(e.value);
        w.u8(static_cast<uint8_t>((e.qualifier & 0x7F) | (e.select ? 0x80 : 0)));
    }
    void operator()(const EndOfInitialisation &e)
    {
        w.u8(static_cast<uint8_t>((e.cause & 0x7F) | (e.after_change ? 0x80 : 0)));
    }
    void operator()(const InterrogationCommand &e) { w.u8(e.qoi); }
    void operator()(const ClockSyncCommand &e) { encode_cp56(e.time, w); }
    void operator()(const TestCommandWithTime &e)
    {
        w.u16le(e.counter);
        encode_cp56(e.time, w);
    }
};

} // namespace

const TypeInfo *type_info(TypeId type)
{
    for (const TypeInfo &ti : kTypes)
        if (ti.type == type)
            return &ti;
    return nullptr;
}

std::optional<TypeId> type_for(const Element &element, bool with_time)
{
    for (const TypeInfo &ti : kTypes)
        if (ti.element_index == element.index() && ti.time_tag == with_time)
            return ti.type;
    return std::nullopt;
}

const char *type_name(TypeId type)
{
    switch (type) {
    case TypeId::M_SP_NA_1: return "M_SP_NA_1";
    case TypeId::M_DP_NA_1: return "M_DP_NA_1";
    case TypeId::M_ST_NA_1: return "M_ST_NA_1";
    case TypeId::M_BO_NA_1: return "M_BO_NA_1";
    case TypeId::M_ME_NA_1: return "M_ME_NA_1";
    case TypeId::M_ME_NB_1: return "M_ME_NB_1";
    case TypeId::M_ME_NC_1: return "M_ME_NC_1";
    case TypeId::M_IT_NA_1: return "M_IT_NA_1";
    case TypeId::M_ME_ND_1: return "M_ME_ND_1";
    case TypeId::M_SP_TB_1: return "M_SP_TB_1";
    case TypeId::M_DP_TB_1: return "M_DP_TB_1";
    case TypeId::M_ST_TB_1: return "M_ST_TB_1";
    case TypeId::M_BO_TB_1: return "M_BO_TB_1";
    case TypeId::M_ME_TD_1: return "M_ME_TD_1";
    case TypeId::M_ME_TE_1: return "M_ME_TE_1";
    case TypeId::M_ME_TF_1: return "M_ME_TF_1";
    case TypeId::M_IT_TB_1: return "M_IT_TB_1";
    case TypeId::C_SC_NA_1: return "C_SC_NA_1";
    case TypeId::C_DC_NA_1: return "C_DC_NA_1";
    case TypeId::C_SE_NA_1: return "C_SE_NA_1";
    case TypeId::C_SE_NB_1: return "C_SE_NB_1";
    case TypeId::C_SE_NC_1: return "C_SE_NC_1";
    case TypeId::C_SC_TA_1: return "C_SC_TA_1";
    case TypeId::C_DC_TA_1: return "C_DC_TA_1";
    case TypeId::C_SE_TA_1: return "C_SE_TA_1";
    case TypeId::C_SE_TB_1: return "C_SE_TB_1";
    case TypeId::C_SE_TC_1: return "C_SE_TC_1";
    case TypeId::M_EI_NA_1: return "M_EI_NA_1";
    case TypeId::C_IC_NA_1: return "C_IC_NA_1";
    case TypeId::C_CS_NA_1: return "C_CS_NA_1";
    case TypeId::C_TS_TA_1: return "C_TS_TA_1";
    }
    return nullptr;
}

const char *cause_name(Cause cause)
{
    static constexpr const char *kGroups[] = {"inro1",  "inro2",  "inro3",  "inro4",  "inro5",  "inro6",
                                              "inro7",  "inro8",  "inro9",  "inro10", "inro11", "inro12",
                                              "inro13", "inro14", "inro15", "inro16"};
    static constexpr const char *kCounterGroups[] = {"reqco1", "reqco2", "reqco3", "reqco4"};
    const unsigned c = static_cast<unsigned>(cause);
    switch (cause) {
    case Cause::Periodic: return "per/cyc";
    case Cause::Background: return "back";
    case Cause::Spontaneous: return "spont";
    case Cause::Initialized: return "init";
    case Cause::Request: return "req";
    case Cause::Activation: return "act";
    case Cause::ActivationCon: return "actcon";
    case Cause::Deactivation: return "deact";
    case Cause::DeactivationCon: return "deactcon";
    case Cause::ActivationTermination: return "actterm";
    case Cause::ReturnRemote: return "retrem";
    case Cause::ReturnLocal: return "retloc";
    case Cause::File: return "file";
    case Cause::InterrogatedByStation: return "inrogen";
    case Cause::CounterRequest: return "reqcogen";
    case Cause::UnknownType: return "unknown type";
    case Cause::UnknownCause: return "unknown cause";
    case Cause::UnknownCommonAddress: return "unknown common address";
    case Cause::UnknownIoa: return "unknown object address";
    }
    if (c >= 21 && c <= 36)
        return kGroups[c - 21];
    if (c >= 38 && c <= 41)
        return kCounterGroups[c - 38];
    static thread_local char buf[16];
    std::snprintf(buf, sizeof buf, "cause %u", c);
    return buf;
}

const char *to_string(AsduError e)
{
    switch (e) {
    case AsduError::Ok: return "ok";
    case AsduError::BadParameters: return "bad field sizes";
    case AsduError::Truncated: return "truncated ASDU";
    case AsduError::EmptyAsdu: return "no information objects";
    case AsduError::UnknownType: return "unknown type identification";
    case AsduError::TrailingOctets: return "octets after the last object";
    case AsduError::TooManyObjects: return "more than 127 objects";
    case AsduError::ObjectMismatch: return "object does not match the type";
    case AsduError::AddressRange: return "address does not fit its field";
    case AsduError::NotContiguous: return "sequence of non-consecutive addresses";
    case AsduError::TooLong: return "ASDU longer than 249 octets";
    }
    return "?";
}

AsduError decode_header(std::span<const uint8_t> asdu, const AppLayerParameters &p, AsduHeader &out, size_t &size)
{
    if (!p.valid())
        return AsduError::BadParameters;
    ByteReader r(asdu);
    uint8_t type = 0, vsq = 0, cot = 0, oa = 0;
    uint32_t ca = 0;
    if (!r.u8(type) || !r.u8(vsq) || !r.u8(cot))
        return AsduError::Truncated;
    if (p.cot_size == 2 && !r.u8(oa))
        return AsduError::Truncated;
    if (!r.uint_le(p.ca_size, ca))
        return AsduError::Truncated;
    AsduHeader h;
    h.type = static_cast<TypeId>(type);
    h.sequence = (vsq & 0x80) != 0;
    h.count = vsq & 0x7F;
    h.cause = static_cast<Cause>(cot & 0x3F);
    h.negative = (cot & 0x40) != 0;
    h.test = (cot & 0x80) != 0;
    h.originator = oa;
    h.common_address = static_cast<uint16_t>(ca);
    out = h;
    size = r.position();
    return AsduError::Ok;
}

AsduError decode_asdu(std::span<const uint8_t> asdu, const AppLayerParameters &p, Asdu &out, bool allow_trailing)
{
    AsduHeader h;
    size_t hsize = 0;
    if (AsduError e = decode_header(asdu, p, h, hsize); e != AsduError::Ok)
        return e;
    if (h.count == 0)
        return AsduError::EmptyAsdu;
    const TypeInfo *ti = type_info(h.type);
    if (!ti)
        return AsduError::UnknownType;

    const size_t per = object_payload(*ti);
    const size_t needed = h.sequence ? p.ioa_size + h.count * per : h.count * (p.ioa_size + per);
    const size_t available = asdu.size() - hsize;
    // No APDU carries more than 249 octets of ASDU, whatever the element count claims.
    if (hsize + needed > kMaxAsduSize)
        return AsduError::TooLong;
    if (available < needed)
        return AsduError::Truncated;
    if (available > needed && !allow_trailing)
        return AsduError::TrailingOctets;

    ByteReader r(asdu.subspan(hsize, needed));
    std::vector<InformationObject> objects(h.count);
    uint32_t ioa = 0;
    for (size_t i = 0; i < h.count; ++i) {
        InformationObject &obj = objects[i];
        if (!h.sequence || i == 0) {
            if (!r.uint_le(p.ioa_size, ioa))
                return AsduError::Truncated;
        } else {
            if (ioa >= p.max_ioa())
                return AsduError::AddressRange;
            ++ioa;
        }
        obj.ioa = ioa;
        if (!read_element(*ti, r, obj.element))
            return AsduError::Truncated;
        if (ti->time_tag) {
            Cp56Time2a t;
            if (!decode_cp56(r, t))
                return AsduError::Truncated;
            obj.time = t;
        }
    }
    out.header = h;
    out.objects = std::move(objects);
    return AsduError::Ok;
}

AsduError encode_asdu(const Asdu &asdu, const AppLayerParameters &p, ByteWriter &w)
{
    if (!p.valid())
        return AsduError::BadParameters;
    const AsduHeader &h = asdu.header;
    const TypeInfo *ti = type_info(h.type);
    if (!ti)
        return AsduError::UnknownType;
    const size_t n = asdu.objects.size();
    if (n == 0)
        return AsduError::EmptyAsdu;
    if (n > 127)
        return AsduError::TooManyObjects;
    if (h.common_address > p.max_ca())
        return AsduError::AddressRange;
    for (size_t i = 0; i < n; ++i) {
        const InformationObject &o = asdu.objects[i];
        if (o.element.index() != ti->element_index || o.time.has_value() != ti->time_tag)
            return AsduError::ObjectMismatch;
        if (o.ioa > p.max_ioa())
            return AsduError::AddressRange;
        if (h.sequence && i > 0 && o.ioa != asdu.objects[0].ioa + i)
            return AsduError::NotContiguous;
    }
    const size_t per = object_payload(*ti);
    const size_t total = header_size(p) + (h.sequence ? p.ioa_size + n * per : n * (p.ioa_size + per));
    if (total > kMaxAsduSize || total > w.remaining())
        return AsduError::TooLong;

    w.u8(static_cast<uint8_t>(h.type));
    w.u8(static_cast<uint8_t>((h.sequence ? 0x80 : 0) | n));
    w.u8(static_cast<uint8_t>((static_cast<uint8_t>(h.cause) & 0x3F) | (h.negative ? 0x40 : 0) |
                              (h.test ? 0x80 : 0)));
    if (p.cot_size == 2)
        w.u8(h.originator);
    w.uint_le(p.ca_size, h.common_address);
    ElementWriter ew{w};
    for (size_t i = 0; i < n; ++i) {
        const InformationObject &o = asdu.objects[i];
        if (!h.sequence || i == 0)
            w.uint_le(p.ioa_size, o.ioa);
        std::visit(ew, o.element);
        if (o.time)
            encode_cp56(*o.time, w);
    }
    return w.ok() ? AsduError::Ok : AsduError::TooLong;
}

size_t max_objects(TypeId type, const AppLayerParameters &p, bool sequence)
{
    const TypeInfo *ti = type_info(type);
    if (!ti || !p.valid())
        return 0;
    const size_t avail = kMaxAsduSize - header_size(p);
    const size_t per = object_payload(*ti);
    size_t n = sequence ? (avail - p.ioa_size) / per : avail / (p.ioa_size + per);
    return n > 127 ? 127 : n;
}

std::vector<uint8_t> mirror_asdu(std::span<const uint8_t> asdu, const AppLayerParameters &p, Cause cause,
                                 bool negative)
{
    if (!p.valid() || asdu.size() < header_size(p) || asdu.size() > kMaxAsduSize)
        return {};
    std::vector<uint8_t> out(asdu.begin(), asdu.end());
    out[2] = static_cast<uint8_t>((out[2] & 0x80) | (negative ? 0x40 : 0) | (static_cast<uint8_t>(cause) & 0x3F));
    return out;
}

int16_t float_to_normalized(float v)
{
    if (std::isnan(v))
        return 0;
    const float scaled = std::round(v * 32768.0f);
    if (scaled >= 32767.0f)
        return 32767;
    if (scaled <= -32768.0f)
        return -32768;
    return static_cast<int16_t>(scaled);
}

} // namespace iec104

// Codec vectors written octet by octet from the field definitions (type identification, variable
// structure qualifier, cause of transmission, addresses, elements, CP56Time2a), checked both ways:
// the octets decode to the expected objects, and the objects encode to the same octets.
#include <gtest/gtest.h>

#include <array>

#include "iec104/apci.h"
#include "iec104/asdu.h"
#include "iec104/time.h"
#include "test_util.h"

using namespace iec104;
using iec104test::Bytes;
using iec104test::hex;
using iec104test::to_hex;

namespace {

constexpr AppLayerParameters kStd{2, 2, 3};

// 2024-05-01 (a Wednesday) 10:20:30.250 and its octets.
Cp56Time2a may_day()
{
    Cp56Time2a t;
    t.milliseconds = 30250;
    t.minute = 20;
    t.hour = 10;
    t.day = 1;
    t.day_of_week = 3;
    t.month = 5;
    t.year = 24;
    return t;
}
const std::string kMayDay = " 2a 76 14 0a 61 05 18";

// 2026-12-08 14:18:31.700, as carried by the captured clock synchronisation.
Cp56Time2a capture_time()
{
    Cp56Time2a t;
    t.milliseconds = 31700;
    t.minute = 18;
    t.hour = 14;
    t.day = 8;
    t.month = 12;
    t.year = 26;
    return t;
}

Asdu make(TypeId type, Cause cause, uint16_t ca, std::vector<InformationObject> objects, uint8_t oa = 0,
          bool sequence = false)
{
    Asdu a;
    a.header.type = type;
    a.header.cause = cause;
    a.header.common_address = ca;
    a.header.originator = oa;
    a.header.sequence = sequence;
    a.header.count = static_cast<uint8_t>(objects.size());
    a.objects = std::move(objects);
    return a;
}

void expect_same(const Asdu &want, const Asdu &got)
{
    EXPECT_EQ(want.header.type, got.header.type);
    EXPECT_EQ(want.header.sequence, got.header.sequence);
    EXPECT_EQ(want.header.count, got.header.count);
    EXPECT_EQ(want.header.cause, got.header.cause);
    EXPECT_EQ(want.header.negative, got.header.negative);
    EXPECT_EQ(want.header.test, got.header.test);
    EXPECT_EQ(want.header.originator, got.header.originator);
    EXPECT_EQ(want.header.common_address, got.header.common_address);
    ASSERT_EQ(want.objects.size(), got.objects.size());
    for (size_t i = 0; i < want.objects.size(); ++i) {
        EXPECT_EQ(want.objects[i].ioa, got.objects[i].ioa) << "object " << i;
        EXPECT_TRUE(want.objects[i].element == got.objects[i].element) << "object " << i;
        EXPECT_EQ(want.objects[i].time, got.objects[i].time) << "object " << i;
    }
}

struct Vector {
    const char *name;
    std::string octets;
    Asdu asdu;
    AppLayerParameters params = kStd;
};

void check_both_ways(const Vector &v)
{
    SCOPED_TRACE(v.name);
    const Bytes octets = hex(v.octets);
    Asdu decoded;
    ASSERT_EQ(AsduError::Ok, decode_asdu(octets, v.params, decoded));
    expect_same(v.asdu, decoded);
    std::array<uint8_t, 300> buf;
    ByteWriter w(buf);
    ASSERT_EQ(AsduError::Ok, encode_asdu(v.asdu, v.params, w));
    EXPECT_EQ(v.octets.empty() ? "" : to_hex(octets), to_hex(w.written()));
}

std::vector<Vector> every_type()
{
    const Cp56Time2a t = may_day();
    const Cp56Time2a ct = capture_time();
    const auto A = Cause::Activation;
    return {
        {"M_SP_NA_1", "01 02 03 00 01 00 e9 03 00 01 ea 03 00 c0",
         make(TypeId::M_SP_NA_1, Cause::Spontaneous, 1,
              {{1001, SinglePoint{true, 0}}, {1002, SinglePoint{false, quality::Invalid | quality::NotTopical}}})},
        {"M_DP_NA_1", "03 01 14 00 34 12 03 02 01 12",
         make(TypeId::M_DP_NA_1, Cause::InterrogatedByStation, 0x1234,
              {{0x010203, DoublePoint{DoublePointState::On, quality::Blocked}}})},
        {"M_ST_NA_1", "05 01 03 00 01 00 07 00 00 fd 01",
         make(TypeId::M_ST_NA_1, Cause::Spontaneous, 1, {{7, StepPosition{-3, true, quality::Overflow}}})},
        {"M_BO_NA_1", "07 01 14 03 01 00 f4 01 00 aa aa 00 00 00",
         make(TypeId::M_BO_NA_1, Cause::InterrogatedByStation, 1, {{500, Bitstring32{0xAAAA, 0}}}, 3)},
        {"M_ME_NA_1", "09 01 01 00 01 00 09 00 00 00 c0 20",
         make(TypeId::M_ME_NA_1, Cause::Periodic, 1, {{9, NormalizedValue{-16384, quality::Substituted}}})},
        {"M_ME_NB_1", "0b 03 14 03 01 00 64 00 00 ff ff 00 65 00 00 17 00 00 66 00 00 fc 08 00",
         make(TypeId::M_ME_NB_1, Cause::InterrogatedByStation, 1,
              {{100, ScaledValue{-1, 0}}, {101, ScaledValue{23, 0}}, {102, ScaledValue{2300, 0}}}, 3)},
        {"M_ME_NC_1", "0d 01 03 00 01 00 0a 00 00 00 00 c0 3f 80",
         make(TypeId::M_ME_NC_1, Cause::Spontaneous, 1, {{10, ShortFloat{1.5f, quality::Invalid}}})},
        {"M_ME_NC_1 sequence", "0d 82 14 00 01 00 10 00 00 00 00 00 c0 00 00 00 80 3e 01",
         make(TypeId::M_ME_NC_1, Cause::InterrogatedByStation, 1,
              {{16, ShortFloat{-2.0f, 0}}, {17, ShortFloat{0.25f, quality::Overflow}}}, 0, true)},
        {"M_IT_NA_1", "0f 01 25 00 01 00 20 00 00 a0 86 01 00 a5",
         make(TypeId::M_IT_NA_1, Cause::CounterRequest, 1, {{32, IntegratedTotal{100000, 5, true, false, true}}})},
        {"M_ME_ND_1 sequence", "15 83 01 00 01 00 21 00 00 01 00 ff ff ff 7f",
         make(TypeId::M_ME_ND_1, Cause::Periodic, 1,
              {{33, NormalizedValueNoQuality{1}}, {34, NormalizedValueNoQuality{-1}},
               {35, NormalizedValueNoQuality{32767}}},
              0, true)},
        {"M_SP_TB_1", "1e 01 03 00 01 00 64 00 00 01" + kMayDay,
         make(TypeId::M_SP_TB_1, Cause::Spontaneous, 1, {{100, SinglePoint{true, 0}, t}})},
        {"M_DP_TB_1", "1f 01 03 00 01 00 65 00 00 81" + kMayDay,
         make(TypeId::M_DP_TB_1, Cause::Spontaneous, 1,
              {{101, DoublePoint{DoublePointState::Off, quality::Invalid}, t}})},
        {"M_ST_TB_1", "20 01 03 00 01 00 66 00 00 3f 00" + kMayDay,
         make(TypeId::M_ST_TB_1, Cause::Spontaneous, 1, {{102, StepPosition{63, false, 0}, t}})},
        {"M_BO_TB_1", "21 01 03 00 01 00 67 00 00 78 56 34 12 40" + kMayDay,
         make(TypeId::M_BO_TB_1, Cause::Spontaneous, 1, {{103, Bitstring32{0x12345678, quality::NotTopical}, t}})},
        {"M_ME_TD_1", "22 01 03 00 01 00 68 00 00 ff 7f 00" + kMayDay,
         make(TypeId::M_ME_TD_1, Cause::Spontaneous, 1, {{104, NormalizedValue{32767, 0}, t}})},
        {"M_ME_TE_1", "23 01 03 00 01 00 69 00 00 00 80 10" + kMayDay,
         make(TypeId::M_ME_TE_1, Cause::Spontaneous, 1, {{105, ScaledValue{-32768, quality::Blocked}, t}})},
        {"M_ME_TF_1", "24 01 03 00 01 00 6a 00 00 00 00 00 bf 00" + kMayDay,
         make(TypeId::M_ME_TF_1, Cause::Spontaneous, 1, {{106, ShortFloat{-0.5f, 0}, t}})},
        {"M_IT_TB_1", "25 01 03 00 01 00 6b 00 00 fe ff ff ff 40" + kMayDay,
         make(TypeId::M_IT_TB_1, Cause::Spontaneous, 1, {{107, IntegratedTotal{-2, 0, false, true, false}, t}})},
        {"C_SC_NA_1 execute", "2d 01 06 03 01 00 88 13 00 01",
         make(TypeId::C_SC_NA_1, A, 1, {{5000, SingleCommand{true, 0, false}}}, 3)},
        {"C_SC_NA_1 select short pulse", "2d 01 06 03 01 00 88 13 00 85",
         make(TypeId::C_SC_NA_1, A, 1, {{5000, SingleCommand{true, 1, true}}}, 3)},
        {"C_DC_NA_1 long pulse", "2e 01 06 03 01 00 89 13 00 0a",
         make(TypeId::C_DC_NA_1, A, 1, {{5001, DoubleCommand{2, 2, false}}}, 3)},
        {"C_SE_NA_1 select", "30 01 06 03 01 00 8a 13 00 00 20 80",
         make(TypeId::C_SE_NA_1, A, 1, {{5002, SetpointNormalized{0x2000, 0, true}}}, 3)},
        {"C_SE_NB_1", "31 01 06 03 01 00 8b 13 00 9c ff 05",
         make(TypeId::C_SE_NB_1, A, 1, {{5003, SetpointScaled{-100, 5, false}}}, 3)},
        {"C_SE_NC_1", "32 01 06 03 01 00 8c 13 00 00 00 c8 42 00",
         make(TypeId::C_SE_NC_1, A, 1, {{5004, SetpointFloat{100.0f, 0, false}}}, 3)},
        {"C_SC_TA_1", "3a 01 06 03 01 00 88 13 00 80" + kMayDay,
         make(TypeId::C_SC_TA_1, A, 1, {{5000, SingleCommand{false, 0, true}, t}}, 3)},
        {"C_DC_TA_1", "3b 01 06 03 01 00 89 13 00 01" + kMayDay,
         make(TypeId::C_DC_TA_1, A, 1, {{5001, DoubleCommand{1, 0, false}, t}}, 3)},
        {"C_SE_TA_1", "3d 01 06 03 01 00 8a 13 00 00 80 00" + kMayDay,
         make(TypeId::C_SE_TA_1, A, 1, {{5002, SetpointNormalized{-32768, 0, false}, t}}, 3)},
        {"C_SE_TB_1", "3e 01 06 03 01 00 8b 13 00 d2 04 80" + kMayDay,
         make(TypeId::C_SE_TB_1, A, 1, {{5003, SetpointScaled{1234, 0, true}, t}}, 3)},
        {"C_SE_TC_1", "3f 01 06 03 01 00 8c 13 00 00 00 80 3f 00" + kMayDay,
         make(TypeId::C_SE_TC_1, A, 1, {{5004, SetpointFloat{1.0f, 0, false}, t}}, 3)},
        {"M_EI_NA_1", "46 01 04 00 01 00 00 00 00 82",
         make(TypeId::M_EI_NA_1, Cause::Initialized, 1, {{0, EndOfInitialisation{2, true}}})},
        {"C_IC_NA_1 station", "64 01 06 03 01 00 00 00 00 14",
         make(TypeId::C_IC_NA_1, A, 1, {{0, InterrogationCommand{20}}}, 3)},
        {"C_IC_NA_1 group 5", "64 01 06 00 ff ff 00 00 00 19",
         make(TypeId::C_IC_NA_1, A, 0xFFFF, {{0, InterrogationCommand{25}}})},
        {"C_CS_NA_1", "67 01 06 03 01 00 00 00 00 d4 7b 12 0e 08 0c 1a",
         make(TypeId::C_CS_NA_1, A, 1, {{0, ClockSyncCommand{ct}}}, 3)},
        {"C_TS_TA_1", "6b 01 06 03 01 00 00 00 00 38 49 d4 7b 12 0e 08 0c 1a",
         make(TypeId::C_TS_TA_1, A, 1, {{0, TestCommandWithTime{0x4938, ct}}}, 3)},
    };
}

} // namespace

TEST(Iec104Asdu, EveryTypeDecodesAndEncodesItsVector)
{
    for (const Vector &v : every_type())
        check_both_ways(v);
}

TEST(Iec104Asdu, TestAndNegativeBitsOfTheCause)
{
    Asdu a = make(TypeId::C_SC_NA_1, Cause::ActivationCon, 1, {{5000, SingleCommand{true, 0, false}}}, 3);
    a.header.test = true;
    a.header.negative = true;
    check_both_ways({"T and P/N", "2d 01 c7 03 01 00 88 13 00 01", a});
}

TEST(Iec104Asdu, EveryFieldLengthCombination)
{
    // Single points at IOA x21/x22 and interrogations, with COT 1 or 2 octets (originator 7),
    // common address 1 or 2 octets (5 or 0x0105) and IOA 1, 2 or 3 octets.
    struct Combo {
        AppLayerParameters p;
        const char *points;
        const char *interrogation;
    };
    const Combo combos[] = {
        {{1, 1, 1}, "01 02 03 05 21 01 22 00", "64 01 06 05 00 14"},
        {{1, 1, 2}, "01 02 03 05 21 43 01 22 43 00", "64 01 06 05 00 00 14"},
        {{1, 1, 3}, "01 02 03 05 21 43 65 01 22 43 65 00", "64 01 06 05 00 00 00 14"},
        {{1, 2, 1}, "01 02 03 05 01 21 01 22 00", "64 01 06 05 01 00 14"},
        {{1, 2, 2}, "01 02 03 05 01 21 43 01 22 43 00", "64 01 06 05 01 00 00 14"},
        {{1, 2, 3}, "01 02 03 05 01 21 43 65 01 22 43 65 00", "64 01 06 05 01 00 00 00 14"},
        {{2, 1, 1}, "01 02 03 07 05 21 01 22 00", "64 01 06 07 05 00 14"},
        {{2, 1, 2}, "01 02 03 07 05 21 43 01 22 43 00", "64 01 06 07 05 00 00 14"},
        {{2, 1, 3}, "01 02 03 07 05 21 43 65 01 22 43 65 00", "64 01 06 07 05 00 00 00 14"},
        {{2, 2, 1}, "01 02 03 07 05 01 21 01 22 00", "64 01 06 07 05 01 00 14"},
        {{2, 2, 2}, "01 02 03 07 05 01 21 43 01 22 43 00", "64 01 06 07 05 01 00 00 14"},
        {{2, 2, 3}, "01 02 03 07 05 01 21 43 65 01 22 43 65 00", "64 01 06 07 05 01 00 00 00 14"},
    };
    for (const Combo &c : combos) {
        const uint8_t oa = c.p.cot_size == 2 ? 7 : 0;
        const uint16_t ca = c.p.ca_size == 2 ? 0x0105 : 0x05;
        const uint32_t ioa = c.p.ioa_size == 3 ? 0x654321 : c.p.ioa_size == 2 ? 0x4321 : 0x21;
        check_both_ways({c.points, c.points,
                         make(TypeId::M_SP_NA_1, Cause::Spontaneous, ca,
                              {{ioa, SinglePoint{true, 0}}, {ioa + 1, SinglePoint{false, 0}}}, oa),
                         c.p});
        check_both_ways({c.interrogation, c.interrogation,
                         make(TypeId::C_IC_NA_1, Cause::Activation, ca, {{0, InterrogationCommand{20}}}, oa), c.p});

        // Every octet of the header is needed: one less is truncated, whatever the sizes.
        const Bytes full = hex(c.points);
        const size_t header = 2u + c.p.cot_size + c.p.ca_size;
        AsduHeader h;
        size_t size = 0;
        EXPECT_EQ(AsduError::Ok, decode_header(full, c.p, h, size));
        EXPECT_EQ(header, size);
        EXPECT_EQ(AsduError::Truncated, decode_header({full.data(), header - 1}, c.p, h, size));
    }
}

TEST(Iec104Asdu, RefusesOctetsThatDoNotMatchTheHeader)
{
    Asdu out;
    // Two objects announced, one present.
    EXPECT_EQ(AsduError::Truncated, decode_asdu(hex("0d 02 03 00 01 00 0a 00 00 00 00 c0 3f 80"), kStd, out));
    EXPECT_EQ(AsduError::Truncated, decode_asdu(hex("01 05 03 00 01 00 01 00 00 01"), kStd, out));
    // Element count 127 on a short frame: more than an ASDU can hold.
    EXPECT_EQ(AsduError::TooLong, decode_asdu(hex("01 7f 03 00 01 00 01 00 00 01"), kStd, out));
    // Half a time tag.
    EXPECT_EQ(AsduError::Truncated, decode_asdu(hex("1e 01 03 00 01 00 64 00 00 01 2a 76 14"), kStd, out));
    EXPECT_EQ(AsduError::EmptyAsdu, decode_asdu(hex("01 00 03 00 01 00"), kStd, out));
    // 30 time-tagged single points need 306 octets: more than any APDU carries, even when the
    // octets are there (a fuzzing find).
    EXPECT_EQ(AsduError::TooLong, decode_asdu(Bytes(320, 0x1e), {1, 2, 2}, out, true));
    EXPECT_EQ(AsduError::UnknownType, decode_asdu(hex("02 01 03 00 01 00 01 00 00 01 00 00 00"), kStd, out));
    // A sequence running past the largest 1-octet address.
    EXPECT_EQ(AsduError::AddressRange, decode_asdu(hex("01 82 03 00 01 00 ff 01 01"), {2, 2, 1}, out));
    EXPECT_EQ(AsduError::BadParameters, decode_asdu(hex("01 01 03 00 01 00 01 00 00 01"), {3, 2, 3}, out));

    const Bytes trailing = hex("01 01 03 00 01 00 01 00 00 01 ff");
    EXPECT_EQ(AsduError::TrailingOctets, decode_asdu(trailing, kStd, out));
    ASSERT_EQ(AsduError::Ok, decode_asdu(trailing, kStd, out, true));
    ASSERT_EQ(1u, out.objects.size());
    EXPECT_TRUE(out.objects[0].element == Element(SinglePoint{true, 0}));
}

TEST(Iec104Asdu, EncoderRefusesInconsistentAsdus)
{
    std::array<uint8_t, 300> buf;
    auto encode = [&buf](const Asdu &a, AppLayerParameters p = kStd) {
        ByteWriter w(buf);
        return encode_asdu(a, p, w);
    };
    EXPECT_EQ(AsduError::ObjectMismatch, encode(make(TypeId::M_ME_NC_1, Cause::Spontaneous, 1, {{1, SinglePoint{}}})));
    EXPECT_EQ(AsduError::ObjectMismatch, encode(make(TypeId::M_SP_TB_1, Cause::Spontaneous, 1, {{1, SinglePoint{}}})));
    EXPECT_EQ(AsduError::ObjectMismatch,
              encode(make(TypeId::M_SP_NA_1, Cause::Spontaneous, 1, {{1, SinglePoint{}, may_day()}})));
    EXPECT_EQ(AsduError::AddressRange,
              encode(make(TypeId::M_SP_NA_1, Cause::Spontaneous, 1, {{256, SinglePoint{}}}), {2, 2, 1}));
    EXPECT_EQ(AsduError::AddressRange,
              encode(make(TypeId::M_SP_NA_1, Cause::Spontaneous, 256, {{1, SinglePoint{}}}), {2, 1, 3}));
    EXPECT_EQ(AsduError::NotContiguous,
              encode(make(TypeId::M_SP_NA_1, Cause::Spontaneous, 1, {{1, SinglePoint{}}, {3, SinglePoint{}}}, 0,
                          true)));
    EXPECT_EQ(AsduError::EmptyAsdu, encode(make(TypeId::M_SP_NA_1, Cause::Spontaneous, 1, {})));
    EXPECT_EQ(AsduError::UnknownType,
              encode(make(static_cast<TypeId>(2), Cause::Spontaneous, 1, {{1, SinglePoint{}}})));

    std::vector<InformationObject> many;
    for (uint32_t i = 0; i < 128; ++i)
        many.push_back({i, SinglePoint{}});
    EXPECT_EQ(AsduError::TooManyObjects, encode(make(TypeId::M_SP_NA_1, Cause::Spontaneous, 1, many, 0, true)));

    // 30 short floats fill an ASDU with 2/2/3 octet fields; 31 do not.
    std::vector<InformationObject> floats;
    for (uint32_t i = 0; i < 31; ++i)
        floats.push_back({i, ShortFloat{}});
    EXPECT_EQ(AsduError::TooLong, encode(make(TypeId::M_ME_NC_1, Cause::Spontaneous, 1, floats)));
    floats.pop_back();
    EXPECT_EQ(AsduError::Ok, encode(make(TypeId::M_ME_NC_1, Cause::Spontaneous, 1, floats)));

    std::array<uint8_t, 8> small;
    ByteWriter w(small);
    EXPECT_EQ(AsduError::TooLong,
              encode_asdu(make(TypeId::M_ME_NC_1, Cause::Spontaneous, 1, {{1, ShortFloat{}}}), kStd, w));
}

TEST(Iec104Asdu, CapacityPerAsdu)
{
    EXPECT_EQ(30u, max_objects(TypeId::M_ME_NC_1, kStd));
    EXPECT_EQ(16u, max_objects(TypeId::M_ME_TF_1, kStd));
    EXPECT_EQ(60u, max_objects(TypeId::M_SP_NA_1, kStd));
    EXPECT_EQ(122u, max_objects(TypeId::M_SP_NA_1, {1, 1, 1}));
    EXPECT_EQ(127u, max_objects(TypeId::M_SP_NA_1, kStd, true));
    EXPECT_EQ(0u, max_objects(static_cast<TypeId>(2), kStd));
}

TEST(Iec104Asdu, MirrorKeepsEverythingButCauseAndPn)
{
    const Bytes req = hex("2d 01 86 03 01 00 88 13 00 01"); // test bit set: a test command stays one
    EXPECT_EQ("2d 01 c7 03 01 00 88 13 00 01", to_hex(mirror_asdu(req, kStd, Cause::ActivationCon, true)));
    EXPECT_EQ("2d 01 ac 03 01 00 88 13 00 01", to_hex(mirror_asdu(req, kStd, Cause::UnknownType, false)));
    EXPECT_TRUE(mirror_asdu(hex("2d 01 06 03 01"), kStd, Cause::ActivationCon, false).empty());
}

TEST(Iec104Asdu, NormalizedValueConversions)
{
    EXPECT_EQ(16384, float_to_normalized(0.5f));
    EXPECT_EQ(-32768, float_to_normalized(-1.0f));
    EXPECT_EQ(32767, float_to_normalized(1.0f));
    EXPECT_EQ(32767, float_to_normalized(7.0f));
    EXPECT_EQ(0, float_to_normalized(std::numeric_limits<float>::quiet_NaN()));
    EXPECT_FLOAT_EQ(-0.5f, normalized_to_float(-16384));
}

TEST(Iec104Time, Cp56FieldsAndReservedBits)
{
    Cp56Time2a t;
    const Bytes octets = hex("d4 7b 12 0e 08 0c 1a");
    ByteReader r(octets);
    ASSERT_TRUE(decode_cp56(r, t));
    EXPECT_EQ(capture_time(), t);
    EXPECT_EQ("2026-12-08 14:18:31.700", describe(t));

    // IV, RES1, SU, day of week 7 and every reserved bit set.
    const Bytes flag_octets = hex("2a 76 d4 ea f1 f5 98");
    ByteReader flags(flag_octets);
    ASSERT_TRUE(decode_cp56(flags, t));
    EXPECT_EQ(30250, t.milliseconds);
    EXPECT_EQ(20, t.minute);
    EXPECT_TRUE(t.invalid);
    EXPECT_TRUE(t.substituted);
    EXPECT_EQ(10, t.hour);
    EXPECT_TRUE(t.summer_time);
    EXPECT_EQ(17, t.day);
    EXPECT_EQ(7, t.day_of_week);
    EXPECT_EQ(5, t.month);
    EXPECT_EQ(24, t.year);
    std::array<uint8_t, 7> buf;
    ByteWriter w(buf);
    encode_cp56(t, w);
    EXPECT_EQ("2a 76 d4 8a f1 05 18", to_hex(w.written())); // reserved bits written as zero

    const Bytes six = hex("d4 7b 12 0e 08 0c");
    ByteReader short_read(six);
    EXPECT_FALSE(decode_cp56(short_read, t));
}

TEST(Iec104Time, Cp24)
{
    Cp24Time2a t;
    const Bytes octets = hex("2a 76 94");
    ByteReader r(octets);
    ASSERT_TRUE(decode_cp24(r, t));
    EXPECT_EQ(30250, t.milliseconds);
    EXPECT_EQ(20, t.minute);
    EXPECT_TRUE(t.invalid);
    std::array<uint8_t, 3> buf;
    ByteWriter w(buf);
    encode_cp24(t, w);
    EXPECT_EQ("2a 76 94", to_hex(w.written()));
    const Bytes two = hex("2a 76");
    ByteReader short_read(two);
    EXPECT_FALSE(decode_cp24(short_read, t));
}

TEST(Iec104Time, WallClockConversion)
{
    using namespace std::chrono;
    const system_clock::time_point tp{milliseconds(1714558830250)}; // 2024-05-01T10:20:30.250Z
    EXPECT_EQ(may_day(), to_cp56(tp));
    ASSERT_TRUE(from_cp56(may_day()).has_value());
    EXPECT_EQ(tp, *from_cp56(may_day()));

    Cp56Time2a leap = may_day();
    leap.month = 2;
    leap.day = 29;
    EXPECT_TRUE(leap.fields_valid());
    leap.year = 25;
    EXPECT_FALSE(leap.fields_valid());
    EXPECT_FALSE(from_cp56(leap).has_value());
    Cp56Time2a bad = may_day();
    bad.milliseconds = 60000;
    EXPECT_FALSE(bad.fields_valid());
    bad = may_day();
    bad.month = 13;
    EXPECT_FALSE(bad.fields_valid());
    bad = may_day();
    bad.hour = 24;
    EXPECT_FALSE(bad.fields_valid());
}

TEST(Iec104Apci, FramesOfEachFormat)
{
    Apdu a;
    ASSERT_EQ(ApciError::Ok, parse_apdu(hex("68 04 07 00 00 00"), a));
    EXPECT_EQ(FrameFormat::U, a.apci.format);
    EXPECT_EQ(UFunction::StartDtAct, a.apci.function);
    for (const char *u : {"68 04 0b 00 00 00", "68 04 13 00 00 00", "68 04 23 00 00 00", "68 04 43 00 00 00",
                          "68 04 83 00 00 00"})
        EXPECT_EQ(ApciError::Ok, parse_apdu(hex(u), a)) << u;

    ASSERT_EQ(ApciError::Ok, parse_apdu(hex("68 04 01 00 14 00"), a));
    EXPECT_EQ(FrameFormat::S, a.apci.format);
    EXPECT_EQ(10, a.apci.recv_seq);

    const Bytes iframe = hex("68 0e 04 00 02 00 64 01 07 03 01 00 00 00 00 14");
    ASSERT_EQ(ApciError::Ok, parse_apdu(iframe, a));
    EXPECT_EQ(FrameFormat::I, a.apci.format);
    EXPECT_EQ(2, a.apci.send_seq);
    EXPECT_EQ(1, a.apci.recv_seq);
    EXPECT_EQ("64 01 07 03 01 00 00 00 00 14", to_hex(a.asdu));

    ASSERT_EQ(ApciError::Ok, parse_apdu(hex("68 05 fe ff fe ff 01"), a));
    EXPECT_EQ(32767, a.apci.send_seq);
    EXPECT_EQ(32767, a.apci.recv_seq);
}

TEST(Iec104Apci, RefusedFrames)
{
    Apdu a;
    EXPECT_EQ(ApciError::BadStartByte, parse_apdu(hex("67 04 07 00 00 00"), a));
    EXPECT_EQ(ApciError::BadLength, parse_apdu(hex("68 03 07 00 00"), a));
    EXPECT_EQ(ApciError::BadLength, parse_apdu(Bytes{0x68, 0xfe, 0x07, 0, 0, 0}, a));
    EXPECT_EQ(ApciError::Truncated, parse_apdu(hex("68 0e 04 00 02 00 64 01"), a));
    EXPECT_EQ(ApciError::Truncated, parse_apdu(hex("68"), a));
    EXPECT_EQ(ApciError::BadLength, parse_apdu(hex("68 04 00 00 00 00"), a));    // I-frame without ASDU
    EXPECT_EQ(ApciError::BadLength, parse_apdu(hex("68 05 01 00 00 00 00"), a)); // S-frame with a body
    EXPECT_EQ(ApciError::BadLength, parse_apdu(hex("68 05 07 00 00 00 00"), a)); // U-frame with a body
    EXPECT_EQ(ApciError::BadControlField, parse_apdu(hex("68 04 0f 00 00 00"), a)); // two functions
    EXPECT_EQ(ApciError::BadControlField, parse_apdu(hex("68 04 03 00 00 00"), a)); // no function
    EXPECT_EQ(ApciError::BadControlField, parse_apdu(hex("68 04 07 00 01 00"), a));
    EXPECT_EQ(ApciError::BadControlField, parse_apdu(hex("68 04 05 00 00 00"), a));
    EXPECT_EQ(ApciError::BadControlField, parse_apdu(hex("68 04 01 00 01 00"), a));
    EXPECT_EQ(ApciError::BadControlField, parse_apdu(hex("68 05 00 00 01 00 01"), a));
}

TEST(Iec104Apci, Encoders)
{
    EXPECT_EQ("68 04 01 00 14 00", to_hex(encode_s_frame(10)));
    EXPECT_EQ("68 04 01 00 fe ff", to_hex(encode_s_frame(32767)));
    EXPECT_EQ("68 04 43 00 00 00", to_hex(encode_u_frame(UFunction::TestFrAct)));
    std::array<uint8_t, 300> buf;
    ByteWriter w(buf);
    ASSERT_TRUE(encode_i_frame(2, 1, hex("64 01 07 03 01 00 00 00 00 14"), w));
    EXPECT_EQ("68 0e 04 00 02 00 64 01 07 03 01 00 00 00 00 14", to_hex(w.written()));
    ByteWriter w2(buf);
    EXPECT_FALSE(encode_i_frame(0, 0, {}, w2));
    EXPECT_FALSE(encode_i_frame(0, 0, Bytes(250, 0), w2));
}

TEST(Iec104Apci, FramerResumesAtEverySplitAndStopsOnGarbage)
{
    const Bytes stream = hex("68 04 07 00 00 00 68 0e 00 00 04 00 64 01 06 03 01 00 00 00 00 14 68 04 01 00 14 00");
    for (size_t split = 0; split <= stream.size(); ++split) {
        ApduFramer framer;
        std::vector<std::string> frames;
        for (std::span<const uint8_t> part : {std::span<const uint8_t>(stream).first(split),
                                              std::span<const uint8_t>(stream).subspan(split)}) {
            while (!part.empty()) {
                size_t used = 0;
                const auto st = framer.push(part, used);
                ASSERT_NE(ApduFramer::Status::Error, st);
                part = part.subspan(used);
                if (st == ApduFramer::Status::Frame)
                    frames.push_back(to_hex(framer.frame()));
            }
        }
        ASSERT_EQ(3u, frames.size()) << "split at " << split;
        EXPECT_EQ("68 04 01 00 14 00", frames[2]);
    }

    for (const char *bad : {"68 04 07 00 00 00 00", "68 02", "68 fe", "16"}) {
        ApduFramer framer;
        Bytes in = hex(bad);
        std::span<const uint8_t> rest(in);
        ApduFramer::Status st = ApduFramer::Status::NeedMore;
        while (!rest.empty() && st != ApduFramer::Status::Error) {
            size_t used = 0;
            st = framer.push(rest, used);
            rest = rest.subspan(used);
        }
        EXPECT_EQ(ApduFramer::Status::Error, st) << bad;
        size_t used = 0;
        EXPECT_EQ(ApduFramer::Status::Error, framer.push(hex("68 04 07 00 00 00"), used)) << "stays failed";
    }
}

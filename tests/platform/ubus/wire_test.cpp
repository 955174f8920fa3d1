// Frame codec: headers, fields, per-kind field rules and message bodies, from raw bytes written
// out by hand here rather than by the writer under test.
#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include <libubox/blobmsg.h>

#include "wire.h"

using namespace fb::bus;

namespace {

std::vector<uint8_t> hex(const std::string &text)
{
    std::vector<uint8_t> out;
    std::istringstream in(text);
    std::string byte;
    while (in >> byte)
        out.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
    return out;
}

// A body holding {"a": 1} as an int32, laid out by hand: head (table, 16 bytes), then one
// extended int32 attribute: header, name length 1, "a", NUL, pad, value.
const char *kBodyA1 = "02 00 00 10  85 00 00 0c  00 01 61 00  00 00 00 01";

FrameError check(const std::vector<uint8_t> &frame, bool from_daemon, Header &h, Fields &f)
{
    return validate_frame(frame.data(), frame.size(), from_daemon, kMaxPayload, h, f);
}

} // namespace

TEST(BusWireHeader, DecodesLittleEndianFields)
{
    auto b = hex("0f 01 34 12 78 56 34 12 00 00 00 00");
    Header h;
    ASSERT_EQ(parse_header(b.data(), b.size(), kMaxPayload, h), FrameError::None);
    EXPECT_EQ(h.kind, Kind::SendEvent);
    EXPECT_EQ(h.flags, WantStatus);
    EXPECT_EQ(h.seq, 0x1234);
    EXPECT_EQ(h.peer, 0x12345678u);
    EXPECT_EQ(h.length, 0u);
}

TEST(BusWireHeader, RejectsShortUnknownAndOversized)
{
    Header h;
    auto shortb = hex("0f 00 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(parse_header(shortb.data(), shortb.size(), kMaxPayload, h), FrameError::ShortHeader);
    auto kind0 = hex("00 00 00 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(parse_header(kind0.data(), kind0.size(), kMaxPayload, h), FrameError::UnknownKind);
    auto kind19 = hex("13 00 00 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(parse_header(kind19.data(), kind19.size(), kMaxPayload, h), FrameError::UnknownKind);
    auto flags = hex("0f 02 00 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(parse_header(flags.data(), flags.size(), kMaxPayload, h), FrameError::UnknownFlags);
    auto huge = hex("0f 00 00 00 00 00 00 00 ff ff ff 7f");
    EXPECT_EQ(parse_header(huge.data(), huge.size(), kMaxPayload, h), FrameError::TooLarge);
    auto at_limit = hex("0f 00 00 00 00 00 00 00 00 10 10 00"); // 0x101000 = kMaxPayload
    EXPECT_EQ(parse_header(at_limit.data(), at_limit.size(), kMaxPayload, h), FrameError::None);
}

TEST(BusWireFields, AcceptsAHandWrittenSendEvent)
{
    // send_event: EventType "ev" (3 bytes + 1 pad), Body {"a":1}
    auto frame = hex(std::string("0f 00 00 00 00 00 00 00 24 00 00 00 "
                                 "0c 00 00 00 03 00 00 00 65 76 00 00 "
                                 "0f 00 00 00 10 00 00 00 ") +
                     kBodyA1);
    Header h;
    Fields f;
    ASSERT_EQ(check(frame, false, h, f), FrameError::None);
    EXPECT_EQ(f.text_view(Tag::EventType), "ev");
    ASSERT_TRUE(f.has(Tag::Body));
    blob_attr *tb[1];
    blobmsg_policy policy[1] = {{"a", BLOBMSG_TYPE_INT32}};
    auto *body = reinterpret_cast<blob_attr *>(const_cast<uint8_t *>(f.get(Tag::Body).data));
    ASSERT_EQ(blobmsg_parse(policy, 1, tb, blob_data(body), blob_len(body)), 0);
    ASSERT_NE(tb[0], nullptr);
    EXPECT_EQ(blobmsg_get_u32(tb[0]), 1u);
}

TEST(BusWireFields, RejectsBrokenFieldLayouts)
{
    Fields f;
    struct Case {
        const char *bytes;
        FrameError want;
    } cases[] = {
        {"0c 00 00 00 03 00", FrameError::ShortField},
        {"0c 00 01 00 03 00 00 00 65 76 00 00", FrameError::BadFieldHeader},
        {"0c 00 00 00 09 00 00 00 65 76 00 00", FrameError::FieldOverrun},
        {"0c 00 00 00 03 00 00 00 65 76 00", FrameError::FieldOverrun},      // padding cut off
        {"0c 00 00 00 03 00 00 00 65 76 00 01", FrameError::BadPadding},
        {"11 00 00 00 04 00 00 00 00 00 00 00", FrameError::UnknownTag},
        {"00 00 00 00 04 00 00 00 00 00 00 00", FrameError::UnknownTag},
        {"01 00 00 00 02 00 00 00 00 00 00 00", FrameError::BadInteger},
        {"0c 00 00 00 02 00 00 00 65 76 00 00", FrameError::BadText},        // no NUL
        {"0c 00 00 00 03 00 00 00 65 00 00 00", FrameError::BadText},        // NUL inside
        {"0c 00 00 00 00 00 00 00", FrameError::BadText},                    // empty value
        {"01 00 00 00 04 00 00 00 00 00 00 00 01 00 00 00 04 00 00 00 00 00 00 00", FrameError::DuplicateTag},
    };
    for (const Case &c : cases) {
        auto b = hex(c.bytes);
        EXPECT_EQ(parse_fields(b.data(), b.size(), f), c.want) << c.bytes;
    }
}

TEST(BusWireFields, BoundsTextLength)
{
    FieldWriter ok, long_name;
    ok.text(Tag::Method, std::string(kMaxName, 'm'));
    long_name.text(Tag::Method, std::string(kMaxName + 1, 'm'));
    Fields f;
    EXPECT_EQ(parse_fields(ok.buffer().data(), ok.size(), f), FrameError::None);
    EXPECT_EQ(parse_fields(long_name.buffer().data(), long_name.size(), f), FrameError::BadText);
}

TEST(BusWireFields, KindRulesRequireAndForbidFields)
{
    Header h;
    Fields f;
    // send_event without EventType
    auto no_type = hex(std::string("0f 00 00 00 00 00 00 00 18 00 00 00 0f 00 00 00 10 00 00 00 ") + kBodyA1);
    EXPECT_EQ(check(no_type, false, h, f), FrameError::MissingField);
    // register_event carrying a Status field it has no use for
    auto extra = hex("11 00 01 00 01 00 00 00 18 00 00 00 "
                     "0d 00 00 00 02 00 00 00 2a 00 00 00 "
                     "01 00 00 00 04 00 00 00 00 00 00 00");
    EXPECT_EQ(check(extra, false, h, f), FrameError::UnexpectedField);
    // a client may not send what only the daemon sends
    auto hello = hex("01 00 00 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(check(hello, false, h, f), FrameError::UnknownKind);
    // and the daemon's event must carry a body
    auto bare_event = hex("10 00 00 00 01 00 00 00 0c 00 00 00 0c 00 00 00 03 00 00 00 65 76 00 00");
    EXPECT_EQ(check(bare_event, true, h, f), FrameError::MissingField);
    // the header length must match the bytes given
    auto mismatch = hex("04 00 01 00 00 00 00 00 04 00 00 00");
    EXPECT_EQ(check(mismatch, false, h, f), FrameError::FieldOverrun);
}

TEST(BusWireBody, AcceptsSoundBodies)
{
    auto a1 = hex(kBodyA1);
    EXPECT_TRUE(valid_body(a1.data(), a1.size()));
    auto empty_table = hex("02 00 00 04");
    EXPECT_TRUE(valid_body(empty_table.data(), empty_table.size()));
    auto empty_untyped = hex("00 00 00 04");
    EXPECT_TRUE(valid_body(empty_untyped.data(), empty_untyped.size()));
}

TEST(BusWireBody, RejectsMalformedBodies)
{
    const char *cases[] = {
        "02 00 00",                                                // shorter than a header
        "02 00 00 14  85 00 00 0c  00 01 61 00  00 00 00 01",      // head claims more than there is
        "02 00 00 08  85 00 00 0c",                                // child runs past the head
        "82 00 00 10  85 00 00 0c  00 01 61 00  00 00 00 01",      // head is itself a named attribute
        "01 00 00 10  85 00 00 0c  00 01 61 00  00 00 00 01",      // array head: children need names
        "02 00 00 10  05 00 00 0c  00 01 61 00  00 00 00 01",      // child without the name flag
        "02 00 00 10  85 00 00 0c  00 00 00 00  00 00 00 01",      // child with an empty name
        "02 00 00 10  85 00 00 0c  00 05 61 00  00 00 00 01",      // name length past the child
        "02 00 00 10  83 00 00 0c  00 01 61 00  41 42 43 44",      // string without NUL
        "02 00 00 10  86 00 00 0c  00 01 61 00  00 00 00 01",      // int16 with four bytes
        "02 00 00 10  8f 00 00 0c  00 01 61 00  00 00 00 01",      // unknown type
        "02 00 00 10  85 00 00 02  00 01 61 00  00 00 00 01",      // child shorter than a header
    };
    for (const char *c : cases) {
        auto b = hex(c);
        EXPECT_FALSE(valid_body(b.data(), b.size())) << c;
    }
}

TEST(BusWireBody, RejectsDeepNesting)
{
    // 100 tables nested in each other, each named "t": deeper than any reader will recurse.
    blob_buf b{};
    blob_buf_init(&b, 0);
    std::vector<void *> cookies;
    for (int i = 0; i < 100; ++i)
        cookies.push_back(blobmsg_open_table(&b, "t"));
    for (auto it = cookies.rbegin(); it != cookies.rend(); ++it)
        blobmsg_close_table(&b, *it);
    auto *bytes = reinterpret_cast<const uint8_t *>(b.head);
    EXPECT_FALSE(valid_body(bytes, blob_pad_len(b.head)));
    blob_buf_free(&b);
}

TEST(BusWireWriter, FramesRoundTripThroughTheParser)
{
    FrameWriter w(Kind::Invoke, 7, 0xabcdef01);
    auto body = hex(kBodyA1);
    w.text(Tag::Method, "status").bytes(Tag::Body, body.data(), body.size());
    std::vector<uint8_t> frame = w.finish();
    Header h;
    Fields f;
    ASSERT_EQ(check(frame, false, h, f), FrameError::None);
    EXPECT_EQ(h.kind, Kind::Invoke);
    EXPECT_EQ(h.seq, 7);
    EXPECT_EQ(h.peer, 0xabcdef01u);
    EXPECT_EQ(h.length, frame.size() - kHeaderSize);
    EXPECT_STREQ(f.text(Tag::Method), "status");
    // Values stay 4-byte aligned within the frame, so a body can be used where it lies.
    EXPECT_EQ((f.get(Tag::Body).data - frame.data()) % 4, 0);
}

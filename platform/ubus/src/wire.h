// The bus frame format shared by ubusd and the client library.
//
// Every frame is a 12-byte header followed by `length` payload bytes:
//
//   offset 0  u8   kind      what the frame asks or tells (Kind below)
//   offset 1  u8   flags     Flag bits; unknown bits are rejected
//   offset 2  u16  seq       request number chosen by the client, echoed in every answer
//   offset 4  u32  peer      object id or client id, meaning given per kind
//   offset 8  u32  length    payload bytes that follow
//
// The payload is a sequence of fields, each an 8-byte field header (u16 tag, u16 zero, u32 value
// length) followed by the value and zero padding to a multiple of 4 bytes. All integers are
// little-endian. Values keep 4-byte alignment relative to the frame start, so a message body
// (a blobmsg container) can be handed to callbacks in place.
//
// Decoding never trusts a length: parse_header() and parse_fields() check every size against the
// bytes that are really there and report what was wrong as a FrameError, nothing is thrown.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace fb::bus {

inline constexpr std::size_t kHeaderSize = 12;
inline constexpr std::size_t kFieldHeaderSize = 8;
inline constexpr uint8_t kProtocolVersion = 1;
// Largest message body (the blobmsg data of an event, call or reply) a client may send.
inline constexpr uint32_t kMaxMessageBody = 1024 * 1024;
// Largest payload of any frame: the body plus room for names, ids and field headers.
inline constexpr uint32_t kMaxPayload = kMaxMessageBody + 4096;
// Longest object path, method name, event type or pattern (without the NUL).
inline constexpr std::size_t kMaxName = 255;

enum class Kind : uint8_t {
    Hello = 1,          // daemon -> client, first frame: peer = client id; Version, MaxBody
    Status = 2,         // answer that ends a request: Status [, ObjectId for AddObject]
    Data = 3,           // answer data before the Status: Body, or object records for Lookup
    Lookup = 4,         // client: [Path] (exact, or prefix ending in '*'); answers Data per object
    AddObject = 5,      // client: ObjectKind [, Path] [, Signature]; answers Data{ObjectId, TypeId}
    RemoveObject = 6,   // client: peer = object id
    Invoke = 7,         // client: peer = object id; Method [, Body]
                        // daemon -> owner: peer = object id, seq = caller's; ClientId, Method, Body
    Reply = 8,          // owner -> daemon: peer = caller client id, seq = caller's seq; Body
    ReplyStatus = 9,    // owner -> daemon: peer = caller client id, seq = caller's seq; Status
    Subscribe = 10,     // client: peer = subscriber object id; Target
    Unsubscribe = 11,   // client: peer = subscriber object id; Target
    Notify = 12,        // client: peer = object id; Method [, Body]; Status only with WantStatus
                        // daemon -> subscriber: peer = subscriber object id; Target, Method, Body
    SubscribersChanged = 13, // daemon -> owner: peer = object id; Active (0 or 1)
    ObjectGone = 14,    // daemon -> subscriber: peer = subscriber object id; Target
    SendEvent = 15,     // client: EventType [, Body]; Status only with WantStatus
    Event = 16,         // daemon -> client: peer = handler object id; EventType, Body
    RegisterEvent = 17, // client: peer = handler object id; Pattern
    Error = 18,         // daemon -> client, sent before the daemon closes the connection: Status, Text
};

enum Flag : uint8_t {
    // The sender wants a Status answer to a frame that is otherwise fire-and-forget.
    WantStatus = 1 << 0,
};
inline constexpr uint8_t kKnownFlags = WantStatus;

enum class Tag : uint16_t {
    Status = 1,     // u32
    ObjectId = 2,   // u32
    TypeId = 3,     // u32
    ClientId = 4,   // u32
    Target = 5,     // u32: object id of the subscribed (or notifying) object
    Active = 6,     // u32: 0 or 1
    Version = 7,    // u32
    MaxBody = 8,    // u32
    ObjectKind = 9, // u32: ObjectKind below
    Path = 10,      // NUL-terminated text
    Method = 11,    // NUL-terminated text
    EventType = 12, // NUL-terminated text
    Pattern = 13,   // NUL-terminated text
    Text = 14,      // NUL-terminated text
    Body = 15,      // one blob attribute: a blobmsg container
    Signature = 16, // one blob attribute: table of method name -> table of argument name -> int32 type
};
inline constexpr uint16_t kMaxTag = 16;

enum class ObjectKind : uint32_t {
    Plain = 0,        // a named object with methods
    EventHandler = 1, // anonymous: receives Event frames for its patterns
    Subscriber = 2,   // anonymous: receives Notify and ObjectGone frames
};

enum class FrameError {
    None,
    ShortHeader,
    UnknownKind,
    UnknownFlags,
    TooLarge,
    ShortField,
    BadFieldHeader,
    FieldOverrun,
    BadPadding,
    UnknownTag,
    DuplicateTag,
    BadInteger,
    BadText,
    BadBody,
    MissingField,
    UnexpectedField,
};

const char *to_string(FrameError e);
const char *to_string(Kind k);

struct Header {
    Kind kind = Kind::Hello;
    uint8_t flags = 0;
    uint16_t seq = 0;
    uint32_t peer = 0;
    uint32_t length = 0;
};

// Checks and decodes the first kHeaderSize bytes. `max_payload` is the receiver's limit.
FrameError parse_header(const uint8_t *bytes, std::size_t len, uint32_t max_payload, Header &out);
void encode_header(const Header &h, uint8_t out[kHeaderSize]);

// The fields of one frame, each a view into the frame bytes (valid while those bytes live).
struct Fields {
    struct Span {
        const uint8_t *data = nullptr;
        uint32_t len = 0;
        bool present() const { return data != nullptr; }
    };
    std::array<Span, kMaxTag + 1> by_tag{};

    const Span &get(Tag t) const { return by_tag[static_cast<uint16_t>(t)]; }
    bool has(Tag t) const { return get(t).present(); }
    uint32_t u32(Tag t) const;            // only after validate() said the field is an integer
    const char *text(Tag t) const;        // nullptr when absent
    std::string_view text_view(Tag t) const;
};

// Splits a payload into fields and checks each value's shape by its tag: integers are 4 bytes,
// texts are NUL-terminated without inner NULs and at most kMaxName (Text: 1024) characters,
// Body and Signature are one sound blobmsg container filling the field. Every tag at most once.
FrameError parse_fields(const uint8_t *payload, std::size_t len, Fields &out);

// Which fields a frame of this kind must and may carry, coming from a client (to the daemon)
// or from the daemon (to a client). Anything else makes the frame malformed.
FrameError check_kind_fields(Kind kind, bool from_daemon, const Fields &f);

// Whole-frame check in the order the daemon applies it: header, fields, per-kind fields.
FrameError validate_frame(const uint8_t *bytes, std::size_t len, bool from_daemon, uint32_t max_payload,
                          Header &h, Fields &f);

// True when `bytes` hold exactly one sound blobmsg container: its header length matches `len`
// (allowing the padding), and every child is a sound named blobmsg attribute.
bool valid_body(const uint8_t *bytes, std::size_t len);

// Appends fields to a byte buffer. On its own it builds a payload (the daemon shares one payload
// between the copies of an event it fans out); FrameWriter puts a header in front.
class FieldWriter {
public:
    FieldWriter() { buf_.reserve(64); }

    FieldWriter &u32(Tag t, uint32_t v);
    FieldWriter &text(Tag t, std::string_view s);
    FieldWriter &bytes(Tag t, const void *data, std::size_t len);

    const std::vector<uint8_t> &buffer() const { return buf_; }
    std::size_t size() const { return buf_.size(); }

protected:
    std::vector<uint8_t> buf_;
};

// Builds one frame. Fields are appended in call order; finish() writes the header length.
class FrameWriter : public FieldWriter {
public:
    FrameWriter(Kind kind, uint16_t seq, uint32_t peer, uint8_t flags = 0);

    FrameWriter &u32(Tag t, uint32_t v)
    {
        FieldWriter::u32(t, v);
        return *this;
    }
    FrameWriter &text(Tag t, std::string_view s)
    {
        FieldWriter::text(t, s);
        return *this;
    }
    FrameWriter &bytes(Tag t, const void *data, std::size_t len)
    {
        FieldWriter::bytes(t, data, len);
        return *this;
    }

    // The complete frame.
    std::vector<uint8_t> &finish();
};

inline void put_le32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

inline uint32_t get_le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

inline void put_le16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline uint16_t get_le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

inline constexpr std::size_t pad4(std::size_t n) { return (n + 3) & ~static_cast<std::size_t>(3); }

} // namespace fb::bus

#include "wire.h"

#include <libubox/blobmsg.h>

namespace fb::bus {

const char *to_string(FrameError e)
{
    switch (e) {
    case FrameError::None: return "ok";
    case FrameError::ShortHeader: return "short header";
    case FrameError::UnknownKind: return "unknown frame kind";
    case FrameError::UnknownFlags: return "unknown flags";
    case FrameError::TooLarge: return "frame too large";
    case FrameError::ShortField: return "short field header";
    case FrameError::BadFieldHeader: return "bad field header";
    case FrameError::FieldOverrun: return "field runs past the frame";
    case FrameError::BadPadding: return "bad field padding";
    case FrameError::UnknownTag: return "unknown field tag";
    case FrameError::DuplicateTag: return "duplicate field";
    case FrameError::BadInteger: return "bad integer field";
    case FrameError::BadText: return "bad text field";
    case FrameError::BadBody: return "bad message body";
    case FrameError::MissingField: return "missing field";
    case FrameError::UnexpectedField: return "unexpected field";
    }
    return "unknown error";
}

const char *to_string(Kind k)
{
    switch (k) {
    case Kind::Hello: return "hello";
    case Kind::Status: return "status";
    case Kind::Data: return "data";
    case Kind::Lookup: return "lookup";
    case Kind::AddObject: return "add_object";
    case Kind::RemoveObject: return "remove_object";
    case Kind::Invoke: return "invoke";
    case Kind::Reply: return "reply";
    case Kind::ReplyStatus: return "reply_status";
    case Kind::Subscribe: return "subscribe";
    case Kind::Unsubscribe: return "unsubscribe";
    case Kind::Notify: return "notify";
    case Kind::SubscribersChanged: return "subscribers_changed";
    case Kind::ObjectGone: return "object_gone";
    case Kind::SendEvent: return "send_event";
    case Kind::Event: return "event";
    case Kind::RegisterEvent: return "register_event";
    case Kind::Error: return "error";
    }
    return "unknown";
}

static bool known_kind(uint8_t k) { return k >= static_cast<uint8_t>(Kind::Hello) && k <= static_cast<uint8_t>(Kind::Error); }

FrameError parse_header(const uint8_t *bytes, std::size_t len, uint32_t max_payload, Header &out)
{
    if (len < kHeaderSize)
        return FrameError::ShortHeader;
    if (!known_kind(bytes[0]))
        return FrameError::UnknownKind;
    if (bytes[1] & ~kKnownFlags)
        return FrameError::UnknownFlags;
    out.kind = static_cast<Kind>(bytes[0]);
    out.flags = bytes[1];
    out.seq = get_le16(bytes + 2);
    out.peer = get_le32(bytes + 4);
    out.length = get_le32(bytes + 8);
    if (out.length > max_payload)
        return FrameError::TooLarge;
    return FrameError::None;
}

void encode_header(const Header &h, uint8_t out[kHeaderSize])
{
    out[0] = static_cast<uint8_t>(h.kind);
    out[1] = h.flags;
    put_le16(out + 2, h.seq);
    put_le32(out + 4, h.peer);
    put_le32(out + 8, h.length);
}

uint32_t Fields::u32(Tag t) const
{
    const Span &s = get(t);
    return s.data && s.len == 4 ? get_le32(s.data) : 0;
}

const char *Fields::text(Tag t) const
{
    const Span &s = get(t);
    return s.data ? reinterpret_cast<const char *>(s.data) : nullptr;
}

std::string_view Fields::text_view(Tag t) const
{
    const Span &s = get(t);
    if (!s.data || s.len == 0)
        return {};
    return {reinterpret_cast<const char *>(s.data), s.len - 1};
}

enum class Shape { Integer, Text, Blob };

static Shape shape_of(Tag t)
{
    switch (t) {
    case Tag::Path:
    case Tag::Method:
    case Tag::EventType:
    case Tag::Pattern:
    case Tag::Text:
        return Shape::Text;
    case Tag::Body:
    case Tag::Signature:
        return Shape::Blob;
    default:
        return Shape::Integer;
    }
}

bool valid_body(const uint8_t *bytes, std::size_t len)
{
    if (len < sizeof(blob_attr) || len > kMaxPayload)
        return false;
    const auto *head = reinterpret_cast<const blob_attr *>(bytes);
    std::size_t raw = blob_raw_len(head);
    if (raw < sizeof(blob_attr) || raw > len || pad4(raw) != len)
        return false;
    // A message body is the head of a blob buffer: not itself a named blobmsg attribute, and
    // either untyped or a table, so every child must carry a name.
    if (blob_is_extended(head))
        return false;
    unsigned id = blob_id(head);
    if (id != BLOBMSG_TYPE_UNSPEC && id != BLOBMSG_TYPE_TABLE)
        return false;
    std::size_t rem = raw - sizeof(blob_attr);
    const uint8_t *pos = bytes + sizeof(blob_attr);
    while (rem > 0) {
        if (rem < sizeof(blob_attr))
            return false;
        const auto *child = reinterpret_cast<const blob_attr *>(pos);
        std::size_t child_raw = blob_raw_len(child);
        if (child_raw < sizeof(blob_attr) || child_raw > rem)
            return false;
        if (!blobmsg_check_attr_len(child, true, rem))
            return false;
        std::size_t step = pad4(child_raw);
        if (step > rem)
            step = rem; // an unpadded last child still ends inside the container
        rem -= step;
        pos += step;
    }
    return true;
}

static FrameError check_value(Tag t, const uint8_t *v, uint32_t len)
{
    switch (shape_of(t)) {
    case Shape::Integer:
        return len == 4 ? FrameError::None : FrameError::BadInteger;
    case Shape::Text: {
        std::size_t limit = t == Tag::Text ? 1024 : kMaxName;
        if (len < 1 || len - 1 > limit || v[len - 1] != 0)
            return FrameError::BadText;
        if (std::memchr(v, 0, len - 1) != nullptr)
            return FrameError::BadText;
        return FrameError::None;
    }
    case Shape::Blob:
        return valid_body(v, len) ? FrameError::None : FrameError::BadBody;
    }
    return FrameError::BadBody;
}

FrameError parse_fields(const uint8_t *payload, std::size_t len, Fields &out)
{
    out = Fields{};
    std::size_t off = 0;
    while (off < len) {
        if (len - off < kFieldHeaderSize)
            return FrameError::ShortField;
        uint16_t tag = get_le16(payload + off);
        uint16_t reserved = get_le16(payload + off + 2);
        uint32_t vlen = get_le32(payload + off + 4);
        if (reserved != 0)
            return FrameError::BadFieldHeader;
        if (tag == 0 || tag > kMaxTag)
            return FrameError::UnknownTag;
        off += kFieldHeaderSize;
        if (vlen > len - off)
            return FrameError::FieldOverrun;
        std::size_t padded = pad4(vlen);
        if (padded > len - off)
            return FrameError::FieldOverrun;
        for (std::size_t i = vlen; i < padded; ++i)
            if (payload[off + i] != 0)
                return FrameError::BadPadding;
        Fields::Span &slot = out.by_tag[tag];
        if (slot.present())
            return FrameError::DuplicateTag;
        FrameError e = check_value(static_cast<Tag>(tag), payload + off, vlen);
        if (e != FrameError::None)
            return e;
        slot.data = payload + off;
        slot.len = vlen;
        off += padded;
    }
    return FrameError::None;
}

namespace {

struct Rule {
    uint32_t required = 0;
    uint32_t allowed = 0; // includes required
    bool valid = false;
};

constexpr uint32_t bit(Tag t) { return 1u << static_cast<uint16_t>(t); }

Rule client_rule(Kind k)
{
    switch (k) {
    case Kind::Lookup: return {0, bit(Tag::Path), true};
    case Kind::AddObject:
        return {bit(Tag::ObjectKind), bit(Tag::ObjectKind) | bit(Tag::Path) | bit(Tag::Signature), true};
    case Kind::RemoveObject: return {0, 0, true};
    case Kind::Invoke:
    case Kind::Notify:
        return {bit(Tag::Method), bit(Tag::Method) | bit(Tag::Body), true};
    case Kind::Reply: return {bit(Tag::Body), bit(Tag::Body), true};
    case Kind::ReplyStatus: return {bit(Tag::Status), bit(Tag::Status), true};
    case Kind::Subscribe:
    case Kind::Unsubscribe:
        return {bit(Tag::Target), bit(Tag::Target), true};
    case Kind::SendEvent: return {bit(Tag::EventType), bit(Tag::EventType) | bit(Tag::Body), true};
    case Kind::RegisterEvent: return {bit(Tag::Pattern), bit(Tag::Pattern), true};
    default: return {};
    }
}

Rule daemon_rule(Kind k)
{
    switch (k) {
    case Kind::Hello: return {bit(Tag::Version) | bit(Tag::MaxBody), bit(Tag::Version) | bit(Tag::MaxBody), true};
    case Kind::Status:
        return {bit(Tag::Status), bit(Tag::Status) | bit(Tag::ObjectId) | bit(Tag::TypeId), true};
    case Kind::Data:
        return {0, bit(Tag::Body) | bit(Tag::ObjectId) | bit(Tag::TypeId) | bit(Tag::Path) | bit(Tag::Signature),
                true};
    case Kind::Invoke: {
        uint32_t m = bit(Tag::ClientId) | bit(Tag::Method) | bit(Tag::Body);
        return {m, m, true};
    }
    case Kind::Notify: {
        uint32_t m = bit(Tag::Target) | bit(Tag::Method) | bit(Tag::Body);
        return {m, m, true};
    }
    case Kind::SubscribersChanged: return {bit(Tag::Active), bit(Tag::Active), true};
    case Kind::ObjectGone: return {bit(Tag::Target), bit(Tag::Target), true};
    case Kind::Event: {
        uint32_t m = bit(Tag::EventType) | bit(Tag::Body);
        return {m, m, true};
    }
    case Kind::Error: {
        uint32_t m = bit(Tag::Status) | bit(Tag::Text);
        return {m, m, true};
    }
    default: return {};
    }
}

} // namespace

FrameError check_kind_fields(Kind kind, bool from_daemon, const Fields &f)
{
    Rule r = from_daemon ? daemon_rule(kind) : client_rule(kind);
    if (!r.valid)
        return FrameError::UnknownKind;
    uint32_t present = 0;
    for (uint16_t t = 1; t <= kMaxTag; ++t)
        if (f.by_tag[t].present())
            present |= 1u << t;
    if ((present & r.required) != r.required)
        return FrameError::MissingField;
    if (present & ~r.allowed)
        return FrameError::UnexpectedField;
    return FrameError::None;
}

FrameError validate_frame(const uint8_t *bytes, std::size_t len, bool from_daemon, uint32_t max_payload, Header &h,
                          Fields &f)
{
    FrameError e = parse_header(bytes, len, max_payload, h);
    if (e != FrameError::None)
        return e;
    if (len - kHeaderSize != h.length)
        return FrameError::FieldOverrun;
    e = parse_fields(bytes + kHeaderSize, h.length, f);
    if (e != FrameError::None)
        return e;
    return check_kind_fields(h.kind, from_daemon, f);
}

FrameWriter::FrameWriter(Kind kind, uint16_t seq, uint32_t peer, uint8_t flags)
{
    buf_.reserve(64);
    buf_.resize(kHeaderSize);
    Header h;
    h.kind = kind;
    h.flags = flags;
    h.seq = seq;
    h.peer = peer;
    encode_header(h, buf_.data());
}

FieldWriter &FieldWriter::bytes(Tag t, const void *data, std::size_t len)
{
    std::size_t at = buf_.size();
    buf_.resize(at + kFieldHeaderSize + pad4(len), 0);
    put_le16(&buf_[at], static_cast<uint16_t>(t));
    put_le16(&buf_[at + 2], 0);
    put_le32(&buf_[at + 4], static_cast<uint32_t>(len));
    if (len)
        std::memcpy(&buf_[at + kFieldHeaderSize], data, len);
    return *this;
}

FieldWriter &FieldWriter::u32(Tag t, uint32_t v)
{
    uint8_t le[4];
    put_le32(le, v);
    return bytes(t, le, 4);
}

FieldWriter &FieldWriter::text(Tag t, std::string_view s)
{
    std::size_t at = buf_.size();
    std::size_t len = s.size() + 1;
    buf_.resize(at + kFieldHeaderSize + pad4(len), 0);
    put_le16(&buf_[at], static_cast<uint16_t>(t));
    put_le16(&buf_[at + 2], 0);
    put_le32(&buf_[at + 4], static_cast<uint32_t>(len));
    if (!s.empty())
        std::memcpy(&buf_[at + kFieldHeaderSize], s.data(), s.size());
    return *this;
}

std::vector<uint8_t> &FrameWriter::finish()
{
    put_le32(&buf_[8], static_cast<uint32_t>(buf_.size() - kHeaderSize));
    return buf_;
}

} // namespace fb::bus

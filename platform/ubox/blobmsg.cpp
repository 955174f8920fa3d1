// Named typed messages: building, validating and parsing against policy tables.

#include <libubox/blobmsg.h>

#include "blobmsg_check.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

constexpr size_t kHeaderLen = sizeof(blob_attr);
constexpr size_t kNameHeaderLen = sizeof(blobmsg_hdr);

constexpr int kMaxDepth = ubox::kMaxNesting;

size_t pad4(size_t len)
{
    return (len + BLOB_ATTR_ALIGN - 1) & ~static_cast<size_t>(BLOB_ATTR_ALIGN - 1);
}

// Checks the children of a container payload. Every byte of the payload must belong to a child:
// bytes that do not form a whole attribute are a sign of a truncated or forged message.
int check_children(const char *data, size_t len, int type, bool name, int depth)
{
    if (depth > kMaxDepth)
        return -1;
    int count = 0;
    size_t rem = len;
    const char *pos = data;
    while (rem > 0) {
        if (rem < kHeaderLen)
            return -1;
        const auto *attr = reinterpret_cast<const blob_attr *>(pos);
        size_t raw = blob_raw_len(attr);
        size_t padded = blob_pad_len(attr);
        if (raw < kHeaderLen || padded > rem)
            return -1;
        if (type != BLOBMSG_TYPE_UNSPEC && static_cast<int>(blob_id(attr)) != type)
            return -1;
        // Members of a table or array are named attributes (an array's with an empty name):
        // readers call blobmsg_name on them, which needs the name header to be there.
        if (!blob_is_extended(attr))
            return -1;
        if (!ubox::check_attr_shallow(attr, name, raw))
            return -1;
        // Nested containers are checked one level deeper than their parent.
        int id = static_cast<int>(blob_id(attr));
        if (id == BLOBMSG_TYPE_ARRAY || id == BLOBMSG_TYPE_TABLE) {
            if (check_children(static_cast<const char *>(blobmsg_data(attr)), blobmsg_data_len(attr),
                               BLOBMSG_TYPE_UNSPEC, id == BLOBMSG_TYPE_TABLE, depth + 1) < 0)
                return -1;
        }
        count++;
        rem -= padded;
        pos += padded;
    }
    return count;
}

// Fixed-size values must have exactly their size so that the typed getters stay inside the
// attribute; strings must be terminated inside it.
bool check_value(int type, const char *data, size_t len)
{
    switch (type) {
    case BLOBMSG_TYPE_UNSPEC:
    case BLOBMSG_TYPE_ARRAY:
    case BLOBMSG_TYPE_TABLE:
        return true;
    case BLOBMSG_TYPE_STRING:
        return len >= 1 && data[len - 1] == 0;
    case BLOBMSG_TYPE_INT8:
        return len == 1;
    case BLOBMSG_TYPE_INT16:
        return len == 2;
    case BLOBMSG_TYPE_INT32:
        return len == 4;
    case BLOBMSG_TYPE_INT64:
    case BLOBMSG_TYPE_DOUBLE:
        return len == 8;
    default:
        return false;
    }
}

} // namespace

// The attribute's own header and name, and its value's size; containers are checked shallowly
// here (their children by check_children).
bool ubox::check_attr_shallow(const blob_attr *attr, bool name, size_t avail)
{
    if (!attr || avail < kHeaderLen)
        return false;
    size_t raw = blob_raw_len(attr);
    if (raw < kHeaderLen || raw > avail)
        return false;
    int id = static_cast<int>(blob_id(attr));
    if (id > BLOBMSG_TYPE_LAST)
        return false;
    size_t len = raw - kHeaderLen;
    const char *payload = attr->data;
    if (!blob_is_extended(attr)) {
        // A plain attribute carries no name.
        if (name)
            return false;
        return check_value(id, payload, len);
    }
    if (len < kNameHeaderLen)
        return false;
    uint16_t namelen_be;
    memcpy(&namelen_be, payload, sizeof(namelen_be));
    size_t namelen = be16_to_cpu(namelen_be);
    size_t hdrlen = static_cast<size_t>(blobmsg_hdrlen(static_cast<unsigned int>(namelen)));
    if (hdrlen > len)
        return false;
    // The name is exactly namelen characters and terminated: lookups compare by length and
    // readers use it as a C string, and both must see the same name.
    if (payload[kNameHeaderLen + namelen] != 0 || memchr(payload + kNameHeaderLen, 0, namelen))
        return false;
    if (name && namelen == 0)
        return false;
    return check_value(id, payload + hdrlen, len - hdrlen);
}

namespace
{

bool check_attr_deep(const blob_attr *attr, bool name, size_t avail, int depth)
{
    if (!ubox::check_attr_shallow(attr, name, avail))
        return false;
    int id = static_cast<int>(blob_id(attr));
    if (id != BLOBMSG_TYPE_ARRAY && id != BLOBMSG_TYPE_TABLE)
        return true;
    return check_children(static_cast<const char *>(blobmsg_data(attr)), blobmsg_data_len(attr), BLOBMSG_TYPE_UNSPEC,
                          id == BLOBMSG_TYPE_TABLE, depth + 1) >= 0;
}

bool policy_type_matches(int want, int have)
{
    if (want == BLOBMSG_TYPE_UNSPEC)
        return true;
    if (want == BLOBMSG_CAST_INT64)
        return have == BLOBMSG_TYPE_INT64 || have == BLOBMSG_TYPE_INT32 || have == BLOBMSG_TYPE_INT16 ||
               have == BLOBMSG_TYPE_INT8;
    return want == have;
}

// Appends a named attribute with room for `payload` value bytes; `data` receives the value area.
blob_attr *blobmsg_new(blob_buf *buf, int type, const char *name, size_t payload, void **data)
{
    if (!name)
        name = "";
    size_t namelen = strlen(name);
    if (namelen > 0xffff)
        return nullptr;
    size_t hdrlen = static_cast<size_t>(blobmsg_hdrlen(static_cast<unsigned int>(namelen)));
    if (payload > BLOB_ATTR_LEN_MASK || hdrlen + payload > BLOB_ATTR_LEN_MASK)
        return nullptr;
    blob_attr *attr = blob_new(buf, type, static_cast<int>(hdrlen + payload));
    if (!attr)
        return nullptr;
    attr->id_len |= cpu_to_be32(BLOB_ATTR_EXTENDED);
    char *p = attr->data;
    uint16_t nl = cpu_to_be16(static_cast<uint16_t>(namelen));
    memcpy(p, &nl, sizeof(nl));
    memcpy(p + kNameHeaderLen, name, namelen);
    memset(p + kNameHeaderLen + namelen, 0, hdrlen - kNameHeaderLen - namelen);
    *data = p + hdrlen;
    return attr;
}

size_t buf_offset(const blob_buf *buf, const void *p)
{
    return static_cast<size_t>(static_cast<const char *>(p) - static_cast<const char *>(buf->buf));
}

} // namespace

extern "C" {

bool blobmsg_check_attr_len(const blob_attr *attr, bool name, size_t len)
{
    return check_attr_deep(attr, name, len, 0);
}

bool blobmsg_check_attr(const blob_attr *attr, bool name)
{
    if (!attr)
        return false;
    return check_attr_deep(attr, name, blob_raw_len(attr), 0);
}

int blobmsg_check_array_len(const blob_attr *attr, int type, size_t len)
{
    if (!ubox::check_attr_shallow(attr, false, len))
        return -1;
    int id = static_cast<int>(blob_id(attr));
    // Only a table requires names of its children; a plain nested attribute (a message root)
    // is treated as a table, as that is how messages are built.
    bool names = id == BLOBMSG_TYPE_TABLE || !blob_is_extended(attr);
    return check_children(static_cast<const char *>(blobmsg_data(attr)), blobmsg_data_len(attr), type, names, 1);
}

int blobmsg_check_array(const blob_attr *attr, int type)
{
    if (!attr)
        return -1;
    return blobmsg_check_array_len(attr, type, blob_raw_len(attr));
}

bool blobmsg_check_attr_list_len(const blob_attr *attr, int type, size_t len)
{
    return blobmsg_check_array_len(attr, type, len) >= 0;
}

bool blobmsg_check_attr_list(const blob_attr *attr, int type)
{
    return blobmsg_check_array(attr, type) >= 0;
}

int blobmsg_parse(const blobmsg_policy *policy, int policy_len, blob_attr **tb, void *data, unsigned int len)
{
    if (policy_len <= 0)
        return 0;
    memset(tb, 0, sizeof(*tb) * static_cast<size_t>(policy_len));
    if (!data || !len)
        return -EINVAL;

    // Policy name lengths, measured once per call rather than once per attribute.
    constexpr int kCachedNames = 64;
    size_t name_len[kCachedNames];
    int cached = policy_len < kCachedNames ? policy_len : kCachedNames;
    for (int i = 0; i < cached; i++)
        name_len[i] = policy[i].name ? strlen(policy[i].name) : 0;

    blob_attr *attr;
    size_t rem = len;
    __blob_for_each_attr(attr, data, rem)
    {
        // Each attribute is checked before any slot may point at it, so a caller that ignores
        // the result only ever sees sound attributes.
        if (!check_attr_deep(attr, false, rem, 0))
            return -1;
        if (!blob_is_extended(attr))
            continue;
        int id = static_cast<int>(blob_id(attr));
        const char *name = blobmsg_name(attr);
        uint16_t nl_be;
        memcpy(&nl_be, attr->data, sizeof(nl_be));
        size_t namelen = be16_to_cpu(nl_be);
        for (int i = 0; i < policy_len; i++) {
            if (!policy[i].name || tb[i])
                continue;
            if (!policy_type_matches(policy[i].type, id))
                continue;
            size_t want = i < cached ? name_len[i] : strlen(policy[i].name);
            if (want != namelen || memcmp(policy[i].name, name, namelen) != 0)
                continue;
            tb[i] = attr;
        }
    }
    return rem == 0 ? 0 : -1;
}

int blobmsg_parse_array(const blobmsg_policy *policy, int policy_len, blob_attr **tb, void *data, unsigned int len)
{
    if (policy_len <= 0)
        return 0;
    memset(tb, 0, sizeof(*tb) * static_cast<size_t>(policy_len));
    if (!data || !len)
        return -EINVAL;

    blob_attr *attr;
    size_t rem = len;
    int i = 0;
    __blob_for_each_attr(attr, data, rem)
    {
        if (i >= policy_len)
            break;
        if (!check_attr_deep(attr, false, rem, 0))
            return -1;
        if (policy_type_matches(policy[i].type, static_cast<int>(blob_id(attr))))
            tb[i] = attr;
        i++;
    }
    if (i < policy_len && rem != 0)
        return -1;
    return 0;
}

int blobmsg_add_field(blob_buf *buf, int type, const char *name, const void *data, unsigned int len)
{
    void *dest;
    blob_attr *attr = blobmsg_new(buf, type, name, len, &dest);
    if (!attr)
        return -1;
    if (len && data)
        memcpy(dest, data, len);
    return 0;
}

void *blobmsg_open_nested(blob_buf *buf, const char *name, bool array)
{
    if (!buf->head)
        return nullptr;
    unsigned long parent = static_cast<unsigned long>(buf_offset(buf, buf->head)) + BLOB_COOKIE;
    void *data;
    blob_attr *attr = blobmsg_new(buf, array ? BLOBMSG_TYPE_ARRAY : BLOBMSG_TYPE_TABLE, name, 0, &data);
    if (!attr)
        return nullptr;
    buf->head = attr;
    return reinterpret_cast<void *>(parent);
}

// A string buffer is an attribute placed just past the head's end but not yet counted in it:
// the caller writes the text in place and blobmsg_add_string_buffer sizes and commits it.
void *blobmsg_alloc_string_buffer(blob_buf *buf, const char *name, unsigned int maxlen)
{
    if (!buf->head)
        return nullptr;
    void *data;
    blob_attr *attr = blobmsg_new(buf, BLOBMSG_TYPE_STRING, name, static_cast<size_t>(maxlen) + 1, &data);
    if (!attr)
        return nullptr;
    blob_set_raw_len(buf->head, blob_pad_len(buf->head) - blob_pad_len(attr));
    blob_set_raw_len(attr, blob_raw_len(attr) - (maxlen + 1));
    static_cast<char *>(data)[0] = 0;
    return data;
}

void *blobmsg_realloc_string_buffer(blob_buf *buf, unsigned int maxlen)
{
    if (!buf->head || !buf->buf)
        return nullptr;
    blob_attr *attr = blob_next(buf->head);
    size_t data_off = buf_offset(buf, blobmsg_data(attr));
    size_t need = pad4(data_off + static_cast<size_t>(maxlen) + 1);
    if (need > BLOB_ATTR_LEN_MASK)
        return nullptr;
    if (need > static_cast<size_t>(buf->buflen)) {
        if (!blob_buf_grow(buf, static_cast<int>(need - static_cast<size_t>(buf->buflen))))
            return nullptr;
    }
    return blobmsg_data(blob_next(buf->head));
}

void blobmsg_add_string_buffer(blob_buf *buf)
{
    if (!buf->head || !buf->buf)
        return;
    blob_attr *attr = blob_next(buf->head);
    char *data = static_cast<char *>(blobmsg_data(attr));
    size_t room = static_cast<size_t>(buf->buflen) - buf_offset(buf, data);
    if (room == 0)
        return;
    // Bounded by the buffer: a text written without its terminator is cut, never overrun.
    size_t len = strnlen(data, room - 1);
    data[len] = 0;
    size_t raw = blob_raw_len(attr) + len + 1;
    if (pad4(buf_offset(buf, attr) + raw) > static_cast<size_t>(buf->buflen))
        return;
    blob_set_raw_len(attr, static_cast<unsigned int>(raw));
    blob_fill_pad(attr);
    blob_set_raw_len(buf->head, blob_pad_len(buf->head) + blob_pad_len(attr));
}

int blobmsg_vprintf(blob_buf *buf, const char *name, const char *format, va_list arg)
{
    va_list copy;
    va_copy(copy, arg);
    int len = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (len < 0)
        return -1;
    char *sbuf = static_cast<char *>(blobmsg_alloc_string_buffer(buf, name, static_cast<unsigned int>(len) + 1));
    if (!sbuf)
        return -1;
    int ret = vsnprintf(sbuf, static_cast<size_t>(len) + 1, format, arg);
    blobmsg_add_string_buffer(buf);
    return ret;
}

int blobmsg_printf(blob_buf *buf, const char *name, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int ret = blobmsg_vprintf(buf, name, format, ap);
    va_end(ap);
    return ret;
}

} // extern "C"

// Building and walking blob attribute trees in one growable buffer.

#include <libubox/blob.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace
{

constexpr unsigned int kHeaderLen = sizeof(blob_attr);
constexpr size_t kGrowStep = 256;

// Positions inside the buffer are handed out as offsets (plus a cookie, so that offset 0 is not a
// null pointer): the buffer may move when it grows, offsets survive that.
unsigned long attr_to_offset(const blob_buf *buf, const blob_attr *attr)
{
    return static_cast<unsigned long>(reinterpret_cast<const char *>(attr) - static_cast<const char *>(buf->buf)) +
           BLOB_COOKIE;
}

blob_attr *offset_to_attr(const blob_buf *buf, unsigned long offset)
{
    return reinterpret_cast<blob_attr *>(static_cast<char *>(buf->buf) + (offset - BLOB_COOKIE));
}

size_t pad4(size_t len)
{
    return (len + BLOB_ATTR_ALIGN - 1) & ~static_cast<size_t>(BLOB_ATTR_ALIGN - 1);
}

// Default growth: at least what is asked, and at least double, so building a large message costs
// a logarithmic number of reallocations. A failed realloc leaves the buffer as it was.
bool default_grow(blob_buf *buf, int minlen)
{
    size_t have = buf->buflen > 0 ? static_cast<size_t>(buf->buflen) : 0;
    size_t want = have + static_cast<size_t>(minlen);
    size_t len = have * 2 > want ? have * 2 : want;
    len = (len + kGrowStep - 1) / kGrowStep * kGrowStep;
    // One blob_buf never holds more than a 24-bit length can describe.
    size_t cap = pad4(BLOB_ATTR_LEN_MASK) + kGrowStep;
    if (len > cap)
        len = cap;
    if (len < want)
        return false;
    void *p = realloc(buf->buf, len);
    if (!p)
        return false;
    buf->buf = p;
    buf->buflen = static_cast<int>(len);
    return true;
}

void blob_init(blob_attr *attr, int id, unsigned int len)
{
    uint32_t v = (len & BLOB_ATTR_LEN_MASK) | ((static_cast<uint32_t>(id) << BLOB_ATTR_ID_SHIFT) & BLOB_ATTR_ID_MASK);
    attr->id_len = cpu_to_be32(v);
}

// Places a new attribute with `payload` bytes at byte offset `pos` of the buffer (growing it as
// needed) and returns it with its padding cleared. Does not account for it in any parent.
blob_attr *blob_add_at(blob_buf *buf, size_t pos, int id, size_t payload)
{
    size_t end = pos + pad4(kHeaderLen + payload);
    if (payload > BLOB_ATTR_LEN_MASK || end > BLOB_ATTR_LEN_MASK)
        return nullptr;
    size_t have = buf->buflen > 0 ? static_cast<size_t>(buf->buflen) : 0;
    if (end > have || !buf->buf) {
        if (!blob_buf_grow(buf, static_cast<int>(end > have ? end - have : kGrowStep)))
            return nullptr;
    }
    auto *attr = reinterpret_cast<blob_attr *>(static_cast<char *>(buf->buf) + pos);
    blob_init(attr, id, static_cast<unsigned int>(kHeaderLen + payload));
    blob_fill_pad(attr);
    return attr;
}

size_t head_end(const blob_buf *buf)
{
    return static_cast<size_t>(reinterpret_cast<const char *>(buf->head) - static_cast<const char *>(buf->buf)) +
           blob_pad_len(buf->head);
}

} // namespace

extern "C" {

void blob_fill_pad(blob_attr *attr)
{
    char *p = reinterpret_cast<char *>(attr);
    unsigned int raw = blob_raw_len(attr);
    unsigned int len = blob_pad_len(attr);
    if (len > raw)
        memset(p + raw, 0, len - raw);
}

void blob_set_raw_len(blob_attr *attr, unsigned int len)
{
    len &= BLOB_ATTR_LEN_MASK;
    attr->id_len &= ~cpu_to_be32(BLOB_ATTR_LEN_MASK);
    attr->id_len |= cpu_to_be32(len);
}

bool blob_attr_equal(const blob_attr *a1, const blob_attr *a2)
{
    if (!a1 && !a2)
        return true;
    if (!a1 || !a2)
        return false;
    if (blob_raw_len(a1) != blob_raw_len(a2))
        return false;
    return memcmp(a1, a2, blob_raw_len(a1)) == 0;
}

bool blob_buf_grow(blob_buf *buf, int required)
{
    if (required <= 0)
        return true;
    if (!buf->grow)
        return false;
    bool had_head = buf->head && buf->buf;
    unsigned long head = had_head ? attr_to_offset(buf, buf->head) : 0;
    if (!buf->grow(buf, required))
        return false;
    if (had_head)
        buf->head = offset_to_attr(buf, head);
    return true;
}

int blob_buf_init(blob_buf *buf, int id)
{
    if (!buf->grow)
        buf->grow = default_grow;
    // Re-initialising keeps the allocation: a long-lived buffer reused for every message stops
    // allocating after the first few.
    buf->head = nullptr;
    blob_attr *attr = blob_add_at(buf, 0, id, 0);
    if (!attr)
        return -ENOMEM;
    buf->head = attr;
    return 0;
}

void blob_buf_free(blob_buf *buf)
{
    free(buf->buf);
    buf->buf = nullptr;
    buf->head = nullptr;
    buf->buflen = 0;
}

blob_attr *blob_new(blob_buf *buf, int id, int payload)
{
    if (!buf->head || payload < 0)
        return nullptr;
    size_t pos = head_end(buf);
    blob_attr *attr = blob_add_at(buf, pos, id, static_cast<size_t>(payload));
    if (!attr)
        return nullptr;
    blob_set_raw_len(buf->head, blob_pad_len(buf->head) + blob_pad_len(attr));
    return attr;
}

void *blob_nest_start(blob_buf *buf, int id)
{
    if (!buf->head)
        return nullptr;
    unsigned long parent = attr_to_offset(buf, buf->head);
    blob_attr *attr = blob_new(buf, id, 0);
    if (!attr)
        return nullptr;
    buf->head = attr;
    return reinterpret_cast<void *>(parent);
}

void blob_nest_end(blob_buf *buf, void *cookie)
{
    // A failed open returned no cookie and left the head where it was.
    if (!cookie || !buf->head)
        return;
    blob_attr *parent = offset_to_attr(buf, reinterpret_cast<unsigned long>(cookie));
    blob_attr *child = buf->head;
    // The parent now reaches to the end of the child and everything the child collected.
    size_t len =
        static_cast<size_t>(reinterpret_cast<char *>(child) - reinterpret_cast<char *>(parent)) + blob_pad_len(child);
    blob_set_raw_len(parent, static_cast<unsigned int>(len));
    buf->head = parent;
}

blob_attr *blob_put(blob_buf *buf, int id, const void *ptr, unsigned int len)
{
    if (len > BLOB_ATTR_LEN_MASK)
        return nullptr;
    blob_attr *attr = blob_new(buf, id, static_cast<int>(len));
    if (!attr)
        return nullptr;
    if (len && ptr)
        memcpy(attr->data, ptr, len);
    return attr;
}

blob_attr *blob_put_raw(blob_buf *buf, const void *ptr, unsigned int len)
{
    if (!ptr || len < kHeaderLen || len > BLOB_ATTR_LEN_MASK || !buf->head)
        return nullptr;
    blob_attr *attr = blob_add_at(buf, head_end(buf), 0, len - kHeaderLen);
    if (!attr)
        return nullptr;
    memcpy(attr, ptr, len);
    size_t padded = pad4(len);
    memset(reinterpret_cast<char *>(attr) + len, 0, padded - len);
    blob_set_raw_len(buf->head, blob_pad_len(buf->head) + static_cast<unsigned int>(padded));
    return attr;
}

blob_attr *blob_memdup(blob_attr *attr)
{
    if (!attr)
        return nullptr;
    unsigned int raw = blob_raw_len(attr);
    unsigned int padded = blob_pad_len(attr);
    if (raw < kHeaderLen)
        return nullptr;
    auto *copy = static_cast<blob_attr *>(malloc(padded));
    if (!copy)
        return nullptr;
    memcpy(copy, attr, raw);
    memset(reinterpret_cast<char *>(copy) + raw, 0, padded - raw);
    return copy;
}

bool blob_check_type(const void *ptr, unsigned int len, int type)
{
    const char *data = static_cast<const char *>(ptr);
    switch (type) {
    case BLOB_ATTR_UNSPEC:
    case BLOB_ATTR_NESTED:
    case BLOB_ATTR_BINARY:
        return true;
    case BLOB_ATTR_STRING:
        return len >= 1 && data[len - 1] == 0;
    case BLOB_ATTR_INT8:
        return len == 1;
    case BLOB_ATTR_INT16:
        return len == 2;
    case BLOB_ATTR_INT32:
        return len == 4;
    case BLOB_ATTR_INT64:
    case BLOB_ATTR_DOUBLE:
        return len == 8;
    default:
        return false;
    }
}

} // extern "C"

namespace
{

int parse_children(blob_attr *first, size_t len, blob_attr **data, const blob_attr_info *info, int max)
{
    int found = 0;
    blob_attr *pos;
    size_t rem = len;

    if (max > 0)
        memset(data, 0, sizeof(*data) * static_cast<size_t>(max));

    __blob_for_each_attr(pos, first, rem)
    {
        int id = static_cast<int>(blob_id(pos));
        if (id >= max)
            continue;
        unsigned int plen = blob_len(pos);
        if (info) {
            const blob_attr_info &want = info[id];
            if (want.type < BLOB_ATTR_LAST && !blob_check_type(blob_data(pos), plen, static_cast<int>(want.type)))
                continue;
            if (want.minlen && plen < want.minlen)
                continue;
            if (want.maxlen && plen > want.maxlen)
                continue;
            if (want.validate && !want.validate(&want, pos))
                continue;
        }
        if (!data[id])
            found++;
        data[id] = pos;
    }
    return found;
}

} // namespace

extern "C" {

int blob_parse(blob_attr *attr, blob_attr **data, const blob_attr_info *info, int max)
{
    if (!attr) {
        if (max > 0)
            memset(data, 0, sizeof(*data) * static_cast<size_t>(max));
        return 0;
    }
    return parse_children(static_cast<blob_attr *>(blob_data(attr)), blob_len(attr), data, info, max);
}

int blob_parse_untrusted(blob_attr *attr, size_t attr_len, blob_attr **data, const blob_attr_info *info, int max)
{
    if (max > 0)
        memset(data, 0, sizeof(*data) * static_cast<size_t>(max));
    // The outer header must itself be inside the bytes we were given and must not claim more.
    if (!attr || attr_len < kHeaderLen)
        return 0;
    unsigned int raw = blob_raw_len(attr);
    if (raw < kHeaderLen || raw > attr_len)
        return 0;
    return parse_children(static_cast<blob_attr *>(blob_data(attr)), raw - kHeaderLen, data, info, max);
}

} // extern "C"

/*
 * Binary typed attributes. Each attribute is a 4-byte big-endian header (bit 31: extended,
 * bits 24-30: id, bits 0-23: length including the header) followed by the payload, padded to
 * 4 bytes. A blob_buf builds a tree of them in one growable buffer; nested attributes are
 * opened and closed around their children.
 */
#ifndef LIBUBOX_BLOB_H
#define LIBUBOX_BLOB_H

#include <stdarg.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "utils.h"

#ifdef __cplusplus
extern "C" {
#endif

#define BLOB_COOKIE 0x01234567

enum {
    BLOB_ATTR_UNSPEC,
    BLOB_ATTR_NESTED,
    BLOB_ATTR_BINARY,
    BLOB_ATTR_STRING,
    BLOB_ATTR_INT8,
    BLOB_ATTR_INT16,
    BLOB_ATTR_INT32,
    BLOB_ATTR_INT64,
    BLOB_ATTR_DOUBLE,
    BLOB_ATTR_LAST
};

#define BLOB_ATTR_ID_MASK 0x7f000000
#define BLOB_ATTR_ID_SHIFT 24
#define BLOB_ATTR_LEN_MASK 0x00ffffff
#define BLOB_ATTR_ALIGN 4
#define BLOB_ATTR_EXTENDED 0x80000000

struct blob_attr {
    uint32_t id_len;
    char data[];
} __packed;

struct blob_attr_info {
    unsigned int type;
    unsigned int minlen;
    unsigned int maxlen;
    bool (*validate)(const struct blob_attr_info *, struct blob_attr *);
};

struct blob_buf {
    struct blob_attr *head;
    bool (*grow)(struct blob_buf *buf, int minlen);
    int buflen;
    void *buf;
};

static inline void *blob_data(const struct blob_attr *attr)
{
    return (void *)attr->data;
}

static inline unsigned int blob_id(const struct blob_attr *attr)
{
    uint32_t id = (be32_to_cpu(attr->id_len) & BLOB_ATTR_ID_MASK) >> BLOB_ATTR_ID_SHIFT;
    return id;
}

static inline bool blob_is_extended(const struct blob_attr *attr)
{
    return !!(attr->id_len & cpu_to_be32(BLOB_ATTR_EXTENDED));
}

/* Length of the attribute including its header, without padding. */
static inline unsigned int blob_raw_len(const struct blob_attr *attr)
{
    return be32_to_cpu(attr->id_len) & BLOB_ATTR_LEN_MASK;
}

/* Length of the payload only. */
static inline unsigned int blob_len(const struct blob_attr *attr)
{
    return blob_raw_len(attr) - (unsigned int)sizeof(struct blob_attr);
}

/* Length including header and padding: the distance to the next attribute. */
static inline unsigned int blob_pad_len(const struct blob_attr *attr)
{
    unsigned int len = blob_raw_len(attr);
    len = (len + BLOB_ATTR_ALIGN - 1) & ~(unsigned int)(BLOB_ATTR_ALIGN - 1);
    return len;
}

/* Payloads are read with memcpy: a received buffer need not be aligned for the value's type. */
static inline uint8_t blob_get_u8(const struct blob_attr *attr)
{
    return *((const uint8_t *)attr->data);
}

static inline uint16_t blob_get_u16(const struct blob_attr *attr)
{
    uint16_t v;
    memcpy(&v, attr->data, sizeof(v));
    return be16_to_cpu(v);
}

static inline uint32_t blob_get_u32(const struct blob_attr *attr)
{
    uint32_t v;
    memcpy(&v, attr->data, sizeof(v));
    return be32_to_cpu(v);
}

static inline uint64_t blob_get_u64(const struct blob_attr *attr)
{
    uint64_t v;
    memcpy(&v, attr->data, sizeof(v));
    return be64_to_cpu(v);
}

static inline int8_t blob_get_int8(const struct blob_attr *attr)
{
    return (int8_t)blob_get_u8(attr);
}

static inline int16_t blob_get_int16(const struct blob_attr *attr)
{
    return (int16_t)blob_get_u16(attr);
}

static inline int32_t blob_get_int32(const struct blob_attr *attr)
{
    return (int32_t)blob_get_u32(attr);
}

static inline int64_t blob_get_int64(const struct blob_attr *attr)
{
    return (int64_t)blob_get_u64(attr);
}

static inline double blob_get_double(const struct blob_attr *attr)
{
    uint64_t bits = blob_get_u64(attr);
    double d;
    memcpy(&d, &bits, sizeof(d));
    return d;
}

static inline const char *blob_get_string(const struct blob_attr *attr)
{
    return attr->data;
}

static inline struct blob_attr *blob_next(const struct blob_attr *attr)
{
    return (struct blob_attr *)((char *)attr + blob_pad_len(attr));
}

extern void blob_fill_pad(struct blob_attr *attr);
extern void blob_set_raw_len(struct blob_attr *attr, unsigned int len);
extern bool blob_attr_equal(const struct blob_attr *a1, const struct blob_attr *a2);
extern int blob_buf_init(struct blob_buf *buf, int id);
extern void blob_buf_free(struct blob_buf *buf);
extern bool blob_buf_grow(struct blob_buf *buf, int required);
extern struct blob_attr *blob_new(struct blob_buf *buf, int id, int payload);
extern void *blob_nest_start(struct blob_buf *buf, int id);
extern void blob_nest_end(struct blob_buf *buf, void *cookie);
extern struct blob_attr *blob_put(struct blob_buf *buf, int id, const void *ptr, unsigned int len);
extern bool blob_check_type(const void *ptr, unsigned int len, int type);
/* Fills data[] by id for a buffer that is trusted to be well-formed (built by this process). */
extern int blob_parse(struct blob_attr *attr, struct blob_attr **data, const struct blob_attr_info *info, int max);
/* The same for bytes from outside: attr_len is the size of the buffer at attr, and nothing is read
 * beyond it; a header that claims more than is there makes the call fail. */
extern int blob_parse_untrusted(struct blob_attr *attr, size_t attr_len, struct blob_attr **data,
                                const struct blob_attr_info *info, int max);
extern struct blob_attr *blob_memdup(struct blob_attr *attr);
extern struct blob_attr *blob_put_raw(struct blob_buf *buf, const void *ptr, unsigned int len);

static inline struct blob_attr *blob_put_string(struct blob_buf *buf, int id, const char *str)
{
    return blob_put(buf, id, str, (unsigned int)strlen(str) + 1);
}

static inline struct blob_attr *blob_put_u8(struct blob_buf *buf, int id, uint8_t val)
{
    return blob_put(buf, id, &val, sizeof(val));
}

static inline struct blob_attr *blob_put_u16(struct blob_buf *buf, int id, uint16_t val)
{
    val = cpu_to_be16(val);
    return blob_put(buf, id, &val, sizeof(val));
}

static inline struct blob_attr *blob_put_u32(struct blob_buf *buf, int id, uint32_t val)
{
    val = cpu_to_be32(val);
    return blob_put(buf, id, &val, sizeof(val));
}

static inline struct blob_attr *blob_put_u64(struct blob_buf *buf, int id, uint64_t val)
{
    val = cpu_to_be64(val);
    return blob_put(buf, id, &val, sizeof(val));
}

static inline struct blob_attr *blob_put_double(struct blob_buf *buf, int id, double val)
{
    uint64_t bits;
    memcpy(&bits, &val, sizeof(bits));
    return blob_put_u64(buf, id, bits);
}

#define blob_put_int8 blob_put_u8
#define blob_put_int16 blob_put_u16
#define blob_put_int32 blob_put_u32
#define blob_put_int64 blob_put_u64

/*
 * Iteration stops at the first attribute whose header is short or claims more than what is left,
 * so a loop over a container never leaves it. `rem` may be a signed or unsigned integer.
 */
#define __blob_for_each_attr(pos, attr, rem)                                                                           \
    for (pos = (struct blob_attr *)(attr); (unsigned long)(rem) >= sizeof(struct blob_attr) &&                         \
                                           (unsigned long)blob_pad_len(pos) <= (unsigned long)(rem) &&                 \
                                           (unsigned long)blob_pad_len(pos) >= sizeof(struct blob_attr);               \
         rem -= blob_pad_len(pos), pos = blob_next(pos))

#define blob_for_each_attr(pos, attr, rem)                                                                             \
    for (rem = (attr) ? blob_len(attr) : 0, pos = (struct blob_attr *)((attr) ? blob_data(attr) : NULL);               \
         (unsigned long)(rem) >= sizeof(struct blob_attr) &&                                                           \
         (unsigned long)blob_pad_len(pos) <= (unsigned long)(rem) &&                                                   \
         (unsigned long)blob_pad_len(pos) >= sizeof(struct blob_attr);                                                 \
         rem -= blob_pad_len(pos), pos = blob_next(pos))

#define blob_for_each_attr_len(pos, attr, attr_len, rem)                                                               \
    for (rem = (attr) ? (attr_len) : 0, pos = (struct blob_attr *)(attr);                                              \
         (unsigned long)(rem) >= sizeof(struct blob_attr) &&                                                           \
         (unsigned long)blob_pad_len(pos) <= (unsigned long)(rem) &&                                                   \
         (unsigned long)blob_pad_len(pos) >= sizeof(struct blob_attr);                                                 \
         rem -= blob_pad_len(pos), pos = blob_next(pos))

#ifdef __cplusplus
}
#endif

#endif

// blobmsg <-> JSON text. Parsing goes through json-c; formatting is done here, straight from the
// attributes into one growing text buffer.

#include <libubox/blobmsg_json.h>

#include "blobmsg_check.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

constexpr int kMaxDepth = ubox::kMaxNesting;

// Collects the text in a malloc'ed buffer, because the caller frees the result with free().
// An allocation failure is sticky: the formatter finishes its walk and returns NULL.
class Text
{
  public:
    Text(size_t hint, blobmsg_json_format_t cb, void *priv, int indent)
        : cb_(cb), priv_(priv), indent_(indent >= 0), level_(indent >= 0 ? indent : 0)
    {
        cap_ = hint < 64 ? 64 : hint;
        buf_ = static_cast<char *>(malloc(cap_));
        failed_ = buf_ == nullptr;
    }
    ~Text() { free(buf_); }
    Text(const Text &) = delete;
    Text &operator=(const Text &) = delete;

    void put(const char *s, size_t n)
    {
        if (!reserve(n))
            return;
        memcpy(buf_ + len_, s, n);
        len_ += n;
    }
    void put(const char *s) { put(s, strlen(s)); }
    void putc(char c) { put(&c, 1); }

    // In indented form every member starts on its own line, one tab per nesting level.
    void separator()
    {
        if (!indent_)
            return;
        putc('\n');
        for (int i = 0; i < level_; i++)
            putc('\t');
    }

    void string(const char *s, size_t n);
    bool element(const blob_attr *attr, bool without_name, int depth);
    bool list(const char *data, size_t len, bool array, int depth);

    char *release()
    {
        if (failed_)
            return nullptr;
        if (!reserve(1))
            return nullptr;
        buf_[len_] = 0;
        char *out = buf_;
        buf_ = nullptr;
        return out;
    }

  private:
    bool reserve(size_t n)
    {
        if (failed_)
            return false;
        if (len_ + n + 1 <= cap_)
            return true;
        size_t cap = cap_ * 2;
        while (cap < len_ + n + 1)
            cap *= 2;
        char *p = static_cast<char *>(realloc(buf_, cap));
        if (!p) {
            failed_ = true;
            return false;
        }
        buf_ = p;
        cap_ = cap;
        return true;
    }

    char *buf_ = nullptr;
    size_t len_ = 0;
    size_t cap_ = 0;
    bool failed_ = false;
    blobmsg_json_format_t cb_;
    void *priv_;
    bool indent_;
    int level_;
};

// JSON string: quotes, backslashes and control characters escaped; other bytes (UTF-8 included)
// pass through unchanged.
void Text::string(const char *s, size_t n)
{
    putc('"');
    size_t run = 0;
    for (size_t i = 0; i < n; i++) {
        auto c = static_cast<unsigned char>(s[i]);
        const char *esc = nullptr;
        char ubuf[8];
        switch (c) {
        case '"':
            esc = "\\\"";
            break;
        case '\\':
            esc = "\\\\";
            break;
        case '\b':
            esc = "\\b";
            break;
        case '\f':
            esc = "\\f";
            break;
        case '\n':
            esc = "\\n";
            break;
        case '\r':
            esc = "\\r";
            break;
        case '\t':
            esc = "\\t";
            break;
        default:
            if (c < 0x20) {
                snprintf(ubuf, sizeof(ubuf), "\\u%04x", c);
                esc = ubuf;
            }
            break;
        }
        if (!esc) {
            run++;
            continue;
        }
        put(s + i - run, run);
        run = 0;
        put(esc);
    }
    put(s + n - run, run);
    putc('"');
}

bool Text::list(const char *data, size_t len, bool array, int depth)
{
    if (depth > kMaxDepth)
        return false;
    putc(array ? '[' : '{');
    level_++;
    separator();
    bool first = true;
    size_t rem = len;
    const char *pos = data;
    while (rem > 0) {
        const auto *attr = reinterpret_cast<const blob_attr *>(pos);
        // Members must be sound before their bytes are interpreted; a malformed one ends the
        // formatting with an error instead of reading beyond the container. A table member
        // without a name is shown without one, as text for people rather than rejected.
        if (!ubox::check_attr_shallow(attr, false, rem))
            return false;
        size_t padded = blob_pad_len(attr);
        if (padded > rem)
            return false;
        if (!first) {
            putc(',');
            separator();
        }
        if (!element(attr, array, depth))
            return false;
        first = false;
        rem -= padded;
        pos += padded;
    }
    level_--;
    separator();
    putc(array ? ']' : '}');
    return true;
}

bool Text::element(const blob_attr *attr, bool without_name, int depth)
{
    if (!without_name && blob_is_extended(attr) && blobmsg_name(attr)[0]) {
        const char *name = blobmsg_name(attr);
        string(name, strlen(name));
        put(indent_ ? ": " : ":");
    }
    if (cb_) {
        const char *custom = cb_(priv_, const_cast<blob_attr *>(attr));
        if (custom) {
            put(custom);
            return true;
        }
    }

    const char *data = static_cast<const char *>(blobmsg_data(attr));
    size_t len = blobmsg_data_len(attr);
    // Large enough for any double in fixed notation (up to 309 integer digits).
    char num[400];
    switch (blob_id(attr)) {
    case BLOBMSG_TYPE_UNSPEC:
        put("null");
        return true;
    case BLOBMSG_TYPE_INT8:
        put(blobmsg_get_u8(attr) ? "true" : "false");
        return true;
    case BLOBMSG_TYPE_INT16:
        snprintf(num, sizeof(num), "%d", static_cast<int>(blobmsg_get_s16(attr)));
        put(num);
        return true;
    case BLOBMSG_TYPE_INT32:
        snprintf(num, sizeof(num), "%" PRId32, blobmsg_get_s32(attr));
        put(num);
        return true;
    case BLOBMSG_TYPE_INT64:
        snprintf(num, sizeof(num), "%" PRId64, blobmsg_get_s64(attr));
        put(num);
        return true;
    case BLOBMSG_TYPE_DOUBLE: {
        double d = blobmsg_get_double(attr);
        // JSON has no NaN or infinity.
        if (!std::isfinite(d)) {
            put("null");
            return true;
        }
        snprintf(num, sizeof(num), "%lf", d);
        put(num);
        return true;
    }
    case BLOBMSG_TYPE_STRING:
        string(data, strnlen(data, len));
        return true;
    case BLOBMSG_TYPE_ARRAY:
        return list(data, len, true, depth + 1);
    case BLOBMSG_TYPE_TABLE:
        return list(data, len, false, depth + 1);
    default:
        return false;
    }
}

char *format(blob_attr *attr, bool list, bool without_name, blobmsg_json_format_t cb, void *priv, int indent)
{
    if (!attr || blob_raw_len(attr) < sizeof(blob_attr))
        return nullptr;
    Text text(blob_len(attr) * 2 + 16, cb, priv, indent);
    bool ok;
    if (list) {
        bool array = blob_is_extended(attr) && blobmsg_type(attr) == BLOBMSG_TYPE_ARRAY;
        if (blob_is_extended(attr) && !ubox::check_attr_shallow(attr, false, blob_raw_len(attr)))
            return nullptr;
        ok = text.list(static_cast<const char *>(blobmsg_data(attr)), blobmsg_data_len(attr), array, 0);
    } else {
        if (!ubox::check_attr_shallow(attr, false, blob_raw_len(attr)))
            return nullptr;
        ok = text.element(attr, without_name, 0);
    }
    if (!ok)
        return nullptr;
    return text.release();
}

bool add_element(blob_buf *b, const char *name, json_object *obj, int depth);

bool add_members(blob_buf *b, json_object *obj, int depth)
{
    // The object's own table keeps members in insertion order. (Its iterator functions are avoided
    // on purpose: another JSON library linked into the same program exports the same names.)
    lh_table *table = json_object_get_object(obj);
    if (!table)
        return false;
    for (lh_entry *e = table->head; e; e = e->next) {
        const char *key = static_cast<const char *>(lh_entry_k(e));
        auto *val = static_cast<json_object *>(const_cast<void *>(lh_entry_v(e)));
        // A table member with an empty name could not be told from an unnamed one, and such a
        // table would fail every receiver's check: refuse the document instead.
        if (!key || !key[0])
            return false;
        if (!add_element(b, key, val, depth))
            return false;
    }
    return true;
}

bool add_element(blob_buf *b, const char *name, json_object *obj, int depth)
{
    if (depth > kMaxDepth)
        return false;
    switch (json_object_get_type(obj)) {
    case json_type_object: {
        void *c = blobmsg_open_table(b, name);
        if (!c)
            return false;
        bool ok = add_members(b, obj, depth + 1);
        blobmsg_close_table(b, c);
        return ok;
    }
    case json_type_array: {
        void *c = blobmsg_open_array(b, name);
        if (!c)
            return false;
        bool ok = true;
        size_t n = json_object_array_length(obj);
        for (size_t i = 0; ok && i < n; i++)
            ok = add_element(b, nullptr, json_object_array_get_idx(obj, i), depth + 1);
        blobmsg_close_array(b, c);
        return ok;
    }
    case json_type_string:
        return blobmsg_add_string(b, name, json_object_get_string(obj)) == 0;
    case json_type_boolean:
        return blobmsg_add_u8(b, name, json_object_get_boolean(obj) ? 1 : 0) == 0;
    case json_type_int: {
        // Integers that fit 32 bits travel as INT32, larger ones as INT64.
        int64_t v = json_object_get_int64(obj);
        if (v >= INT32_MIN && v <= INT32_MAX)
            return blobmsg_add_u32(b, name, static_cast<uint32_t>(v)) == 0;
        return blobmsg_add_u64(b, name, static_cast<uint64_t>(v)) == 0;
    }
    case json_type_double:
        return blobmsg_add_double(b, name, json_object_get_double(obj)) == 0;
    case json_type_null:
        return blobmsg_add_field(b, BLOBMSG_TYPE_UNSPEC, name, nullptr, 0) == 0;
    }
    return false;
}

bool only_space(const char *s)
{
    for (; *s; s++) {
        if (*s != ' ' && *s != '\t' && *s != '\n' && *s != '\r')
            return false;
    }
    return true;
}

// A document that fails half-way leaves nothing behind: every table it opened has been closed
// again, so the head is the one it started at and only its length needs to be put back.
class Rollback
{
  public:
    explicit Rollback(blob_buf *b) : b_(b), len_(b->head ? blob_raw_len(b->head) : 0) {}
    bool operator()(bool ok) const
    {
        if (!ok && b_->head)
            blob_set_raw_len(b_->head, len_);
        return ok;
    }

  private:
    blob_buf *b_;
    unsigned int len_;
};

} // namespace

extern "C" {

bool blobmsg_add_json_element(blob_buf *b, const char *name, json_object *obj)
{
    return Rollback(b)(add_element(b, name, obj, 0));
}

bool blobmsg_add_object(blob_buf *b, json_object *obj)
{
    if (json_object_get_type(obj) != json_type_object)
        return false;
    return Rollback(b)(add_members(b, obj, 0));
}

bool blobmsg_add_json_from_string(blob_buf *b, const char *str)
{
    if (!str)
        return false;
    json_tokener *tok = json_tokener_new();
    if (!tok)
        return false;
    size_t len = strlen(str);
    if (len > INT32_MAX) {
        json_tokener_free(tok);
        return false;
    }
    json_object *obj = json_tokener_parse_ex(tok, str, static_cast<int>(len));
    bool ok = obj && json_tokener_get_error(tok) == json_tokener_success &&
              only_space(str + json_tokener_get_parse_end(tok)) && json_object_get_type(obj) == json_type_object;
    json_tokener_free(tok);
    if (ok)
        ok = Rollback(b)(add_members(b, obj, 0));
    json_object_put(obj);
    return ok;
}

bool blobmsg_add_json_from_file(blob_buf *b, const char *file)
{
    json_object *obj = json_object_from_file(file);
    if (!obj)
        return false;
    bool ok = json_object_get_type(obj) == json_type_object && Rollback(b)(add_members(b, obj, 0));
    json_object_put(obj);
    return ok;
}

char *blobmsg_format_json_with_cb(blob_attr *attr, bool list, blobmsg_json_format_t cb, void *priv, int indent)
{
    return format(attr, list, false, cb, priv, indent);
}

char *blobmsg_format_json_value_with_cb(blob_attr *attr, blobmsg_json_format_t cb, void *priv, int indent)
{
    return format(attr, false, true, cb, priv, indent);
}

} // extern "C"

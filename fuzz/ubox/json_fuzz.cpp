// JSON text -> blobmsg -> JSON text. Whatever json-c accepts must become a sound message whose text
// form parses back to the same text.

#include <libubox/blobmsg_json.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

struct Buf {
    blob_buf b{};
    Buf() { blob_buf_init(&b, 0); }
    ~Buf() { blob_buf_free(&b); }
};

std::string format(blob_attr *attr, int indent)
{
    char *s = blobmsg_format_json_indent(attr, true, indent);
    if (!s)
        abort(); // a message we built ourselves must always format
    std::string out(s);
    free(s);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    Buf m;
    if (!blobmsg_add_json_from_string(&m.b, text.c_str()))
        return 0;
    if (!blobmsg_check_attr_list(m.b.head, BLOBMSG_TYPE_UNSPEC))
        abort();
    std::string once = format(m.b.head, -1);
    format(m.b.head, 0);

    Buf again;
    if (!blobmsg_add_json_from_string(&again.b, once.c_str()))
        abort();
    if (format(again.b.head, -1) != once)
        abort();
    return 0;
}

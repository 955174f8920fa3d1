// Bytes from outside as a blob message: bounded validation, then everything a receiver does with
// an accepted message (policy parse, typed reads, iteration, JSON text) must stay inside it.

#include <libubox/blobmsg_json.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace
{

volatile uint64_t sink;

void read_value(const blob_attr *attr)
{
    switch (blobmsg_type(attr)) {
    case BLOBMSG_TYPE_INT8:
        sink = sink + blobmsg_get_u8(attr);
        break;
    case BLOBMSG_TYPE_INT16:
        sink = sink + blobmsg_get_u16(attr);
        break;
    case BLOBMSG_TYPE_INT32:
        sink = sink + blobmsg_get_u32(attr);
        break;
    case BLOBMSG_TYPE_INT64:
        sink = sink + blobmsg_get_u64(attr);
        break;
    case BLOBMSG_TYPE_DOUBLE:
        sink = sink + static_cast<uint64_t>(blobmsg_get_double(attr) != 0.0);
        break;
    case BLOBMSG_TYPE_STRING:
        sink = sink + strlen(blobmsg_get_string(attr));
        break;
    default:
        break;
    }
    sink = sink + strlen(blobmsg_name(attr));
}

void walk(const blob_attr *container, int depth)
{
    blob_attr *cur;
    size_t rem;
    blobmsg_for_each_attr(cur, container, rem)
    {
        read_value(cur);
        int t = blobmsg_type(cur);
        if ((t == BLOBMSG_TYPE_TABLE || t == BLOBMSG_TYPE_ARRAY) && depth < 100)
            walk(cur, depth + 1);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // An exactly sized copy, so that any read past the received bytes is caught.
    std::vector<uint32_t> store((size + 3) / 4);
    auto *bytes = reinterpret_cast<uint8_t *>(store.data());
    if (size)
        memcpy(bytes, data, size);
    auto *attr = reinterpret_cast<blob_attr *>(bytes);

    blob_attr *ids[8];
    blob_parse_untrusted(size ? attr : nullptr, size, ids, nullptr, 8);

    if (size < sizeof(blob_attr) || blob_raw_len(attr) > size || blob_raw_len(attr) < sizeof(blob_attr))
        return 0;

    // The policy parser checks every attribute before handing it out.
    const blobmsg_policy pol[] = {{"a", BLOBMSG_TYPE_UNSPEC}, {"s", BLOBMSG_TYPE_STRING}, {"i", BLOBMSG_TYPE_INT32},
                                  {"l", BLOBMSG_TYPE_INT64},  {"t", BLOBMSG_TYPE_TABLE},  {"r", BLOBMSG_TYPE_ARRAY},
                                  {"n", BLOBMSG_CAST_INT64},  {"b", BLOBMSG_TYPE_BOOL},   {"d", BLOBMSG_TYPE_DOUBLE}};
    constexpr int n = sizeof(pol) / sizeof(pol[0]);
    blob_attr *tb[n];
    blobmsg_parse(pol, n, tb, blob_data(attr), blob_len(attr));
    for (blob_attr *slot : tb) {
        if (!slot)
            continue;
        read_value(slot);
        if (blobmsg_type(slot) == BLOBMSG_TYPE_TABLE || blobmsg_type(slot) == BLOBMSG_TYPE_ARRAY)
            walk(slot, 0);
    }

    if (!blobmsg_check_attr_list_len(attr, BLOBMSG_TYPE_UNSPEC, size))
        return 0;
    walk(attr, 0);
    free(blobmsg_format_json(attr, true));
    free(blobmsg_format_json_indent(attr, true, 0));
    return 0;
}

#include "transport/remote_write.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <libubox/blobmsg.h>
#include <libubox/blobmsg_json.h>

#include "common/log.h"

namespace transport {

namespace {

std::atomic<unsigned long> g_rejections[static_cast<int>(WriteReject::Count)];

WriteReject reject(WriteReject r)
{
    g_rejections[static_cast<int>(r)].fetch_add(1, std::memory_order_relaxed);
    return r;
}

// A blob buffer released on every path.
struct BlobBuf {
    blob_buf b{};
    BlobBuf() { blob_buf_init(&b, 0); }
    ~BlobBuf() { blob_buf_free(&b); }
    BlobBuf(const BlobBuf &) = delete;
    BlobBuf &operator=(const BlobBuf &) = delete;
};

enum { W_CONN, W_SLAVE, W_FUNC, W_REG, W_ENDIAN, W_VALUE, W_MAX };

const blobmsg_policy kWritePolicy[W_MAX] = {
    {"connection_index", BLOBMSG_TYPE_INT32}, {"slave_id", BLOBMSG_TYPE_INT32}, {"func_code", BLOBMSG_TYPE_INT32},
    {"reg_addr", BLOBMSG_TYPE_INT32},         {"endian", BLOBMSG_TYPE_STRING},  {"value", BLOBMSG_TYPE_STRING},
};

// Non-empty fields between commas, as strtok gives them.
std::vector<std::string> csv_fields(const char *text)
{
    std::vector<std::string> out;
    const char *p = text;
    while (*p) {
        const char *end = strchr(p, ',');
        size_t len = end ? size_t(end - p) : strlen(p);
        if (len)
            out.emplace_back(p, len);
        if (!end)
            break;
        p = end + 1;
    }
    return out;
}

} // namespace

const char *to_string(WriteReject r)
{
    switch (r) {
    case WriteReject::None: return "none";
    case WriteReject::ParseFailed: return "parse failed";
    case WriteReject::FormatError: return "format error";
    case WriteReject::CsvParameter: return "csv parameter";
    case WriteReject::ConnectionIndex: return "connection_index";
    case WriteReject::SlaveId: return "slave_id";
    case WriteReject::FuncCode: return "func_code";
    case WriteReject::RegAddr: return "reg_addr";
    case WriteReject::Value: return "value";
    default: return "?";
    }
}

unsigned long write_rejections(WriteReject r) { return g_rejections[static_cast<int>(r)].load(); }

WriteReject parse_write_request(const char *text, WriteRequest &out)
{
    if (!text)
        text = "";
    BlobBuf buf;
    if (blobmsg_add_json_from_string(&buf.b, text)) {
        blob_attr *tb[W_MAX] = {};
        if (blobmsg_parse(kWritePolicy, W_MAX, tb, blob_data(buf.b.head), blob_len(buf.b.head)) < 0) {
            FB_LOG_ERR("parse failed");
            return reject(WriteReject::ParseFailed);
        }
        for (blob_attr *a : tb)
            if (!a) {
                FB_LOG_ERR("blob msg format error");
                return reject(WriteReject::FormatError);
            }
        out.connection_index = static_cast<int32_t>(blobmsg_get_u32(tb[W_CONN]));
        out.slave_id = static_cast<int32_t>(blobmsg_get_u32(tb[W_SLAVE]));
        out.func_code = static_cast<int32_t>(blobmsg_get_u32(tb[W_FUNC]));
        out.reg_addr = static_cast<int32_t>(blobmsg_get_u32(tb[W_REG]));
        out.endian = blobmsg_get_string(tb[W_ENDIAN]);
        out.value = blobmsg_get_string(tb[W_VALUE]);
    } else {
        std::vector<std::string> f = csv_fields(text);
        if (f.size() != 6) {
            FB_LOG_ERR("csv parameter error");
            return reject(WriteReject::CsvParameter);
        }
        out.connection_index = atoi(f[0].c_str());
        out.slave_id = atoi(f[1].c_str());
        out.func_code = atoi(f[2].c_str());
        out.reg_addr = atoi(f[3].c_str());
        out.endian = f[4];
        out.value = f[5];
    }

    if (out.connection_index < 1 || out.connection_index > 3) {
        FB_LOG_ERR("connection_index does not match(%d)", out.connection_index);
        return reject(WriteReject::ConnectionIndex);
    }
    if (out.slave_id < 0 || out.slave_id > 255) {
        FB_LOG_ERR("slave_id does not match(%d)", out.slave_id);
        return reject(WriteReject::SlaveId);
    }
    if (out.func_code != 5 && out.func_code != 6 && out.func_code != 16) {
        FB_LOG_ERR("func_code does not match(%d)", out.func_code);
        return reject(WriteReject::FuncCode);
    }
    if (out.reg_addr < 0 || out.reg_addr > 65535) {
        FB_LOG_ERR("reg_addr does not match(%d)", out.reg_addr);
        return reject(WriteReject::RegAddr);
    }
    if (out.func_code == 5) {
        int v = atoi(out.value.c_str());
        if (v != 0 && v != 1) {
            FB_LOG_ERR("value does not match(%s)", out.value.c_str());
            return reject(WriteReject::Value);
        }
    }
    if (out.func_code == 6 && out.value.find('.') != std::string::npos) {
        FB_LOG_ERR("value does not match(%s)", out.value.c_str());
        return reject(WriteReject::Value);
    }
    return WriteReject::None;
}

std::string write_event_text(const WriteRequest &r)
{
    char head[160];
    snprintf(head, sizeof head, "{\"connection_index\": %d, \"slave_id\": %d, \"func_code\": %d, \"reg_addr\": %d, ",
             r.connection_index, r.slave_id, r.func_code, r.reg_addr);
    std::string out = head;
    out += "\"endian\": \"" + json_escape(r.endian) + "\", \"value\": \"" + json_escape(r.value) + "\" }";
    return out;
}

WriteReject remote_write(const char *text)
{
    WriteRequest req;
    WriteReject r = parse_write_request(text, req);
    if (r != WriteReject::None)
        return r;
    std::string event = write_event_text(req);
    const char *argv[] = {"ubus", "send", "mb_write_data", event.c_str(), nullptr};
    // The tool's result is not acted on; the bound keeps a hung tool from stalling the loop.
    _eval(argv, nullptr, 10, nullptr);
    return WriteReject::None;
}

} // namespace transport

#include "modbus_alarm/alarm_reading.h"

#include <cstring>

#include <libubox/blobmsg.h>

#include "common/log.h"

namespace mba
{

namespace
{

enum {
    kConnectionIndex,
    kChannelIndex,
    kSlaveId,
    kFuncCode,
    kRegisterAddr,
    kTimestamp,
    kData,
    kFieldCount,
};

const struct blobmsg_policy kReadingPolicy[kFieldCount] = {
    {"connection_index", BLOBMSG_TYPE_INT32},
    {"channel_index", BLOBMSG_TYPE_INT32},
    {"slave_id", BLOBMSG_TYPE_INT32},
    {"func_code", BLOBMSG_TYPE_INT32},
    {"register_addr", BLOBMSG_TYPE_INT32},
    {"timestamp", BLOBMSG_TYPE_INT32},
    {"data", BLOBMSG_TYPE_STRING},
};

} // namespace

bool mba_handle_event(AlarmConfig &config, const char *type, struct blob_attr *msg, DecisionSink &sink)
{
    if (!type || strcmp(type, "mb_read_data") != 0) {
        FB_LOG_INFO("unkonw event");
        return false;
    }
    struct blob_attr *tb[kFieldCount] = {};
    if (!msg || blobmsg_parse(kReadingPolicy, kFieldCount, tb, blob_data(msg), blob_len(msg)) != 0) {
        FB_LOG_ERR("parse blob msg failed");
        return false;
    }
    // func_code plays no part in the matching.
    if (!tb[kConnectionIndex] || !tb[kChannelIndex] || !tb[kSlaveId] || !tb[kRegisterAddr] || !tb[kTimestamp] ||
        !tb[kData]) {
        FB_LOG_ERR("blob msg format error");
        return false;
    }
    Reading reading;
    reading.connection_index = int32_t(blobmsg_get_u32(tb[kConnectionIndex]));
    reading.channel_index = int32_t(blobmsg_get_u32(tb[kChannelIndex]));
    reading.slave_id = int32_t(blobmsg_get_u32(tb[kSlaveId]));
    reading.register_addr = int32_t(blobmsg_get_u32(tb[kRegisterAddr]));
    reading.timestamp = int32_t(blobmsg_get_u32(tb[kTimestamp]));
    reading.data = blobmsg_get_string(tb[kData]);
    mba_handle_reading(config, reading, sink);
    return true;
}

} // namespace mba

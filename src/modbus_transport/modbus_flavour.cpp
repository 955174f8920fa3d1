#include "modbus_transport/modbus_flavour.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <json-c/json.h>
#include <libubox/blobmsg.h>
#include <sqlite3.h>

#include "common/log.h"
#include "common/routines.h"

namespace modbus_transport {

using transport::ChannelRule;
using transport::DataType;
using transport::Filter;
using transport::Reading;
using transport::TemplateContext;
using transport::TransportConfig;
using transport::Variable;

namespace {

const transport::TransportNames kNames = {
    .applet = "modbus_transport",
    .source = "src/modbus_transport.c",
    .start_line = "Modbus Transport started",
    .config_path = "/etc/config/applications/modbus_transport",
    .cert_dir = "/flash/modbus_transport/connection_%d/certs/",
    .usi_list = "modbus_transport.connection",
    .uptimestamp_key = "modbus_transport.connection[%d].uptimestamp",
    .db_dir_ram = "/tmp/database/modbus_transport",
    .db_dir_flash = "/flash/database/modbus_transport",
    .cache_file = "connection_%d",
    .staging_file = "connection_ftp_%d",
    .table = "modbus",
    .read_event = "mb_read_data",
    .scan_end_event = "mb_scan_end",
    .max_rows_total = 100000,
    .max_rows_default = 16666,
    .fn_main = "modbus_transport_main",
    .fn_conf_init = "mbt_conf_init",
    .fn_conf_get_channel_para = "mbt_conf_get_channel_para",
    .fn_get_connection_count = "mbt_get_connection_count",
    .fn_data_single_padding = "mbt_data_single_padding",
    .fn_insert_data_list = "mbt_insert_data_list",
    .fn_combin_data_insert_obj = "mbt_combin_data_insert_obj",
    .fn_send_history_data_cache = "mbt_send_history_data_cache",
    .fn_send_combin_history_data = "mbt_send_combin_history_data",
    .fn_data_combin_handle = "mbt_data_combin_handle",
    .fn_ubus_probe_event = "mbt_ubus_probe_event",
    .fn_mqtt_msgarrvd = "mbt_mqtt_msgarrvd",
    .line_main_uci = 3697,
    .line_conf_null_element = 257,
    .line_count_null_element = 56,
    .line_channel_null = 99,
    .line_channel_alloc = 109,
    .line_single_padding = 2208,
    .line_insert_data_list = 2466,
    .line_history_no_data = 2745,
    .line_history_header = 2755,
    .line_history_cache_null = 2853,
    .line_combin_header = 3203,
    .line_scan_end_parse = 3406,
    .line_scan_end_missing = 3410,
    .line_msgarrvd_alloc = 1527,
};

std::string num(long v)
{
    char b[24];
    snprintf(b, sizeof b, "%ld", v);
    return b;
}

std::string usi(const char *key) { return transport::or_space(usi_get(key)); }
std::string cell(const char *field) { return transport::or_space(usi_list_get("cellular.status", 1, field)); }

std::string channel_desc_lookup(int connection, int channel)
{
    char list[64];
    snprintf(list, sizeof list, "modbus_poll.connection[%d].channel", connection);
    return transport::or_space(uci_list_get(list, channel, "desc"));
}

// Table order is replacement order.
const Variable kVariables[] = {
    {"$SERIAL_NUMBER", 1, "Serial Number", [](const TemplateContext &c) { return c.cfg.serial_number; }},
    {"$DATE", 2, "Date", [](const TemplateContext &c) { return std::string(local_time_string(c.reading.timestamp)); }},
    {"$VALUE", 3, "Value", [](const TemplateContext &c) { return c.reading.data; }},
    {"$TIMESTAMP", 4, "Timestamp", [](const TemplateContext &c) { return num(c.reading.timestamp); }},
    {"$CONNECTION_INDEX", 5, "Connection Index", [](const TemplateContext &c) { return num(c.connection); }},
    {"$CONNECTION_DESC", 6, "Connection Desc",
     [](const TemplateContext &c) { return transport::or_space(uci_list_get("modbus_poll.connection", c.connection, "desc")); }},
    {"$CHANNEL_INDEX", 7, "Channel Index", [](const TemplateContext &c) { return num(c.reading.channel_index); }},
    {"$CHANNEL_DESC", 8, "Channel Desc",
     [](const TemplateContext &c) { return channel_desc_lookup(c.connection, c.reading.channel_index); }},
    {"$SLAVE_ID", 9, "Slave ID", [](const TemplateContext &c) { return num(c.reading.slave_id); }},
    {"$REGISTER_ADDRE", 10, "Register Address", [](const TemplateContext &c) { return num(c.reading.register_addr); }},
    {"$REGISTER_ADDER", 10, "Register Address", [](const TemplateContext &c) { return num(c.reading.register_addr); }},
    {"$FUNC_CODE", 11, "Function Code", [](const TemplateContext &c) { return num(c.reading.func_code); }},
    {"$TRANSPORT_INDEX", 12, "Transport Index", [](const TemplateContext &c) { return num(c.cfg.index); }},
    {"$TRANSPORT_DESC", 13, "Transport Desc",
     [](const TemplateContext &c) { return c.cfg.has_desc ? c.cfg.desc : std::string(" "); }},
    {"$DEVICE_MODEL", 14, "Device Model", [](const TemplateContext &) { return usi("system.model"); }},
    {"$FIRMWARE_VERSION", 15, "Firmware Version", [](const TemplateContext &) { return usi("system.firmware_version"); }},
    {"$SYSTEM_UPTIME", 16, "System Uptime", [](const TemplateContext &) { return usi("system.uptime"); }},
    {"$LINK_TYPE", 17, "Link Type", [](const TemplateContext &) { return usi("active_link.type"); }},
    {"$IP_ADDRESS", 18, "IP Address", [](const TemplateContext &) { return usi("active_link.ip"); }},
    {"$MODEM_MODEL", 19, "Modem Model", [](const TemplateContext &) { return cell("modem_model"); }},
    {"$CSQ", 20, "CSQ", [](const TemplateContext &) { return cell("csq"); }},
    {"$OPERATOR", 21, "Operator", [](const TemplateContext &) { return cell("operator"); }},
    {"$NETWORK_TYPE", 22, "Network Type", [](const TemplateContext &) { return cell("network_type"); }},
    {"$IMEI", 23, "IMEI", [](const TemplateContext &) { return cell("imei"); }},
    {"$PLMN_ID", 24, "PLMN ID", [](const TemplateContext &) { return cell("plmn_id"); }},
    {"$LOCAL_AREA_CODE", 25, "Local Area Code", [](const TemplateContext &) { return cell("lac"); }},
    {"$CELL_ID", 26, "Cell ID", [](const TemplateContext &) { return cell("cell_id"); }},
    {"$IMSI", 27, "IMSI", [](const TemplateContext &) { return cell("imsi"); }},
    {"$MODEM_FIRMWARE", 28, "Modem Firmware", [](const TemplateContext &) { return cell("firmware_version"); }},
};
constexpr size_t kVariableCount = sizeof kVariables / sizeof kVariables[0];

// The header of a combined payload keeps the variables that belong to single readings.
bool header_variable(int code) { return code != 3 && !(code >= 7 && code <= 11); }

const char *text_of(json_object *v) { return json_object_get_string(v); }

bool fails(const char *message)
{
    FB_LOG_ERR("%s", message);
    return false;
}

// The member `key` of `obj` as an object, created (or, when the header already used the key for
// something else, replaced) when needed. Null when it cannot be made.
json_object *child_object(json_object *obj, const char *key)
{
    json_object *inner = nullptr;
    if (json_object_object_get_ex(obj, key, &inner) && json_object_is_type(inner, json_type_object))
        return inner;
    inner = json_object_new_object();
    if (!inner)
        return nullptr;
    if (json_object_object_add(obj, key, inner) != 0) {
        json_object_put(inner);
        return nullptr;
    }
    return inner;
}

} // namespace

const transport::TransportNames &names() { return kNames; }

const Variable *variables(size_t &count)
{
    count = kVariableCount;
    return kVariables;
}

const transport::TransportNames &ModbusFlavour::names() const { return kNames; }

bool ModbusFlavour::channel_key(ChannelRule &rule, const char *key, json_object *value,
                                const TransportConfig &cfg) const
{
    const char *text = text_of(value);
    if (!strcmp(key, "topic")) {
        if (!cfg.mqtt_family())
            return true;
        if (!text)
            return fails("Can not get publish_topic.");
        if (!*text) {
            FB_LOG_ERR("publish topic is null");
            rule.has_topic = false;
            return true;
        }
        rule.topic = text;
        rule.has_topic = true;
        rule.qos = cfg.protocol == transport::Protocol::Gcloud ? 1 : 0;
        return true;
    }
    if (!strcmp(key, "connection_index")) {
        if (!text)
            return fails("Can not get connection_index");
        rule.connection_index = static_cast<uint8_t>(atoi(text));
        return true;
    }
    if (!strcmp(key, "filter_items")) {
        if (text && !strcmp(text, "channel_index"))
            rule.filter = Filter::ChannelIndex;
        else if (text && !strcmp(text, "slave_id"))
            rule.filter = Filter::SlaveId;
        else if (text && !strcmp(text, "register_address"))
            rule.filter = Filter::RegisterAddress;
        else
            return fails("Can not get filter_items");
        if (cfg.combined())
            rule.filter = Filter::ChannelIndex;
        return true;
    }
    if (!strcmp(key, "channel_index")) {
        if (rule.filter != Filter::ChannelIndex)
            return true;
        if (!text)
            return fails("Can not get channel_index");
        rule.channel_index = (!*text || cfg.combined()) ? 255 : static_cast<uint8_t>(atoi(text));
        return true;
    }
    if (!strcmp(key, "slave_id")) {
        if (rule.filter != Filter::SlaveId)
            return true;
        if (!text)
            return fails("Can not get slave_id");
        rule.slave_id = atoi(text);
        return true;
    }
    if (!strcmp(key, "register_addr")) {
        if (rule.filter != Filter::RegisterAddress)
            return true;
        if (!text)
            return fails("Can not get register addr");
        rule.register_addr = atoi(text);
        return true;
    }
    return true;
}

bool ModbusFlavour::accepts(const ChannelRule &rule, const Reading &r) const
{
    switch (rule.filter) {
    case Filter::ChannelIndex: return rule.channel_index == 255 || rule.channel_index == r.channel_index;
    case Filter::SlaveId: return rule.slave_id == r.slave_id;
    case Filter::RegisterAddress: return rule.register_addr == r.register_addr;
    default: return false;
    }
}

const char *ModbusFlavour::table_columns() const
{
    return "id integer primary key, connection_index INTEGER, channel_index INTEGER, slave_id INTEGER, "
           "func_code INTEGER, register_addr INTEGER, timestamp INTEGER, scan_end INTEGER, data varchar(65)";
}

const char *ModbusFlavour::insert_statement() const { return "insert into %s values(null, ?, ?, ?, ?, ?, ?, ?, ?)"; }

void ModbusFlavour::bind_insert(sqlite3_stmt *stmt, const Reading &r, int scan_end) const
{
    sqlite3_bind_int(stmt, 1, r.connection_index);
    sqlite3_bind_int(stmt, 2, r.channel_index);
    sqlite3_bind_int(stmt, 3, r.slave_id);
    sqlite3_bind_int(stmt, 4, r.func_code);
    sqlite3_bind_int(stmt, 5, r.register_addr);
    sqlite3_bind_int(stmt, 6, r.timestamp);
    sqlite3_bind_int(stmt, 7, scan_end);
    // The value text is a parameter, never part of the statement: a quote in it stays data.
    sqlite3_bind_text(stmt, 8, r.data.c_str(), static_cast<int>(r.data.size()), SQLITE_TRANSIENT);
}

Reading ModbusFlavour::decode_row(sqlite3_stmt *stmt) const
{
    auto col = [stmt](int i) {
        const unsigned char *t = sqlite3_column_text(stmt, i);
        return t ? atoi(reinterpret_cast<const char *>(t)) : 0;
    };
    Reading r;
    r.row_id = sqlite3_column_int64(stmt, 0);
    r.connection_index = static_cast<uint8_t>(col(1));
    r.channel_index = static_cast<uint8_t>(col(2));
    r.slave_id = static_cast<uint8_t>(col(3));
    r.func_code = static_cast<uint8_t>(col(4));
    r.register_addr = col(5);
    r.timestamp = col(6);
    r.scan_end = static_cast<uint8_t>(col(7));
    const unsigned char *data = sqlite3_column_text(stmt, 8);
    if (data)
        r.data.assign(reinterpret_cast<const char *>(data), size_t(sqlite3_column_bytes(stmt, 8)));
    else
        r.no_data = true;
    return r;
}

std::string ModbusFlavour::single_payload(const TransportConfig &cfg, const Reading &r, bool &ok) const
{
    TemplateContext ctx{cfg, r, r.connection_index};
    ok = true;
    return transport::expand_template(cfg.data_format, kVariables, kVariableCount, ctx);
}

std::string ModbusFlavour::csv_header(const TransportConfig &cfg) const
{
    std::string text = cfg.data_format;
    for (const Variable &v : kVariables)
        transport::replace_every(text, v.token, v.label);
    return text;
}

json_object *ModbusFlavour::combin_header(const TransportConfig &cfg, int connection, int32_t timestamp) const
{
    Reading r;
    r.timestamp = timestamp;
    r.connection_index = static_cast<uint8_t>(connection);
    TemplateContext ctx{cfg, r, connection};
    std::string text = transport::expand_template(cfg.data_format, kVariables, kVariableCount, ctx, header_variable);
    json_object *obj = json_tokener_parse(text.c_str());
    if (obj && !json_object_is_type(obj, json_type_object)) {
        json_object_put(obj);
        return nullptr;
    }
    return obj;
}

int ModbusFlavour::combin_insert(const TransportConfig &cfg, json_object *obj, const transport::Batch &batch) const
{
    if (!obj || batch.empty())
        return 0;
    const auto &n = kNames;
    bool processed = false;
    int desc_conn = -1, desc_chan = -1;
    char desc[64] = "";
    bool have_desc = false;
    for (const Reading &r : batch) {
        processed = true;
        switch (cfg.data_type) {
        case DataType::Combin1:
        case DataType::Combin4: {
            if (r.connection_index != desc_conn || r.channel_index != desc_chan) {
                desc_conn = r.connection_index;
                desc_chan = r.channel_index;
                char list[64];
                snprintf(list, sizeof list, "modbus_poll.connection[%d].channel", r.connection_index);
                char *d = uci_list_get(list, r.channel_index, "desc");
                have_desc = d && *d;
                snprintf(desc, sizeof desc, "%s", d ? d : "");
                free(d);
            }
            if (!have_desc)
                break;
            if (cfg.data_type == DataType::Combin1) {
                json_object_object_add(obj, desc, json_object_new_string(r.data.c_str()));
                break;
            }
            json_object *arr = nullptr;
            if (!json_object_object_get_ex(obj, desc, &arr) || !json_object_is_type(arr, json_type_array)) {
                arr = json_object_new_array();
                if (!arr || json_object_object_add(obj, desc, arr) != 0) {
                    FB_LOG_ERR("error in %s, %s:%d", n.source, n.fn_combin_data_insert_obj, 2604);
                    return 0;
                }
            }
            json_object_array_add(arr, json_object_new_string(r.data.c_str()));
            break;
        }
        case DataType::Combin2: {
            char slave[4], reg[8];
            snprintf(slave, sizeof slave, "%d", r.slave_id);
            snprintf(reg, sizeof reg, "%d", r.register_addr);
            json_object *inner = child_object(obj, slave);
            if (!inner) {
                FB_LOG_ERR("error in %s, %s:%d", n.source, n.fn_combin_data_insert_obj, 2530);
                return 0;
            }
            json_object_object_add(inner, reg, json_object_new_string(r.data.c_str()));
            break;
        }
        case DataType::Combin3: {
            char slave[4], fc[4], reg[8];
            snprintf(slave, sizeof slave, "%d", r.slave_id);
            snprintf(fc, sizeof fc, "%d", r.func_code);
            snprintf(reg, sizeof reg, "%d", r.register_addr);
            json_object *l1 = child_object(obj, slave);
            if (!l1) {
                FB_LOG_ERR("error in %s, %s:%d", n.source, n.fn_combin_data_insert_obj, 2552);
                return 0;
            }
            json_object *l2 = child_object(l1, fc);
            if (!l2) {
                FB_LOG_ERR("error in %s, %s:%d", n.source, n.fn_combin_data_insert_obj, 2559);
                return 0;
            }
            json_object *s = json_object_new_string(r.data.c_str());
            if (!s) {
                FB_LOG_ERR("error in %s, %s:%d", n.source, n.fn_combin_data_insert_obj, 2569);
                return 0;
            }
            json_object_object_add(l2, reg, s);
            break;
        }
        default:
            FB_LOG_ERR("unkonw data type(%d)", static_cast<int>(cfg.data_type));
            break;
        }
        if (r.scan_end)
            return 1;
    }
    return processed ? 1 : 0;
}

bool ModbusFlavour::parse_read_event(blob_attr *msg, Reading &out) const
{
    enum { CONN, CHAN, SLAVE, FUNC, REG, TS, DATA, MAX };
    static const blobmsg_policy policy[MAX] = {
        {"connection_index", BLOBMSG_TYPE_INT32}, {"channel_index", BLOBMSG_TYPE_INT32},
        {"slave_id", BLOBMSG_TYPE_INT32},         {"func_code", BLOBMSG_TYPE_INT32},
        {"register_addr", BLOBMSG_TYPE_INT32},    {"timestamp", BLOBMSG_TYPE_INT32},
        {"data", BLOBMSG_TYPE_STRING},
    };
    blob_attr *tb[MAX] = {};
    if (!msg || blobmsg_parse(policy, MAX, tb, blob_data(msg), blob_len(msg)) < 0) {
        FB_LOG_ERR("parse blob msg failed");
        return false;
    }
    for (blob_attr *a : tb)
        if (!a) {
            FB_LOG_ERR("blob msg format error");
            return false;
        }
    out.connection_index = static_cast<uint8_t>(blobmsg_get_u32(tb[CONN]));
    out.channel_index = static_cast<uint8_t>(blobmsg_get_u32(tb[CHAN]));
    out.slave_id = static_cast<uint8_t>(blobmsg_get_u32(tb[SLAVE]));
    out.func_code = static_cast<uint8_t>(blobmsg_get_u32(tb[FUNC]));
    out.register_addr = static_cast<int32_t>(blobmsg_get_u32(tb[REG]));
    out.timestamp = static_cast<int32_t>(blobmsg_get_u32(tb[TS]));
    out.data = blobmsg_get_string(tb[DATA]);
    FB_LOG_VERBOSE("connection_index: %d channel_index: %d slave_id :%d func_code:%d register_addr: %d timestamp: %d "
                   "data: %s",
                   out.connection_index, out.channel_index, out.slave_id, out.func_code, out.register_addr,
                   out.timestamp, out.data.c_str());
    return true;
}

} // namespace modbus_transport

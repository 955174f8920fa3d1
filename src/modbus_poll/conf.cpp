#include "modbus_poll/conf.h"

#include "common/log.h"
#include "common/routines.h"
#include "fieldbridge/root.h"

#include <json-c/json.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace mbp
{

namespace
{

// Structural errors carry fixed line numbers: they are what field engineers quote back to us.
void conf_error(const char *func, int line)
{
    FB_LOG_ERR("error in %s, %s:%d", kSourceName, func, line);
}
void memory_error(const char *func, int line)
{
    FB_LOG_ERR("memory error in %s, %s:%d", kSourceName, func, line);
}

// One option of an object, read by name through its string form. A key that is not there is
// `absent` (its default stands); a key whose value is null is `missing` (an error where the
// option is read).
struct Option {
    enum State { absent, missing, present } state = absent;
    const char *text = nullptr;

    bool is(const char *value) const { return state == present && strcmp(text, value) == 0; }
};

Option option(json_object *obj, const char *key)
{
    json_object *v = nullptr;
    if (!obj || !json_object_is_type(obj, json_type_object) || !json_object_object_get_ex(obj, key, &v))
        return {};
    const char *s = v ? json_object_get_string(v) : nullptr;
    if (!s)
        return {Option::missing, nullptr};
    return {Option::present, s};
}

json_object *array_member(json_object *obj, const char *key)
{
    json_object *v = nullptr;
    if (!obj || !json_object_is_type(obj, json_type_object) || !json_object_object_get_ex(obj, key, &v))
        return nullptr;
    return v && json_object_is_type(v, json_type_array) ? v : nullptr;
}

// Numbers are stored in the width of their field; wider values wrap (a monitoring interval of
// "300" is 44), as they always have.
template <typename T> T to_width(const char *text)
{
    return T(strtoll(text, nullptr, 10));
}

// Reads a numeric option into `out`. Absent: `out` keeps its default. Null or empty: logs
// `message` and fails.
template <typename T> bool number(json_object *obj, const char *key, const char *message, T &out)
{
    Option o = option(obj, key);
    if (o.state == Option::absent)
        return true;
    if (o.state == Option::missing || !*o.text) {
        FB_LOG_ERR("%s", message);
        return false;
    }
    out = to_width<T>(o.text);
    return true;
}

// A flag that is true unless its text is "false".
bool flag(json_object *obj, const char *key, const char *message, bool &out)
{
    Option o = option(obj, key);
    if (o.state == Option::absent)
        return true;
    if (o.state == Option::missing) {
        FB_LOG_ERR("%s", message);
        return false;
    }
    out = strcmp(o.text, "false") != 0;
    return true;
}

bool text(json_object *obj, const char *key, const char *message, std::string &out)
{
    Option o = option(obj, key);
    if (o.state == Option::absent)
        return true;
    if (o.state == Option::missing) {
        FB_LOG_ERR("%s", message);
        return false;
    }
    out = o.text;
    return true;
}

bool kind_from_type(const char *type, uint8_t &kind)
{
    if (!type)
        return false;
    if (strcmp(type, "rs485") == 0)
        kind = uint8_t(modbus::LinkKind::rs485);
    else if (strcmp(type, "rs232") == 0)
        kind = uint8_t(modbus::LinkKind::rs232);
    else if (strcmp(type, "tcp") == 0)
        kind = uint8_t(modbus::LinkKind::tcp_client);
    else
        return false;
    return true;
}

json_object *connections(json_object *root)
{
    return array_member(root, "connection");
}

// Connection options of the first served connection. The type is settled first: the serial and
// TCP options depend on it whatever their place in the object.
bool read_connection_options(Config &conf, json_object *obj)
{
    auto fail = [](const char *message) {
        if (message)
            FB_LOG_ERR("%s", message);
        FB_LOG_ERR("load conf failed");
        return false;
    };
    modbus::Link &link = conf.link;
    if (option(obj, "enable").is("false"))
        return fail(nullptr);
    if (!text(obj, "desc", "Can not get desc.", conf.desc))
        return fail(nullptr);
    Option type = option(obj, "type");
    if (type.state != Option::absent && !kind_from_type(type.text, link.kind))
        return fail(nullptr);
    if (link.kind == uint8_t(modbus::LinkKind::rs485))
        link.device = "/dev/RS485";
    else if (link.kind == uint8_t(modbus::LinkKind::rs232))
        link.device = "/dev/RS232";

    if (!number(obj, "scan_rate", "Can not get scan rate.", conf.scan_rate) ||
        !number(obj, "reconnect_interval", "Can not get reconnect_interval.", conf.reconnect_interval) ||
        !number(obj, "resp_timeout", "Can not get response_timeout.", link.resp_timeout) ||
        !number(obj, "re_send", "Can not get re_send.", link.re_send) ||
        !number(obj, "re_receive", "Can not get re_receive.", link.re_receive) ||
        !number(obj, "delay_between_polls", "Can not get delay_polls.", conf.delay_between_polls))
        return fail(nullptr);
    conf.enable_status = option(obj, "enable_status").is("true");
    if (option(obj, "enable_logverbose").is("true")) {
        conf.enable_logverbose = true;
        link.verbose_frames = true;
        logverbose = 1;
    }

    if (!link.is_tcp()) {
        if (!number(obj, "baud_rate", "Can not get baud_rate.", link.baud_rate) ||
            !number(obj, "parity", "Can not get parity.", link.parity) ||
            !number(obj, "data_bits", "Can not get data_bits.", link.data_bits) ||
            !number(obj, "stop_bits", "Can not get stop_bits.", link.stop_bits))
            return fail(nullptr);
    } else {
        Option addr = option(obj, "server_addr");
        if (addr.state == Option::missing || (addr.state == Option::present && !*addr.text))
            return fail("Can not get server_addr.");
        if (addr.state == Option::present) {
            link.server_addr = addr.text;
            link.server_is_ip = lib_is_valid_ipv4_address(addr.text) != 0;
            link.server_in_lan = link.server_is_ip && lan_subnet_match("lan", addr.text) == 1;
        }
        if (!number(obj, "server_port", "Can not get server_port.", link.server_port) ||
            !number(obj, "connect_timeout", "Can not get connect_timeout.", link.connect_timeout))
            return fail(nullptr);
    }
    return true;
}

// Registers per value and the quantity a single value reads, by data type (bool .. double64).
constexpr uint8_t kRegistersPerValue[] = {1, 1, 1, 2, 2, 2, 4};

bool data_type_1(const char *name, uint32_t &type)
{
    static constexpr const char *kNames[] = {"int16", "uint16", "int32", "uint32", "float", "double64"};
    for (uint32_t i = 0; i < std::size(kNames); ++i)
        if (strcmp(name, kNames[i]) == 0) {
            type = i + 1;
            return true;
        }
    return false;
}

// The byte-order option a register channel of `type` needs, with its messages and allowed codes.
struct OrderOption {
    const char *key;
    const char *missing;
    const char *unknown;
    uint8_t first, last;
};

OrderOption order_option(uint32_t type)
{
    switch (modbus::DataType(type)) {
    case modbus::DataType::int16:
    case modbus::DataType::uint16:
        return {"endian_16", "Can not get endian_16.", "unkonw endian_16", 0, 1};
    case modbus::DataType::double64:
        return {"endian_64", "Can not get endian_64.", "unkonw endian_64", 6, 9};
    default:
        return {"endian_32", "Can not get endian_32.", "unkonw endian_32", 2, 5};
    }
}

// One enabled channel. Options are taken by name in a fixed order, so that the values derived from
// the data type, the block flag and the quantity never depend on where a key stands.
bool read_channel(Channel &ch, json_object *obj, uint8_t kind)
{
    auto fail = [](const char *message) {
        FB_LOG_ERR("%s", message);
        return false;
    };
    if (!text(obj, "desc", "Can not get channel desc.", ch.desc) ||
        !number(obj, "slave_id", "Can not get slave_id.", ch.slave_id))
        return false;
    Option fc = option(obj, "func_code");
    if (fc.state != Option::present)
        return fail("Can not get func_code.");
    ch.func_code = to_width<uint8_t>(fc.text);
    if (ch.func_code < 1 || ch.func_code > 4)
        return fail("Can not get func_code.");
    if (!number(obj, "register_addr", "Can not get register_addr.", ch.register_addr))
        return false;

    if (ch.is_coil()) {
        Option t = option(obj, "data_type_2");
        if (t.state != Option::present)
            return fail("Can not get data_type_2.");
        if (strcmp(t.text, "bool") != 0)
            return fail("unkonw data type 2");
        ch.data_type = uint32_t(modbus::DataType::boolean);
    } else {
        Option t = option(obj, "data_type_1");
        if (t.state != Option::present)
            return fail("Can not get data_type_1.");
        if (!data_type_1(t.text, ch.data_type))
            return fail("unkonw data type");
    }
    ch.registers_per_value = kRegistersPerValue[ch.data_type];

    uint16_t quantity = 0;
    Option q = option(obj, "quantity");
    if (!flag(obj, "multiple_register", "Can not get multiple_register.", ch.multiple_register) ||
        !number(obj, "quantity", "Can not get quantity.", quantity))
        return false;
    if (ch.multiple_register && q.state == Option::present)
        ch.quantity = quantity;
    else
        ch.quantity = ch.registers_per_value;
    ch.coil_bytes = ch.is_coil() ? uint16_t((ch.quantity + 7) / 8) : uint16_t(ch.registers_per_value == 1 ? 1 : 0);
    ch.expected_length = uint16_t(modbus::read_reply_length(
        kind == uint8_t(modbus::LinkKind::tcp_client) ? modbus::Framing::tcp : modbus::Framing::rtu, ch.data_bytes()));

    if (!ch.is_coil()) {
        // A register value without a byte order would be stepped through in 16-bit pieces whatever
        // its width: refuse it instead.
        const OrderOption oo = order_option(ch.data_type);
        Option o = option(obj, oo.key);
        if (o.state != Option::present)
            return fail(oo.missing);
        modbus::ByteOrder order;
        if (!modbus::byte_order_from_name(o.text, order) || uint8_t(order) < oo.first || uint8_t(order) > oo.last)
            return fail(oo.unknown);
        ch.byte_order = uint32_t(order);
    }

    if (!number(obj, "plus", "Can not get plus.", ch.plus) ||
        !number(obj, "subtract", "Can not get subtract.", ch.subtract) ||
        !number(obj, "divisor", "Can not get divisor.", ch.divisor) ||
        !number(obj, "multiplier", "Can not get multiplier.", ch.multiplier))
        return false;
    if (ch.data_type == uint32_t(modbus::DataType::uint16) || ch.data_type == uint32_t(modbus::DataType::uint32)) {
        if (!number(obj, "start_bit", "Can not get start_bit.", ch.start_bit) ||
            !number(obj, "number_of_16bits", "Can not get number_of_16bits.", ch.number_of_16bits) ||
            !number(obj, "number_of_32bits", "Can not get number_of_32bits.", ch.number_of_32bits))
            return false;
    }
    if (!number(obj, "decimal_places", "Can not get decimal_places.", ch.decimal_places) ||
        !flag(obj, "exponent", "Can not get exponent.", ch.exponent) ||
        !number(obj, "monitoring_interval", "Can not get monitoring_interval.", ch.monitoring_interval) ||
        !flag(obj, "send_only_changed", "Can not get send_only_changed.", ch.send_only_changed))
        return false;
    if (ch.monitoring_interval != 0) {
        ch.previous.reset(new (std::nothrow) uint8_t[ch.data_bytes() ? ch.data_bytes() : 1]());
        if (!ch.previous) {
            memory_error("mbp_conf_get_channel_para", 618);
            return false;
        }
    }
    return true;
}

} // namespace

modbus::ReadRequest Channel::request() const
{
    modbus::ReadRequest r;
    r.slave_id = slave_id;
    r.func_code = func_code;
    r.start = register_addr;
    r.quantity = quantity;
    r.data_bytes = data_bytes();
    return r;
}

modbus::ValueFormat Channel::format() const
{
    modbus::ValueFormat f;
    f.type = modbus::DataType(data_type);
    f.order = modbus::ByteOrder(byte_order);
    f.start_bit = start_bit;
    f.number_of_16bits = number_of_16bits;
    f.number_of_32bits = number_of_32bits;
    f.plus = plus;
    f.subtract = subtract;
    f.multiplier = multiplier;
    f.divisor = divisor;
    f.decimal_places = decimal_places;
    f.exponent = exponent;
    return f;
}

bool Config::serves(long connection_id) const
{
    for (uint8_t id : connection_ids)
        if (id == connection_id)
            return true;
    return false;
}

Channel *Config::find_channel(long connection_id, long channel_id)
{
    for (auto &ch : channels)
        if (ch->connection_id == connection_id && ch->id == channel_id)
            return ch.get();
    return nullptr;
}

std::vector<Selected> mbp_get_connection_index(json_object *root, const char *type, long index)
{
    std::vector<Selected> taken;
    uint8_t kind;
    if (!kind_from_type(type, kind)) {
        FB_LOG_ERR("unkonw connection type");
        return taken;
    }
    const bool tcp = kind == uint8_t(modbus::LinkKind::tcp_client);
    json_object *array = connections(root);
    const size_t n = array ? json_object_array_length(array) : 0;
    for (size_t i = 0; i < n; ++i) {
        json_object *obj = json_object_array_get_idx(array, i);
        if (!obj) {
            conf_error(__func__, 184);
            FB_LOG_ERR("can not get connection index");
            return {};
        }
        Option id = option(obj, "id");
        if (tcp) {
            if (id.state == Option::present && strtol(id.text, nullptr, 10) == index) {
                taken.push_back({strtol(id.text, nullptr, 10), int(i)});
                break;
            }
            continue;
        }
        if (option(obj, "enable").is("false"))
            continue;
        if (option(obj, "type").is(type))
            taken.push_back({id.state == Option::present ? strtol(id.text, nullptr, 10) : 0, int(i)});
    }
    if (taken.empty()) {
        FB_LOG_ERR("can not get connection index");
        return taken;
    }
    if (!tcp && taken.size() > 1) {
        std::vector<IdPosition> pairs;
        for (const Selected &s : taken)
            pairs.push_back({s.id, s.position});
        merge_sort_by_id(pairs.data(), pairs.size());
        for (size_t i = 0; i < pairs.size(); ++i)
            taken[i] = {pairs[i].id, pairs[i].position};
    }
    return taken;
}

bool mbp_conf_get_channel_para(Config &conf, uint8_t kind, json_object *channels, long connection_id)
{
    const size_t n = channels ? json_object_array_length(channels) : 0;
    if (n == 0) {
        FB_LOG_WARN("connection %d channel is empty", int(connection_id));
        return true;
    }
    for (size_t i = 0; i < n; ++i) {
        json_object *obj = json_object_array_get_idx(channels, i);
        if (!obj) {
            conf_error(__func__, 267);
            return false;
        }
        Option id = option(obj, "id");
        if (id.state != Option::present) {
            FB_LOG_ERR("Can not get channel id");
            return false;
        }
        Option enable = option(obj, "enable");
        if (enable.state != Option::present) {
            FB_LOG_ERR("Can not get channel enable.");
            return false;
        }
        if (enable.is("false"))
            continue;
        std::unique_ptr<Channel> ch(new (std::nothrow) Channel());
        if (!ch) {
            memory_error(__func__, 285);
            return false;
        }
        ch->id = to_width<uint8_t>(id.text);
        ch->connection_id = uint8_t(connection_id);
        if (!read_channel(*ch, obj, kind))
            return false;
        // Keep the list ordered by connection, then by channel id: insert before the first channel
        // of this connection with a greater id, else at the end.
        auto at = conf.channels.end();
        for (auto it = conf.channels.begin(); it != conf.channels.end(); ++it)
            if ((*it)->connection_id == ch->connection_id && (*it)->id > ch->id) {
                at = it;
                break;
            }
        conf.channels.insert(at, std::move(ch));
    }
    return true;
}

bool mbp_conf_init(Config &conf, json_object *root, const char *type, long index)
{
    std::vector<Selected> taken = mbp_get_connection_index(root, type, index);
    if (taken.empty())
        return false;
    json_object *array = connections(root);
    for (size_t k = 0; k < taken.size(); ++k) {
        json_object *obj = json_object_array_get_idx(array, size_t(taken[k].position));
        if (!obj) {
            conf_error(__func__, 877);
            return false;
        }
        if (k == 0 && !read_connection_options(conf, obj))
            return false;
        if (!mbp_conf_get_channel_para(conf, conf.link.kind, array_member(obj, "channel"), taken[k].id)) {
            FB_LOG_DEBUG("load channel conf failed");
            return false;
        }
        conf.connection_ids.push_back(uint8_t(taken[k].id));
    }
    if (conf.enable_status)
        conf.status_offset = mbp_get_status_index(root, conf.link.kind, index);
    return true;
}

bool mbp_conf_init(Config &conf, const char *type, long index)
{
    json_object *root = json_object_from_file(fb::root_path(kConfigPath).c_str());
    if (!root)
        return false;
    bool ok = mbp_conf_init(conf, root, type, index);
    json_object_put(root);
    return ok;
}

int mbp_get_channel_index_count(json_object *channels)
{
    const size_t n = channels ? json_object_array_length(channels) : 0;
    int count = 0;
    for (size_t i = 0; i < n; ++i) {
        json_object *obj = json_object_array_get_idx(channels, i);
        if (!obj) {
            conf_error(__func__, 110);
            return 0;
        }
        if (option(obj, "enable").is("true"))
            ++count;
    }
    return count;
}

uint16_t mbp_get_status_index(json_object *root, uint8_t kind, long index)
{
    // The shared status list holds the RS485 channels first, then TCP, then RS232.
    if (kind == uint8_t(modbus::LinkKind::rs485))
        return 0;
    json_object *array = connections(root);
    const size_t n = array ? json_object_array_length(array) : 0;
    int offset = 0;
    for (size_t i = 0; i < n; ++i) {
        json_object *obj = json_object_array_get_idx(array, i);
        if (!obj) {
            conf_error(__func__, 137);
            return 0;
        }
        if (option(obj, "enable").is("false"))
            continue;
        Option id = option(obj, "id");
        const long conn_id = id.state == Option::present ? strtol(id.text, nullptr, 10) : 0;
        Option type = option(obj, "type");
        bool counts = false;
        if (type.is("rs485"))
            counts = true;
        else if (type.is("tcp"))
            counts = kind == uint8_t(modbus::LinkKind::rs232) ||
                     (kind == uint8_t(modbus::LinkKind::tcp_client) && conn_id < index);
        if (counts)
            offset += mbp_get_channel_index_count(array_member(obj, "channel"));
    }
    return uint16_t(offset);
}

} // namespace mbp

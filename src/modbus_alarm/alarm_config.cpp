#include "modbus_alarm/alarm_config.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <memory>

#include <json-c/json.h>

#include "common/log.h"
#include "fieldbridge/root.h"

namespace mba
{

namespace
{

// Line numbers of the structural error lines: they are part of the log vocabulary field engineers
// search for, so they stay fixed whatever this file looks like.
constexpr int kLineNullChannel = 408;
constexpr int kLineNullRule = 290;
constexpr int kLineNullAction = 158;

struct JsonDeleter {
    void operator()(json_object *o) const { json_object_put(o); }
};

// A member's string form: scalars as their text, null (or a missing member) as nullptr.
const char *member_text(json_object *obj, const char *key, bool *present = nullptr)
{
    json_object *val = nullptr;
    bool has = json_object_object_get_ex(obj, key, &val);
    if (present)
        *present = has;
    if (!has || !val)
        return nullptr;
    return json_object_get_string(val);
}

// Strict decimal integer: optional blanks, an optional sign, digits, optional blanks.
bool parse_long(const char *text, long *out)
{
    if (!text)
        return false;
    errno = 0;
    char *end = nullptr;
    long v = strtol(text, &end, 10);
    if (end == text || errno == ERANGE)
        return false;
    while (*end == ' ' || *end == '\t')
        ++end;
    if (*end != '\0')
        return false;
    // strtol accepts leading blanks and a sign but also an empty digit run after them.
    const char *p = text;
    while (*p == ' ' || *p == '\t')
        ++p;
    if (*p == '+' || *p == '-')
        ++p;
    if (*p < '0' || *p > '9')
        return false;
    *out = v;
    return true;
}

// Each character shifts the mask left by one and adds 1 for "1"; anything but "0" and "1" makes
// the whole mask 0.
uint32_t parse_bitmask(const char *text)
{
    uint32_t mask = 0;
    for (const char *p = text; *p; ++p) {
        if (*p != '0' && *p != '1')
            return 0;
        mask = (mask << 1) + (*p == '1' ? 1u : 0u);
    }
    return mask;
}

bool is_false(const char *text)
{
    return text && strcmp(text, "false") == 0;
}

// Loads one element of "contrast_rule". Returns false on an error (already logged); *skipped is
// set for a disabled rule.
bool load_rule(json_object *el, uint8_t alarm_id, AlarmConfig &config)
{
    if (!el) {
        FB_LOG_ERR("error in %s, %s:%d", kSourceName, "mba_conf_get_contrast_rule_para", kLineNullRule);
        return false;
    }
    Rule rule;
    rule.alarm_id = alarm_id;
    long v = 0;
    if (!parse_long(member_text(el, "id"), &v)) {
        FB_LOG_ERR("Can not get contrast id");
        return false;
    }
    rule.rule_id = int(v);
    if (is_false(member_text(el, "enable")))
        return true;

    const char *desc = member_text(el, "desc");
    if (!desc) {
        FB_LOG_ERR("Can not get desc.");
        return false;
    }
    rule.desc = desc;
    if (!parse_long(member_text(el, "type"), &v)) {
        FB_LOG_ERR("Can not get contrast_type.");
        return false;
    }
    rule.contrast_type = int(v);
    const char *bitmask = member_text(el, "bitmask");
    if (!bitmask) {
        FB_LOG_ERR("Can not get bitmask.");
        return false;
    }
    rule.bitmask = parse_bitmask(bitmask);
    const char *initial = member_text(el, "initial_value");
    if (!initial) {
        FB_LOG_ERR("Can not get initial_value.");
        return false;
    }
    rule.initial_int = strtoll(initial, nullptr, 10);
    rule.initial_micro = to_micro(initial);
    const char *threshold = member_text(el, "threshold");
    if (!threshold) {
        FB_LOG_ERR("Can not get threshold.");
        return false;
    }
    rule.threshold_text = threshold;
    rule.threshold_micro = to_micro(threshold);
    rule.threshold_bits = to_bits(threshold);
    config.rules.push_back(std::move(rule));
    return true;
}

bool load_action(json_object *el, uint8_t alarm_id, AlarmConfig &config)
{
    if (!el) {
        FB_LOG_ERR("error in %s, %s:%d", kSourceName, "mba_conf_get_trigger_type_para", kLineNullAction);
        return false;
    }
    Action action;
    action.alarm_id = alarm_id;
    long v = 0;
    if (!parse_long(member_text(el, "id"), &v)) {
        FB_LOG_ERR("Can not get trigger id");
        return false;
    }
    action.action_id = int(v);
    if (is_false(member_text(el, "enable")))
        return true;

    const char *type = member_text(el, "type");
    if (type && strcmp(type, "do1") == 0)
        action.type = kActionDo1;
    else if (type && strcmp(type, "do2") == 0)
        action.type = kActionDo2;
    else if (type && strcmp(type, "event_notification") == 0)
        action.type = kActionEvent;
    else if (type && strcmp(type, "sms_notification") == 0)
        action.type = kActionSms;
    else {
        FB_LOG_ERR("Can not get alarm_type.");
        return false;
    }
    if (action.type == kActionSms) {
        const char *phonenum = member_text(el, "phonenum");
        if (!phonenum) {
            FB_LOG_ERR("Can not get phonenum.");
            return false;
        }
        action.phonenum = phonenum;
    }
    if (action.type == kActionEvent || action.type == kActionSms) {
        const char *on = member_text(el, "on_content");
        if (!on) {
            FB_LOG_ERR("Can not get on_content.");
            return false;
        }
        action.on_content = on;
        const char *off = member_text(el, "off_content");
        if (!off) {
            FB_LOG_ERR("Can not get off_content.");
            return false;
        }
        action.off_content = off;
    }
    config.actions.push_back(std::move(action));
    return true;
}

// The "contrast_rule" loader: every enabled rule of the channel, appended to the rule list.
bool mba_conf_get_contrast_rule_para(json_object *channel, uint8_t alarm_id, AlarmConfig &config)
{
    json_object *arr = nullptr;
    size_t n = 0;
    if (json_object_object_get_ex(channel, "contrast_rule", &arr) && json_object_is_type(arr, json_type_array))
        n = json_object_array_length(arr);
    if (n == 0) {
        FB_LOG_WARN("channel %d contrast rule is empty", alarm_id);
        return true;
    }
    for (size_t i = 0; i < n; ++i)
        if (!load_rule(json_object_array_get_idx(arr, i), alarm_id, config))
            return false;
    return true;
}

bool mba_conf_get_trigger_type_para(json_object *channel, uint8_t alarm_id, AlarmConfig &config)
{
    json_object *arr = nullptr;
    size_t n = 0;
    if (json_object_object_get_ex(channel, "trigger_type", &arr) && json_object_is_type(arr, json_type_array))
        n = json_object_array_length(arr);
    if (n == 0) {
        FB_LOG_WARN("channel %d trigger type is empty", alarm_id);
        return true;
    }
    for (size_t i = 0; i < n; ++i)
        if (!load_action(json_object_array_get_idx(arr, i), alarm_id, config))
            return false;
    return true;
}

// One element of "channel". Returns false on an error; a disabled channel loads nothing.
bool load_channel(json_object *el, AlarmConfig &config)
{
    if (!el) {
        FB_LOG_ERR("error in %s, %s:%d", kSourceName, "mba_conf_init", kLineNullChannel);
        return false;
    }
    AlarmChannel ch;
    long v = 0;
    if (!parse_long(member_text(el, "id"), &v)) {
        FB_LOG_ERR("Can not get channel id");
        return false;
    }
    ch.alarm_id = uint8_t(v);
    if (is_false(member_text(el, "enable")))
        return true;

    if (!parse_long(member_text(el, "connection_index"), &v)) {
        FB_LOG_ERR("Can not get connection_index");
        return false;
    }
    ch.connection_index = uint8_t(v);

    bool present = false;
    const char *filter = member_text(el, "filter_items", &present);
    if (present) {
        if (!filter) {
            FB_LOG_ERR("Can not get filter_items");
            return false;
        }
        if (strcmp(filter, "channel_index") == 0)
            ch.filter = kFilterChannelIndex;
        else if (strcmp(filter, "slave_id") == 0)
            ch.filter = kFilterSlaveId;
        else if (strcmp(filter, "register_address") == 0)
            ch.filter = kFilterRegisterAddress;
        else {
            FB_LOG_ERR("Can not get filter_items.");
            return false;
        }
    }
    if (ch.filter == kFilterChannelIndex) {
        const char *text = member_text(el, "channel_index");
        if (text && *text == '\0')
            ch.channel_index = kAnyChannel;
        else if (parse_long(text, &v))
            ch.channel_index = uint8_t(v);
        else {
            FB_LOG_ERR("Can not get channel_index");
            return false;
        }
    } else if (ch.filter == kFilterSlaveId) {
        if (!parse_long(member_text(el, "slave_id"), &v)) {
            FB_LOG_ERR("Can not get slave_id");
            return false;
        }
        ch.slave_id = int32_t(v);
    } else {
        // A channel without filter_items is matched on its register address as well.
        if (!parse_long(member_text(el, "register_addr"), &v)) {
            FB_LOG_ERR("Can not get register addr");
            return false;
        }
        ch.register_addr = int32_t(v);
    }

    const char *logical = member_text(el, "logical_type", &present);
    if (present) {
        if (logical && strcmp(logical, "logical_and") == 0)
            ch.logical_type = kLogicalAnd;
        else if (logical && strcmp(logical, "logical_or") == 0)
            ch.logical_type = kLogicalOr;
        else {
            FB_LOG_ERR("Can not get logical type");
            return false;
        }
    }
    const char *mode = member_text(el, "alarm_mode");
    if (!mode) {
        FB_LOG_ERR("Can not get alarm mode");
        return false;
    }
    if (strcmp(mode, "normal") == 0)
        ch.alarm_mode = kModeNormal;
    else if (strcmp(mode, "continuous") == 0)
        ch.alarm_mode = kModeContinuous;
    else
        ch.alarm_mode = kModeNearest;

    if (!mba_conf_get_contrast_rule_para(el, ch.alarm_id, config)) {
        FB_LOG_DEBUG("load contrast_rule conf failed");
        return false;
    }
    if (!mba_conf_get_trigger_type_para(el, ch.alarm_id, config)) {
        FB_LOG_DEBUG("load trigger_type conf failed");
        return false;
    }
    config.channels.push_back(std::move(ch));
    return true;
}

} // namespace

int64_t to_micro(const char *text)
{
    if (!text)
        return 0;
    double d = strtod(text, nullptr) * 1000000.0;
    // Truncation of a double outside the 64-bit range is undefined; a reading that large (or
    // "nan") must still compare sensibly, so it saturates.
    if (std::isnan(d))
        return 0;
    if (d >= 9223372036854775807.0)
        return INT64_MAX;
    if (d <= -9223372036854775808.0)
        return INT64_MIN;
    return int64_t(d);
}

uint32_t to_bits(const char *text)
{
    if (!text)
        return 0;
    const char *p = text;
    const char *stop = text;
    // Cut at the first "." and at 31 characters.
    while (*stop && *stop != '.' && stop - text < 31)
        ++stop;
    while (p < stop && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == '\v'))
        ++p;
    bool negative = false;
    if (p < stop && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    uint64_t magnitude = 0;
    for (; p < stop && *p >= '0' && *p <= '9'; ++p) {
        magnitude = magnitude * 10 + uint64_t(*p - '0');
        if (magnitude > UINT32_MAX)
            return UINT32_MAX; // the 32-bit conversion saturates
    }
    uint32_t value = uint32_t(magnitude);
    return negative ? uint32_t(0u - value) : value;
}

bool mba_conf_load_text(AlarmConfig &config, const char *text)
{
    std::string serial = std::move(config.serial_number);
    config = AlarmConfig{};
    config.serial_number = std::move(serial);
    std::unique_ptr<json_object, JsonDeleter> root(text ? json_tokener_parse(text) : nullptr);
    json_object *channels = nullptr;
    if (!root || !json_object_object_get_ex(root.get(), "channel", &channels) ||
        !json_object_is_type(channels, json_type_array))
        return false;
    size_t n = json_object_array_length(channels);
    for (size_t i = 0; i < n; ++i) {
        if (!load_channel(json_object_array_get_idx(channels, i), config)) {
            serial = std::move(config.serial_number);
            config = AlarmConfig{};
            config.serial_number = std::move(serial);
            return false;
        }
    }
    // Rules and actions belong to an alarm by id, so a channel sees every entry with its id.
    for (auto &ch : config.channels) {
        for (uint32_t i = 0; i < config.rules.size(); ++i)
            if (config.rules[i].alarm_id == ch.alarm_id)
                ch.rules.push_back(i);
        for (uint32_t i = 0; i < config.actions.size(); ++i)
            if (config.actions[i].alarm_id == ch.alarm_id)
                ch.actions.push_back(i);
    }
    return !config.channels.empty();
}

bool mba_conf_init(AlarmConfig &config, const char *path)
{
    std::string full = fb::root_path(path);
    FILE *f = fopen(full.c_str(), "rb");
    if (!f) {
        std::string serial = std::move(config.serial_number);
        config = AlarmConfig{};
        config.serial_number = std::move(serial);
        return false;
    }
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    fclose(f);
    return mba_conf_load_text(config, text.c_str());
}

} // namespace mba

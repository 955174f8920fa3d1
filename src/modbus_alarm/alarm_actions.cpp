#include "modbus_alarm/alarm_actions.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/log.h"
#include "common/routines.h"

#include <librouter.h>

namespace mba
{

namespace
{

constexpr const char *kOtherValue = "$OTHER_VALUE";
constexpr const char *kStatusScript = "/lib/functions/dynamic_usi_update.sh";

struct FreeDeleter {
    void operator()(char *p) const { free(p); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

// The template being expanded, in a fixed-size text like the notification texts it becomes.
class TemplateBuffer
{
  public:
    explicit TemplateBuffer(const std::string &text)
    {
        size_t n = text.size() < kTemplateMax - 1 ? text.size() : kTemplateMax - 1;
        memcpy(text_, text.data(), n);
        text_[n] = '\0';
    }
    const char *c_str() const { return text_; }
    bool contains(const char *token) const { return strstr(text_, token) != nullptr; }
    void replace(const char *token, const char *with)
    {
        replace_all(text_, token, with, scratch_, sizeof scratch_);
        memcpy(text_, scratch_, strlen(scratch_) + 1);
    }

  private:
    char text_[kTemplateMax];
    char scratch_[kTemplateMax];
};

// A configuration option for a template, or a single blank when it cannot be read.
std::string uci_option_or_blank(const char *path, int row, const char *option)
{
    CString value(uci_list_get(path, row, option));
    return value ? std::string(value.get()) : std::string(" ");
}

std::string format_int(int v)
{
    char buf[16];
    snprintf(buf, sizeof buf, "%d", v);
    return buf;
}

// The m-th item of a status value: the first item ends at ",", the following ones are separated
// by commas and blanks. The whole value when there is no such item.
std::string value_item(const std::string &value, int m)
{
    size_t pos = value.find(',');
    if (pos == std::string::npos)
        return value;
    int index = 1;
    const char *delims = ", ";
    while (pos < value.size()) {
        size_t start = value.find_first_not_of(delims, pos);
        if (start == std::string::npos)
            break;
        size_t end = value.find_first_of(delims, start);
        if (end == std::string::npos)
            end = value.size();
        if (++index == m)
            return value.substr(start, end - start);
        pos = end;
    }
    return value;
}

bool read_int(const char *text, char **end, int *out)
{
    errno = 0;
    long v = strtol(text, end, 10);
    if (*end == text || errno == ERANGE || v < INT_MIN || v > INT_MAX)
        return false;
    *out = int(v);
    return true;
}

// "%d.%d" or "%d" at the start of `text`: the number of integers read (0, 1 or 2), without the
// undefined behaviour of scanf on numbers out of range.
int read_row_element(const char *text, int *row, int *element)
{
    char *end = nullptr;
    if (!read_int(text, &end, row))
        return 0;
    if (*end != '.')
        return 1;
    char *end2 = nullptr;
    return read_int(end + 1, &end2, element) ? 2 : 1;
}

// $OTHER_VALUE(row) and $OTHER_VALUE(row.element): values of other channels from the poller's
// status rows, refreshed first by the status script.
void expand_other_value(TemplateBuffer &buf)
{
    // _eval resolves the script's router path under the root itself.
    const char *argv[] = {kStatusScript, "modbus_poll", nullptr};
    if (_eval(argv, nullptr, 0, nullptr) != 0)
        FB_LOG_ERR("update usi of %s failed", "modbus_poll");

    const size_t name_len = strlen(kOtherValue);
    size_t from = 0;
    for (;;) {
        const char *text = buf.c_str();
        const char *hit = strstr(text + from, kOtherValue);
        if (!hit)
            break;
        size_t at = size_t(hit - text);
        const char *open = hit + name_len;
        // The scan always moves forward, so the expansion ends whatever the values hold.
        from = at + 1;
        if (*open != '(')
            continue;
        const char *close = strchr(open + 1, ')');
        if (!close)
            break;
        size_t inner_len = size_t(close - open - 1);
        if (inner_len == 0 || inner_len > 15)
            continue;
        char inner[16];
        memcpy(inner, open + 1, inner_len);
        inner[inner_len] = '\0';
        int row = 0, element = 0;
        int fields = read_row_element(inner, &row, &element);
        if (fields < 1)
            continue;
        CString value(usi_list_get("modbus_poll.channel", row, "value"));
        if (!value || !*value.get())
            continue;
        std::string result(value.get());
        char token[48];
        if (fields == 2) {
            if (element >= 2)
                result = value_item(result, element);
            snprintf(token, sizeof token, "%s(%d.%d)", kOtherValue, row, element);
        } else {
            snprintf(token, sizeof token, "%s(%d)", kOtherValue, row);
        }
        // Go on behind the inserted value, so a value that holds the variable is left as it is.
        if (strncmp(hit, token, strlen(token)) == 0)
            from = at + (result.empty() ? 1 : result.size());
        buf.replace(token, result.c_str());
    }
}

std::vector<std::string> split_phone_numbers(const std::string &list)
{
    std::vector<std::string> out;
    size_t start = 0;
    while (start < list.size()) {
        size_t comma = list.find(',', start);
        if (comma == std::string::npos)
            comma = list.size();
        if (comma > start)
            out.push_back(list.substr(start, comma - start));
        start = comma + 1;
    }
    return out;
}

void run_command(const Command &cmd)
{
    std::vector<const char *> argv;
    argv.reserve(cmd.size() + 1);
    for (const auto &a : cmd)
        argv.push_back(a.c_str());
    argv.push_back(nullptr);
    int pid = 0;
    _eval(argv.data(), nullptr, 0, &pid);
}

} // namespace

std::string mba_expand_template(const std::string &text, const TemplateVars &vars)
{
    TemplateBuffer buf(text);
    if (buf.contains("$SERIAL_NUMBER"))
        buf.replace("$SERIAL_NUMBER", vars.serial_number.c_str());
    if (buf.contains("$DATE"))
        buf.replace("$DATE", local_time_string(vars.timestamp));
    if (buf.contains("$VALUE"))
        buf.replace("$VALUE", vars.value.c_str());
    if (buf.contains(kOtherValue))
        expand_other_value(buf);
    if (buf.contains("$CONNECTION_INDEX"))
        buf.replace("$CONNECTION_INDEX", format_int(vars.connection_index).c_str());
    if (buf.contains("$CONNECTION_DESC"))
        buf.replace("$CONNECTION_DESC",
                    uci_option_or_blank("modbus_poll.connection", vars.connection_index, "desc").c_str());
    if (buf.contains("$CHANNEL_INDEX"))
        buf.replace("$CHANNEL_INDEX", format_int(vars.channel_index).c_str());
    char channel_list[64];
    snprintf(channel_list, sizeof channel_list, "modbus_poll.connection[%d].channel", vars.connection_index);
    if (buf.contains("$CHANNEL_DESC"))
        buf.replace("$CHANNEL_DESC", uci_option_or_blank(channel_list, vars.channel_index, "desc").c_str());
    if (buf.contains("$SLAVE_ID"))
        buf.replace("$SLAVE_ID", format_int(vars.slave_id).c_str());
    if (buf.contains("$REGISTER_ADDRE"))
        buf.replace("$REGISTER_ADDRE", format_int(vars.register_addr).c_str());
    if (buf.contains("$REGISTER_ADDER"))
        buf.replace("$REGISTER_ADDER", format_int(vars.register_addr).c_str());
    if (buf.contains("$FUNC_CODE"))
        buf.replace("$FUNC_CODE", uci_option_or_blank(channel_list, vars.channel_index, "func_code").c_str());
    if (buf.contains("$ALARM_INDEX"))
        buf.replace("$ALARM_INDEX", format_int(vars.alarm_id).c_str());
    if (buf.contains("$ALARM_DESC"))
        buf.replace("$ALARM_DESC", uci_option_or_blank("modbus_alarm.channel", vars.alarm_id, "desc").c_str());
    if (buf.contains("$CONDITION"))
        buf.replace("$CONDITION", vars.condition.c_str());
    if (buf.contains("$CONTRAST_DESC"))
        buf.replace("$CONTRAST_DESC", vars.contrast_desc.c_str());
    return buf.c_str();
}

std::vector<Command> mba_action_commands(const Action &action, bool on, const std::string &text, time_t timestamp)
{
    std::vector<Command> out;
    switch (action.type) {
    case kActionDo1:
    case kActionDo2: {
        std::string json = "{\"id\":\"";
        json += action.type == kActionDo1 ? "1" : "2";
        json += on ? "\", \"source\":\"modbus_alarm\", \"action\":\"alarm on\"}"
                   : "\", \"source\":\"modbus_alarm\", \"action\":\"alarm off\"}";
        out.push_back({"ubus", "call", "digital_io", "do", json});
        break;
    }
    case kActionEvent: {
        // The content is escaped, so a quote in a value cannot end the string early; the JSON is
        // never cut, as a cut text would no longer parse.
        std::string json = "{ \"name\": \"modbus_alarm\", \"content\": \"" + json_escape(text) +
                           "\", \"timestamp\": \"" + json_escape(local_time_string(timestamp)) +
                           "\", \"level\": \"applications\" }";
        out.push_back({"ubus", "call", "eventd", "event", json});
        break;
    }
    case kActionSms: {
        std::string content = json_escape(text);
        for (const std::string &number : split_phone_numbers(action.phonenum)) {
            std::string json = "{\"phonenum\": \"" + json_escape(number) + "\", \"content\": \"" + content + "\"}";
            out.push_back({"ubus", "call", "smsd", "sendsms", json});
        }
        break;
    }
    default:
        break;
    }
    return out;
}

void mba_run_actions(const AlarmConfig &config, const AlarmChannel &channel, bool on, const TemplateVars &vars)
{
    for (uint32_t idx : channel.actions) {
        const Action &action = config.actions[idx];
        std::string text;
        switch (action.type) {
        case kActionDo1:
        case kActionDo2:
            break;
        case kActionEvent:
        case kActionSms: {
            const std::string &tmpl = on ? action.on_content : action.off_content;
            if (tmpl.empty())
                continue;
            text = mba_expand_template(tmpl, vars);
            if (on)
                FB_LOG_DEBUG("trigger on:%s", text.c_str());
            else
                FB_LOG_DEBUG("trigger off:%s", text.c_str());
            break;
        }
        default:
            FB_LOG_WARN("unkonw trigger alarm type");
            continue;
        }
        std::vector<Command> commands = mba_action_commands(action, on, text, vars.timestamp);
        std::vector<std::string> numbers;
        if (action.type == kActionSms)
            numbers = split_phone_numbers(action.phonenum);
        for (size_t i = 0; i < commands.size(); ++i) {
            if (i < numbers.size())
                FB_LOG_DEBUG("Send message to %s", numbers[i].c_str());
            run_command(commands[i]);
        }
    }
}

void ActionRunner::on_decision(const AlarmConfig &config, const AlarmChannel &channel, bool on,
                               const std::string &condition, const std::string &contrast_desc, const Reading &reading)
{
    TemplateVars vars;
    vars.serial_number = config.serial_number;
    vars.timestamp = time_t(reading.timestamp);
    vars.value = reading.data;
    vars.connection_index = reading.connection_index;
    vars.channel_index = reading.channel_index;
    vars.slave_id = reading.slave_id;
    vars.register_addr = reading.register_addr;
    vars.alarm_id = channel.alarm_id;
    vars.condition = condition;
    vars.contrast_desc = contrast_desc;
    mba_run_actions(config, channel, on, vars);
}

} // namespace mba

// What an alarm does when it switches: digital outputs, an event for the event daemon, SMS. Texts
// are user templates with $ variables filled from the reading, the configuration and the status
// store; every command is an argument vector for the bus tool, never a shell line.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "modbus_alarm/alarm_config.h"
#include "modbus_alarm/alarm_eval.h"

#include "common/json_text.h"

namespace mba
{

// Everything a template can refer to.
struct TemplateVars {
    std::string serial_number;
    time_t timestamp = 0;
    std::string value;
    int connection_index = 0;
    int channel_index = 0;
    int slave_id = 0;
    int register_addr = 0;
    int alarm_id = 0;
    std::string condition;
    std::string contrast_desc;
};

// Templates are expanded in a buffer of this size; the result is cut to fit it.
inline constexpr size_t kTemplateMax = 1024;

// Expands every variable in its fixed order. Reads the poller's configuration and status rows
// through the support library and, for $OTHER_VALUE, first runs the status refresh script.
std::string mba_expand_template(const std::string &text, const TemplateVars &vars);

using fb::json_escape;

using Command = std::vector<std::string>;

// The bus tool invocations for one action, in order (one per phone number for SMS). `text` is
// the expanded on or off text (unused for the digital outputs).
std::vector<Command> mba_action_commands(const Action &action, bool on, const std::string &text, time_t timestamp);

// Runs the actions of the channel's alarm for an on or off decision. Children are started without
// waiting; the SIGCHLD handling reaps them.
void mba_run_actions(const AlarmConfig &config, const AlarmChannel &channel, bool on, const TemplateVars &vars);

// The sink the daemon uses: fills the template variables from the reading and runs the actions.
class ActionRunner : public DecisionSink
{
  public:
    void on_decision(const AlarmConfig &config, const AlarmChannel &channel, bool on, const std::string &condition,
                     const std::string &contrast_desc, const Reading &reading) override;
};

} // namespace mba

// Matching readings to alarm channels and deciding whether an alarm switches on or off.
#pragma once

#include <cstdint>
#include <string>

#include "modbus_alarm/alarm_config.h"

namespace mba
{

// One mb_read_data event.
struct Reading {
    int32_t connection_index = 0;
    int32_t channel_index = 0;
    int32_t slave_id = 0;
    int32_t register_addr = 0;
    int32_t timestamp = 0;
    const char *data = "";
};

enum class Decision : uint8_t { kNone, kOn, kOff };

// Receives every on/off decision with its condition text and contrast description.
class DecisionSink
{
  public:
    virtual ~DecisionSink() = default;
    virtual void on_decision(const AlarmConfig &config, const AlarmChannel &channel, bool on,
                             const std::string &condition, const std::string &contrast_desc,
                             const Reading &reading) = 0;
};

// The longest condition text handed to the actions.
inline constexpr size_t kConditionMax = 127;

bool mba_channel_matches(const AlarmChannel &channel, const Reading &reading);

// Evaluates the rules of one channel against the reading, updates the channel and rule state and
// reports a decision to the sink. Returns the decision.
Decision mba_evaluate_channel(AlarmConfig &config, AlarmChannel &channel, const Reading &reading, DecisionSink &sink);

// Every matching channel, in configuration order.
void mba_handle_reading(AlarmConfig &config, const Reading &reading, DecisionSink &sink);

// The operator text of a rule in the condition text ("<", "(& 5)", "change from", ...).
std::string mba_operator_text(const Rule &rule);

} // namespace mba

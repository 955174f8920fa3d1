// Alarm channels, their comparison rules and their actions, as loaded from the applet's JSON
// document. Rules and actions are kept in flat lists in configuration order and belong to an alarm
// by its id; each channel also keeps the positions of its rules and actions so a reading never has
// to search the lists.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mba
{

// Source name used in the structural error lines of this applet.
inline constexpr const char *kSourceName = "src/modbus_alarm.c";

// Which reading field selects the channel ("filter_items"); kNone matches on the register address.
enum Filter : uint8_t { kFilterNone = 0, kFilterChannelIndex = 1, kFilterSlaveId = 2, kFilterRegisterAddress = 3 };
// "logical_type"; a channel without one combines its rules with OR.
enum LogicalType : uint8_t { kLogicalNone = 0, kLogicalAnd = 1, kLogicalOr = 2 };
// "alarm_mode": any text other than "normal" and "continuous" selects the nearest-threshold mode.
enum AlarmMode : uint8_t { kModeNormal = 1, kModeContinuous = 2, kModeNearest = 3 };
// Channel state and the rule flags use 1 for on/active/met and 2 for off/inactive/not met.
inline constexpr uint8_t kOn = 1;
inline constexpr uint8_t kOff = 2;
// A channel_index of 255 (an empty text in the document) accepts every channel of the connection.
inline constexpr uint8_t kAnyChannel = 255;

enum ActionType : int { kActionDo1 = 1, kActionDo2 = 2, kActionEvent = 3, kActionSms = 4 };

struct Rule {
    int rule_id = 0;
    uint8_t alarm_id = 0;
    int contrast_type = 0;
    uint8_t active = kOff;
    uint8_t met = kOff;
    uint32_t bitmask = 0;
    int64_t threshold_micro = 0;
    int64_t initial_micro = 0;
    int64_t last_micro = 0;
    int64_t initial_int = 0;
    std::string threshold_text;
    std::string desc;
    // The threshold text as the unsigned integer the bit comparisons (types 7-9) use.
    uint32_t threshold_bits = 0;
};

struct Action {
    int action_id = 0;
    uint8_t alarm_id = 0;
    int type = 0;
    std::string phonenum;
    std::string on_content;
    std::string off_content;
};

struct AlarmChannel {
    uint8_t alarm_id = 0;
    uint8_t state = kOff;
    uint8_t connection_index = 0;
    uint8_t logical_type = kLogicalNone;
    uint8_t filter = kFilterNone;
    uint8_t alarm_mode = kModeNormal;
    int32_t register_addr = 0;
    int32_t slave_id = 0;
    uint8_t channel_index = kAnyChannel;
    uint8_t off_reported = 0;
    // Positions in AlarmConfig::rules / ::actions of every entry with this alarm id, in list order.
    std::vector<uint32_t> rules;
    std::vector<uint32_t> actions;
};

struct AlarmConfig {
    std::vector<AlarmChannel> channels;
    std::vector<Rule> rules;
    std::vector<Action> actions;
    // The router's serial number ("system.serial_number"), read once at start.
    std::string serial_number;
};

// Loads the document at `path` (a router path, resolved under the root). True when at least one
// alarm channel was loaded; any malformed channel, rule or action fails the whole load, with the
// reason logged. On failure `config` is left empty.
bool mba_conf_init(AlarmConfig &config, const char *path);

// The same from a document text (the loader's core, also used by the benchmark).
bool mba_conf_load_text(AlarmConfig &config, const char *text);

// Numeric conversions shared by the loader and the evaluation.
// Text converted to double, times 1 000 000, truncated; out-of-range values saturate and a text
// that is not a number reads as 0.
int64_t to_micro(const char *text);
// The text cut at the first "." (at most 31 characters) read as an unsigned decimal integer of
// 32 bits, the way the bit comparisons read values and thresholds.
uint32_t to_bits(const char *text);

} // namespace mba

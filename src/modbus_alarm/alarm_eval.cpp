#include "modbus_alarm/alarm_eval.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "common/log.h"

namespace mba
{

namespace
{

// The reading's value in the two forms the rules compare, converted once per reading and only
// when a rule needs it.
class ReadingValue
{
  public:
    explicit ReadingValue(const char *text) : text_(text) {}
    int64_t micro()
    {
        if (!have_micro_) {
            micro_ = to_micro(text_);
            have_micro_ = true;
        }
        return micro_;
    }
    uint32_t bits()
    {
        if (!have_bits_) {
            bits_ = to_bits(text_);
            have_bits_ = true;
        }
        return bits_;
    }

  private:
    const char *text_;
    int64_t micro_ = 0;
    uint32_t bits_ = 0;
    bool have_micro_ = false;
    bool have_bits_ = false;
};

bool rule_met(Rule &rule, ReadingValue &value)
{
    switch (rule.contrast_type) {
    case 1:
        return value.micro() < rule.threshold_micro;
    case 2:
        return value.micro() > rule.threshold_micro;
    case 3:
        return value.micro() <= rule.threshold_micro;
    case 4:
        return value.micro() >= rule.threshold_micro;
    case 5:
        return value.micro() == rule.threshold_micro;
    case 6:
        return value.micro() != rule.threshold_micro;
    case 7:
        return (value.bits() & rule.bitmask) == rule.threshold_bits;
    case 8:
        return (value.bits() | rule.bitmask) == rule.threshold_bits;
    case 9:
        return (value.bits() ^ rule.bitmask) == rule.threshold_bits;
    case 10: {
        // A change: the value arrived at the threshold and the previous reading was the initial
        // value. The previous reading is kept whatever the outcome.
        bool met = value.micro() == rule.threshold_micro && rule.last_micro == rule.initial_micro;
        rule.last_micro = value.micro();
        return met;
    }
    default:
        FB_LOG_WARN("unknown contrast type");
        return false;
    }
}

// Appends to a condition text capped at kConditionMax characters.
void append_capped(std::string &out, const char *piece)
{
    if (out.size() >= kConditionMax)
        return;
    size_t room = kConditionMax - out.size();
    size_t n = strlen(piece);
    out.append(piece, n < room ? n : room);
}

// "v op t" for the first `count` rules of the channel, joined by " , ".
std::string condition_text(const AlarmConfig &config, const AlarmChannel &channel, size_t count, const char *value)
{
    std::string out;
    for (size_t i = 0; i < count && out.size() < kConditionMax; ++i) {
        const Rule &rule = config.rules[channel.rules[i]];
        if (i > 0)
            append_capped(out, " , ");
        append_capped(out, value);
        append_capped(out, " ");
        append_capped(out, mba_operator_text(rule).c_str());
        append_capped(out, " ");
        append_capped(out, rule.threshold_text.c_str());
    }
    return out;
}

uint64_t distance(int64_t a, int64_t b)
{
    return a >= b ? uint64_t(a) - uint64_t(b) : uint64_t(b) - uint64_t(a);
}

// Modes "normal" and "continuous" (and AND in the nearest mode, which behaves as continuous).
Decision apply_edge(AlarmConfig &config, AlarmChannel &channel, bool on, bool continuous, size_t evaluated,
                    const Reading &reading, DecisionSink &sink)
{
    static const std::string kNoDesc;
    if (on) {
        if (!continuous && channel.state == kOn)
            return Decision::kNone;
        channel.state = kOn;
        sink.on_decision(config, channel, true, condition_text(config, channel, evaluated, reading.data), kNoDesc,
                         reading);
        return Decision::kOn;
    }
    // The first reading after start that is not alarming reports off once.
    if (channel.state != kOn && channel.off_reported != 0)
        return Decision::kNone;
    channel.state = kOff;
    channel.off_reported = 1;
    sink.on_decision(config, channel, false, condition_text(config, channel, evaluated, reading.data), kNoDesc,
                     reading);
    return Decision::kOff;
}

// Logical OR in the nearest-threshold mode: the met rule whose threshold lies nearest to the value
// becomes the active one; the alarm is raised again only when the active rule changes.
Decision apply_nearest(AlarmConfig &config, AlarmChannel &channel, ReadingValue &value, const Reading &reading,
                       DecisionSink &sink)
{
    int chosen = -1;
    uint64_t best = 0;
    for (size_t i = 0; i < channel.rules.size(); ++i) {
        Rule &rule = config.rules[channel.rules[i]];
        if (rule.met != kOn)
            continue;
        uint64_t d = distance(value.micro(), rule.threshold_micro);
        if (chosen < 0 || d < best) {
            chosen = int(i);
            best = d;
        }
        rule.met = kOff;
    }
    if (chosen < 0) {
        for (uint32_t idx : channel.rules)
            config.rules[idx].active = kOff;
        return apply_edge(config, channel, false, false, channel.rules.size(), reading, sink);
    }
    Rule &rule = config.rules[channel.rules[size_t(chosen)]];
    if (rule.active == kOn)
        return Decision::kNone;
    for (uint32_t idx : channel.rules)
        config.rules[idx].active = kOff;
    rule.active = kOn;
    char text[kConditionMax + 1];
    if (rule.contrast_type == 10)
        snprintf(text, sizeof text, "%s change from %" PRId64, reading.data, rule.initial_int);
    else
        snprintf(text, sizeof text, "%s %s %s", reading.data, mba_operator_text(rule).c_str(),
                 rule.threshold_text.c_str());
    channel.state = kOn;
    sink.on_decision(config, channel, true, text, rule.desc, reading);
    return Decision::kOn;
}

} // namespace

std::string mba_operator_text(const Rule &rule)
{
    char buf[24];
    switch (rule.contrast_type) {
    case 1:
        return "<";
    case 2:
        return ">";
    case 3:
        return "<=";
    case 4:
        return ">=";
    case 5:
        return "=";
    case 6:
        return "!=";
    case 7:
        snprintf(buf, sizeof buf, "(& %u)", rule.bitmask);
        return buf;
    case 8:
        snprintf(buf, sizeof buf, "(| %u)", rule.bitmask);
        return buf;
    case 9:
        snprintf(buf, sizeof buf, "(^ %u)", rule.bitmask);
        return buf;
    case 10:
        return "change from";
    default:
        return "";
    }
}

bool mba_channel_matches(const AlarmChannel &channel, const Reading &reading)
{
    if (channel.connection_index != uint8_t(reading.connection_index))
        return false;
    switch (channel.filter) {
    case kFilterChannelIndex:
        return channel.channel_index == kAnyChannel || channel.channel_index == uint8_t(reading.channel_index);
    case kFilterSlaveId:
        return channel.slave_id == int32_t(uint8_t(reading.slave_id));
    default:
        return channel.register_addr == reading.register_addr;
    }
}

namespace
{

Decision evaluate(AlarmConfig &config, AlarmChannel &channel, const Reading &reading, ReadingValue &value,
                  DecisionSink &sink)
{
    if (channel.rules.empty())
        return Decision::kNone;
    const size_t n = channel.rules.size();

    if (channel.logical_type == kLogicalAnd) {
        size_t evaluated = n;
        bool on = true;
        for (size_t i = 0; i < n; ++i) {
            if (!rule_met(config.rules[channel.rules[i]], value)) {
                evaluated = i + 1;
                on = false;
                break;
            }
        }
        bool continuous = channel.alarm_mode != kModeNormal;
        return apply_edge(config, channel, on, continuous, evaluated, reading, sink);
    }

    if (channel.alarm_mode == kModeNearest) {
        for (size_t i = 0; i < n; ++i) {
            Rule &rule = config.rules[channel.rules[i]];
            rule.met = rule_met(rule, value) ? kOn : kOff;
        }
        return apply_nearest(config, channel, value, reading, sink);
    }

    size_t evaluated = n;
    bool on = false;
    for (size_t i = 0; i < n; ++i) {
        if (rule_met(config.rules[channel.rules[i]], value)) {
            evaluated = i + 1;
            on = true;
            break;
        }
    }
    return apply_edge(config, channel, on, channel.alarm_mode == kModeContinuous, evaluated, reading, sink);
}

} // namespace

Decision mba_evaluate_channel(AlarmConfig &config, AlarmChannel &channel, const Reading &reading, DecisionSink &sink)
{
    ReadingValue value(reading.data);
    return evaluate(config, channel, reading, value, sink);
}

void mba_handle_reading(AlarmConfig &config, const Reading &reading, DecisionSink &sink)
{
    // The value text is converted once, however many channels the reading concerns.
    ReadingValue value(reading.data);
    for (auto &channel : config.channels)
        if (mba_channel_matches(channel, reading))
            evaluate(config, channel, reading, value, sink);
}

} // namespace mba

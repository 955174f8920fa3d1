// Rule evaluation, the alarm modes and the decisions with their condition texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "modbus_alarm/alarm_config.h"
#include "modbus_alarm/alarm_eval.h"

namespace
{

using mba::Decision;

struct Seen {
    int alarm_id;
    bool on;
    std::string condition;
    std::string contrast_desc;
};

class Recorder : public mba::DecisionSink
{
  public:
    void on_decision(const mba::AlarmConfig &, const mba::AlarmChannel &channel, bool on, const std::string &condition,
                     const std::string &contrast_desc, const mba::Reading &) override
    {
        seen.push_back({channel.alarm_id, on, condition, contrast_desc});
    }
    std::vector<Seen> seen;
};

struct RuleDef {
    int type;
    std::string threshold;
    std::string bitmask = "";
    std::string initial = "0";
    std::string desc = "";
};

// One channel on connection 1, register 100, with the given rules.
mba::AlarmConfig make_config(const std::string &logical, const std::string &mode, const std::vector<RuleDef> &rules)
{
    std::string doc = R"({"channel": [{"id": "3", "enable": "true", "connection_index": "1",
        "filter_items": "register_address", "register_addr": "100", "logical_type": ")" +
                      logical + R"(", "alarm_mode": ")" + mode + R"(", "contrast_rule": [)";
    for (size_t i = 0; i < rules.size(); ++i) {
        const auto &r = rules[i];
        if (i)
            doc += ",";
        doc += R"({"id": ")" + std::to_string(i + 1) + R"(", "enable": "true", "desc": ")" + r.desc +
               R"(", "type": ")" + std::to_string(r.type) + R"(", "bitmask": ")" + r.bitmask +
               R"(", "initial_value": ")" + r.initial + R"(", "threshold": ")" + r.threshold + R"("})";
    }
    doc += "]}]}";
    mba::AlarmConfig cfg;
    EXPECT_TRUE(mba::mba_conf_load_text(cfg, doc.c_str())) << doc;
    return cfg;
}

mba::Reading reading(const char *value, int connection = 1, int reg = 100)
{
    mba::Reading r;
    r.connection_index = connection;
    r.channel_index = 2;
    r.slave_id = 1;
    r.register_addr = reg;
    r.timestamp = 1700000000;
    r.data = value;
    return r;
}

// Feeds the values one by one and returns the decision of each.
std::vector<Decision> feed(mba::AlarmConfig &cfg, Recorder &rec, const std::vector<const char *> &values)
{
    std::vector<Decision> out;
    for (const char *v : values)
        out.push_back(mba::mba_evaluate_channel(cfg, cfg.channels[0], reading(v), rec));
    return out;
}

TEST(AlarmEval, ComparisonsWorkInMicroUnits)
{
    struct Case {
        int type;
        const char *threshold;
        const char *value;
        bool met;
    };
    const std::vector<Case> cases = {
        {2, "10.5", "10.5000001", false}, // both 10 500 000 micro-units
        {2, "10.5", "10.500001", true},
        {1, "10", "9.999999", true},
        {1, "10", "10", false},
        {3, "10", "10", true},
        {3, "10", "10.000001", false},
        {4, "-1", "-1", true},
        {4, "-1", "-1.000002", false},
        {5, "0.25", "0.250000", true},
        {5, "0.25", "0.250002", false},
        {6, "0.25", "0.250002", true},
        {6, "0.25", ".25", false},
        {1, "1", "not a number", true},
        // Bit comparisons take the integer part of value and threshold.
        {7, "4", "6.7", true},
        {7, "4", "7", false},
        {8, "7", "2", true},
        {8, "7", "8", false},
        {9, "0", "5.9", true},
        {9, "0", "4", false},
        {42, "0", "0", false}, // unknown types are never met
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + " " + c.threshold + " vs " + c.value);
        auto cfg = make_config("logical_or", "continuous", {{c.type, c.threshold, "0101"}});
        Recorder rec;
        auto d = feed(cfg, rec, {c.value});
        EXPECT_EQ(d[0], c.met ? Decision::kOn : Decision::kOff);
    }
}

TEST(AlarmEval, ConditionTextsNameValueOperatorAndThreshold)
{
    auto cfg = make_config("logical_and", "normal", {{7, "4", "0101"}, {8, "7", "0001"}, {9, "4", "10"}});
    Recorder rec;
    feed(cfg, rec, {"6.7"});
    ASSERT_EQ(rec.seen.size(), 1u);
    EXPECT_TRUE(rec.seen[0].on);
    EXPECT_EQ(rec.seen[0].condition, "6.7 (& 5) 4 , 6.7 (| 1) 7 , 6.7 (^ 2) 4");

    auto ops = make_config("logical_and", "normal",
                           {{1, "9"}, {2, "1"}, {3, "5"}, {4, "5"}, {5, "5"}, {6, "6"}, {10, "5", "", "0"}});
    Recorder rec2;
    feed(ops, rec2, {"5"});
    ASSERT_EQ(rec2.seen.size(), 1u);
    EXPECT_EQ(rec2.seen[0].condition, "5 < 9 , 5 > 1 , 5 <= 5 , 5 >= 5 , 5 = 5 , 5 != 6 , 5 change from 5");

    // The text is cut at 127 characters.
    std::vector<RuleDef> many(20, RuleDef{1, "1000000"});
    auto long_cfg = make_config("logical_and", "normal", many);
    Recorder rec3;
    feed(long_cfg, rec3, {"123456.5"});
    ASSERT_EQ(rec3.seen.size(), 1u);
    EXPECT_EQ(rec3.seen[0].condition.size(), mba::kConditionMax);
    EXPECT_EQ(rec3.seen[0].condition.rfind("123456.5 < 1000000 , 123456.5 < 1000000 , ", 0), 0u);
}

TEST(AlarmEval, AndStopsAtFirstUnmetRuleOrStopsAtFirstMetRule)
{
    // AND: the condition lists the rules up to the first that fails.
    auto and_cfg = make_config("logical_and", "normal", {{2, "1"}, {2, "10"}, {2, "100"}});
    Recorder rec;
    feed(and_cfg, rec, {"5"});
    ASSERT_EQ(rec.seen.size(), 1u);
    EXPECT_FALSE(rec.seen[0].on);
    EXPECT_EQ(rec.seen[0].condition, "5 > 1 , 5 > 10");

    // OR: the condition lists the rules up to the first that holds; a type 10 rule behind it is
    // not evaluated and keeps its previous value.
    auto or_cfg = make_config("logical_or", "continuous", {{2, "100"}, {2, "1"}, {10, "5", "", "0"}});
    Recorder rec2;
    feed(or_cfg, rec2, {"5"});
    ASSERT_EQ(rec2.seen.size(), 1u);
    EXPECT_TRUE(rec2.seen[0].on);
    EXPECT_EQ(rec2.seen[0].condition, "5 > 100 , 5 > 1");
    EXPECT_EQ(or_cfg.rules[2].last_micro, 0);

    // Without logical_type the rules combine with OR.
    auto none_cfg = make_config("logical_or", "normal", {{2, "100"}, {2, "1"}});
    none_cfg.channels[0].logical_type = mba::kLogicalNone;
    Recorder rec3;
    EXPECT_EQ(feed(none_cfg, rec3, {"5"})[0], Decision::kOn);
}

TEST(AlarmEval, NormalAndContinuousModes)
{
    auto normal = make_config("logical_or", "normal", {{2, "10"}});
    Recorder rec;
    EXPECT_EQ(feed(normal, rec, {"5", "12", "13", "4", "3", "11"}),
              (std::vector<Decision>{Decision::kOff, Decision::kOn, Decision::kNone, Decision::kOff, Decision::kNone,
                                     Decision::kOn}));
    EXPECT_EQ(rec.seen[0].condition, "5 > 10");
    EXPECT_EQ(rec.seen[1].condition, "12 > 10");
    EXPECT_EQ(rec.seen[1].contrast_desc, "");

    auto continuous = make_config("logical_or", "continuous", {{2, "10"}});
    Recorder rec2;
    EXPECT_EQ(feed(continuous, rec2, {"5", "12", "13", "4", "3"}),
              (std::vector<Decision>{Decision::kOff, Decision::kOn, Decision::kOn, Decision::kOff, Decision::kNone}));

    // The first reading after start that is not alarming reports off once, even when an on came
    // before it never did.
    auto fresh = make_config("logical_or", "normal", {{2, "10"}});
    Recorder rec3;
    EXPECT_EQ(feed(fresh, rec3, {"12", "4", "4"}),
              (std::vector<Decision>{Decision::kOn, Decision::kOff, Decision::kNone}));

    // AND in the nearest-threshold mode behaves as continuous.
    auto and_nearest = make_config("logical_and", "nearest", {{2, "10"}});
    Recorder rec4;
    EXPECT_EQ(feed(and_nearest, rec4, {"12", "13"}), (std::vector<Decision>{Decision::kOn, Decision::kOn}));
}

TEST(AlarmEval, ChangeFromInitialValue)
{
    auto cfg = make_config("logical_or", "continuous", {{10, "1", "", "0"}});
    Recorder rec;
    // The previous value starts at 0, so the first 1 is a change from the initial value 0.
    EXPECT_EQ(feed(cfg, rec, {"1", "1", "0", "1", "2", "1"}),
              (std::vector<Decision>{Decision::kOn, Decision::kOff, Decision::kNone, Decision::kOn, Decision::kOff,
                                     Decision::kNone}));
    EXPECT_EQ(rec.seen[0].condition, "1 change from 1");
}

TEST(AlarmEval, NearestThresholdMode)
{
    auto cfg = make_config(
        "logical_or", "nearest",
        {{2, "10", "", "0", "warm"}, {2, "20", "", "0", "hot"}, {10, "30", "", "21", "jump"}, {2, "25", "", "0", ""}});
    Recorder rec;
    // 12: only "> 10" holds.
    EXPECT_EQ(feed(cfg, rec, {"12"})[0], Decision::kOn);
    EXPECT_EQ(rec.seen.back().condition, "12 > 10");
    EXPECT_EQ(rec.seen.back().contrast_desc, "warm");
    // 15: still the same rule active, nothing.
    EXPECT_EQ(feed(cfg, rec, {"15"})[0], Decision::kNone);
    // 21: "> 10" and "> 20" hold; 20 is nearer.
    EXPECT_EQ(feed(cfg, rec, {"21"})[0], Decision::kOn);
    EXPECT_EQ(rec.seen.back().condition, "21 > 20");
    EXPECT_EQ(rec.seen.back().contrast_desc, "hot");
    EXPECT_EQ(cfg.rules[0].active, mba::kOff);
    EXPECT_EQ(cfg.rules[1].active, mba::kOn);
    // 30 after 21: the change rule (from 21 to 30) is nearest and names its integer initial value.
    EXPECT_EQ(feed(cfg, rec, {"30"})[0], Decision::kOn);
    EXPECT_EQ(rec.seen.back().condition, "30 change from 21");
    EXPECT_EQ(rec.seen.back().contrast_desc, "jump");
    // 26: "> 25" is nearest; its description is empty.
    EXPECT_EQ(feed(cfg, rec, {"26"})[0], Decision::kOn);
    EXPECT_EQ(rec.seen.back().contrast_desc, "");
    // 5: nothing holds: off, every rule inactive; a second 5 reports nothing.
    EXPECT_EQ(feed(cfg, rec, {"5"})[0], Decision::kOff);
    EXPECT_FALSE(rec.seen.back().on);
    for (uint32_t idx : cfg.channels[0].rules) {
        EXPECT_EQ(cfg.rules[idx].active, mba::kOff);
        EXPECT_EQ(cfg.rules[idx].met, mba::kOff);
    }
    EXPECT_EQ(feed(cfg, rec, {"5"})[0], Decision::kNone);
    // Equal distances: the earlier rule wins.
    auto tie = make_config("logical_or", "nearest", {{2, "10", "", "0", "a"}, {1, "14", "", "0", "b"}});
    Recorder rec2;
    feed(tie, rec2, {"12"});
    EXPECT_EQ(rec2.seen.back().contrast_desc, "a");
}

TEST(AlarmEval, ReadingsMatchChannelsByConnectionAndFilter)
{
    mba::AlarmChannel ch;
    ch.connection_index = 1;
    ch.filter = mba::kFilterRegisterAddress;
    ch.register_addr = 100;
    EXPECT_TRUE(mba::mba_channel_matches(ch, reading("1", 257, 100))) << "lowest 8 bits of the connection";
    EXPECT_FALSE(mba::mba_channel_matches(ch, reading("1", 2, 100)));
    EXPECT_FALSE(mba::mba_channel_matches(ch, reading("1", 1, 101)));
    ch.filter = mba::kFilterChannelIndex;
    ch.channel_index = mba::kAnyChannel;
    EXPECT_TRUE(mba::mba_channel_matches(ch, reading("1", 1, 7)));
    ch.channel_index = 3;
    EXPECT_FALSE(mba::mba_channel_matches(ch, reading("1", 1, 7))) << "the reading is channel 2";
    ch.filter = mba::kFilterSlaveId;
    ch.slave_id = 1;
    auto r = reading("1", 1, 7);
    r.slave_id = 257;
    EXPECT_TRUE(mba::mba_channel_matches(ch, r)) << "lowest 8 bits of the slave";

    // A reading for connection 2 never reaches the channel of connection 1.
    auto cfg = make_config("logical_or", "normal", {{2, "10"}});
    Recorder rec;
    mba::mba_handle_reading(cfg, reading("50", 2, 100), rec);
    EXPECT_TRUE(rec.seen.empty());
    mba::mba_handle_reading(cfg, reading("50", 1, 100), rec);
    EXPECT_EQ(rec.seen.size(), 1u);
}

} // namespace

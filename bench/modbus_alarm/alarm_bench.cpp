// Readings per second the alarm applet evaluates: 100 alarm channels of 4 rules each, readings as
// they arrive from the bus (blobmsg parse, channel matching, rule evaluation), no alarm switching.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include <libubox/blobmsg.h>

#include "modbus_alarm/alarm_config.h"
#include "modbus_alarm/alarm_eval.h"
#include "modbus_alarm/alarm_reading.h"

namespace
{

constexpr int kChannels = 100;

class CountingSink : public mba::DecisionSink
{
  public:
    void on_decision(const mba::AlarmConfig &, const mba::AlarmChannel &, bool, const std::string &,
                     const std::string &, const mba::Reading &) override
    {
        ++decisions;
    }
    long decisions = 0;
};

// Every channel combines four rules with OR that a reading of 50.5 never meets, so every rule is
// evaluated for every matching channel. `any_register` makes every channel match every reading.
mba::AlarmConfig make_config(bool any_register)
{
    std::string doc = R"({"channel": [)";
    for (int i = 0; i < kChannels; ++i) {
        if (i)
            doc += ",";
        std::string filter =
            any_register ? R"("filter_items": "channel_index", "channel_index": "")"
                         : R"("filter_items": "register_address", "register_addr": ")" + std::to_string(i) + "\"";
        doc += R"({"id": ")" + std::to_string(i + 1) + R"(", "enable": "true", "connection_index": "1", )" + filter +
               R"(, "logical_type": "logical_or", "alarm_mode": "normal", "contrast_rule": [
                 {"id": "1", "enable": "true", "desc": "", "type": "2", "bitmask": "",
                  "initial_value": "0", "threshold": "1000"},
                 {"id": "2", "enable": "true", "desc": "", "type": "1", "bitmask": "",
                  "initial_value": "0", "threshold": "-1000"},
                 {"id": "3", "enable": "true", "desc": "", "type": "5", "bitmask": "",
                  "initial_value": "0", "threshold": "12.5"},
                 {"id": "4", "enable": "true", "desc": "", "type": "7", "bitmask": "1111",
                  "initial_value": "0", "threshold": "9"}],
               "trigger_type": [{"id": "1", "enable": "true", "type": "do1"}]})";
    }
    doc += "]}";
    mba::AlarmConfig cfg;
    if (!mba::mba_conf_load_text(cfg, doc.c_str()))
        abort();
    return cfg;
}

std::vector<std::vector<char>> make_readings()
{
    std::vector<std::vector<char>> out;
    for (int i = 0; i < kChannels; ++i) {
        blob_buf b{};
        blob_buf_init(&b, 0);
        blobmsg_add_u32(&b, "connection_index", 1);
        blobmsg_add_u32(&b, "channel_index", uint32_t(i + 1));
        blobmsg_add_u32(&b, "slave_id", 1);
        blobmsg_add_u32(&b, "func_code", 3);
        blobmsg_add_u32(&b, "register_addr", uint32_t(i));
        blobmsg_add_u32(&b, "timestamp", 1700000000);
        blobmsg_add_string(&b, "data", "50.5");
        const char *p = reinterpret_cast<const char *>(b.head);
        out.emplace_back(p, p + blob_pad_len(b.head));
        blob_buf_free(&b);
    }
    return out;
}

void run(benchmark::State &state, bool any_register)
{
    mba::AlarmConfig cfg = make_config(any_register);
    auto readings = make_readings();
    CountingSink sink;
    // The first reading of each channel reports off once; after that nothing switches.
    for (auto &r : readings)
        mba::mba_handle_event(cfg, "mb_read_data", reinterpret_cast<blob_attr *>(r.data()), sink);
    long before = sink.decisions;
    size_t i = 0;
    for (auto _ : state) {
        mba::mba_handle_event(cfg, "mb_read_data", reinterpret_cast<blob_attr *>(readings[i].data()), sink);
        if (++i == readings.size())
            i = 0;
    }
    if (sink.decisions != before)
        state.SkipWithError("an alarm switched during the measurement");
    state.SetItemsProcessed(int64_t(state.iterations()));
}

// Each reading concerns one of the 100 channels (filter by register address).
void BM_ReadingOneMatchingChannel(benchmark::State &state)
{
    run(state, false);
}
// Each reading concerns all 100 channels (400 rules evaluated).
void BM_ReadingAllChannelsMatch(benchmark::State &state)
{
    run(state, true);
}

BENCHMARK(BM_ReadingOneMatchingChannel);
BENCHMARK(BM_ReadingAllChannelsMatch);

} // namespace

BENCHMARK_MAIN();

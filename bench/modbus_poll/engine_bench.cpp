// The Modbus engine's speed: decoding and formatting one value of each data type, and read
// transactions per second against our libmodbus slave on loopback, beside libmodbus's own client
// doing the same reads in the same run.
#include "modbus_engine/link.h"
#include "modbus_engine/values.h"

#include "fbtest/support.h"

#include <benchmark/benchmark.h>
#include <modbus/modbus.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

using namespace modbus;

namespace
{

int g_port = 0;

// The register bytes of a typical reading of each type (a meter value, a counter, a status word).
void typical_bytes(DataType type, ByteOrder order, uint8_t (&bytes)[8])
{
    uint64_t pattern = 0;
    switch (type) {
    case DataType::int16:
        pattern = uint16_t(int16_t(-1234));
        break;
    case DataType::int32:
        pattern = uint32_t(int32_t(-123456));
        break;
    case DataType::uint32:
        pattern = 123456789u;
        break;
    case DataType::float32: {
        float v = 1234.5678f;
        uint32_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        pattern = bits;
        break;
    }
    case DataType::double64: {
        double v = 12345.678901;
        std::memcpy(&pattern, &v, sizeof pattern);
        break;
    }
    default:
        pattern = 0xABCD;
        break;
    }
    disassemble(order, pattern, bytes);
}

void decode(benchmark::State &state, DataType type, ByteOrder order, int32_t divisor, bool multiple)
{
    uint8_t bytes[8] = {};
    typical_bytes(type, order, bytes);
    ValueFormat f;
    f.type = type;
    f.order = order;
    f.multiplier = 3;
    f.plus = 1;
    f.divisor = divisor;
    f.decimal_places = 2;
    f.number_of_16bits = 12;
    f.number_of_32bits = 20;
    char text[kValueTextSize];
    for (auto _ : state) {
        if (multiple)
            benchmark::DoNotOptimize(format_unscaled(f, bytes, text, sizeof text));
        else
            benchmark::DoNotOptimize(format_scaled(f, bytes, text, sizeof text));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}

BENCHMARK_CAPTURE(decode, int16, DataType::int16, ByteOrder::ba, 1, false);
BENCHMARK_CAPTURE(decode, uint16_bits, DataType::uint16, ByteOrder::ab, 1, false);
BENCHMARK_CAPTURE(decode, int32, DataType::int32, ByteOrder::cd_ab, 1, false);
BENCHMARK_CAPTURE(decode, uint32_divided, DataType::uint32, ByteOrder::dc_ba, 10, false);
BENCHMARK_CAPTURE(decode, float, DataType::float32, ByteOrder::ab_cd, 1, false);
BENCHMARK_CAPTURE(decode, double64, DataType::double64, ByteOrder::ghef_cdab, 1, false);
BENCHMARK_CAPTURE(decode, block_int16, DataType::int16, ByteOrder::ab, 1, true);
BENCHMARK_CAPTURE(decode, block_float, DataType::float32, ByteOrder::cd_ab, 1, true);

void engine_reads(benchmark::State &state)
{
    Link link;
    link.kind = uint8_t(LinkKind::tcp_client);
    link.server_addr = "127.0.0.1";
    link.server_is_ip = true;
    link.server_port = uint32_t(g_port);
    link.connect_timeout = 2;
    link.resp_timeout = 1000;
    if (!link.open()) {
        state.SkipWithError("connect failed");
        return;
    }
    ReadRequest rq;
    rq.slave_id = 1;
    rq.func_code = 3;
    rq.quantity = uint16_t(state.range(0));
    rq.data_bytes = 2u * rq.quantity;
    for (auto _ : state) {
        ReadResult r = link.read(rq);
        if (r.state != ChannelState::read_ok) {
            state.SkipWithError("read failed");
            break;
        }
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}

void libmodbus_reads(benchmark::State &state)
{
    std::unique_ptr<modbus_t, void (*)(modbus_t *)> ctx(modbus_new_tcp("127.0.0.1", g_port), modbus_free);
    if (!ctx || modbus_connect(ctx.get()) != 0) {
        state.SkipWithError("connect failed");
        return;
    }
    modbus_set_slave(ctx.get(), 1);
    uint16_t regs[125];
    const int n = int(state.range(0));
    for (auto _ : state) {
        if (modbus_read_registers(ctx.get(), 0, n, regs) != n) {
            state.SkipWithError("read failed");
            break;
        }
    }
    modbus_close(ctx.get());
    state.SetItemsProcessed(int64_t(state.iterations()));
}

BENCHMARK(engine_reads)->Arg(1)->Arg(125)->UseRealTime();
BENCHMARK(libmodbus_reads)->Arg(1)->Arg(125)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    g_port = fbtest::free_tcp_port();
    fbtest::Process sim({fbtest::bin("modbus_sim"), "--tcp", std::to_string(g_port), "--quiet"});
    if (!fbtest::wait_for_port(g_port)) {
        fprintf(stderr, "modbus_sim did not start\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    sim.stop();
    return 0;
}

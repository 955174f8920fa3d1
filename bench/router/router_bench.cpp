// Cost of the calls pollers and transports make per value: a status write (usi_list_set), a status
// read, and a configuration lookup. Runs in a temporary root that it removes afterwards.
#include <librouter.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

void BM_UsiListSet(benchmark::State &state)
{
    const int rows = static_cast<int>(state.range(0));
    char value[32];
    unsigned long n = 0;
    for (auto _ : state) {
        int row = static_cast<int>(n % static_cast<unsigned long>(rows)) + 1;
        std::snprintf(value, sizeof value, "%lu.%02lu", n, n % 100);
        benchmark::DoNotOptimize(usi_list_set("modbus_poll.channel", row, "value", value));
        ++n;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UsiListSet)->Arg(100)->Arg(5000);

void BM_UsiListGet(benchmark::State &state)
{
    for (int row = 1; row <= 100; ++row)
        usi_list_set("bench.get", row, "status", "Connected");
    int row = 0;
    for (auto _ : state) {
        char *value = usi_list_get("bench.get", row % 100 + 1, "status");
        benchmark::DoNotOptimize(value);
        std::free(value);
        ++row;
    }
}
BENCHMARK(BM_UsiListGet);

void BM_UciListGetCached(benchmark::State &state)
{
    int row = 0;
    for (auto _ : state) {
        char *value = uci_list_get("modbus_poll.connection[1].channel", row % 50 + 1, "desc");
        benchmark::DoNotOptimize(value);
        std::free(value);
        ++row;
    }
}
BENCHMARK(BM_UciListGetCached);

} // namespace

int main(int argc, char **argv)
{
    char dir[] = "/tmp/fbbench.XXXXXX";
    if (!mkdtemp(dir))
        return 1;
    setenv("FIELDBRIDGE_ROOT", dir, 1);
    std::filesystem::create_directories(std::string(dir) + "/etc/config");
    {
        std::ofstream config(std::string(dir) + "/etc/config/modbus_poll");
        for (int i = 1; i <= 50; ++i)
            config << "config 'connection[1].channel'\n\toption desc 'Channel " << i << "'\n\toption enable 'true'\n\n";
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(dir);
    return 0;
}

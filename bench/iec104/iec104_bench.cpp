// Controlled and controlling station over loopback, each on its own thread as two processes would
// be: a station interrogation of 10,000 short floats (from activation to termination), and sustained
// spontaneous traffic with k = 12, w = 8.
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include "iec104/client.h"
#include "iec104/server.h"

using namespace iec104;

namespace {

constexpr size_t kInterrogationPoints = 10000;

ServerSettings loopback()
{
    ServerSettings s;
    s.local_address = "127.0.0.1";
    s.local_port = 0;
    s.apci.k = 12;
    s.apci.w = 8;
    s.high_priority_queue_size = 512;
    s.common_address = 1;
    return s;
}

// The station runs its own loop on a thread until destroyed.
class StationThread {
public:
    template <class Setup>
    StationThread(ServerSettings settings, Setup setup) : server_(std::move(settings))
    {
        setup(server_);
        server_.start();
    }
    template <class Work>
    void run(Work work)
    {
        thread_ = std::thread([this, work]() mutable {
            while (!stop_) {
                work(server_);
                server_.wait(Millis(5));
            }
        });
    }
    ~StationThread()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    uint16_t port() const { return server_.port(); }

private:
    Server server_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

bool connect_and_start(Client &client, uint16_t port)
{
    if (!client.connect("127.0.0.1", port))
        return false;
    client.start_dt();
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!client.started() && Clock::now() < deadline)
        client.wait(Millis(5));
    return client.started();
}

void BM_StationInterrogation10kFloats(benchmark::State &state)
{
    StationThread station(loopback(), [](Server &s) {
        s.set_interrogation_handler([](ServerConnection &c, const Asdu &req, uint8_t qoi) {
            c.send_act_con(req);
            const size_t per = max_objects(TypeId::M_ME_NC_1, c.app_parameters());
            Asdu a;
            a.header.type = TypeId::M_ME_NC_1;
            a.header.cause = static_cast<Cause>(qoi);
            a.header.common_address = req.header.common_address;
            for (uint32_t ioa = 1; ioa <= kInterrogationPoints; ++ioa) {
                a.objects.push_back({ioa, ShortFloat{static_cast<float>(ioa) * 0.5f, 0}});
                if (a.objects.size() == per || ioa == kInterrogationPoints) {
                    c.send_asdu(a);
                    a.objects.clear();
                }
            }
            c.send_act_term(req);
            return true;
        });
    });
    station.run([](Server &) {});

    Client client;
    size_t objects = 0;
    bool terminated = false;
    client.set_asdu_handler([&](const Asdu &a) {
        if (a.header.type == TypeId::M_ME_NC_1)
            objects += a.objects.size();
        else if (a.header.type == TypeId::C_IC_NA_1 && a.header.cause == Cause::ActivationTermination)
            terminated = true;
    });
    if (!connect_and_start(client, station.port())) {
        state.SkipWithError("cannot connect");
        return;
    }
    for (auto _ : state) {
        objects = 0;
        terminated = false;
        const auto start = Clock::now();
        client.send_interrogation(1, 20);
        while (!terminated && client.connected())
            client.wait(Millis(5));
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        if (objects != kInterrogationPoints) {
            state.SkipWithError("incomplete interrogation");
            break;
        }
    }
    state.counters["objects"] = static_cast<double>(kInterrogationPoints);
}
BENCHMARK(BM_StationInterrogation10kFloats)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);

// Spontaneous time-tagged short floats, state.range(0) objects per ASDU, as fast as the window
// lets them through.
void BM_SpontaneousThroughput(benchmark::State &state)
{
    const size_t per_asdu = static_cast<size_t>(state.range(0));
    ServerSettings settings = loopback();
    settings.low_priority_queue_size = 100;
    StationThread station(settings, [](Server &) {});
    Asdu spont;
    spont.header.type = TypeId::M_ME_TF_1;
    spont.header.cause = Cause::Spontaneous;
    spont.header.common_address = 1;
    const Cp56Time2a now = to_cp56(std::chrono::system_clock::now());
    for (uint32_t i = 0; i < per_asdu; ++i)
        spont.objects.push_back({100 + i, ShortFloat{1.5f, 0}, now});
    station.run([spont](Server &s) mutable {
        if (!s.active())
            return;
        while (s.queue_size() < 90) {
            spont.objects[0].element = ShortFloat{static_cast<float>(s.counters().asdus_sent), 0};
            s.enqueue_asdu(spont);
        }
    });

    Client client;
    size_t objects = 0;
    client.set_asdu_handler([&objects](const Asdu &a) { objects += a.objects.size(); });
    if (!connect_and_start(client, station.port())) {
        state.SkipWithError("cannot connect");
        return;
    }
    const size_t target = 100000;
    size_t total = 0;
    for (auto _ : state) {
        objects = 0;
        const auto start = Clock::now();
        while (objects < target && client.connected())
            client.wait(Millis(5));
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        total += objects;
    }
    state.counters["objects_per_s"] =
        benchmark::Counter(static_cast<double>(total), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SpontaneousThroughput)->Arg(1)->Arg(16)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);

} // namespace

BENCHMARK_MAIN();

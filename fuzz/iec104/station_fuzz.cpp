// The controlled station fed arbitrary octet streams, with time moving and the application queueing
// data in between. Nothing may crash, and what the station holds must stay within its bounds.
//
// Input: one octet of settings (field sizes, k, whether the peer reads), then operations, each one
// octet whose top two bits choose: feed the next 1..64 octets, advance time (and tick), queue an
// ASDU of spontaneous data, or let the peer read (reconnecting when the station dropped it).
#include <cstdint>
#include <cstdlib>
#include <span>

#include "iec104/station.h"

using namespace iec104;
using namespace std::chrono_literals;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t setup = data[0];
    StationSettings settings;
    settings.app = {static_cast<uint8_t>(1 + (setup & 1)), static_cast<uint8_t>(1 + ((setup >> 1) & 1)),
                    static_cast<uint8_t>(1 + ((setup >> 2) % 3))};
    settings.apci.k = (setup & 0x10) ? 12 : 2;
    settings.apci.w = (setup & 0x20) ? 8 : 1;
    settings.low_priority_queue_size = 8;
    settings.high_priority_queue_size = 8;
    settings.common_address = (setup & 0x40) ? std::optional<uint16_t>(1) : std::nullopt;
    const bool peer_reads = (setup & 0x80) != 0;

    Station station(settings);
    station.set_interrogation_handler([](ServerConnection &c, const Asdu &req, uint8_t qoi) {
        c.send_act_con(req);
        Asdu a;
        a.header.type = TypeId::M_SP_NA_1;
        a.header.cause = static_cast<Cause>(qoi);
        for (uint32_t i = 0; i < 12; ++i) // more than the queue holds
            a.objects.push_back({i + 1, SinglePoint{(i & 1) != 0, 0}});
        for (int i = 0; i < 10; ++i)
            c.send_asdu(a);
        c.send_act_term(req);
        return qoi != 36;
    });
    station.set_clock_sync_handler([](ServerConnection &, const Asdu &, const Cp56Time2a &t) { return t.minute & 1; });
    station.set_asdu_handler([](ServerConnection &c, const Asdu &req) {
        const uint32_t sel = req.objects[0].ioa % 7;
        if (sel == 6) {
            c.send_act_con(req);
            c.send_act_term(req);
        }
        return static_cast<AsduReply>(sel % 6);
    });
    uint64_t log_lines = 0;
    station.set_log_handler([&log_lines](LogLevel, const std::string &) { ++log_lines; });

    TimePoint now{};
    std::optional<uint32_t> id = station.open_connection("192.0.2.1", 2404, now);
    if (!id)
        std::abort();
    size_t i = 1;
    while (i < size) {
        const uint8_t op = data[i++];
        const size_t arg = (op & 0x3F) + 1u;
        switch (op >> 6) {
        case 0: {
            const size_t n = std::min(arg, size - i);
            station.receive(*id, {data + i, n}, now);
            i += n;
            break;
        }
        case 1:
            now += std::chrono::milliseconds(500 * arg);
            station.tick(now);
            break;
        case 2: {
            Asdu a;
            a.header.type = TypeId::M_ME_TF_1;
            a.header.cause = Cause::Spontaneous;
            a.header.common_address = 1;
            for (uint32_t k = 0; k < std::min<size_t>(arg, 10); ++k)
                a.objects.push_back({k, ShortFloat{static_cast<float>(k), 0}, Cp56Time2a{}});
            station.enqueue_asdu(a);
            station.tick(now);
            break;
        }
        default:
            if (station.connection_failed(*id)) {
                station.close_connection(*id);
                id = station.open_connection("192.0.2.1", 2404, now);
                if (!id)
                    std::abort();
            } else if (peer_reads) {
                station.consume_output(*id, station.output(*id).size());
            }
            break;
        }
        if (station.output(*id).size() > Session::kOutputLimit || station.queue_size() > 8)
            std::abort();
    }
    // Every refusal was counted, and logged.
    if (log_lines < station.counters().total_rejected())
        std::abort();
    station.close_connection(*id);
    return 0;
}

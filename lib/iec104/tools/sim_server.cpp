// iec104_sim_server: a controlled station with simulated points of every monitoring type, for
// trying controlling stations and the gateways against. See lib/iec104/README.md for the options.
#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "iec104/server.h"
#include "options.h"

using namespace iec104;

namespace {

volatile std::sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

void usage(const char *prog)
{
    std::fprintf(stderr,
                 "usage: %s [-a ADDRESS] [-p PORT] [-n POINTS] [-c CA] [-i INTERVAL_MS] [--no-time]\n"
                 "          [--cot-size 1|2] [--ca-size 1|2] [--ioa-size 1|2|3] [-k K] [-w W]\n"
                 "          [--t1 S] [--t2 S] [--t3 S]\n",
                 prog);
}

// The five monitoring families served, in IOA order; interrogation group = index + 1.
enum Family { Single, Double, Normalized, Scaled, Float, kFamilies };

constexpr TypeId kPlainType[kFamilies] = {TypeId::M_SP_NA_1, TypeId::M_DP_NA_1, TypeId::M_ME_NA_1, TypeId::M_ME_NB_1,
                                          TypeId::M_ME_NC_1};
constexpr TypeId kTimedType[kFamilies] = {TypeId::M_SP_TB_1, TypeId::M_DP_TB_1, TypeId::M_ME_TD_1, TypeId::M_ME_TE_1,
                                          TypeId::M_ME_TF_1};

struct Point {
    uint32_t ioa = 0;
    Family family = Single;
    double value = 0; // on/off as 0/1, double point state 1/2, measured values as such
};

class Simulation {
public:
    Simulation(uint32_t per_family, uint16_t ca, const AppLayerParameters &app) : ca_(ca), app_(app)
    {
        for (int f = 0; f < kFamilies; ++f)
            for (uint32_t i = 0; i < per_family; ++i)
                points_.push_back({1 + f * per_family + i, static_cast<Family>(f), f == Double ? 1.0 : 0.0});
    }

    // Moves every value a step; returns the points that changed.
    std::vector<const Point *> step()
    {
        ++step_;
        std::vector<const Point *> changed;
        for (size_t i = 0; i < points_.size(); ++i) {
            Point &p = points_[i];
            const double before = p.value;
            const double phase = static_cast<double>(step_) / 10.0 + static_cast<double>(i);
            switch (p.family) {
            case Single: p.value = ((step_ + i) % 3 == 0) ? 1 - p.value : p.value; break;
            case Double: p.value = ((step_ + i) % 4 == 0) ? (p.value == 1 ? 2 : 1) : p.value; break;
            case Normalized: p.value = 0.5 * std::sin(phase); break;
            case Scaled: p.value = static_cast<double>((step_ * 7 + i * 13) % 2000) - 1000; break;
            case Float: p.value = 230.0 + 10.0 * std::sin(phase); break;
            case kFamilies: break;
            }
            if (p.value != before)
                changed.push_back(&p);
        }
        return changed;
    }

    Point *find(uint32_t ioa, Family family)
    {
        for (Point &p : points_)
            if (p.ioa == ioa && p.family == family)
                return &p;
        return nullptr;
    }

    static Element element(const Point &p)
    {
        switch (p.family) {
        case Single: return SinglePoint{p.value != 0, 0};
        case Double: return DoublePoint{static_cast<DoublePointState>(static_cast<int>(p.value)), 0};
        case Normalized: return NormalizedValue{float_to_normalized(static_cast<float>(p.value)), 0};
        case Scaled: return ScaledValue{static_cast<int16_t>(p.value), 0};
        default: return ShortFloat{static_cast<float>(p.value), 0};
        }
    }

    // Packs `points` per family into ASDUs of cause `cause` and hands each to `send`.
    template <class Send>
    bool send_points(const std::vector<const Point *> &points, Cause cause, bool timed, Send send) const
    {
        const Cp56Time2a now = to_cp56(std::chrono::system_clock::now(), true);
        for (int f = 0; f < kFamilies; ++f) {
            const TypeId type = timed ? kTimedType[f] : kPlainType[f];
            const size_t capacity = max_objects(type, app_);
            Asdu asdu;
            asdu.header.type = type;
            asdu.header.cause = cause;
            asdu.header.common_address = ca_;
            for (const Point *p : points) {
                if (p->family != f)
                    continue;
                asdu.objects.push_back({p->ioa, element(*p), timed ? std::optional(now) : std::nullopt});
                if (asdu.objects.size() == capacity) {
                    if (!send(asdu))
                        return false;
                    asdu.objects.clear();
                }
            }
            if (!asdu.objects.empty() && !send(asdu))
                return false;
        }
        return true;
    }

    std::vector<const Point *> group(uint8_t qoi) const
    {
        std::vector<const Point *> out;
        for (const Point &p : points_)
            if (qoi == 20 || qoi == 21 + p.family)
                out.push_back(&p);
        return out;
    }

    uint16_t common_address() const { return ca_; }

private:
    uint16_t ca_;
    AppLayerParameters app_;
    std::vector<Point> points_;
    uint64_t step_ = 0;
};

} // namespace

int main(int argc, char **argv)
{
    ServerSettings settings;
    settings.local_address = "127.0.0.1";
    long points = 10, ca = 1, interval_ms = 1000;
    bool timed = true;
    for (int i = 1; i < argc; ++i) {
        const int link = tools::parse_link_option(argc, argv, i, settings.app, settings.apci);
        if (link < 0) {
            usage(argv[0]);
            return 2;
        }
        if (link > 0)
            continue;
        const std::string opt = argv[i];
        const char *val = i + 1 < argc ? argv[i + 1] : nullptr;
        long v = 0;
        if ((opt == "-a" || opt == "--address") && val) {
            settings.local_address = val;
            ++i;
        } else if ((opt == "-p" || opt == "--port") && tools::parse_long(val, 0, 65535, v)) {
            settings.local_port = static_cast<uint16_t>(v);
            ++i;
        } else if ((opt == "-n" || opt == "--points") && tools::parse_long(val, 0, 100000, points)) {
            ++i;
        } else if ((opt == "-c" || opt == "--ca") && tools::parse_long(val, 1, 65534, ca)) {
            ++i;
        } else if ((opt == "-i" || opt == "--interval") && tools::parse_long(val, 0, 3600000, interval_ms)) {
            ++i;
        } else if (opt == "--no-time") {
            timed = false;
        } else {
            usage(argv[0]);
            return 2;
        }
    }
    if (ca > settings.app.max_ca() - 1 || static_cast<uint64_t>(points) * kFamilies > settings.app.max_ioa()) {
        std::fprintf(stderr, "common address or point count does not fit the field sizes\n");
        return 2;
    }

    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    std::signal(SIGPIPE, SIG_IGN);

    Simulation sim(static_cast<uint32_t>(points), static_cast<uint16_t>(ca), settings.app);
    // An interrogation of every point must fit the reply queue.
    size_t asdus_per_gi = 4;
    for (TypeId t : kPlainType)
        asdus_per_gi += (static_cast<size_t>(points) + max_objects(t, settings.app) - 1) / max_objects(t, settings.app);
    settings.high_priority_queue_size = std::max<size_t>(settings.high_priority_queue_size, asdus_per_gi);
    settings.common_address = static_cast<uint16_t>(ca);
    Server server(settings);
    server.set_log_handler([](LogLevel level, const std::string &text) {
        std::fprintf(stderr, "iec104_sim_server: %s: %s\n", tools::level_name(level), text.c_str());
    });
    server.set_connection_event_handler([](ServerConnection &c, ConnectionEvent e) {
        std::fprintf(stderr, "iec104_sim_server: %s:%u %s\n", c.peer_address().c_str(), c.peer_port(), to_string(e));
    });
    server.set_interrogation_handler([&sim](ServerConnection &c, const Asdu &req, uint8_t qoi) {
        std::fprintf(stderr, "iec104_sim_server: interrogation %u\n", qoi);
        c.send_act_con(req);
        const bool ok = sim.send_points(sim.group(qoi), static_cast<Cause>(qoi), false,
                                        [&c](const Asdu &a) { return c.send_asdu(a); });
        if (!ok)
            std::fprintf(stderr, "iec104_sim_server: interrogation reply cut short: queue full\n");
        c.send_act_term(req);
        return true;
    });
    server.set_clock_sync_handler([](ServerConnection &, const Asdu &, const Cp56Time2a &t) {
        std::fprintf(stderr, "iec104_sim_server: clock synchronisation %s\n", describe(t).c_str());
        return true;
    });
    server.set_asdu_handler([&sim](ServerConnection &c, const Asdu &req) {
        const InformationObject &o = req.objects[0];
        std::fprintf(stderr, "iec104_sim_server: command %s\n", describe(req).c_str());
        Point *p = nullptr;
        double value = 0;
        bool select = false;
        if (const auto *sc = std::get_if<SingleCommand>(&o.element)) {
            p = sim.find(o.ioa, Single);
            value = sc->on ? 1 : 0;
            select = sc->select;
        } else if (const auto *dc = std::get_if<DoubleCommand>(&o.element)) {
            if (dc->state != 1 && dc->state != 2)
                return AsduReply::Refuse;
            p = sim.find(o.ioa, Double);
            value = dc->state;
            select = dc->select;
        } else if (const auto *sn = std::get_if<SetpointNormalized>(&o.element)) {
            p = sim.find(o.ioa, Normalized);
            value = normalized_to_float(sn->raw);
            select = sn->select;
        } else if (const auto *ss = std::get_if<SetpointScaled>(&o.element)) {
            p = sim.find(o.ioa, Scaled);
            value = ss->value;
            select = ss->select;
        } else if (const auto *sf = std::get_if<SetpointFloat>(&o.element)) {
            p = sim.find(o.ioa, Float);
            value = sf->value;
            select = sf->select;
        }
        if (!p)
            return AsduReply::UnknownIoa;
        if (req.header.cause == Cause::Deactivation || select)
            return AsduReply::Confirm;
        c.send_act_con(req);
        p->value = value;
        c.send_act_term(req);
        return AsduReply::Handled;
    });

    if (!server.start())
        return 1;
    std::printf("iec104_sim_server listening on %s:%u\n", settings.local_address.c_str(), server.port());
    std::fflush(stdout);

    auto next_change = Clock::now() + Millis(interval_ms);
    while (!g_stop) {
        server.wait(Millis(100));
        if (interval_ms > 0 && Clock::now() >= next_change) {
            next_change += Millis(interval_ms);
            const auto changed = sim.step();
            if (server.active())
                sim.send_points(changed, Cause::Spontaneous, timed, [&server](const Asdu &a) {
                    return server.enqueue_asdu(a);
                });
        }
    }
    std::fprintf(stderr, "iec104_sim_server: stopping\n");
    server.stop();
    return 0;
}

// iec104_client: connects to a controlled station, starts data transfer, sends one request given on
// the command line and prints every ASDU received. See lib/iec104/README.md for the syntax.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "iec104/client.h"
#include "options.h"

using namespace iec104;

namespace {

volatile std::sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

void usage(const char *prog)
{
    std::fprintf(stderr,
                 "usage: %s [options] HOST PORT [REQUEST]\n"
                 "REQUEST: gi [QOI] | sc IOA on|off [select] | dc IOA on|off [select]\n"
                 "         | setn IOA VALUE [select] | sets IOA VALUE [select] | setf IOA VALUE [select]\n"
                 "         | cs | test | listen            (default: gi)\n"
                 "options: --ca N --oa N --timed --wait MS --timeout MS --raw\n"
                 "         --cot-size 1|2 --ca-size 1|2 --ioa-size 1|2|3 -k K -w W --t1 S --t2 S --t3 S\n",
                 prog);
}

struct Request {
    std::string kind = "gi";
    uint8_t qoi = 20;
    uint32_t ioa = 0;
    Element command;
};

bool parse_request(int argc, char **argv, int i, Request &r)
{
    if (i >= argc)
        return true;
    r.kind = argv[i++];
    long v = 0;
    double d = 0;
    auto select_flag = [&](bool &select) {
        if (i < argc && std::strcmp(argv[i], "select") == 0) {
            select = true;
            ++i;
        }
    };
    if (r.kind == "gi") {
        if (i < argc) {
            if (!tools::parse_long(argv[i++], 0, 255, v))
                return false;
            r.qoi = static_cast<uint8_t>(v);
        }
    } else if (r.kind == "sc" || r.kind == "dc") {
        if (i + 1 >= argc || !tools::parse_long(argv[i], 0, 0xFFFFFF, v))
            return false;
        r.ioa = static_cast<uint32_t>(v);
        const std::string state = argv[i + 1];
        i += 2;
        if (state != "on" && state != "off")
            return false;
        bool select = false;
        select_flag(select);
        if (r.kind == "sc")
            r.command = SingleCommand{state == "on", 0, select};
        else
            r.command = DoubleCommand{static_cast<uint8_t>(state == "on" ? 2 : 1), 0, select};
    } else if (r.kind == "setn" || r.kind == "sets" || r.kind == "setf") {
        if (i + 1 >= argc || !tools::parse_long(argv[i], 0, 0xFFFFFF, v) || !tools::parse_double(argv[i + 1], d))
            return false;
        r.ioa = static_cast<uint32_t>(v);
        i += 2;
        bool select = false;
        select_flag(select);
        if (r.kind == "setn") {
            if (d < -1 || d > 1)
                return false;
            r.command = SetpointNormalized{float_to_normalized(static_cast<float>(d)), 0, select};
        } else if (r.kind == "sets") {
            if (d < -32768 || d > 32767)
                return false;
            r.command = SetpointScaled{static_cast<int16_t>(d), 0, select};
        } else {
            r.command = SetpointFloat{static_cast<float>(d), 0, select};
        }
    } else if (r.kind != "cs" && r.kind != "test" && r.kind != "listen") {
        return false;
    }
    return i == argc;
}

} // namespace

int main(int argc, char **argv)
{
    ClientSettings settings;
    long ca = 1, oa = 0, wait_ms = 1000, timeout_ms = 10000;
    bool timed = false, raw = false;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        const int link = tools::parse_link_option(argc, argv, i, settings.app, settings.apci);
        if (link < 0) {
            usage(argv[0]);
            return 2;
        }
        if (link > 0)
            continue;
        const std::string opt = argv[i];
        const char *val = i + 1 < argc ? argv[i + 1] : nullptr;
        if (opt == "--ca" && tools::parse_long(val, 0, 65535, ca))
            ++i;
        else if (opt == "--oa" && tools::parse_long(val, 0, 255, oa))
            ++i;
        else if (opt == "--wait" && tools::parse_long(val, 0, 86400000, wait_ms))
            ++i;
        else if (opt == "--timeout" && tools::parse_long(val, 1, 86400000, timeout_ms))
            ++i;
        else if (opt == "--timed")
            timed = true;
        else if (opt == "--raw")
            raw = true;
        else {
            usage(argv[0]);
            return 2;
        }
    }
    long port = 0;
    Request req;
    if (i + 1 >= argc || !tools::parse_long(argv[i + 1], 1, 65535, port) || !parse_request(argc, argv, i + 2, req) ||
        ca > settings.app.max_ca()) {
        usage(argv[0]);
        return 2;
    }
    const std::string host = argv[i];
    settings.originator = static_cast<uint8_t>(oa);

    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    std::signal(SIGPIPE, SIG_IGN);

    Client client(settings);
    client.set_log_handler([](LogLevel level, const std::string &text) {
        std::fprintf(stderr, "iec104_client: %s: %s\n", tools::level_name(level), text.c_str());
    });
    if (raw)
        client.set_raw_message_handler([](std::span<const uint8_t> frame, bool sent) {
            std::string line = sent ? "TX:" : "RX:";
            char hex[4];
            for (uint8_t b : frame) {
                std::snprintf(hex, sizeof hex, " %02x", b);
                line += hex;
            }
            std::printf("%s\n", line.c_str());
        });

    // Done when the request is answered: the interrogation terminated, a command confirmed (and
    // terminated when it executes), or refused.
    bool done = req.kind == "listen", failed = false;
    const TypeId expected = req.kind == "gi"     ? TypeId::C_IC_NA_1
                            : req.kind == "cs"   ? TypeId::C_CS_NA_1
                            : req.kind == "test" ? TypeId::C_TS_TA_1
                                                 : type_for(req.command, timed).value_or(TypeId::C_SC_NA_1);
    client.set_asdu_handler([&](const Asdu &a) {
        std::printf("%s\n", describe(a).c_str());
        std::fflush(stdout);
        if (a.header.type != expected || done)
            return;
        const Cause c = a.header.cause;
        if (a.header.negative || c == Cause::UnknownType || c == Cause::UnknownCause ||
            c == Cause::UnknownCommonAddress || c == Cause::UnknownIoa) {
            done = failed = true;
        } else if (c == Cause::ActivationTermination) {
            done = true;
        } else if (c == Cause::ActivationCon && expected != TypeId::C_IC_NA_1) {
            const bool select = std::visit(
                [](const auto &e) {
                    if constexpr (requires { e.select; })
                        return e.select;
                    else
                        return true;
                },
                a.objects[0].element);
            // An executed command is finished by its termination; the rest by the confirmation.
            done = select || expected == TypeId::C_CS_NA_1 || expected == TypeId::C_TS_TA_1;
        }
    });
    bool closed = false;
    client.set_event_handler([&](ClientEvent e) {
        if (e == ClientEvent::Closed)
            closed = true;
    });

    if (!client.connect(host, static_cast<uint16_t>(port)))
        return 1;
    client.start_dt();
    const uint16_t ca16 = static_cast<uint16_t>(ca);
    const Cp56Time2a now = to_cp56(std::chrono::system_clock::now(), true);
    bool sent = true;
    if (req.kind == "gi")
        sent = client.send_interrogation(ca16, req.qoi);
    else if (req.kind == "cs")
        sent = client.send_clock_sync(ca16, now);
    else if (req.kind == "test")
        sent = client.send_test_command(ca16, 0x4938, now);
    else if (req.kind != "listen")
        sent = client.send_command(ca16, req.ioa, req.command, timed ? std::optional(now) : std::nullopt);
    if (!sent)
        return 1;

    const auto start = Clock::now();
    std::optional<TimePoint> linger_until;
    if (req.kind == "listen" && wait_ms > 0)
        linger_until = start + Millis(wait_ms);
    while (!g_stop && !closed) {
        client.wait(Millis(50));
        const auto now_tp = Clock::now();
        if (done && !linger_until && req.kind != "listen")
            linger_until = now_tp + Millis(wait_ms);
        if (linger_until && now_tp >= *linger_until)
            break;
        if (!done && now_tp - start >= Millis(timeout_ms)) {
            std::fprintf(stderr, "iec104_client: no answer within %ld ms\n", timeout_ms);
            failed = true;
            break;
        }
    }
    if (closed && !done)
        failed = true;
    client.close();
    return failed ? 1 : 0;
}

// The captured session between two independent implementations (vectors/): every frame decodes to
// what the capturing client printed about it, and our controlled station, fed the client's frames,
// answers with the same ASDUs the captured station sent (sequence numbers aside).
#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "iec104/apci.h"
#include "iec104/asdu.h"
#include "iec104/server.h"
#include "test_util.h"

using namespace iec104;
using iec104test::Bytes;
using iec104test::hex;
using iec104test::to_hex;

namespace {

constexpr AppLayerParameters kCaptureParams{2, 2, 3};

struct CapturedFrame {
    bool from_client = false;
    Bytes octets;
    std::vector<std::string> notes;
};

std::vector<CapturedFrame> load_capture()
{
    std::ifstream in(std::string(IEC104_VECTORS_DIR) + "/station-interrogation-and-commands.txt");
    std::vector<CapturedFrame> frames;
    std::vector<std::string> pending; // "Send ..." lines announce the client's next frame
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        if (line.rfind("SEND: ", 0) == 0 || line.rfind("RCVD: ", 0) == 0) {
            CapturedFrame f;
            f.from_client = line[0] == 'S';
            f.octets = hex(line.substr(6));
            if (f.from_client)
                f.notes = std::exchange(pending, {});
            frames.push_back(std::move(f));
        } else if (line.rfind("Send ", 0) == 0) {
            pending.push_back(line);
        } else if (!frames.empty()) {
            frames.back().notes.push_back(line);
        }
    }
    return frames;
}

} // namespace

TEST(Iec104Capture, EveryFrameDecodesToItsAnnotation)
{
    const std::vector<CapturedFrame> frames = load_capture();
    ASSERT_EQ(23u, frames.size());
    const std::regex asdu_note(R"(RECVD ASDU type: (\w+)\((\d+)\) elements: (\d+))");
    const std::regex point_note(R"(\s*IOA: (\d+) value: (\d+))");
    const std::regex send_note(R"(Send .* (C_\w+))");
    uint16_t next_ns[2] = {0, 0};
    size_t checked_notes = 0;

    for (const CapturedFrame &f : frames) {
        SCOPED_TRACE(to_hex(f.octets));
        Apdu apdu;
        ASSERT_EQ(ApciError::Ok, parse_apdu(f.octets, apdu));
        Asdu asdu;
        if (apdu.apci.format == FrameFormat::I) {
            EXPECT_EQ(next_ns[f.from_client]++, apdu.apci.send_seq);
            ASSERT_EQ(AsduError::Ok, decode_asdu(apdu.asdu, kCaptureParams, asdu));
            EXPECT_EQ(asdu.header.count, asdu.objects.size());
        }
        // Acknowledgements never run ahead of what the other side sent.
        if (apdu.apci.format != FrameFormat::U) {
            EXPECT_LE(apdu.apci.recv_seq, next_ns[!f.from_client]);
        }

        size_t point = 0;
        for (const std::string &note : f.notes) {
            std::smatch m;
            if (note == "Received STARTDT_CON") {
                EXPECT_EQ(FrameFormat::U, apdu.apci.format);
                EXPECT_EQ(UFunction::StartDtCon, apdu.apci.function);
            } else if (std::regex_match(note, m, asdu_note)) {
                ASSERT_EQ(FrameFormat::I, apdu.apci.format);
                EXPECT_EQ(std::stoul(m[2]), static_cast<unsigned>(asdu.header.type));
                EXPECT_STREQ(m[1].str().c_str(), type_name(asdu.header.type));
                EXPECT_EQ(std::stoul(m[3]), asdu.objects.size());
            } else if (std::regex_match(note, m, point_note)) {
                ASSERT_LT(point, asdu.objects.size());
                const auto *sp = std::get_if<SinglePoint>(&asdu.objects[point].element);
                ASSERT_NE(nullptr, sp);
                EXPECT_EQ(std::stoul(m[1]), asdu.objects[point].ioa);
                EXPECT_EQ(std::stoul(m[2]) != 0, sp->on);
                ++point;
            } else if (std::regex_match(note, m, send_note)) {
                ASSERT_EQ(FrameFormat::I, apdu.apci.format);
                EXPECT_STREQ(m[1].str().c_str(), type_name(asdu.header.type));
            } else if (note == "Send time sync command") {
                ASSERT_EQ(FrameFormat::I, apdu.apci.format);
                EXPECT_EQ(TypeId::C_CS_NA_1, asdu.header.type);
                const auto *cs = std::get_if<ClockSyncCommand>(&asdu.objects.at(0).element);
                ASSERT_NE(nullptr, cs);
                EXPECT_EQ("2026-12-08 14:18:31.700", describe(cs->time));
            } else if (note == "  test command with timestamp") {
                const auto *tc = std::get_if<TestCommandWithTime>(&asdu.objects.at(0).element);
                ASSERT_NE(nullptr, tc);
                EXPECT_EQ(0x4938, tc->counter);
                EXPECT_EQ("2026-12-08 14:18:31.700", describe(tc->time));
            } else {
                continue;
            }
            ++checked_notes;
        }
    }
    EXPECT_EQ(29u, checked_notes);
}

TEST(Iec104Capture, OurStationAnswersLikeTheCapturedOne)
{
    const std::vector<CapturedFrame> frames = load_capture();
    ASSERT_FALSE(frames.empty());

    ServerSettings settings;
    settings.local_address = "127.0.0.1";
    settings.local_port = 0;
    settings.app = kCaptureParams;
    settings.common_address = 1;
    Server server(settings);
    std::vector<std::string> log;
    server.set_log_handler([&log](LogLevel, const std::string &text) { log.push_back(text); });
    // The captured station's points, as its application gave them.
    server.set_interrogation_handler([](ServerConnection &c, const Asdu &req, uint8_t qoi) {
        EXPECT_EQ(20, qoi);
        auto data = [&req](TypeId type, bool sequence, std::vector<InformationObject> objects) {
            Asdu a;
            a.header = {type, sequence, 0, Cause::InterrogatedByStation, false, false, req.header.originator,
                        req.header.common_address};
            a.objects = std::move(objects);
            return a;
        };
        c.send_act_con(req);
        c.send_asdu(data(TypeId::M_ME_NB_1, false,
                         {{100, ScaledValue{-1, 0}}, {101, ScaledValue{23, 0}}, {102, ScaledValue{2300, 0}}}));
        c.send_asdu(data(TypeId::M_SP_NA_1, false, {{104, SinglePoint{true, 0}}, {105, SinglePoint{false, 0}}}));
        std::vector<InformationObject> alternating;
        for (uint32_t i = 0; i < 8; ++i)
            alternating.push_back({300 + i, SinglePoint{i % 2 == 0, 0}});
        c.send_asdu(data(TypeId::M_SP_NA_1, true, alternating));
        c.send_asdu(data(TypeId::M_BO_NA_1, false, {{500, Bitstring32{0xAAAA, 0}}}));
        c.send_act_term(req);
        return true;
    });
    server.set_asdu_handler([](ServerConnection &, const Asdu &req) {
        return req.header.type == TypeId::C_SC_NA_1 ? AsduReply::Confirm : AsduReply::UnknownType;
    });
    bool clock_set = false;
    server.set_clock_sync_handler([&clock_set](ServerConnection &, const Asdu &, const Cp56Time2a &t) {
        clock_set = describe(t) == "2026-12-08 14:18:31.700";
        return true;
    });
    ASSERT_TRUE(server.start());

    {
        iec104test::RawPeer peer(server.port());
        ASSERT_TRUE(peer.connected());
        uint16_t client_ns = 0, received_from_server = 0;
        for (const CapturedFrame &f : frames) {
            SCOPED_TRACE(to_hex(f.octets));
            Apdu captured;
            ASSERT_EQ(ApciError::Ok, parse_apdu(f.octets, captured));
            const Bytes asdu(captured.asdu.begin(), captured.asdu.end());
            if (f.from_client) {
                // The client's own octets, renumbered for this session.
                if (captured.apci.format == FrameFormat::U)
                    peer.send(f.octets);
                else if (captured.apci.format == FrameFormat::S)
                    peer.send(iec104test::s_frame(received_from_server));
                else
                    peer.send(iec104test::i_frame(client_ns++, received_from_server, asdu));
                continue;
            }
            if (captured.apci.format == FrameFormat::I && (asdu[2] & 0x3F) == static_cast<uint8_t>(Cause::Periodic)) {
                Asdu periodic; // the station's application sending cyclic data
                ASSERT_EQ(AsduError::Ok, decode_asdu(asdu, kCaptureParams, periodic));
                ASSERT_TRUE(server.enqueue_asdu(periodic));
            }
            Bytes ours;
            Apdu answer;
            do {
                ours = peer.next_frame(server);
                ASSERT_FALSE(ours.empty()) << "no answer";
                ASSERT_EQ(ApciError::Ok, parse_apdu(ours, answer));
            } while (answer.apci.format == FrameFormat::S);
            ASSERT_EQ(captured.apci.format, answer.apci.format);
            if (captured.apci.format == FrameFormat::U) {
                EXPECT_EQ(to_hex(f.octets), to_hex(ours));
            } else {
                EXPECT_EQ(to_hex(captured.asdu), to_hex(answer.asdu));
                EXPECT_EQ(received_from_server, answer.apci.send_seq);
                ++received_from_server;
            }
        }
    }
    EXPECT_TRUE(clock_set);
    for (int i = 0; i < 200 && server.open_connections() > 0; ++i)
        server.wait(std::chrono::milliseconds(5));
    EXPECT_EQ(0u, server.open_connections());
    EXPECT_EQ(0u, server.counters().total_rejected()) << (log.empty() ? "" : log.back());
}

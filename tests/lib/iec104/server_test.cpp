// The controlled station on 127.0.0.1, against our controlling station or against a raw peer whose
// octets are written in the test. Everything runs on the test's thread; timers are driven by
// passing a later "now" to tick().
#include <gtest/gtest.h>

#include <unistd.h>

#include "iec104/client.h"
#include "iec104/server.h"
#include "test_util.h"

using namespace iec104;
using namespace std::chrono_literals;
using iec104test::Bytes;
using iec104test::hex;
using iec104test::i_frame;
using iec104test::RawPeer;
using iec104test::s_frame;
using iec104test::to_hex;

namespace {

const Bytes kStartDtAct = hex("68 04 07 00 00 00");
const Bytes kStartDtCon = hex("68 04 0b 00 00 00");
const Bytes kTestFrAct = hex("68 04 43 00 00 00");
const Bytes kTestFrCon = hex("68 04 83 00 00 00");

ServerSettings local_settings()
{
    ServerSettings s;
    s.local_address = "127.0.0.1";
    s.local_port = 0;
    s.common_address = 1;
    s.high_priority_queue_size = 200;
    return s;
}

Asdu float_asdu(Cause cause, uint32_t first_ioa, size_t n, float base = 0)
{
    Asdu a;
    a.header.type = TypeId::M_ME_NC_1;
    a.header.cause = cause;
    a.header.common_address = 1;
    for (size_t i = 0; i < n; ++i)
        a.objects.push_back({first_ioa + static_cast<uint32_t>(i), ShortFloat{base + static_cast<float>(i), 0}});
    return a;
}

// Ticks both ends until `done` holds or two seconds pass.
bool run_until(Server &server, Client &client, const std::function<bool()> &done)
{
    const auto deadline = Clock::now() + 2s;
    while (!done()) {
        if (Clock::now() > deadline)
            return false;
        server.tick();
        client.tick();
        ::usleep(100);
    }
    return true;
}

struct Received {
    std::vector<Asdu> asdus;
    std::vector<std::string> events;
    void attach(Client &c)
    {
        c.set_asdu_handler([this](const Asdu &a) {
            asdus.push_back(a);
            events.push_back(type_name(a.header.type));
        });
        c.set_event_handler([this](ClientEvent e) {
            events.push_back(e == ClientEvent::Started ? "started" : e == ClientEvent::Stopped ? "stopped" : "closed");
        });
    }
    bool has(TypeId type, Cause cause) const
    {
        for (const Asdu &a : asdus)
            if (a.header.type == type && a.header.cause == cause)
                return true;
        return false;
    }
};

int send_seq(const Bytes &frame) { return frame.size() < 6 ? -1 : (frame[2] | frame[3] << 8) >> 1; }

// A raw peer that has started data transfer.
void start_raw(RawPeer &peer, Server &server)
{
    ASSERT_TRUE(peer.connected());
    peer.send(kStartDtAct);
    ASSERT_EQ(to_hex(kStartDtCon), to_hex(peer.next_frame(server)));
}

} // namespace

TEST(Iec104Server, StationAndGroupInterrogationEndWithTermination)
{
    Server server(local_settings());
    std::vector<uint8_t> qois;
    server.set_interrogation_handler([&qois](ServerConnection &c, const Asdu &req, uint8_t qoi) {
        qois.push_back(qoi);
        c.send_act_con(req);
        const size_t n = qoi == 20 ? 100 : 5; // group 1 is a subset
        for (size_t first = 0; first < n; first += 30)
            c.send_asdu(float_asdu(static_cast<Cause>(qoi), 1000 + static_cast<uint32_t>(first),
                                   std::min<size_t>(30, n - first)));
        c.send_act_term(req);
        return true;
    });
    ASSERT_TRUE(server.start());

    Client client;
    Received got;
    got.attach(client);
    ASSERT_TRUE(client.connect("127.0.0.1", server.port()));
    client.start_dt();
    ASSERT_TRUE(client.send_interrogation(1, 20));
    ASSERT_TRUE(run_until(server, client, [&] { return got.has(TypeId::C_IC_NA_1, Cause::ActivationTermination); }));
    ASSERT_TRUE(client.send_interrogation(1, 21));
    ASSERT_TRUE(run_until(server, client, [&] {
        return got.asdus.size() >= 9 && got.asdus.back().header.cause == Cause::ActivationTermination;
    }));

    EXPECT_EQ((std::vector<uint8_t>{20, 21}), qois);
    ASSERT_EQ(9u, got.asdus.size()); // con, 4 x data, term; con, data, term
    size_t station_objects = 0;
    for (size_t i = 1; i <= 4; ++i) {
        EXPECT_EQ(Cause::InterrogatedByStation, got.asdus[i].header.cause);
        station_objects += got.asdus[i].objects.size();
    }
    EXPECT_EQ(100u, station_objects);
    EXPECT_EQ(Cause::ActivationCon, got.asdus[0].header.cause);
    EXPECT_FALSE(got.asdus[0].header.negative);
    EXPECT_EQ(Cause::ActivationTermination, got.asdus[5].header.cause);
    EXPECT_EQ(Cause::ActivationCon, got.asdus[6].header.cause);
    EXPECT_EQ(static_cast<Cause>(21), got.asdus[7].header.cause);
    EXPECT_EQ(5u, got.asdus[7].objects.size());
    EXPECT_EQ(Cause::ActivationTermination, got.asdus[8].header.cause);
    EXPECT_EQ(TypeId::C_IC_NA_1, got.asdus[8].header.type);
}

TEST(Iec104Server, InterrogationQualifierOutsideTwentyToThirtySixIsRefused)
{
    Server server(local_settings());
    int calls = 0;
    server.set_interrogation_handler([&calls](ServerConnection &c, const Asdu &req, uint8_t) {
        ++calls;
        c.send_act_con(req);
        c.send_act_term(req);
        return true;
    });
    ASSERT_TRUE(server.start());
    Client client;
    Received got;
    got.attach(client);
    ASSERT_TRUE(client.connect("127.0.0.1", server.port()));
    client.start_dt();
    for (uint8_t qoi : {19, 37, 0}) {
        got.asdus.clear();
        ASSERT_TRUE(client.send_interrogation(1, qoi));
        // A test command behind it: its confirmation comes after whatever the refusal produced.
        ASSERT_TRUE(client.send_test_command(1, qoi, to_cp56(std::chrono::system_clock::now())));
        ASSERT_TRUE(run_until(server, client, [&] { return got.has(TypeId::C_TS_TA_1, Cause::ActivationCon); }));
        ASSERT_EQ(2u, got.asdus.size()) << int(qoi);
        EXPECT_EQ(TypeId::C_IC_NA_1, got.asdus[0].header.type);
        EXPECT_EQ(Cause::ActivationCon, got.asdus[0].header.cause);
        EXPECT_TRUE(got.asdus[0].header.negative);
        EXPECT_EQ(qoi, std::get<InterrogationCommand>(got.asdus[0].objects[0].element).qoi);
    }
    EXPECT_EQ(0, calls);
    EXPECT_EQ(3u, server.counters()[Rejection::InterrogationRefused]);
}

TEST(Iec104Server, ConformingRepliesToWhatTheStationDoesNotKnow)
{
    Server server(local_settings());
    std::vector<std::string> log;
    server.set_log_handler([&log](LogLevel level, const std::string &text) {
        if (level == LogLevel::Warning)
            log.push_back(text);
    });
    server.set_asdu_handler([](ServerConnection &, const Asdu &req) {
        return req.objects[0].ioa == 5000 ? AsduReply::Confirm : AsduReply::UnknownIoa;
    });
    int interrogations = 0;
    server.set_interrogation_handler([&interrogations](ServerConnection &c, const Asdu &req, uint8_t) {
        ++interrogations;
        c.send_act_con(req);
        c.send_act_term(req);
        return true;
    });
    ASSERT_TRUE(server.start());
    RawPeer peer(server.port());
    start_raw(peer, server);

    struct Case {
        const char *request;
        const char *reply;
    };
    const Case cases[] = {
        // Monitoring type sent to the station, and a type it does not decode at all: cause 44.
        {"01 01 03 00 01 00 01 00 00 01", "01 01 6c 00 01 00 01 00 00 01"},
        {"88 01 06 00 01 00 01 00 00 01 02", "88 01 6c 00 01 00 01 00 00 01 02"},
        // A command with a spontaneous cause: 45.
        {"2d 01 03 00 01 00 88 13 00 01", "2d 01 6d 00 01 00 88 13 00 01"},
        // Interrogation of station 2: 46.
        {"64 01 06 00 02 00 00 00 00 14", "64 01 6e 00 02 00 00 00 00 14"},
        // Command to an object the application does not have, interrogation not at address 0: 47.
        {"2d 01 06 00 01 00 89 13 00 01", "2d 01 6f 00 01 00 89 13 00 01"},
        {"64 01 06 00 01 00 05 00 00 14", "64 01 6f 00 01 00 05 00 00 14"},
        // Clock synchronisation to 31 February: negative confirmation.
        {"67 01 06 00 01 00 00 00 00 d4 7b 12 0e 1f 02 1a", "67 01 47 00 01 00 00 00 00 d4 7b 12 0e 1f 02 1a"},
        // Deactivation of a known command is confirmed with cause 9.
        {"2d 01 08 00 01 00 88 13 00 01", "2d 01 09 00 01 00 88 13 00 01"},
    };
    uint16_t ns = 0, nr = 0;
    for (const Case &c : cases) {
        peer.send(i_frame(ns++, nr, hex(c.request)));
        Bytes reply;
        do
            reply = peer.next_frame(server);
        while (reply.size() == 6 && reply[2] == 0x01); // acknowledgements
        ASSERT_GT(reply.size(), 6u) << c.request;
        EXPECT_EQ(c.reply, to_hex(std::span(reply).subspan(6))) << c.request;
        ++nr;
    }
    // Broadcast interrogation reaches the handler.
    peer.send(i_frame(ns++, nr, hex("64 01 06 00 ff ff 00 00 00 14")));
    const Bytes answer = peer.next_frame(server);
    ASSERT_GT(answer.size(), 6u);
    EXPECT_EQ("64 01 07 00 ff ff 00 00 00 14", to_hex(std::span(answer).subspan(6)));
    EXPECT_EQ(1, interrogations);

    const Counters &k = server.counters();
    EXPECT_EQ(2u, k[Rejection::UnknownType]);
    EXPECT_EQ(1u, k[Rejection::UnknownCause]);
    EXPECT_EQ(1u, k[Rejection::UnknownCommonAddress]);
    EXPECT_EQ(2u, k[Rejection::UnknownIoa]);
    EXPECT_EQ(1u, k[Rejection::ClockSyncRefused]);
    EXPECT_EQ(7u, log.size()); // one line per refusal
    EXPECT_EQ(1u, server.open_connections());
}

TEST(Iec104Server, KWindowBlocksUntilAcknowledgedAndWFramesAreAcknowledged)
{
    ServerSettings settings = local_settings();
    settings.apci.k = 12;
    settings.apci.w = 8;
    Server server(settings);
    int commands = 0;
    server.set_asdu_handler([&commands](ServerConnection &, const Asdu &) {
        ++commands;
        return AsduReply::Handled; // no reply, so only an S-frame can acknowledge
    });
    ASSERT_TRUE(server.start());
    RawPeer peer(server.port());
    start_raw(peer, server);

    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(server.enqueue_asdu(float_asdu(Cause::Spontaneous, 1, 1, static_cast<float>(i))));
    for (int i = 0; i < 12; ++i) {
        const Bytes f = peer.next_frame(server);
        ASSERT_EQ(20u, f.size());
        EXPECT_EQ(i, send_seq(f));
    }
    // Window full: the next frame is the answer to our test frame, not a 13th I-frame.
    peer.send(kTestFrAct);
    EXPECT_EQ(to_hex(kTestFrCon), to_hex(peer.next_frame(server)));
    EXPECT_EQ(8u, server.queue_size());
    peer.send(s_frame(12));
    for (int i = 12; i < 20; ++i)
        EXPECT_EQ(i, send_seq(peer.next_frame(server)));
    EXPECT_TRUE(server.queue_empty());

    // Seven commands: no acknowledgement yet; the eighth brings it.
    for (uint16_t i = 0; i < 7; ++i)
        peer.send(i_frame(i, 20, hex("2d 01 06 00 01 00 88 13 00 01")));
    peer.send(kTestFrAct);
    EXPECT_EQ(to_hex(kTestFrCon), to_hex(peer.next_frame(server)));
    peer.send(i_frame(7, 20, hex("2d 01 06 00 01 00 88 13 00 01")));
    EXPECT_EQ(to_hex(s_frame(8)), to_hex(peer.next_frame(server)));
    EXPECT_EQ(8, commands);
}

TEST(Iec104Server, T1WithoutAcknowledgementClosesAndT3IdleTests)
{
    Server server(local_settings());
    std::vector<ConnectionEvent> events;
    server.set_connection_event_handler([&events](ServerConnection &, ConnectionEvent e) { events.push_back(e); });
    ASSERT_TRUE(server.start());
    {
        RawPeer peer(server.port());
        start_raw(peer, server);
        // Idle for t3: the station tests the link; our confirmation keeps it open.
        server.tick(Clock::now() + 20s);
        EXPECT_EQ(to_hex(kTestFrAct), to_hex(peer.next_frame(server)));
        peer.send(kTestFrCon);
        server.enqueue_asdu(float_asdu(Cause::Spontaneous, 1, 1));
        ASSERT_EQ(20u, peer.next_frame(server).size());
        // Never acknowledged: t1 later the station gives up.
        server.tick(Clock::now() + 14s);
        EXPECT_EQ(1u, server.open_connections());
        server.tick(Clock::now() + 15s + 1ms);
        EXPECT_TRUE(peer.wait_closed(server));
    }
    EXPECT_EQ(1u, server.counters()[Rejection::T1Timeout]);
    EXPECT_EQ((std::vector<ConnectionEvent>{ConnectionEvent::Opened, ConnectionEvent::Activated,
                                            ConnectionEvent::Closed}),
              events);
    RawPeer again(server.port());
    start_raw(again, server);
}

TEST(Iec104Server, StopDtStopsDataUntilStartedAgain)
{
    Server server(local_settings());
    std::vector<ConnectionEvent> events;
    server.set_connection_event_handler([&events](ServerConnection &, ConnectionEvent e) { events.push_back(e); });
    size_t raw_sent = 0, raw_received = 0;
    server.set_raw_message_handler([&](ServerConnection &, std::span<const uint8_t>, bool sent) {
        ++(sent ? raw_sent : raw_received);
    });
    ASSERT_TRUE(server.start());
    Client client;
    Received got;
    got.attach(client);
    ASSERT_TRUE(client.connect("127.0.0.1", server.port()));
    client.start_dt();
    ASSERT_TRUE(run_until(server, client, [&] { return server.active(); }));
    server.enqueue_asdu(float_asdu(Cause::Spontaneous, 1, 1));
    ASSERT_TRUE(run_until(server, client, [&] { return got.asdus.size() == 1; }));

    client.stop_dt();
    ASSERT_TRUE(run_until(server, client, [&] { return !client.started(); }));
    EXPECT_FALSE(server.active());
    for (int i = 0; i < 3; ++i)
        server.enqueue_asdu(float_asdu(Cause::Spontaneous, 2, 1, static_cast<float>(i)));
    client.start_dt();
    ASSERT_TRUE(run_until(server, client, [&] { return got.asdus.size() == 4; }));
    // Held while stopped, delivered only after the new start.
    EXPECT_EQ((std::vector<std::string>{"started", "M_ME_NC_1", "stopped", "started", "M_ME_NC_1", "M_ME_NC_1",
                                        "M_ME_NC_1"}),
              got.events);
    client.close();
    ASSERT_TRUE(run_until(server, client, [&] { return server.open_connections() == 0; }));
    EXPECT_EQ((std::vector<ConnectionEvent>{ConnectionEvent::Opened, ConnectionEvent::Activated,
                                            ConnectionEvent::Deactivated, ConnectionEvent::Activated,
                                            ConnectionEvent::Closed}),
              events);
    EXPECT_EQ(server.counters().frames_sent, raw_sent);
    EXPECT_EQ(server.counters().frames_received, raw_received);
    EXPECT_GE(raw_sent, 7u); // 2 STARTDT con, STOPDT con, 4 I-frames
}

TEST(Iec104Server, SecondConnectionRefusedWhileOneIsOpen)
{
    Server server(local_settings());
    std::vector<std::string> refused_by_handler;
    server.set_connection_request_handler([&](const std::string &address, uint16_t) {
        return refused_by_handler.empty() || address != refused_by_handler.front();
    });
    ASSERT_TRUE(server.start());
    Client first;
    Received got;
    got.attach(first);
    ASSERT_TRUE(first.connect("127.0.0.1", server.port()));
    first.start_dt();
    ASSERT_TRUE(run_until(server, first, [&] { return server.active(); }));

    RawPeer second(server.port());
    ASSERT_TRUE(second.connected()); // the kernel accepts; the station closes it at once
    EXPECT_TRUE(second.wait_closed(server));
    EXPECT_EQ(1u, server.counters()[Rejection::ConnectionLimit]);
    server.enqueue_asdu(float_asdu(Cause::Spontaneous, 1, 1));
    ASSERT_TRUE(run_until(server, first, [&] { return got.asdus.size() == 1; }));

    first.close();
    ASSERT_TRUE(run_until(server, first, [&] { return server.open_connections() == 0; }));
    refused_by_handler.push_back("127.0.0.1");
    RawPeer refused(server.port());
    EXPECT_TRUE(refused.wait_closed(server));
    EXPECT_EQ(1u, server.counters()[Rejection::ConnectionRefused]);
    refused_by_handler.clear();
    RawPeer welcome(server.port());
    start_raw(welcome, server);
}

TEST(Iec104Server, MalformedApdusCloseTheConnection)
{
    Server server(local_settings());
    server.set_asdu_handler([](ServerConnection &, const Asdu &) { return AsduReply::Confirm; });
    ASSERT_TRUE(server.start());
    struct Case {
        const char *octets;
        Rejection reason;
    };
    const Case cases[] = {
        {"68 03 01 00 00", Rejection::BadLength},
        {"68 fe 00 00 00 00", Rejection::BadLength},
        {"68 10 0a 00 00 00 0b 01 03 00 01 00 6e 00 00 05 00 00", Rejection::UnexpectedSendSeq},
        // Two objects announced, one present.
        {"68 0e 00 00 00 00 2d 02 06 00 01 00 88 13 00 01", Rejection::MalformedAsdu},
        {"68 08 00 00 00 00 2d 01 06 00", Rejection::MalformedAsdu}, // header cut short
        {"16 04 07 00 00 00", Rejection::BadStartByte},
        {"68 04 0f 00 00 00", Rejection::BadControlField}, // STARTDT act and con at once
        {"68 04 00 00 00 00", Rejection::BadLength},       // I-frame without ASDU
        {"68 04 01 00 02 00", Rejection::BadAck},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.octets);
        const uint64_t before = server.counters()[c.reason];
        RawPeer peer(server.port());
        start_raw(peer, server);
        peer.send(hex(c.octets));
        EXPECT_TRUE(peer.wait_closed(server));
        EXPECT_EQ(before + 1, server.counters()[c.reason]);
        for (int i = 0; i < 100 && server.open_connections(); ++i)
            server.tick();
        EXPECT_EQ(0u, server.open_connections());
    }
}

TEST(Iec104Server, SequenceNumbersWrapAt32768)
{
    ServerSettings settings = local_settings();
    settings.low_priority_queue_size = 64;
    Server server(settings);
    ASSERT_TRUE(server.start());
    Client client;
    size_t spontaneous = 0, confirmations = 0;
    bool in_order = true;
    client.set_asdu_handler([&](const Asdu &a) {
        if (a.header.type == TypeId::M_ME_NB_1)
            in_order &= std::get<ScaledValue>(a.objects[0].element).value == static_cast<int16_t>(spontaneous++);
        else if (a.header.type == TypeId::C_TS_TA_1)
            in_order &= std::get<TestCommandWithTime>(a.objects[0].element).counter ==
                        static_cast<uint16_t>(confirmations++);
    });
    ASSERT_TRUE(client.connect("127.0.0.1", server.port()));
    client.start_dt();
    ASSERT_TRUE(run_until(server, client, [&] { return client.started(); }));

    // Both directions go past 32768 I-frames.
    const size_t total = 33000;
    size_t queued = 0, requested = 0;
    const Cp56Time2a t = to_cp56(std::chrono::system_clock::now());
    const auto deadline = Clock::now() + 60s;
    while ((spontaneous < total || confirmations < total) && Clock::now() < deadline) {
        while (queued < total && server.queue_size() < 32) {
            Asdu a;
            a.header = {TypeId::M_ME_NB_1, false, 1, Cause::Spontaneous, false, false, 0, 1};
            a.objects.push_back({110, ScaledValue{static_cast<int16_t>(queued++), 0}});
            server.enqueue_asdu(a);
        }
        while (requested < total && client.send_test_command(1, static_cast<uint16_t>(requested), t))
            ++requested;
        server.tick();
        client.tick();
    }
    EXPECT_EQ(total, spontaneous);
    EXPECT_EQ(total, confirmations);
    EXPECT_TRUE(in_order);
    EXPECT_EQ(0u, server.counters().total_rejected());
    EXPECT_EQ(0u, client.counters().total_rejected() - client.counters()[Rejection::HighPriorityQueueFull]);
    const ServerConnection *conn = server.connection(server.connection_ids().at(0));
    ASSERT_NE(nullptr, conn);
    EXPECT_EQ((2 * total) % 32768, conn->session().send_seq());
    EXPECT_EQ(total % 32768, conn->session().recv_seq());
}

TEST(Iec104Server, LowPriorityQueueKeepsTheNewestAndLogsOncePerOverflow)
{
    ServerSettings settings = local_settings();
    settings.low_priority_queue_size = 4;
    Server server(settings);
    std::vector<std::string> log;
    server.set_log_handler([&log](LogLevel level, const std::string &text) {
        if (level == LogLevel::Warning)
            log.push_back(text);
    });
    ASSERT_TRUE(server.start());
    for (int i = 0; i < 10; ++i) // nobody connected: the queue overflows
        ASSERT_TRUE(server.enqueue_asdu(float_asdu(Cause::Spontaneous, 1, 1, static_cast<float>(i))));
    EXPECT_EQ(4u, server.queue_size());
    EXPECT_EQ(6u, server.counters()[Rejection::LowPriorityQueueFull]);
    EXPECT_EQ(1u, log.size());

    Client client;
    Received got;
    got.attach(client);
    ASSERT_TRUE(client.connect("127.0.0.1", server.port()));
    client.start_dt();
    ASSERT_TRUE(run_until(server, client, [&] { return got.asdus.size() == 4; }));
    EXPECT_FLOAT_EQ(6.0f, std::get<ShortFloat>(got.asdus[0].objects[0].element).value);
    EXPECT_FLOAT_EQ(9.0f, std::get<ShortFloat>(got.asdus[3].objects[0].element).value);
    // Drained: the next overflow is worth a new line.
    client.close();
    ASSERT_TRUE(run_until(server, client, [&] { return server.open_connections() == 0; }));
    for (int i = 0; i < 5; ++i)
        server.enqueue_asdu(float_asdu(Cause::Spontaneous, 1, 1));
    EXPECT_EQ(2u, log.size());
}

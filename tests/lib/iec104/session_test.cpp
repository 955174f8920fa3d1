// The link layer alone: octets in, octets out, time passed in. Timer behaviour is checked at the
// instant it is due and one millisecond before.
#include <gtest/gtest.h>

#include "iec104/session.h"
#include "test_util.h"

using namespace iec104;
using namespace std::chrono_literals;
using iec104test::Bytes;
using iec104test::hex;
using iec104test::i_frame;
using iec104test::s_frame;
using iec104test::to_hex;

namespace {

struct Recorder : SessionUser {
    std::vector<Bytes> asdus;
    std::vector<Rejection> rejections;
    int started = 0, stopped = 0;
    void on_asdu(std::span<const uint8_t> a) override { asdus.emplace_back(a.begin(), a.end()); }
    void on_started() override { ++started; }
    void on_stopped() override { ++stopped; }
    void on_rejection(Rejection r, const char *) override { rejections.push_back(r); }
};

const Bytes kAsdu = hex("0b 01 03 00 01 00 6e 00 00 05 00 00");

ApciParameters params(uint16_t k = 12, uint16_t w = 8)
{
    ApciParameters p;
    p.k = k;
    p.w = w;
    p.t1 = 15s;
    p.t2 = 10s;
    p.t3 = 20s;
    return p;
}

// Takes everything the session produced, as hex.
std::string drain(Session &s)
{
    const std::string out = to_hex(s.output());
    s.consume_output(s.output().size());
    return out;
}

struct Iec104ControlledSession : ::testing::Test {
    TimePoint t0{};
    Recorder user;
    Session s{Role::ControlledStation, params(3, 2), user, t0};

    void start()
    {
        s.receive(hex("68 04 07 00 00 00"), t0);
        ASSERT_EQ("68 04 0b 00 00 00", drain(s));
    }
};

} // namespace

TEST_F(Iec104ControlledSession, StartDtConfirmedAndOnlyThenData)
{
    EXPECT_FALSE(s.can_send());
    EXPECT_FALSE(s.send_asdu(kAsdu, t0));
    start();
    EXPECT_EQ(1, user.started);
    ASSERT_TRUE(s.send_asdu(kAsdu, t0));
    EXPECT_EQ("68 10 00 00 00 00 0b 01 03 00 01 00 6e 00 00 05 00 00", drain(s));
}

TEST_F(Iec104ControlledSession, IFramesBeforeStartDtAreCountedNotDelivered)
{
    s.receive(i_frame(0, 0, kAsdu), t0);
    EXPECT_TRUE(user.asdus.empty());
    ASSERT_EQ(1u, user.rejections.size());
    EXPECT_EQ(Rejection::AsduWhileStopped, user.rejections[0]);
    start();
    s.receive(i_frame(1, 0, kAsdu), t0); // the sequence went on regardless
    EXPECT_EQ(1u, user.asdus.size());
    EXPECT_FALSE(s.closed());
}

TEST_F(Iec104ControlledSession, AcknowledgesAfterWFramesOrWhenT2Expires)
{
    start();
    s.receive(i_frame(0, 0, kAsdu), t0);
    EXPECT_EQ("", drain(s));
    s.receive(i_frame(1, 0, kAsdu), t0); // w = 2
    EXPECT_EQ("68 04 01 00 04 00", drain(s));

    const TimePoint t = t0 + 1s;
    s.receive(i_frame(2, 0, kAsdu), t);
    ASSERT_TRUE(s.next_deadline().has_value());
    EXPECT_EQ(t + 10s, *s.next_deadline());
    s.tick(t + 10s - 1ms);
    EXPECT_EQ("", drain(s));
    s.tick(t + 10s);
    EXPECT_EQ("68 04 01 00 06 00", drain(s));

    // An I-frame of ours carries the acknowledgement: no S-frame at t2 after it.
    s.receive(i_frame(3, 0, kAsdu), t);
    ASSERT_TRUE(s.send_asdu(kAsdu, t));
    drain(s);
    s.tick(t + 11s);
    EXPECT_EQ("", drain(s));
    EXPECT_EQ(4u, user.asdus.size());
}

TEST_F(Iec104ControlledSession, T3IdleSendsTestFramesAndT1ClosesWhenUnanswered)
{
    start();
    s.tick(t0 + 20s - 1ms);
    EXPECT_EQ("", drain(s));
    s.tick(t0 + 20s);
    EXPECT_EQ("68 04 43 00 00 00", drain(s));
    s.receive(hex("68 04 83 00 00 00"), t0 + 21s);
    s.tick(t0 + 40s); // idle counted again from the confirmation
    EXPECT_EQ("", drain(s));
    s.tick(t0 + 41s);
    EXPECT_EQ("68 04 43 00 00 00", drain(s));
    s.tick(t0 + 56s - 1ms);
    EXPECT_FALSE(s.closed());
    s.tick(t0 + 56s);
    EXPECT_EQ(Rejection::T1Timeout, s.close_reason());
}

TEST_F(Iec104ControlledSession, StopDtConfirmedOnceOurFramesAreAcknowledged)
{
    start();
    s.receive(i_frame(0, 0, kAsdu), t0);
    ASSERT_TRUE(s.send_asdu(kAsdu, t0));
    ASSERT_TRUE(s.send_asdu(kAsdu, t0));
    s.receive(i_frame(1, 0, kAsdu), t0);
    drain(s);
    s.receive(hex("68 04 13 00 00 00"), t0);
    EXPECT_EQ(1, user.stopped);
    EXPECT_FALSE(s.can_send());
    // The received frame is acknowledged at once; the confirmation waits for our two frames.
    EXPECT_EQ("68 04 01 00 04 00", drain(s));
    s.receive(s_frame(1), t0);
    EXPECT_EQ("", drain(s));
    s.receive(s_frame(2), t0);
    EXPECT_EQ("68 04 23 00 00 00", drain(s));
    s.receive(hex("68 04 07 00 00 00"), t0);
    EXPECT_EQ("68 04 0b 00 00 00", drain(s));
    EXPECT_TRUE(s.can_send());
}

TEST_F(Iec104ControlledSession, UnexpectedConfirmationsAreCountedNotFatal)
{
    s.receive(hex("68 04 0b 00 00 00 68 04 83 00 00 00 68 04 23 00 00 00"), t0);
    EXPECT_FALSE(s.closed());
    EXPECT_EQ((std::vector<Rejection>{Rejection::UnexpectedUFrame, Rejection::UnexpectedUFrame,
                                      Rejection::UnexpectedUFrame}),
              user.rejections);
}

TEST_F(Iec104ControlledSession, PeerThatDoesNotReadIsDroppedInsteadOfBuffered)
{
    Bytes tests;
    for (int i = 0; i < 1000; ++i)
        for (uint8_t b : hex("68 04 43 00 00 00"))
            tests.push_back(b);
    for (int i = 0; i < 20 && !s.closed(); ++i)
        s.receive(tests, t0);
    EXPECT_TRUE(s.closed());
    EXPECT_EQ(Rejection::OutputOverflow, s.close_reason());
    EXPECT_LE(s.output().size(), Session::kOutputLimit);
}

TEST(Iec104Session, ControllingStationStartAndStop)
{
    const TimePoint t0{};
    Recorder user;
    Session c(Role::ControllingStation, params(), user, t0);
    c.request_start(t0);
    EXPECT_EQ("68 04 07 00 00 00", drain(c));
    c.receive(hex("68 04 0b 00 00 00"), t0 + 1s);
    EXPECT_TRUE(c.started());
    EXPECT_EQ(1, user.started);
    c.request_stop(t0 + 2s);
    EXPECT_EQ("68 04 13 00 00 00", drain(c));
    EXPECT_FALSE(c.can_send());
    c.receive(hex("68 04 23 00 00 00"), t0 + 3s);
    EXPECT_FALSE(c.started());

    Recorder lonely;
    Session unanswered(Role::ControllingStation, params(), lonely, t0);
    unanswered.request_start(t0);
    unanswered.tick(t0 + 15s);
    EXPECT_EQ(Rejection::T1Timeout, unanswered.close_reason());
}

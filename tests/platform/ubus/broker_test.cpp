// The bus logic without sockets: routing of events, calls, replies and notifications between
// clients, and what happens to each when an object or a client goes away.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <libubox/blobmsg.h>
#include <libubus.h>

#include "broker.h"

using namespace fb::bus;

namespace {

struct Sent {
    uint32_t client;
    Header h;
    std::vector<uint8_t> payload;
    Fields f;
};

class Recorder : public Outbox {
public:
    void send(uint32_t client, const Header &h, const SharedBytes &payload) override
    {
        sent.push_back({client, h, std::vector<uint8_t>(payload.data(), payload.data() + payload.size()), {}});
    }
    // Frames for one client, in order, with their fields parsed.
    std::vector<Sent> to(uint32_t client)
    {
        std::vector<Sent> out;
        for (const Sent &s : sent)
            if (s.client == client)
                out.push_back(s);
        for (Sent &s : out) {
            EXPECT_EQ(parse_fields(s.payload.data(), s.payload.size(), s.f), FrameError::None);
        }
        return out;
    }
    std::vector<Sent> take(uint32_t client)
    {
        auto out = to(client);
        std::erase_if(sent, [&](const Sent &s) { return s.client == client; });
        return out;
    }
    std::vector<Sent> sent;
};

std::vector<uint8_t> body_with(const char *key, uint32_t value)
{
    blob_buf b{};
    blob_buf_init(&b, 0);
    blobmsg_add_u32(&b, key, value);
    std::vector<uint8_t> out(reinterpret_cast<uint8_t *>(b.head),
                             reinterpret_cast<uint8_t *>(b.head) + blob_pad_len(b.head));
    blob_buf_free(&b);
    return out;
}

uint32_t body_u32(const Sent &s, const char *key)
{
    const Fields::Span &sp = s.f.get(Tag::Body);
    if (!sp.present())
        return 0xffffffff;
    auto *body = reinterpret_cast<blob_attr *>(const_cast<uint8_t *>(sp.data));
    blobmsg_policy p{key, BLOBMSG_TYPE_INT32};
    blob_attr *tb = nullptr;
    blobmsg_parse(&p, 1, &tb, blob_data(body), blob_len(body));
    return tb ? blobmsg_get_u32(tb) : 0xffffffff;
}

class BrokerTest : public ::testing::Test {
protected:
    uint32_t client()
    {
        uint32_t id = broker.connect();
        broker.welcome(id);
        out.take(id);
        return id;
    }
    FrameError feed(uint32_t client, FrameWriter &w)
    {
        auto &frame = w.finish();
        return broker.handle(client, frame.data(), frame.size());
    }
    int status_of(uint32_t client)
    {
        auto frames = out.take(client);
        EXPECT_FALSE(frames.empty());
        if (frames.empty())
            return -1;
        EXPECT_EQ(frames.back().h.kind, Kind::Status);
        return static_cast<int>(frames.back().f.u32(Tag::Status));
    }
    // Adds an object and returns its id (0 on failure).
    uint32_t add(uint32_t c, ObjectKind kind, const char *path = nullptr)
    {
        FrameWriter w(Kind::AddObject, 1, 0);
        w.u32(Tag::ObjectKind, static_cast<uint32_t>(kind));
        if (path)
            w.text(Tag::Path, path);
        EXPECT_EQ(feed(c, w), FrameError::None);
        auto frames = out.take(c);
        if (frames.size() != 1 || frames[0].f.u32(Tag::Status) != UBUS_STATUS_OK)
            return 0;
        return frames[0].f.u32(Tag::ObjectId);
    }
    uint32_t listen(uint32_t c, const char *pattern, uint32_t handler = 0)
    {
        if (!handler)
            handler = add(c, ObjectKind::EventHandler);
        FrameWriter w(Kind::RegisterEvent, 2, handler);
        w.text(Tag::Pattern, pattern);
        EXPECT_EQ(feed(c, w), FrameError::None);
        EXPECT_EQ(status_of(c), UBUS_STATUS_OK);
        return handler;
    }
    void send_event(uint32_t c, const char *type, uint32_t n)
    {
        auto body = body_with("n", n);
        FrameWriter w(Kind::SendEvent, 0, 0);
        w.text(Tag::EventType, type).bytes(Tag::Body, body.data(), body.size());
        EXPECT_EQ(feed(c, w), FrameError::None);
    }

    Recorder out;
    Broker broker{out, 12345};
};

} // namespace

TEST_F(BrokerTest, GreetsEachClientWithItsOwnId)
{
    uint32_t a = broker.connect();
    uint32_t b = broker.connect();
    EXPECT_NE(a, b);
    broker.welcome(a);
    auto frames = out.take(a);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].h.kind, Kind::Hello);
    EXPECT_EQ(frames[0].h.peer, a);
    EXPECT_EQ(frames[0].f.u32(Tag::MaxBody), kMaxMessageBody);
}

TEST_F(BrokerTest, EventsReachExactAndPrefixListenersOnly)
{
    uint32_t sender = client(), exact = client(), prefix = client(), all = client(), other = client();
    uint32_t h_exact = listen(exact, "mb_read_data");
    uint32_t h_prefix = listen(prefix, "mb_*");
    listen(all, "*");
    listen(other, "mb_read");
    send_event(sender, "mb_read_data", 5);

    auto e = out.take(exact);
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].h.kind, Kind::Event);
    EXPECT_EQ(e[0].h.peer, h_exact);
    EXPECT_STREQ(e[0].f.text(Tag::EventType), "mb_read_data");
    EXPECT_EQ(body_u32(e[0], "n"), 5u);
    auto p = out.take(prefix);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0].h.peer, h_prefix);
    EXPECT_EQ(out.take(all).size(), 1u);
    EXPECT_TRUE(out.take(other).empty());
    EXPECT_TRUE(out.take(sender).empty()); // no status unless asked for
}

TEST_F(BrokerTest, AHandlerWithTwoMatchingPatternsGetsOneCopy)
{
    uint32_t sender = client(), l = client();
    uint32_t h = listen(l, "mb_read_data");
    listen(l, "mb_*", h);
    listen(l, "mb_*", h); // registering the same pattern again changes nothing
    EXPECT_EQ(broker.pattern_count(), 2u);
    send_event(sender, "mb_read_data", 1);
    EXPECT_EQ(out.take(l).size(), 1u);
}

TEST_F(BrokerTest, EventWithoutBodyArrivesWithAnEmptyTable)
{
    uint32_t s = client(), l = client();
    listen(l, "bare");
    FrameWriter w(Kind::SendEvent, 3, 0, WantStatus);
    w.text(Tag::EventType, "bare");
    ASSERT_EQ(feed(s, w), FrameError::None);
    EXPECT_EQ(status_of(s), UBUS_STATUS_OK);
    auto e = out.take(l);
    ASSERT_EQ(e.size(), 1u);
    ASSERT_TRUE(e[0].f.has(Tag::Body));
    EXPECT_EQ(e[0].f.get(Tag::Body).len, 4u);
}

TEST_F(BrokerTest, ObjectPathsAreUniqueAndFoundByLookup)
{
    uint32_t a = client(), b = client();
    EXPECT_NE(add(a, ObjectKind::Plain, "eventd"), 0u);
    EXPECT_NE(add(a, ObjectKind::Plain, "network.interface.lan"), 0u);
    EXPECT_NE(add(b, ObjectKind::Plain, "network.interface.wan"), 0u);
    EXPECT_EQ(add(b, ObjectKind::Plain, "eventd"), 0u);
    EXPECT_EQ(add(b, ObjectKind::Plain), 0u);                  // a plain object needs a path
    EXPECT_EQ(add(b, ObjectKind::Subscriber, "named"), 0u);    // an anonymous one may not have one

    auto lookup = [&](const char *path) {
        FrameWriter w(Kind::Lookup, 9, 0);
        if (path)
            w.text(Tag::Path, path);
        EXPECT_EQ(feed(b, w), FrameError::None);
        std::vector<std::string> paths;
        auto frames = out.take(b);
        for (const Sent &s : frames)
            if (s.h.kind == Kind::Data)
                paths.push_back(s.f.text(Tag::Path));
        paths.push_back("status=" + std::to_string(frames.back().f.u32(Tag::Status)));
        return paths;
    };
    EXPECT_EQ(lookup("eventd"), (std::vector<std::string>{"eventd", "status=0"}));
    EXPECT_EQ(lookup("network.*"),
              (std::vector<std::string>{"network.interface.lan", "network.interface.wan", "status=0"}));
    EXPECT_EQ(lookup(nullptr).size(), 4u);
    EXPECT_EQ(lookup("network"), (std::vector<std::string>{"status=4"}));
    EXPECT_EQ(lookup("smsd*"), (std::vector<std::string>{"status=4"}));
}

TEST_F(BrokerTest, CallsAreRoutedToTheOwnerAndAnsweredBack)
{
    uint32_t owner = client(), caller = client(), stranger = client();
    uint32_t obj = add(owner, ObjectKind::Plain, "smsd");

    FrameWriter call(Kind::Invoke, 42, obj);
    auto body = body_with("x", 7);
    call.text(Tag::Method, "sendsms").bytes(Tag::Body, body.data(), body.size());
    ASSERT_EQ(feed(caller, call), FrameError::None);
    auto in = out.take(owner);
    ASSERT_EQ(in.size(), 1u);
    EXPECT_EQ(in[0].h.kind, Kind::Invoke);
    EXPECT_EQ(in[0].h.peer, obj);
    EXPECT_EQ(in[0].h.seq, 42);
    EXPECT_EQ(in[0].f.u32(Tag::ClientId), caller);
    EXPECT_STREQ(in[0].f.text(Tag::Method), "sendsms");
    EXPECT_EQ(body_u32(in[0], "x"), 7u);

    // Someone else cannot answer in the owner's place.
    FrameWriter fake(Kind::ReplyStatus, 42, caller);
    fake.u32(Tag::Status, 0);
    ASSERT_EQ(feed(stranger, fake), FrameError::None);
    EXPECT_TRUE(out.take(caller).empty());

    auto reply_body = body_with("result", 1);
    FrameWriter reply(Kind::Reply, 42, caller);
    reply.bytes(Tag::Body, reply_body.data(), reply_body.size());
    ASSERT_EQ(feed(owner, reply), FrameError::None);
    FrameWriter done(Kind::ReplyStatus, 42, caller);
    done.u32(Tag::Status, UBUS_STATUS_INVALID_ARGUMENT);
    ASSERT_EQ(feed(owner, done), FrameError::None);
    auto back = out.take(caller);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].h.kind, Kind::Data);
    EXPECT_EQ(body_u32(back[0], "result"), 1u);
    EXPECT_EQ(back[1].h.kind, Kind::Status);
    EXPECT_EQ(back[1].f.u32(Tag::Status), static_cast<uint32_t>(UBUS_STATUS_INVALID_ARGUMENT));

    // The call is closed: a second status is not passed on.
    ASSERT_EQ(feed(owner, done), FrameError::None);
    EXPECT_TRUE(out.take(caller).empty());
}

TEST_F(BrokerTest, CallersAreToldWhenTheOwnerGoesAway)
{
    uint32_t owner = client(), caller = client();
    uint32_t obj = add(owner, ObjectKind::Plain, "digital_io");
    FrameWriter call(Kind::Invoke, 5, obj);
    call.text(Tag::Method, "do");
    ASSERT_EQ(feed(caller, call), FrameError::None);
    broker.disconnect(owner);
    EXPECT_EQ(status_of(caller), UBUS_STATUS_NOT_FOUND);
    EXPECT_EQ(broker.object_count(), 0u);

    FrameWriter again(Kind::Invoke, 6, obj);
    again.text(Tag::Method, "do");
    ASSERT_EQ(feed(caller, again), FrameError::None);
    EXPECT_EQ(status_of(caller), UBUS_STATUS_NOT_FOUND);
}

TEST_F(BrokerTest, OpenCallsPerCallerAreBounded)
{
    uint32_t owner = client(), caller = client();
    uint32_t obj = add(owner, ObjectKind::Plain, "slow");
    for (uint16_t seq = 1; seq <= Broker::kMaxOpenCallsPerClient + 5; ++seq) {
        FrameWriter call(Kind::Invoke, seq, obj);
        call.text(Tag::Method, "m");
        ASSERT_EQ(feed(caller, call), FrameError::None);
    }
    EXPECT_EQ(broker.counters().calls_abandoned, 5u);
    // The oldest calls were forgotten: their late answers go nowhere, a recent one still arrives.
    FrameWriter old_answer(Kind::ReplyStatus, 1, caller);
    old_answer.u32(Tag::Status, 0);
    ASSERT_EQ(feed(owner, old_answer), FrameError::None);
    EXPECT_TRUE(out.take(caller).empty());
    FrameWriter new_answer(Kind::ReplyStatus, Broker::kMaxOpenCallsPerClient + 5, caller);
    new_answer.u32(Tag::Status, 0);
    ASSERT_EQ(feed(owner, new_answer), FrameError::None);
    EXPECT_EQ(status_of(caller), UBUS_STATUS_OK);
}

TEST_F(BrokerTest, SubscribersGetNotificationsAndLearnWhenTheObjectGoes)
{
    uint32_t owner = client(), watcher = client();
    uint32_t obj = add(owner, ObjectKind::Plain, "eventd");
    uint32_t sub = add(watcher, ObjectKind::Subscriber);

    FrameWriter s(Kind::Subscribe, 3, sub);
    s.u32(Tag::Target, obj);
    ASSERT_EQ(feed(watcher, s), FrameError::None);
    EXPECT_EQ(status_of(watcher), UBUS_STATUS_OK);
    auto changed = out.take(owner);
    ASSERT_EQ(changed.size(), 1u);
    EXPECT_EQ(changed[0].h.kind, Kind::SubscribersChanged);
    EXPECT_EQ(changed[0].f.u32(Tag::Active), 1u);

    auto body = body_with("level", 3);
    FrameWriter n(Kind::Notify, 0, obj);
    n.text(Tag::Method, "event").bytes(Tag::Body, body.data(), body.size());
    ASSERT_EQ(feed(owner, n), FrameError::None);
    EXPECT_TRUE(out.to(owner).empty()); // fire and forget
    auto got = out.take(watcher);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].h.kind, Kind::Notify);
    EXPECT_EQ(got[0].h.peer, sub);
    EXPECT_EQ(got[0].f.u32(Tag::Target), obj);
    EXPECT_STREQ(got[0].f.text(Tag::Method), "event");
    EXPECT_EQ(body_u32(got[0], "level"), 3u);

    FrameWriter rm(Kind::RemoveObject, 4, obj);
    ASSERT_EQ(feed(owner, rm), FrameError::None);
    EXPECT_EQ(status_of(owner), UBUS_STATUS_OK);
    auto gone = out.take(watcher);
    ASSERT_EQ(gone.size(), 1u);
    EXPECT_EQ(gone[0].h.kind, Kind::ObjectGone);
    EXPECT_EQ(gone[0].h.peer, sub);
    EXPECT_EQ(gone[0].f.u32(Tag::Target), obj);
}

TEST_F(BrokerTest, OwnerLearnsWhenItsLastSubscriberLeaves)
{
    uint32_t owner = client(), w1 = client(), w2 = client();
    uint32_t obj = add(owner, ObjectKind::Plain, "eventd");
    uint32_t s1 = add(w1, ObjectKind::Subscriber), s2 = add(w2, ObjectKind::Subscriber);
    for (auto [c, s] : {std::pair{w1, s1}, std::pair{w2, s2}}) {
        FrameWriter f(Kind::Subscribe, 1, s);
        f.u32(Tag::Target, obj);
        ASSERT_EQ(feed(c, f), FrameError::None);
        EXPECT_EQ(status_of(c), UBUS_STATUS_OK);
    }
    EXPECT_EQ(out.take(owner).size(), 1u); // only the first subscriber changes anything

    FrameWriter u(Kind::Unsubscribe, 2, s1);
    u.u32(Tag::Target, obj);
    ASSERT_EQ(feed(w1, u), FrameError::None);
    EXPECT_EQ(status_of(w1), UBUS_STATUS_OK);
    EXPECT_TRUE(out.take(owner).empty());

    broker.disconnect(w2);
    auto changed = out.take(owner);
    ASSERT_EQ(changed.size(), 1u);
    EXPECT_EQ(changed[0].f.u32(Tag::Active), 0u);
}

TEST_F(BrokerTest, ClientsActOnlyOnTheirOwnObjects)
{
    uint32_t a = client(), b = client();
    uint32_t obj = add(a, ObjectKind::Plain, "eventd");
    uint32_t handler = add(a, ObjectKind::EventHandler);

    FrameWriter rm(Kind::RemoveObject, 1, obj);
    ASSERT_EQ(feed(b, rm), FrameError::None);
    EXPECT_EQ(status_of(b), UBUS_STATUS_NOT_FOUND);

    FrameWriter reg(Kind::RegisterEvent, 2, handler);
    reg.text(Tag::Pattern, "*");
    ASSERT_EQ(feed(b, reg), FrameError::None);
    EXPECT_EQ(status_of(b), UBUS_STATUS_NOT_FOUND);

    FrameWriter reg_plain(Kind::RegisterEvent, 3, obj);
    reg_plain.text(Tag::Pattern, "*");
    ASSERT_EQ(feed(a, reg_plain), FrameError::None);
    EXPECT_EQ(status_of(a), UBUS_STATUS_INVALID_ARGUMENT);

    FrameWriter notify(Kind::Notify, 4, obj, WantStatus);
    notify.text(Tag::Method, "event");
    ASSERT_EQ(feed(b, notify), FrameError::None);
    EXPECT_EQ(status_of(b), UBUS_STATUS_NOT_FOUND);
    EXPECT_EQ(broker.object_count(), 2u);
}

TEST_F(BrokerTest, DisconnectRemovesPatternsAndObjects)
{
    uint32_t sender = client(), l = client();
    listen(l, "*");
    add(l, ObjectKind::Plain, "eventd");
    broker.disconnect(l);
    EXPECT_EQ(broker.pattern_count(), 0u);
    EXPECT_EQ(broker.object_count(), 0u);
    send_event(sender, "x", 1);
    EXPECT_TRUE(out.sent.empty());
    // The path is free again for the next owner.
    EXPECT_NE(add(sender, ObjectKind::Plain, "eventd"), 0u);
}

TEST_F(BrokerTest, MalformedFramesAreReportedAndNotActedOn)
{
    uint32_t c = client(), l = client();
    listen(l, "*");
    std::vector<uint8_t> frame = FrameWriter(Kind::SendEvent, 0, 0).text(Tag::EventType, "ev").finish();
    frame[kHeaderSize + 8] = 0xff; // overwrite the start of the type with a byte that breaks nothing...
    frame[kHeaderSize + 4] = 9;    // ...but claim a value longer than the frame
    EXPECT_EQ(broker.handle(c, frame.data(), frame.size()), FrameError::FieldOverrun);
    EXPECT_TRUE(out.take(l).empty());

    std::vector<uint8_t> status = FrameWriter(Kind::Status, 0, 0).u32(Tag::Status, 0).finish();
    EXPECT_EQ(broker.handle(c, status.data(), status.size()), FrameError::UnknownKind);
    EXPECT_EQ(broker.counters().frames_in, 0u + 2u); // only the two listen() registrations counted
}

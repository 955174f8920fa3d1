// The bus itself, without sockets: clients, their objects, event patterns, pending calls and
// subscriptions. The server feeds it one validated frame at a time and it answers by handing
// frames to an Outbox. Nothing here blocks or touches a descriptor, so tests drive it directly.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "shared_bytes.h"
#include "wire.h"

namespace fb::bus {

class Outbox {
public:
    virtual ~Outbox() = default;
    // Queues one frame for a client: its own header and a payload that may be shared with other
    // recipients. Must not call back into the Broker.
    virtual void send(uint32_t client, const Header &h, const SharedBytes &payload) = 0;
};

struct BrokerCounters {
    uint64_t frames_in = 0;
    uint64_t events_in = 0;
    uint64_t events_delivered = 0;
    uint64_t invokes = 0;
    uint64_t notifications_delivered = 0;
    uint64_t calls_abandoned = 0; // entries dropped because a caller had too many open calls
};

class Broker {
public:
    // A caller rarely has more than one call open; more only remain after timeouts whose answers
    // never came. The oldest is forgotten past this many.
    static constexpr std::size_t kMaxOpenCallsPerClient = 32;

    explicit Broker(Outbox &out, uint32_t seed = 0x6b8b4567u);

    // A new connection: returns its client id. welcome() then queues the Hello frame, once the
    // caller can route frames to that id.
    uint32_t connect();
    void welcome(uint32_t client);
    // The connection is gone: its objects disappear (subscribers are told), its patterns and
    // subscriptions go, and callers waiting on its objects get a NOT_FOUND status.
    void disconnect(uint32_t client);
    // One complete frame from a client. A malformed frame is not acted on and its error is
    // returned; the caller then drops the client.
    FrameError handle(uint32_t client, const uint8_t *frame, std::size_t len);

    std::size_t client_count() const { return clients_.size(); }
    std::size_t object_count() const { return objects_.size(); }
    std::size_t pattern_count() const { return patterns_.size(); }
    const BrokerCounters &counters() const { return counters_; }

private:
    struct OpenCall {
        uint16_t seq;
        uint32_t owner;
        uint32_t object;
    };
    struct Client {
        uint32_t id = 0;
        std::vector<uint32_t> objects;
        std::vector<OpenCall> calls; // calls this client made that are not answered yet
    };
    struct SubscriberRef {
        uint32_t client;
        uint32_t object;
    };
    struct Object {
        uint32_t id = 0;
        uint32_t owner = 0;
        uint32_t type_id = 0;
        ObjectKind kind = ObjectKind::Plain;
        std::string path;
        std::vector<uint8_t> signature;
        std::vector<SubscriberRef> subscribers;
    };
    struct Pattern {
        std::string text; // without the trailing '*' when prefix
        bool prefix = false;
        uint32_t object = 0;
        uint32_t client = 0;
    };

    uint32_t new_id();
    void status(uint32_t client, uint16_t seq, int code, uint32_t object_id = 0, uint32_t type_id = 0);
    void send_fields(uint32_t client, Kind kind, uint16_t seq, uint32_t peer, const FieldWriter &w);
    Object *owned_object(uint32_t client, uint32_t id);

    void on_lookup(Client &c, const Header &h, const Fields &f);
    void on_add_object(Client &c, const Header &h, const Fields &f);
    void on_remove_object(Client &c, const Header &h);
    void on_invoke(Client &c, const Header &h, const Fields &f, const uint8_t *payload);
    void on_reply(Client &c, const Header &h, const Fields &f);
    void on_subscribe(Client &c, const Header &h, const Fields &f, bool subscribe);
    void on_notify(Client &c, const Header &h, const Fields &f);
    void on_send_event(Client &c, const Header &h, const Fields &f, const uint8_t *payload);
    void on_register_event(Client &c, const Header &h, const Fields &f);

    // Removes an object and everything that refers to it; tells subscribers and waiting callers.
    void remove_object(uint32_t id);
    // Removes subscriber object `sub` from every object it watches.
    void drop_subscriptions_of(uint32_t sub);
    void set_subscribers_changed(Object &target, bool was_active);

    Outbox &out_;
    uint32_t rng_;
    std::unordered_map<uint32_t, Client> clients_;
    std::unordered_map<uint32_t, Object> objects_;
    std::map<std::string, uint32_t, std::less<>> paths_;
    std::vector<Pattern> patterns_;
    std::vector<uint32_t> seen_; // scratch for delivering an event once per handler
    BrokerCounters counters_;
};

} // namespace fb::bus

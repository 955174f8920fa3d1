#include "broker.h"

#include <algorithm>

#include <libubus.h>

namespace fb::bus {

namespace {

// The body handed on when a sender gave none: an empty table, so every receiver gets a container.
constexpr uint8_t kEmptyTable[4] = {BLOBMSG_TYPE_TABLE, 0, 0, 4};

// Registrations a single client may hold; far above what any service needs, low enough that one
// client cannot grow the daemon without bound.
constexpr std::size_t kMaxObjectsPerClient = 1024;
constexpr std::size_t kMaxPatternsPerClient = 1024;

bool pattern_matches(const std::string &text, bool prefix, std::string_view type)
{
    if (prefix)
        return type.substr(0, text.size()) == text;
    return type == text;
}

} // namespace

Broker::Broker(Outbox &out, uint32_t seed) : out_(out), rng_(seed ? seed : 1) {}

uint32_t Broker::new_id()
{
    for (;;) {
        // xorshift32: ids look random, so a stale id from before a restart rarely names a new object
        rng_ ^= rng_ << 13;
        rng_ ^= rng_ >> 17;
        rng_ ^= rng_ << 5;
        uint32_t id = rng_;
        if (id != 0 && !clients_.count(id) && !objects_.count(id))
            return id;
    }
}

void Broker::send_fields(uint32_t client, Kind kind, uint16_t seq, uint32_t peer, const FieldWriter &w)
{
    Header h;
    h.kind = kind;
    h.seq = seq;
    h.peer = peer;
    h.length = static_cast<uint32_t>(w.size());
    out_.send(client, h, SharedBytes::copy_of(w.buffer().data(), w.size()));
}

void Broker::status(uint32_t client, uint16_t seq, int code, uint32_t object_id, uint32_t type_id)
{
    FieldWriter w;
    w.u32(Tag::Status, static_cast<uint32_t>(code));
    if (object_id) {
        w.u32(Tag::ObjectId, object_id);
        w.u32(Tag::TypeId, type_id);
    }
    send_fields(client, Kind::Status, seq, 0, w);
}

uint32_t Broker::connect()
{
    uint32_t id = new_id();
    Client &c = clients_[id];
    c.id = id;
    return id;
}

void Broker::welcome(uint32_t client)
{
    FieldWriter w;
    w.u32(Tag::Version, kProtocolVersion).u32(Tag::MaxBody, kMaxMessageBody);
    send_fields(client, Kind::Hello, 0, client, w);
}

void Broker::disconnect(uint32_t client)
{
    auto it = clients_.find(client);
    if (it == clients_.end())
        return;
    std::vector<uint32_t> objects = std::move(it->second.objects);
    clients_.erase(it);
    for (uint32_t id : objects)
        remove_object(id);
}

Broker::Object *Broker::owned_object(uint32_t client, uint32_t id)
{
    auto it = objects_.find(id);
    if (it == objects_.end() || it->second.owner != client)
        return nullptr;
    return &it->second;
}

FrameError Broker::handle(uint32_t client, const uint8_t *frame, std::size_t len)
{
    Header h;
    Fields f;
    FrameError e = validate_frame(frame, len, false, kMaxPayload, h, f);
    if (e != FrameError::None)
        return e;
    auto it = clients_.find(client);
    if (it == clients_.end())
        return FrameError::None;
    Client &c = it->second;
    ++counters_.frames_in;
    const uint8_t *payload = frame + kHeaderSize;
    switch (h.kind) {
    case Kind::Lookup: on_lookup(c, h, f); break;
    case Kind::AddObject: on_add_object(c, h, f); break;
    case Kind::RemoveObject: on_remove_object(c, h); break;
    case Kind::Invoke: on_invoke(c, h, f, payload); break;
    case Kind::Reply:
    case Kind::ReplyStatus: on_reply(c, h, f); break;
    case Kind::Subscribe: on_subscribe(c, h, f, true); break;
    case Kind::Unsubscribe: on_subscribe(c, h, f, false); break;
    case Kind::Notify: on_notify(c, h, f); break;
    case Kind::SendEvent: on_send_event(c, h, f, payload); break;
    case Kind::RegisterEvent: on_register_event(c, h, f); break;
    default: return FrameError::UnknownKind; // validate_frame admits only client kinds
    }
    return FrameError::None;
}

void Broker::on_lookup(Client &c, const Header &h, const Fields &f)
{
    std::string_view path = f.text_view(Tag::Path);
    bool all = path.empty() || path == "*";
    bool prefix = !all && path.back() == '*';
    if (prefix)
        path.remove_suffix(1);
    bool found = false;
    auto emit = [&](const Object &o) {
        FieldWriter w;
        w.u32(Tag::ObjectId, o.id).u32(Tag::TypeId, o.type_id).text(Tag::Path, o.path);
        if (!o.signature.empty())
            w.bytes(Tag::Signature, o.signature.data(), o.signature.size());
        send_fields(c.id, Kind::Data, h.seq, 0, w);
        found = true;
    };
    if (!all && !prefix) {
        auto it = paths_.find(path);
        if (it != paths_.end())
            emit(objects_.at(it->second));
    } else {
        for (auto it = paths_.lower_bound(path); it != paths_.end(); ++it) {
            if (std::string_view(it->first).substr(0, path.size()) != path)
                break;
            emit(objects_.at(it->second));
        }
    }
    status(c.id, h.seq, found || all ? UBUS_STATUS_OK : UBUS_STATUS_NOT_FOUND);
}

void Broker::on_add_object(Client &c, const Header &h, const Fields &f)
{
    uint32_t kind_value = f.u32(Tag::ObjectKind);
    if (kind_value > static_cast<uint32_t>(ObjectKind::Subscriber)) {
        status(c.id, h.seq, UBUS_STATUS_INVALID_ARGUMENT);
        return;
    }
    auto kind = static_cast<ObjectKind>(kind_value);
    std::string_view path = f.text_view(Tag::Path);
    bool named = kind == ObjectKind::Plain;
    if (named != !path.empty() || (!named && f.has(Tag::Signature))) {
        status(c.id, h.seq, UBUS_STATUS_INVALID_ARGUMENT);
        return;
    }
    if (c.objects.size() >= kMaxObjectsPerClient) {
        status(c.id, h.seq, UBUS_STATUS_NO_MEMORY);
        return;
    }
    if (named && paths_.find(path) != paths_.end()) {
        status(c.id, h.seq, UBUS_STATUS_INVALID_ARGUMENT);
        return;
    }
    uint32_t id = new_id();
    Object &o = objects_[id];
    o.id = id;
    o.owner = c.id;
    o.kind = kind;
    if (named) {
        o.path.assign(path);
        o.type_id = new_id();
        const Fields::Span &sig = f.get(Tag::Signature);
        if (sig.present())
            o.signature.assign(sig.data, sig.data + sig.len);
        paths_.emplace(o.path, id);
    }
    c.objects.push_back(id);
    status(c.id, h.seq, UBUS_STATUS_OK, id, o.type_id);
}

void Broker::on_remove_object(Client &c, const Header &h)
{
    if (!owned_object(c.id, h.peer)) {
        status(c.id, h.seq, UBUS_STATUS_NOT_FOUND);
        return;
    }
    remove_object(h.peer);
    status(c.id, h.seq, UBUS_STATUS_OK);
}

void Broker::remove_object(uint32_t id)
{
    auto it = objects_.find(id);
    if (it == objects_.end())
        return;
    Object &o = it->second;

    if (o.kind == ObjectKind::Plain) {
        FieldWriter w;
        w.u32(Tag::Target, id);
        for (const SubscriberRef &s : o.subscribers)
            send_fields(s.client, Kind::ObjectGone, 0, s.object, w);
        paths_.erase(o.path);
        // Callers waiting on this object will get no answer from it any more.
        for (auto &[cid, caller] : clients_) {
            auto &calls = caller.calls;
            for (std::size_t i = 0; i < calls.size();) {
                if (calls[i].object == id) {
                    uint16_t seq = calls[i].seq;
                    calls.erase(calls.begin() + static_cast<std::ptrdiff_t>(i));
                    status(cid, seq, UBUS_STATUS_NOT_FOUND);
                } else {
                    ++i;
                }
            }
        }
    } else if (o.kind == ObjectKind::Subscriber) {
        drop_subscriptions_of(id);
    } else {
        patterns_.erase(std::remove_if(patterns_.begin(), patterns_.end(),
                                       [id](const Pattern &p) { return p.object == id; }),
                        patterns_.end());
    }

    auto owner = clients_.find(o.owner);
    if (owner != clients_.end()) {
        auto &list = owner->second.objects;
        list.erase(std::remove(list.begin(), list.end(), id), list.end());
    }
    objects_.erase(it);
}

void Broker::set_subscribers_changed(Object &target, bool was_active)
{
    bool active = !target.subscribers.empty();
    if (active == was_active)
        return;
    FieldWriter w;
    w.u32(Tag::Active, active ? 1 : 0);
    send_fields(target.owner, Kind::SubscribersChanged, 0, target.id, w);
}

void Broker::drop_subscriptions_of(uint32_t sub)
{
    for (auto &[id, target] : objects_) {
        auto &subs = target.subscribers;
        bool was_active = !subs.empty();
        subs.erase(std::remove_if(subs.begin(), subs.end(), [sub](const SubscriberRef &s) { return s.object == sub; }),
                   subs.end());
        set_subscribers_changed(target, was_active);
    }
}

void Broker::on_invoke(Client &c, const Header &h, const Fields &f, const uint8_t *)
{
    auto it = objects_.find(h.peer);
    if (it == objects_.end() || it->second.kind != ObjectKind::Plain) {
        status(c.id, h.seq, UBUS_STATUS_NOT_FOUND);
        return;
    }
    Object &o = it->second;
    ++counters_.invokes;

    auto &calls = c.calls;
    calls.erase(std::remove_if(calls.begin(), calls.end(), [&](const OpenCall &oc) { return oc.seq == h.seq; }),
                calls.end());
    if (calls.size() >= kMaxOpenCallsPerClient) {
        calls.erase(calls.begin());
        ++counters_.calls_abandoned;
    }
    calls.push_back({h.seq, o.owner, o.id});

    FieldWriter w;
    w.u32(Tag::ClientId, c.id).text(Tag::Method, f.text_view(Tag::Method));
    const Fields::Span &body = f.get(Tag::Body);
    if (body.present())
        w.bytes(Tag::Body, body.data, body.len);
    else
        w.bytes(Tag::Body, kEmptyTable, sizeof(kEmptyTable));
    send_fields(o.owner, Kind::Invoke, h.seq, o.id, w);
}

void Broker::on_reply(Client &c, const Header &h, const Fields &f)
{
    auto caller = clients_.find(h.peer);
    if (caller == clients_.end())
        return; // the caller left; nobody waits for this answer
    auto &calls = caller->second.calls;
    auto call = std::find_if(calls.begin(), calls.end(),
                             [&](const OpenCall &oc) { return oc.seq == h.seq && oc.owner == c.id; });
    if (call == calls.end())
        return; // answered after the caller gave up, or not ours to answer
    if (h.kind == Kind::Reply) {
        FieldWriter w;
        const Fields::Span &body = f.get(Tag::Body);
        w.bytes(Tag::Body, body.data, body.len);
        send_fields(h.peer, Kind::Data, h.seq, call->object, w);
        return;
    }
    int code = static_cast<int>(f.u32(Tag::Status));
    calls.erase(call);
    status(h.peer, h.seq, code);
}

void Broker::on_subscribe(Client &c, const Header &h, const Fields &f, bool subscribe)
{
    Object *sub = owned_object(c.id, h.peer);
    if (!sub || sub->kind != ObjectKind::Subscriber) {
        status(c.id, h.seq, UBUS_STATUS_INVALID_ARGUMENT);
        return;
    }
    auto it = objects_.find(f.u32(Tag::Target));
    if (it == objects_.end() || it->second.kind != ObjectKind::Plain) {
        status(c.id, h.seq, UBUS_STATUS_NOT_FOUND);
        return;
    }
    Object &target = it->second;
    auto &subs = target.subscribers;
    bool was_active = !subs.empty();
    auto ref = std::find_if(subs.begin(), subs.end(), [&](const SubscriberRef &s) { return s.object == h.peer; });
    if (subscribe) {
        if (ref == subs.end())
            subs.push_back({c.id, h.peer});
    } else {
        if (ref == subs.end()) {
            status(c.id, h.seq, UBUS_STATUS_NOT_FOUND);
            return;
        }
        subs.erase(ref);
    }
    set_subscribers_changed(target, was_active);
    status(c.id, h.seq, UBUS_STATUS_OK);
}

void Broker::on_notify(Client &c, const Header &h, const Fields &f)
{
    bool want_status = h.flags & WantStatus;
    Object *o = owned_object(c.id, h.peer);
    if (!o || o->kind != ObjectKind::Plain) {
        if (want_status)
            status(c.id, h.seq, UBUS_STATUS_NOT_FOUND);
        return;
    }
    if (!o->subscribers.empty()) {
        FieldWriter w;
        w.u32(Tag::Target, o->id).text(Tag::Method, f.text_view(Tag::Method));
        const Fields::Span &body = f.get(Tag::Body);
        if (body.present())
            w.bytes(Tag::Body, body.data, body.len);
        else
            w.bytes(Tag::Body, kEmptyTable, sizeof(kEmptyTable));
        SharedBytes payload = SharedBytes::copy_of(w.buffer().data(), w.size());
        for (const SubscriberRef &s : o->subscribers) {
            Header out;
            out.kind = Kind::Notify;
            out.peer = s.object;
            out.length = static_cast<uint32_t>(payload.size());
            out_.send(s.client, out, payload);
            ++counters_.notifications_delivered;
        }
    }
    if (want_status)
        status(c.id, h.seq, UBUS_STATUS_OK);
}

void Broker::on_send_event(Client &c, const Header &h, const Fields &f, const uint8_t *payload)
{
    ++counters_.events_in;
    std::string_view type = f.text_view(Tag::EventType);
    SharedBytes shared;
    seen_.clear();
    for (const Pattern &p : patterns_) {
        if (!pattern_matches(p.text, p.prefix, type))
            continue;
        if (std::find(seen_.begin(), seen_.end(), p.object) != seen_.end())
            continue;
        seen_.push_back(p.object);
        if (!shared.data()) {
            if (f.has(Tag::Body)) {
                // The sender's payload is exactly what listeners get: type and body.
                shared = SharedBytes::copy_of(payload, h.length);
            } else {
                FieldWriter w;
                w.text(Tag::EventType, type).bytes(Tag::Body, kEmptyTable, sizeof(kEmptyTable));
                shared = SharedBytes::copy_of(w.buffer().data(), w.size());
            }
        }
        Header out;
        out.kind = Kind::Event;
        out.peer = p.object;
        out.length = static_cast<uint32_t>(shared.size());
        out_.send(p.client, out, shared);
        ++counters_.events_delivered;
    }
    if (h.flags & WantStatus)
        status(c.id, h.seq, UBUS_STATUS_OK);
}

void Broker::on_register_event(Client &c, const Header &h, const Fields &f)
{
    Object *o = owned_object(c.id, h.peer);
    std::string_view text = f.text_view(Tag::Pattern);
    if (!o || o->kind != ObjectKind::EventHandler || text.empty()) {
        status(c.id, h.seq, o ? UBUS_STATUS_INVALID_ARGUMENT : UBUS_STATUS_NOT_FOUND);
        return;
    }
    bool prefix = text.back() == '*';
    if (prefix)
        text.remove_suffix(1);
    std::size_t mine = 0;
    for (const Pattern &p : patterns_) {
        if (p.client == c.id)
            ++mine;
        if (p.object == o->id && p.prefix == prefix && p.text == text) {
            status(c.id, h.seq, UBUS_STATUS_OK);
            return;
        }
    }
    if (mine >= kMaxPatternsPerClient) {
        status(c.id, h.seq, UBUS_STATUS_NO_MEMORY);
        return;
    }
    patterns_.push_back({std::string(text), prefix, o->id, c.id});
    status(c.id, h.seq, UBUS_STATUS_OK);
}

} // namespace fb::bus

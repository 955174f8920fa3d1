// Client library: one ubus_context is one connection to ubusd.
//
// Frames are read into a per-context buffer and cut into whole frames (each validated before it
// is looked at). A synchronous request (invoke, lookup, registration) sends its frame and then
// reads until its Status arrives: its own Data frames are handled at once, method calls for this
// context's objects are served at once (so two clients calling each other do not deadlock), and
// everything else (events, notifications) waits in a queue until the loop or ubus_handle_event()
// gets control again. No state is shared between contexts.
#include <libubus.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "buslog.h"
#include "fieldbridge/root.h"
#include "wire.h"

using namespace fb::bus;

namespace {

// Frames from the daemon may carry a little more than a client may send (the daemon adds ids).
constexpr uint32_t kMaxPayloadIn = kMaxPayload + 4096;
// Method calls served while a synchronous request waits, one inside the other.
constexpr int kMaxNesting = 8;
constexpr int kHelloTimeoutMs = 5000;
constexpr std::size_t kReadChunk = 64 * 1024;
// Bytes read per wake-up, so that a flood of events does not keep the loop from other work.
constexpr std::size_t kReadBudget = 1024 * 1024;

struct Frame {
    std::vector<uint8_t> bytes;
    Header h;
    Fields f;

    blob_attr *body() const
    {
        const Fields::Span &s = f.get(Tag::Body);
        return s.present() ? reinterpret_cast<blob_attr *>(const_cast<uint8_t *>(s.data)) : nullptr;
    }
};

struct ObjEntry {
    ubus_object *obj;
    ObjectKind kind;
};

struct EventReg {
    ubus_event_handler *ev;
    std::string pattern;
};

struct Subscription {
    ubus_subscriber *sub;
    uint32_t target;
};

// A synchronous request in progress.
struct Waiter {
    uint16_t seq = 0;
    bool done = false;
    int status = UBUS_STATUS_OK;
    uint32_t object_id = 0;
    uint32_t type_id = 0;
    std::function<void(Frame &)> on_data;
    // Answers that arrived while a nested request was reading.
    std::deque<Frame> answers;
};

int64_t now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

} // namespace

struct ubus_context_state {
    std::string path;
    bool connected = false;
    uint32_t max_body = kMaxMessageBody;
    std::vector<uint8_t> rx;
    std::size_t rx_off = 0;
    std::size_t rx_len = 0;
    std::deque<Frame> incoming;
    std::deque<Frame> deferred;
    std::vector<Waiter *> waiting;
    std::vector<ObjEntry> objects;
    std::vector<EventReg> events;
    std::vector<Subscription> subscriptions;
    // Set when the connection went away; callbacks run once the outermost call unwinds.
    bool lost_pending = false;
    bool lost_was_registered = false;
    std::vector<Subscription> lost_subscriptions;
    int64_t last_auto_reconnect = 0;
    int api_depth = 0;
};

namespace {

using Ctx = ubus_context;

void sock_cb(uloop_fd *u, unsigned int events);
void process_all(Ctx *ctx);
int reconnect(Ctx *ctx, const char *path);

ObjEntry *find_object(Ctx *ctx, uint32_t id)
{
    for (ObjEntry &e : ctx->state->objects)
        if (e.obj->id == id)
            return &e;
    return nullptr;
}

ObjEntry *find_entry(Ctx *ctx, const ubus_object *obj)
{
    for (ObjEntry &e : ctx->state->objects)
        if (e.obj == obj)
            return &e;
    return nullptr;
}

// Runs what a lost connection owes the application once no library frame is on the stack.
void run_lost_callbacks(Ctx *ctx)
{
    ubus_context_state *st = ctx->state;
    if (!st || st->api_depth > 0 || ctx->stack_depth > 0)
        return;
    if (!st->lost_subscriptions.empty()) {
        std::vector<Subscription> subs;
        subs.swap(st->lost_subscriptions);
        for (const Subscription &s : subs)
            if (s.sub->remove_cb)
                s.sub->remove_cb(ctx, s.sub, s.target);
    }
    if (!st->lost_pending)
        return;
    st->lost_pending = false;
    if (ctx->connection_lost)
        ctx->connection_lost(ctx);
    else if (st->lost_was_registered)
        uloop_end();
}

// Counts a public call, so that lost-connection callbacks wait until it returns.
struct ApiScope {
    Ctx *ctx;
    explicit ApiScope(Ctx *c) : ctx(c) { ++ctx->state->api_depth; }
    ~ApiScope()
    {
        --ctx->state->api_depth;
        run_lost_callbacks(ctx);
    }
    ApiScope(const ApiScope &) = delete;
    ApiScope &operator=(const ApiScope &) = delete;
};

void close_socket(Ctx *ctx)
{
    if (ctx->sock.registered)
        uloop_fd_delete(&ctx->sock);
    if (ctx->sock.fd >= 0)
        close(ctx->sock.fd);
    ctx->sock.fd = -1;
    ctx->sock.eof = false;
    ctx->sock.error = false;
}

void mark_lost(Ctx *ctx, const char *why)
{
    ubus_context_state *st = ctx->state;
    if (!st->connected)
        return;
    if (why)
        log_msg(LOG_WARNING, "bus connection lost: %s", why);
    st->connected = false;
    st->lost_was_registered = ctx->sock.registered;
    close_socket(ctx);
    st->rx_off = st->rx_len = 0;
    st->incoming.clear();
    for (Waiter *w : st->waiting) {
        if (!w->done) {
            w->done = true;
            w->status = UBUS_STATUS_CONNECTION_FAILED;
        }
    }
    // Subscriptions name objects of the old connection; they are gone for this client.
    for (const Subscription &s : st->subscriptions)
        st->lost_subscriptions.push_back(s);
    st->subscriptions.clear();
    st->lost_pending = true;
}

void protocol_error(Ctx *ctx, const char *what)
{
    log_msg(LOG_ERR, "bad frame from the bus daemon: %s", what);
    mark_lost(ctx, nullptr);
}

// Cuts whole frames out of the receive buffer.
void extract_frames(Ctx *ctx)
{
    ubus_context_state *st = ctx->state;
    while (st->connected && st->rx_len - st->rx_off >= kHeaderSize) {
        const uint8_t *p = st->rx.data() + st->rx_off;
        Header h;
        FrameError e = parse_header(p, kHeaderSize, kMaxPayloadIn, h);
        if (e != FrameError::None) {
            protocol_error(ctx, to_string(e));
            return;
        }
        std::size_t total = kHeaderSize + h.length;
        if (st->rx_len - st->rx_off < total)
            break;
        Frame fr;
        fr.bytes.assign(p, p + total);
        e = validate_frame(fr.bytes.data(), fr.bytes.size(), true, kMaxPayloadIn, fr.h, fr.f);
        if (e != FrameError::None) {
            protocol_error(ctx, to_string(e));
            return;
        }
        st->rx_off += total;
        st->incoming.push_back(std::move(fr));
    }
    if (st->rx_off == st->rx_len) {
        st->rx_off = st->rx_len = 0;
    } else if (st->rx_off > 0 && st->rx_off >= st->rx_len / 2) {
        std::memmove(st->rx.data(), st->rx.data() + st->rx_off, st->rx_len - st->rx_off);
        st->rx_len -= st->rx_off;
        st->rx_off = 0;
    }
}

// Reads what is available without waiting. Returns false when the connection is gone.
bool read_available(Ctx *ctx)
{
    ubus_context_state *st = ctx->state;
    std::size_t total = 0;
    while (st->connected && total < kReadBudget) {
        if (st->rx.size() < st->rx_len + kReadChunk)
            st->rx.resize(st->rx_len + kReadChunk);
        ssize_t n = recv(ctx->sock.fd, st->rx.data() + st->rx_len, st->rx.size() - st->rx_len, MSG_DONTWAIT);
        if (n == 0) {
            mark_lost(ctx, "closed by the daemon");
            return false;
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            mark_lost(ctx, std::strerror(errno));
            return false;
        }
        st->rx_len += static_cast<std::size_t>(n);
        total += static_cast<std::size_t>(n);
        extract_frames(ctx);
    }
    // A mostly idle connection keeps no large buffer.
    if (st->rx_len == 0 && st->rx.capacity() > 4 * kReadChunk)
        std::vector<uint8_t>().swap(st->rx);
    return st->connected;
}

// Waits up to timeout_ms (-1: no limit) for data, then reads it.
bool fill(Ctx *ctx, int timeout_ms)
{
    if (!ctx->state->connected)
        return false;
    pollfd pfd{ctx->sock.fd, POLLIN, 0};
    int r = poll(&pfd, 1, timeout_ms);
    if (r < 0 && errno != EINTR) {
        mark_lost(ctx, std::strerror(errno));
        return false;
    }
    if (r <= 0)
        return true;
    return read_available(ctx);
}

bool send_bytes(Ctx *ctx, const std::vector<uint8_t> &frame)
{
    ubus_context_state *st = ctx->state;
    if (!st->connected)
        return false;
    std::size_t off = 0;
    while (off < frame.size()) {
        ssize_t n = send(ctx->sock.fd, frame.data() + off, frame.size() - off, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // The socket was put in non-blocking mode by the loop; wait for room.
                pollfd pfd{ctx->sock.fd, POLLOUT, 0};
                poll(&pfd, 1, 1000);
                continue;
            }
            mark_lost(ctx, std::strerror(errno));
            return false;
        }
        off += static_cast<std::size_t>(n);
    }
    return true;
}

// A context nobody watches (not on the loop, no lost callback) reconnects by itself when it is
// used again, at most once a second: a send-only connection would otherwise stay dead for good
// after a daemon restart.
bool ensure_connected(Ctx *ctx)
{
    ubus_context_state *st = ctx->state;
    if (st->connected)
        return true;
    if (ctx->connection_lost || st->lost_was_registered || ctx->sock.registered)
        return false;
    int64_t now = now_ms();
    if (st->last_auto_reconnect && now - st->last_auto_reconnect < 1000)
        return false;
    st->last_auto_reconnect = now;
    st->lost_pending = false;
    return reconnect(ctx, nullptr) == UBUS_STATUS_OK;
}

// Appends a message body: a container holding the children of msg (an empty table for null).
// Returns false, after logging, when msg is malformed or too large.
bool put_body(Ctx *ctx, FieldWriter &w, const blob_attr *msg)
{
    std::size_t len = msg ? blob_len(msg) : 0;
    std::size_t total = sizeof(blob_attr) + len;
    if (total > ctx->state->max_body || total > BLOB_ATTR_LEN_MASK) {
        log_msg(LOG_ERR, "bus message of %zu bytes exceeds the limit of %u bytes", total, ctx->state->max_body);
        return false;
    }
    std::vector<uint8_t> body(pad4(total), 0);
    uint32_t id_len = cpu_to_be32((static_cast<uint32_t>(BLOBMSG_TYPE_TABLE) << BLOB_ATTR_ID_SHIFT) |
                                  static_cast<uint32_t>(total));
    std::memcpy(body.data(), &id_len, sizeof(id_len));
    if (len)
        std::memcpy(body.data() + sizeof(blob_attr), blob_data(msg), len);
    if (!valid_body(body.data(), body.size())) {
        log_msg(LOG_ERR, "bus message rejected: malformed blob message");
        return false;
    }
    w.bytes(Tag::Body, body.data(), body.size());
    return true;
}

bool valid_name(const char *s)
{
    return s && *s && std::strlen(s) <= kMaxName;
}

uint16_t next_seq(Ctx *ctx)
{
    if (++ctx->request_seq == 0)
        ++ctx->request_seq;
    return ctx->request_seq;
}

Waiter *find_waiter(Ctx *ctx, uint16_t seq)
{
    for (Waiter *w : ctx->state->waiting)
        if (w->seq == seq && !w->done)
            return w;
    return nullptr;
}

void apply_answer(Waiter &w, Frame &f)
{
    if (f.h.kind == Kind::Data) {
        if (w.on_data)
            w.on_data(f);
        return;
    }
    w.done = true;
    w.status = static_cast<int>(f.f.u32(Tag::Status));
    w.object_id = f.f.u32(Tag::ObjectId);
    w.type_id = f.f.u32(Tag::TypeId);
}

void reply_status(Ctx *ctx, uint32_t caller, uint16_t seq, int status)
{
    FrameWriter w(Kind::ReplyStatus, seq, caller);
    w.u32(Tag::Status, static_cast<uint32_t>(status));
    send_bytes(ctx, w.finish());
}

void serve_invoke(Ctx *ctx, Frame &f)
{
    uint32_t caller = f.f.u32(Tag::ClientId);
    const char *method = f.f.text(Tag::Method);
    ObjEntry *e = find_object(ctx, f.h.peer);
    if (!e || e->kind != ObjectKind::Plain) {
        reply_status(ctx, caller, f.h.seq, UBUS_STATUS_NOT_FOUND);
        return;
    }
    ubus_object *obj = e->obj;
    const ubus_method *m = nullptr;
    for (int i = 0; obj->methods && i < obj->n_methods; ++i) {
        if (obj->methods[i].name && std::strcmp(obj->methods[i].name, method) == 0) {
            m = &obj->methods[i];
            break;
        }
    }
    if (!m || !m->handler) {
        reply_status(ctx, caller, f.h.seq, UBUS_STATUS_METHOD_NOT_FOUND);
        return;
    }
    ubus_request_data req{};
    req.object = obj->id;
    req.peer = caller;
    req.seq = f.h.seq;
    req.fd = -1;
    int ret = m->handler(ctx, obj, &req, method, f.body());
    if (!req.deferred && ctx->state->connected)
        reply_status(ctx, caller, f.h.seq, ret);
}

// Handles a frame that is not an answer to a waiting request.
void dispatch(Ctx *ctx, Frame &f)
{
    ubus_context_state *st = ctx->state;
    switch (f.h.kind) {
    case Kind::Invoke:
        serve_invoke(ctx, f);
        break;
    case Kind::Event: {
        ObjEntry *e = find_object(ctx, f.h.peer);
        if (e && e->kind == ObjectKind::EventHandler) {
            auto *ev = reinterpret_cast<ubus_event_handler *>(e->obj);
            if (ev->cb)
                ev->cb(ctx, ev, f.f.text(Tag::EventType), f.body());
        }
        break;
    }
    case Kind::Notify: {
        ObjEntry *e = find_object(ctx, f.h.peer);
        if (e && e->kind == ObjectKind::Subscriber) {
            auto *sub = reinterpret_cast<ubus_subscriber *>(e->obj);
            if (sub->cb) {
                ubus_request_data req{};
                req.object = sub->obj.id;
                req.fd = -1;
                sub->cb(ctx, &sub->obj, &req, f.f.text(Tag::Method), f.body());
            }
        }
        break;
    }
    case Kind::SubscribersChanged: {
        ObjEntry *e = find_object(ctx, f.h.peer);
        if (e && e->kind == ObjectKind::Plain) {
            e->obj->has_subscribers = f.f.u32(Tag::Active) != 0;
            if (e->obj->subscribe_cb)
                e->obj->subscribe_cb(ctx, e->obj);
        }
        break;
    }
    case Kind::ObjectGone: {
        uint32_t target = f.f.u32(Tag::Target);
        ObjEntry *e = find_object(ctx, f.h.peer);
        if (!e || e->kind != ObjectKind::Subscriber)
            break;
        auto *sub = reinterpret_cast<ubus_subscriber *>(e->obj);
        auto &subs = st->subscriptions;
        subs.erase(std::remove_if(subs.begin(), subs.end(),
                                  [&](const Subscription &s) { return s.sub == sub && s.target == target; }),
                   subs.end());
        if (sub->remove_cb)
            sub->remove_cb(ctx, sub, target);
        break;
    }
    case Kind::Error:
        log_msg(LOG_ERR, "bus daemon closed the connection: %s", f.f.text(Tag::Text));
        mark_lost(ctx, nullptr);
        break;
    default:
        // Status and Data nobody waits for: answers that came after their request timed out.
        break;
    }
}

// Sends a request frame and waits for its Status. timeout_ms 0 waits without limit.
int request(Ctx *ctx, const std::vector<uint8_t> &frame, uint16_t seq, int timeout_ms, Waiter &w)
{
    ubus_context_state *st = ctx->state;
    if (!ensure_connected(ctx))
        return UBUS_STATUS_CONNECTION_FAILED;
    w.seq = seq;
    if (!send_bytes(ctx, frame))
        return UBUS_STATUS_CONNECTION_FAILED;

    st->waiting.push_back(&w);
    ++ctx->stack_depth;
    int64_t deadline = timeout_ms > 0 ? now_ms() + timeout_ms : 0;
    while (!w.done) {
        if (!w.answers.empty()) {
            Frame f = std::move(w.answers.front());
            w.answers.pop_front();
            apply_answer(w, f);
            continue;
        }
        if (!st->incoming.empty()) {
            Frame f = std::move(st->incoming.front());
            st->incoming.pop_front();
            if (f.h.kind == Kind::Status || f.h.kind == Kind::Data) {
                Waiter *owner = find_waiter(ctx, f.h.seq);
                if (owner == &w)
                    apply_answer(w, f);
                else if (owner)
                    owner->answers.push_back(std::move(f));
            } else if (f.h.kind == Kind::Invoke && ctx->stack_depth < kMaxNesting) {
                serve_invoke(ctx, f);
            } else if (f.h.kind == Kind::Error) {
                dispatch(ctx, f);
            } else {
                st->deferred.push_back(std::move(f));
            }
            continue;
        }
        if (!st->connected) {
            w.done = true;
            w.status = UBUS_STATUS_CONNECTION_FAILED;
            break;
        }
        int wait = -1;
        if (deadline) {
            int64_t left = deadline - now_ms();
            if (left <= 0) {
                w.status = UBUS_STATUS_TIMEOUT;
                break;
            }
            wait = static_cast<int>(left);
        }
        fill(ctx, wait);
    }
    --ctx->stack_depth;
    st->waiting.erase(std::find(st->waiting.begin(), st->waiting.end(), &w));
    if (!st->deferred.empty() && ctx->sock.registered)
        uloop_timeout_set(&ctx->pending_timer, 0);
    return w.status;
}

void pending_cb(uloop_timeout *t)
{
    Ctx *ctx = reinterpret_cast<Ctx *>(reinterpret_cast<char *>(t) - offsetof(ubus_context, pending_timer));
    process_all(ctx);
}

void process_all(Ctx *ctx)
{
    ubus_context_state *st = ctx->state;
    if (!st)
        return;
    ++ctx->stack_depth;
    if (st->connected)
        read_available(ctx);
    while (!st->deferred.empty() || !st->incoming.empty()) {
        std::deque<Frame> &q = st->deferred.empty() ? st->incoming : st->deferred;
        Frame f = std::move(q.front());
        q.pop_front();
        dispatch(ctx, f);
    }
    --ctx->stack_depth;
    run_lost_callbacks(ctx);
}

void sock_cb(uloop_fd *u, unsigned int)
{
    process_all(reinterpret_cast<Ctx *>(u));
}

// Opens the socket and waits for the daemon's greeting.
int open_connection(Ctx *ctx, const char *path)
{
    ubus_context_state *st = ctx->state;
    std::string p = path ? std::string(path) : fb::root_path(UBUS_UNIX_SOCKET);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (p.size() >= sizeof(addr.sun_path))
        return UBUS_STATUS_INVALID_ARGUMENT;
    std::memcpy(addr.sun_path, p.c_str(), p.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return UBUS_STATUS_CONNECTION_FAILED;
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return UBUS_STATUS_CONNECTION_FAILED;
    }
    st->path = p;
    ctx->sock.fd = fd;
    ctx->sock.cb = sock_cb;
    ctx->sock.eof = ctx->sock.error = false;
    st->connected = true;
    st->lost_was_registered = false;
    st->rx_off = st->rx_len = 0;
    st->incoming.clear();

    int64_t deadline = now_ms() + kHelloTimeoutMs;
    while (st->connected && st->incoming.empty()) {
        int64_t left = deadline - now_ms();
        if (left <= 0)
            break;
        fill(ctx, static_cast<int>(left));
    }
    if (!st->connected || st->incoming.empty() || st->incoming.front().h.kind != Kind::Hello) {
        st->connected = false;
        close_socket(ctx);
        st->lost_pending = false;
        return UBUS_STATUS_CONNECTION_FAILED;
    }
    Frame hello = std::move(st->incoming.front());
    st->incoming.pop_front();
    ctx->local_id = hello.h.peer;
    uint32_t max_body = hello.f.u32(Tag::MaxBody);
    st->max_body = std::min<uint32_t>(max_body ? max_body : kMaxMessageBody, kMaxMessageBody);
    return UBUS_STATUS_OK;
}

void put_signature(Ctx *ctx, FieldWriter &w, const ubus_object *obj)
{
    blob_buf b{};
    blob_buf_init(&b, 0);
    for (int i = 0; obj->methods && i < obj->n_methods; ++i) {
        const ubus_method &m = obj->methods[i];
        if (!m.name)
            continue;
        void *t = blobmsg_open_table(&b, m.name);
        for (int k = 0; m.policy && k < m.n_policy; ++k)
            if (m.policy[k].name)
                blobmsg_add_u32(&b, m.policy[k].name, static_cast<uint32_t>(m.policy[k].type));
        blobmsg_close_table(&b, t);
    }
    std::size_t len = blob_len(b.head);
    if (len > 0) {
        std::vector<uint8_t> sig(pad4(sizeof(blob_attr) + len), 0);
        std::memcpy(sig.data(), b.head, sizeof(blob_attr) + len);
        if (valid_body(sig.data(), sig.size()))
            w.bytes(Tag::Signature, sig.data(), sig.size());
        else
            log_msg(LOG_WARNING, "object %s: method signature not sent", obj->name ? obj->name : "?");
    }
    blob_buf_free(&b);
    (void) ctx;
}

// Registers obj with the daemon (again, after a reconnect) and sets its id.
int register_object(Ctx *ctx, ubus_object *obj, ObjectKind kind)
{
    uint16_t seq = next_seq(ctx);
    FrameWriter w(Kind::AddObject, seq, 0);
    w.u32(Tag::ObjectKind, static_cast<uint32_t>(kind));
    if (kind == ObjectKind::Plain) {
        w.text(Tag::Path, obj->name);
        put_signature(ctx, w, obj);
    }
    Waiter wt;
    int rc = request(ctx, w.finish(), seq, 0, wt);
    if (rc == UBUS_STATUS_OK) {
        obj->id = wt.object_id;
        if (obj->type)
            obj->type->id = wt.type_id;
    }
    return rc;
}

int register_pattern(Ctx *ctx, ubus_event_handler *ev, const char *pattern)
{
    uint16_t seq = next_seq(ctx);
    FrameWriter w(Kind::RegisterEvent, seq, ev->obj.id);
    w.text(Tag::Pattern, pattern);
    Waiter wt;
    return request(ctx, w.finish(), seq, 0, wt);
}

int reconnect(Ctx *ctx, const char *path)
{
    ubus_context_state *st = ctx->state;
    if (st->connected) {
        // The daemon forgets this client's subscriptions with the old connection.
        st->connected = false;
        close_socket(ctx);
        for (const Subscription &s : st->subscriptions)
            st->lost_subscriptions.push_back(s);
        st->subscriptions.clear();
    }
    std::string p = path ? std::string(path) : (st->path.empty() ? fb::root_path(UBUS_UNIX_SOCKET) : st->path);
    int rc = open_connection(ctx, p.c_str());
    if (rc != UBUS_STATUS_OK)
        return rc;
    // What this context had registered before must exist again under the new connection.
    for (ObjEntry &e : st->objects) {
        rc = register_object(ctx, e.obj, e.kind);
        if (rc != UBUS_STATUS_OK) {
            log_msg(LOG_WARNING, "bus reconnect: cannot register object %s again: %s",
                    e.obj->name ? e.obj->name : "(anonymous)", ubus_strerror(rc));
            return rc;
        }
    }
    for (EventReg &r : st->events) {
        rc = register_pattern(ctx, r.ev, r.pattern.c_str());
        if (rc != UBUS_STATUS_OK) {
            log_msg(LOG_WARNING, "bus reconnect: cannot register for %s again: %s", r.pattern.c_str(),
                    ubus_strerror(rc));
            return rc;
        }
    }
    return UBUS_STATUS_OK;
}

int add_entry(Ctx *ctx, ubus_object *obj, ObjectKind kind)
{
    if (find_entry(ctx, obj))
        return UBUS_STATUS_INVALID_ARGUMENT;
    int rc = register_object(ctx, obj, kind);
    if (rc == UBUS_STATUS_OK)
        ctx->state->objects.push_back({obj, kind});
    return rc;
}

} // namespace

extern "C" {

const char *ubus_strerror(int error)
{
    static const char *const texts[] = {
        "Success",
        "Invalid command",
        "Invalid argument",
        "Method not found",
        "Not found",
        "No response",
        "Permission denied",
        "Request timed out",
        "Operation not supported",
        "Unknown error",
        "Connection failed",
        "Out of memory",
        "Parsing message data failed",
        "System error",
    };
    if (error < 0 || error >= static_cast<int>(ARRAY_SIZE(texts)))
        return "Unknown error";
    return texts[error];
}

int ubus_connect_ctx(struct ubus_context *ctx, const char *path)
{
    std::memset(ctx, 0, sizeof(*ctx));
    ctx->sock.fd = -1;
    ctx->pending_timer.cb = pending_cb;
    ctx->state = new (std::nothrow) ubus_context_state;
    if (!ctx->state)
        return UBUS_STATUS_NO_MEMORY;
    int rc = open_connection(ctx, path);
    if (rc != UBUS_STATUS_OK) {
        delete ctx->state;
        ctx->state = nullptr;
    }
    return rc;
}

struct ubus_context *ubus_connect(const char *path)
{
    auto *ctx = new (std::nothrow) ubus_context;
    if (!ctx)
        return nullptr;
    if (ubus_connect_ctx(ctx, path) != UBUS_STATUS_OK) {
        delete ctx;
        return nullptr;
    }
    return ctx;
}

int ubus_reconnect(struct ubus_context *ctx, const char *path)
{
    if (!ctx || !ctx->state)
        return UBUS_STATUS_INVALID_ARGUMENT;
    ApiScope scope(ctx);
    ctx->state->lost_pending = false;
    return reconnect(ctx, path);
}

void ubus_shutdown(struct ubus_context *ctx)
{
    if (!ctx || !ctx->state)
        return;
    if (ctx->pending_timer.pending)
        uloop_timeout_cancel(&ctx->pending_timer);
    close_socket(ctx);
    delete ctx->state;
    ctx->state = nullptr;
}

void ubus_free(struct ubus_context *ctx)
{
    if (!ctx)
        return;
    ubus_shutdown(ctx);
    delete ctx;
}

void ubus_handle_event(struct ubus_context *ctx)
{
    if (ctx && ctx->state)
        process_all(ctx);
}

int ubus_send_event(struct ubus_context *ctx, const char *id, struct blob_attr *data)
{
    if (!ctx || !ctx->state || !valid_name(id))
        return UBUS_STATUS_INVALID_ARGUMENT;
    ApiScope scope(ctx);
    FrameWriter w(Kind::SendEvent, 0, 0);
    w.text(Tag::EventType, id);
    if (!put_body(ctx, w, data))
        return UBUS_STATUS_INVALID_ARGUMENT;
    std::vector<uint8_t> &frame = w.finish();
    if (!ensure_connected(ctx))
        return UBUS_STATUS_CONNECTION_FAILED;
    if (send_bytes(ctx, frame))
        return UBUS_STATUS_OK;
    // The daemon went away since the last send; an unattended context tries once more.
    if (ensure_connected(ctx) && send_bytes(ctx, frame))
        return UBUS_STATUS_OK;
    return UBUS_STATUS_CONNECTION_FAILED;
}

int ubus_register_event_handler(struct ubus_context *ctx, struct ubus_event_handler *ev, const char *pattern)
{
    if (!ctx || !ctx->state || !ev || !valid_name(pattern))
        return UBUS_STATUS_INVALID_ARGUMENT;
    ApiScope scope(ctx);
    ObjEntry *e = find_entry(ctx, &ev->obj);
    if (e && e->kind != ObjectKind::EventHandler)
        return UBUS_STATUS_INVALID_ARGUMENT;
    if (!e) {
        int rc = add_entry(ctx, &ev->obj, ObjectKind::EventHandler);
        if (rc != UBUS_STATUS_OK)
            return rc;
    }
    int rc = register_pattern(ctx, ev, pattern);
    if (rc == UBUS_STATUS_OK) {
        auto &events = ctx->state->events;
        bool known = std::any_of(events.begin(), events.end(),
                                 [&](const EventReg &r) { return r.ev == ev && r.pattern == pattern; });
        if (!known)
            events.push_back({ev, pattern});
    }
    return rc;
}

int ubus_add_object(struct ubus_context *ctx, struct ubus_object *obj)
{
    if (!ctx || !ctx->state || !obj || !valid_name(obj->name))
        return UBUS_STATUS_INVALID_ARGUMENT;
    ApiScope scope(ctx);
    return add_entry(ctx, obj, ObjectKind::Plain);
}

int ubus_register_subscriber(struct ubus_context *ctx, struct ubus_subscriber *s)
{
    if (!ctx || !ctx->state || !s)
        return UBUS_STATUS_INVALID_ARGUMENT;
    ApiScope scope(ctx);
    return add_entry(ctx, &s->obj, ObjectKind::Subscriber);
}

int ubus_remove_object(struct ubus_context *ctx, struct ubus_object *obj)
{
    if (!ctx || !ctx->state || !obj)
        return UBUS_STATUS_INVALID_ARGUMENT;
    ApiScope scope(ctx);
    ubus_context_state *st = ctx->state;
    ObjEntry *e = find_entry(ctx, obj);
    if (!e)
        return UBUS_STATUS_INVALID_ARGUMENT;
    ObjectKind kind = e->kind;
    int rc = UBUS_STATUS_OK;
    if (st->connected) {
        uint16_t seq = next_seq(ctx);
        FrameWriter w(Kind::RemoveObject, seq, obj->id);
        Waiter wt;
        rc = request(ctx, w.finish(), seq, 0, wt);
        if (rc == UBUS_STATUS_CONNECTION_FAILED)
            rc = UBUS_STATUS_OK; // gone with the connection anyway
    }
    auto &objs = st->objects;
    objs.erase(std::remove_if(objs.begin(), objs.end(), [&](const ObjEntry &x) { return x.obj == obj; }),
               objs.end());
    if (kind == ObjectKind::EventHandler) {
        auto *ev = reinterpret_cast<ubus_event_handler *>(obj);
        auto &events = st->events;
        events.erase(std::remove_if(events.begin(), events.end(), [&](const EventReg &r) { return r.ev == ev; }),
                     events.end());
    } else if (kind == ObjectKind::Subscriber) {
        auto *sub = reinterpret_cast<ubus_subscriber *>(obj);
        auto &subs = st->subscriptions;
        subs.erase(std::remove_if(subs.begin(), subs.end(), [&](const Subscription &s) { return s.sub == sub; }),
                   subs.end());
    }
    obj->id = 0;
    obj->has_subscribers = false;
    return rc;
}

int ubus_lookup(struct ubus_context *ctx, const char *path, ubus_lookup_handler_t cb, void *priv)
{
    if (!ctx || !ctx->state || (path && std::strlen(path) > kMaxName))
        return UBUS_STATUS_INVALID_ARGUMENT;
    ApiScope scope(ctx);
    uint16_t seq = next_seq(ctx);
    FrameWriter w(Kind::Lookup, seq, 0);
    if (path && *path)
        w.text(Tag::Path, path);
    Waiter wt;
    wt.on_data = [&](Frame &f) {
        if (!cb || !f.f.has(Tag::ObjectId))
            return;
        ubus_object_data d{};
        d.id = f.f.u32(Tag::ObjectId);
        d.type_id = f.f.u32(Tag::TypeId);
        d.path = f.f.text(Tag::Path);
        const Fields::Span &sig = f.f.get(Tag::Signature);
        d.signature = sig.present() ? reinterpret_cast<blob_attr *>(const_cast<uint8_t *>(sig.data)) : nullptr;
        cb(ctx, &d, priv);
    };
    return request(ctx, w.finish(), seq, 0, wt);
}

int ubus_lookup_id(struct ubus_context *ctx, const char *path, uint32_t *id)
{
    if (!ctx || !ctx->state || !id || !valid_name(path))
        return UBUS_STATUS_INVALID_ARGUMENT;
    ApiScope scope(ctx);
    uint16_t seq = next_seq(ctx);
    FrameWriter w(Kind::Lookup, seq, 0);
    w.text(Tag::Path, path);
    uint32_t found = 0;
    Waiter wt;
    wt.on_data = [&](Frame &f) {
        if (!found)
            found = f.f.u32(Tag::ObjectId);
    };
    int rc = request(ctx, w.finish(), seq, 0, wt);
    if (rc == UBUS_STATUS_OK && !found)
        rc = UBUS_STATUS_NOT_FOUND;
    if (rc == UBUS_STATUS_OK)
        *id = found;
    return rc;
}

int ubus_invoke(struct ubus_context *ctx, uint32_t obj, const char *method, struct blob_attr *msg,
                ubus_data_handler_t cb, void *priv, int timeout)
{
    if (!ctx || !ctx->state || !valid_name(method))
        return UBUS_STATUS_INVALID_ARGUMENT;
    ApiScope scope(ctx);
    uint16_t seq = next_seq(ctx);
    FrameWriter w(Kind::Invoke, seq, obj);
    w.text(Tag::Method, method);
    if (!put_body(ctx, w, msg))
        return UBUS_STATUS_INVALID_ARGUMENT;
    ubus_request req{};
    req.ctx = ctx;
    req.priv = priv;
    req.peer = obj;
    req.seq = seq;
    req.data_cb = cb;
    Waiter wt;
    wt.on_data = [&](Frame &f) {
        if (cb)
            cb(&req, UBUS_MSG_DATA, f.body());
    };
    int rc = request(ctx, w.finish(), seq, timeout, wt);
    req.status_code = rc;
    return rc;
}

int ubus_send_reply(struct ubus_context *ctx, struct ubus_request_data *req, struct blob_attr *msg)
{
    if (!ctx || !ctx->state || !req)
        return UBUS_STATUS_INVALID_ARGUMENT;
    ApiScope scope(ctx);
    FrameWriter w(Kind::Reply, req->seq, req->peer);
    if (!put_body(ctx, w, msg))
        return UBUS_STATUS_INVALID_ARGUMENT;
    return send_bytes(ctx, w.finish()) ? UBUS_STATUS_OK : UBUS_STATUS_CONNECTION_FAILED;
}

void ubus_defer_request(struct ubus_context *, struct ubus_request_data *req, struct ubus_request_data *new_req)
{
    *new_req = *req;
    req->deferred = true;
}

void ubus_complete_deferred_request(struct ubus_context *ctx, struct ubus_request_data *req, int ret)
{
    if (!ctx || !ctx->state || !req)
        return;
    ApiScope scope(ctx);
    reply_status(ctx, req->peer, req->seq, ret);
}

static bool registered_subscriber(struct ubus_context *ctx, struct ubus_subscriber *s)
{
    ObjEntry *e = find_entry(ctx, &s->obj);
    return e && e->kind == ObjectKind::Subscriber;
}

// A subscribe or unsubscribe frame, sent and answered; the caller holds the API scope.
static int subscription_request(struct ubus_context *ctx, struct ubus_subscriber *s, uint32_t id, Kind kind)
{
    uint16_t seq = next_seq(ctx);
    FrameWriter w(kind, seq, s->obj.id);
    w.u32(Tag::Target, id);
    Waiter wt;
    return request(ctx, w.finish(), seq, 0, wt);
}

int ubus_subscribe(struct ubus_context *ctx, struct ubus_subscriber *s, uint32_t id)
{
    if (!ctx || !ctx->state || !s)
        return UBUS_STATUS_INVALID_ARGUMENT;
    ApiScope scope(ctx);
    if (!registered_subscriber(ctx, s))
        return UBUS_STATUS_INVALID_ARGUMENT;
    int rc = subscription_request(ctx, s, id, Kind::Subscribe);
    if (rc == UBUS_STATUS_OK) {
        auto &subs = ctx->state->subscriptions;
        bool known = std::any_of(subs.begin(), subs.end(),
                                 [&](const Subscription &x) { return x.sub == s && x.target == id; });
        if (!known)
            subs.push_back({s, id});
    }
    return rc;
}

int ubus_unsubscribe(struct ubus_context *ctx, struct ubus_subscriber *s, uint32_t id)
{
    if (!ctx || !ctx->state || !s)
        return UBUS_STATUS_INVALID_ARGUMENT;
    ApiScope scope(ctx);
    if (!registered_subscriber(ctx, s))
        return UBUS_STATUS_INVALID_ARGUMENT;
    int rc = subscription_request(ctx, s, id, Kind::Unsubscribe);
    auto &subs = ctx->state->subscriptions;
    subs.erase(std::remove_if(subs.begin(), subs.end(),
                              [&](const Subscription &x) { return x.sub == s && x.target == id; }),
               subs.end());
    return rc;
}

int ubus_notify(struct ubus_context *ctx, struct ubus_object *obj, const char *type, struct blob_attr *msg,
                int timeout)
{
    if (!ctx || !ctx->state || !obj || !valid_name(type))
        return UBUS_STATUS_INVALID_ARGUMENT;
    ApiScope scope(ctx);
    ObjEntry *e = find_entry(ctx, obj);
    if (!e || e->kind != ObjectKind::Plain)
        return UBUS_STATUS_NOT_FOUND;
    bool wait = timeout >= 0;
    uint16_t seq = wait ? next_seq(ctx) : 0;
    FrameWriter w(Kind::Notify, seq, obj->id, wait ? WantStatus : 0);
    w.text(Tag::Method, type);
    if (!put_body(ctx, w, msg))
        return UBUS_STATUS_INVALID_ARGUMENT;
    if (!wait) {
        if (!ensure_connected(ctx))
            return UBUS_STATUS_CONNECTION_FAILED;
        return send_bytes(ctx, w.finish()) ? UBUS_STATUS_OK : UBUS_STATUS_CONNECTION_FAILED;
    }
    Waiter wt;
    return request(ctx, w.finish(), seq, timeout, wt);
}

} // extern "C"

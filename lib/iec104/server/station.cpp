#include "iec104/station.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>

namespace iec104 {

namespace {

size_t at_least_one(size_t n) { return n ? n : 1; }

bool broadcast_allowed(TypeId type)
{
    return type == TypeId::C_IC_NA_1 || type == TypeId::C_CS_NA_1;
}

} // namespace

const char *to_string(ConnectionEvent e)
{
    switch (e) {
    case ConnectionEvent::Opened: return "opened";
    case ConnectionEvent::Closed: return "closed";
    case ConnectionEvent::Activated: return "activated";
    case ConnectionEvent::Deactivated: return "deactivated";
    }
    return "?";
}

// ---- ServerConnection ----

ServerConnection::ServerConnection(Station &station, uint32_t id, std::string address, uint16_t port, TimePoint now)
    : station_(station), id_(id), peer_address_(std::move(address)), peer_port_(port),
      session_(Role::ControlledStation, station.settings_.apci, *this, now),
      high_(at_least_one(station.settings_.high_priority_queue_size))
{
}

const AppLayerParameters &ServerConnection::app_parameters() const { return station_.settings_.app; }

bool ServerConnection::send_asdu(const Asdu &asdu)
{
    std::array<uint8_t, kMaxAsduSize> buf;
    ByteWriter w(buf);
    if (AsduError e = encode_asdu(asdu, station_.settings_.app, w); e != AsduError::Ok) {
        station_.logf(LogLevel::Error, "%s:%u: cannot send ASDU: %s", peer_address_.c_str(), peer_port_,
                      to_string(e));
        return false;
    }
    return push_high(w.written());
}

bool ServerConnection::send_reply(const Asdu &request, Cause cause, bool negative)
{
    Asdu reply = request;
    reply.header.cause = cause;
    reply.header.negative = negative;
    return send_asdu(reply);
}

bool ServerConnection::push_high(std::span<const uint8_t> asdu)
{
    if (high_.full()) {
        station_.reject(this, Rejection::HighPriorityQueueFull, "reply dropped");
        return false;
    }
    return high_.push(asdu);
}

void ServerConnection::on_asdu(std::span<const uint8_t> asdu)
{
    ++station_.counters_.asdus_received;
    station_.dispatch(*this, asdu);
}

void ServerConnection::on_started()
{
    // A newer activation takes the group's data over from an older one.
    station_.active_id_ = id_;
    station_.logf(LogLevel::Info, "%s:%u: data transfer started", peer_address_.c_str(), peer_port_);
    station_.emit_event(*this, ConnectionEvent::Activated);
}

void ServerConnection::on_stopped()
{
    if (station_.active_id_ == id_)
        station_.active_id_.reset();
    station_.logf(LogLevel::Info, "%s:%u: data transfer stopped", peer_address_.c_str(), peer_port_);
    station_.emit_event(*this, ConnectionEvent::Deactivated);
}

void ServerConnection::on_frame(std::span<const uint8_t> frame, bool sent)
{
    if (sent)
        ++station_.counters_.frames_sent;
    else
        ++station_.counters_.frames_received;
    if (station_.on_raw_)
        station_.on_raw_(*this, frame, sent);
}

void ServerConnection::on_rejection(Rejection reason, const char *detail) { station_.reject(this, reason, detail); }

// ---- Station ----

Station::Station(StationSettings settings)
    : settings_(std::move(settings)), low_(at_least_one(settings_.low_priority_queue_size))
{
    settings_.max_open_connections = at_least_one(settings_.max_open_connections);
}

Station::~Station() = default;

bool Station::set_apci_parameters(const ApciParameters &p)
{
    if (!p.valid())
        return false;
    settings_.apci = p;
    return true;
}

bool Station::set_app_layer_parameters(const AppLayerParameters &p)
{
    if (!p.valid())
        return false;
    settings_.app = p;
    return true;
}

void Station::logf(LogLevel level, const char *fmt, ...)
{
    if (!log_)
        return;
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    log_(level, buf);
}

void Station::reject(ServerConnection *conn, Rejection reason, const char *detail)
{
    counters_.count(reason);
    if (conn)
        logf(LogLevel::Warning, "%s:%u: %s: %s", conn->peer_address_.c_str(), conn->peer_port_, to_string(reason),
             detail);
    else
        logf(LogLevel::Warning, "%s: %s", to_string(reason), detail);
}

void Station::emit_event(ServerConnection &conn, ConnectionEvent e)
{
    if (on_event_)
        on_event_(conn, e);
}

bool Station::active() const { return active_id_.has_value(); }

bool Station::enqueue_asdu(const Asdu &asdu)
{
    std::array<uint8_t, kMaxAsduSize> buf;
    ByteWriter w(buf);
    if (AsduError e = encode_asdu(asdu, settings_.app, w); e != AsduError::Ok) {
        logf(LogLevel::Error, "cannot queue ASDU: %s", to_string(e));
        return false;
    }
    if (low_.full()) {
        // The newest values matter more than the oldest ones. With no master connected this
        // happens on every new value, so it is logged once until the queue has drained again.
        low_.pop();
        if (low_overflow_logged_) {
            counters_.count(Rejection::LowPriorityQueueFull);
        } else {
            reject(nullptr, Rejection::LowPriorityQueueFull, "oldest ASDUs dropped until the queue drains");
            low_overflow_logged_ = true;
        }
    }
    return low_.push(w.written());
}

std::optional<uint32_t> Station::open_connection(const std::string &address, uint16_t port, TimePoint now)
{
    char peer[96];
    std::snprintf(peer, sizeof peer, "%s:%u", address.c_str(), port);
    if (connections_.size() >= settings_.max_open_connections) {
        reject(nullptr, Rejection::ConnectionLimit, peer);
        return std::nullopt;
    }
    if (on_request_ && !on_request_(address, port)) {
        reject(nullptr, Rejection::ConnectionRefused, peer);
        return std::nullopt;
    }
    const uint32_t id = next_id_++;
    connections_.push_back(std::unique_ptr<ServerConnection>(new ServerConnection(*this, id, address, port, now)));
    ++counters_.connections_accepted;
    logf(LogLevel::Info, "%s: connection opened", peer);
    emit_event(*connections_.back(), ConnectionEvent::Opened);
    return id;
}

ServerConnection *Station::connection(uint32_t id)
{
    for (auto &c : connections_)
        if (c->id_ == id)
            return c.get();
    return nullptr;
}

std::vector<uint32_t> Station::connection_ids() const
{
    std::vector<uint32_t> ids;
    for (const auto &c : connections_)
        ids.push_back(c->id_);
    return ids;
}

void Station::receive(uint32_t id, std::span<const uint8_t> octets, TimePoint now)
{
    ServerConnection *conn = connection(id);
    if (!conn)
        return;
    conn->session_.receive(octets, now);
    pump(*conn, now);
}

void Station::tick(TimePoint now)
{
    for (auto &c : connections_) {
        c->session_.tick(now);
        pump(*c, now);
    }
}

std::optional<TimePoint> Station::next_deadline() const
{
    std::optional<TimePoint> d;
    for (const auto &c : connections_) {
        const auto t = c->session_.next_deadline();
        if (t && (!d || *t < *d))
            d = t;
    }
    return d;
}

bool Station::send_pending() const
{
    for (const auto &c : connections_)
        if (c->session_.can_send() && (!c->high_.empty() || (active_id_ == c->id_ && !low_.empty())))
            return true;
    return false;
}

std::span<const uint8_t> Station::output(uint32_t id) const
{
    for (const auto &c : connections_)
        if (c->id_ == id)
            return c->session_.output();
    return {};
}

void Station::consume_output(uint32_t id, size_t n)
{
    if (ServerConnection *c = connection(id))
        c->session_.consume_output(n);
}

bool Station::connection_failed(uint32_t id) const
{
    for (const auto &c : connections_)
        if (c->id_ == id)
            return c->session_.closed();
    return true;
}

void Station::close_connection(uint32_t id)
{
    auto it = std::find_if(connections_.begin(), connections_.end(), [id](const auto &c) { return c->id_ == id; });
    if (it == connections_.end())
        return;
    std::unique_ptr<ServerConnection> conn = std::move(*it);
    connections_.erase(it);
    if (active_id_ == id)
        active_id_.reset();
    logf(LogLevel::Info, "%s:%u: connection closed", conn->peer_address_.c_str(), conn->peer_port_);
    emit_event(*conn, ConnectionEvent::Closed);
}

void Station::pump(ServerConnection &conn, TimePoint now)
{
    Session &s = conn.session_;
    while (s.can_send()) {
        AsduQueue *q = nullptr;
        if (!conn.high_.empty())
            q = &conn.high_;
        else if (active_id_ == conn.id_ && !low_.empty())
            q = &low_;
        if (!q || !s.send_asdu(q->front(), now))
            break;
        q->pop();
        ++counters_.asdus_sent;
    }
    if (low_.empty())
        low_overflow_logged_ = false;
}

// ---- Checks and replies of a conforming controlled station ----

void Station::reply_mirror(ServerConnection &conn, std::span<const uint8_t> asdu, Cause cause, bool negative)
{
    const std::vector<uint8_t> reply = mirror_asdu(asdu, settings_.app, cause, negative);
    if (!reply.empty())
        conn.push_high(reply);
}

void Station::refuse(ServerConnection &conn, std::span<const uint8_t> asdu, Rejection reason, Cause cause,
                     const char *detail)
{
    reject(&conn, reason, detail);
    reply_mirror(conn, asdu, cause, true);
}

void Station::dispatch(ServerConnection &conn, std::span<const uint8_t> raw)
{
    const AppLayerParameters &p = settings_.app;
    AsduHeader h;
    size_t hsize = 0;
    if (AsduError e = decode_header(raw, p, h, hsize); e != AsduError::Ok) {
        conn.session_.fail(Rejection::MalformedAsdu, to_string(e));
        return;
    }
    char detail[96];
    const TypeInfo *ti = type_info(h.type);
    if (!ti || !ti->control) {
        std::snprintf(detail, sizeof detail, "type %u", static_cast<unsigned>(h.type));
        refuse(conn, raw, Rejection::UnknownType, Cause::UnknownType, detail);
        return;
    }
    Asdu req;
    if (AsduError e = decode_asdu(raw, p, req); e != AsduError::Ok) {
        std::snprintf(detail, sizeof detail, "%s: %s", type_name(h.type), to_string(e));
        conn.session_.fail(Rejection::MalformedAsdu, detail);
        return;
    }
    const char *name = type_name(h.type);
    if (settings_.common_address && h.common_address != *settings_.common_address &&
        !(h.common_address == p.broadcast_address() && broadcast_allowed(h.type))) {
        std::snprintf(detail, sizeof detail, "%s to common address %u", name, h.common_address);
        refuse(conn, raw, Rejection::UnknownCommonAddress, Cause::UnknownCommonAddress, detail);
        return;
    }
    switch (h.type) {
    case TypeId::C_IC_NA_1: handle_interrogation(conn, raw, req); return;
    case TypeId::C_CS_NA_1: handle_clock_sync(conn, raw, req); return;
    case TypeId::C_TS_TA_1: handle_test(conn, raw, req); return;
    default: handle_command(conn, raw, req); return;
    }
}

void Station::handle_interrogation(ServerConnection &conn, std::span<const uint8_t> raw, const Asdu &req)
{
    char detail[96];
    const Cause cause = req.header.cause;
    if (cause != Cause::Activation && cause != Cause::Deactivation) {
        std::snprintf(detail, sizeof detail, "C_IC_NA_1 with cause %u", static_cast<unsigned>(cause));
        refuse(conn, raw, Rejection::UnknownCause, Cause::UnknownCause, detail);
        return;
    }
    if (req.objects.size() != 1 || req.objects[0].ioa != 0) {
        std::snprintf(detail, sizeof detail, "C_IC_NA_1 at IOA %lu", static_cast<unsigned long>(req.objects[0].ioa));
        refuse(conn, raw, Rejection::UnknownIoa, Cause::UnknownIoa, detail);
        return;
    }
    if (cause == Cause::Deactivation) {
        // Interrogations are answered in full as soon as they arrive: nothing left to stop.
        refuse(conn, raw, Rejection::InterrogationRefused, Cause::DeactivationCon, "deactivation, none running");
        return;
    }
    const uint8_t qoi = std::get<InterrogationCommand>(req.objects[0].element).qoi;
    if (qoi < 20 || qoi > 36) {
        std::snprintf(detail, sizeof detail, "qualifier %u", qoi);
        refuse(conn, raw, Rejection::InterrogationRefused, Cause::ActivationCon, detail);
        return;
    }
    if (!on_interrogation_ || !on_interrogation_(conn, req, qoi)) {
        std::snprintf(detail, sizeof detail, "qualifier %u not served", qoi);
        refuse(conn, raw, Rejection::InterrogationRefused, Cause::ActivationCon, detail);
    }
}

void Station::handle_clock_sync(ServerConnection &conn, std::span<const uint8_t> raw, const Asdu &req)
{
    char detail[96];
    if (req.header.cause != Cause::Activation) {
        std::snprintf(detail, sizeof detail, "C_CS_NA_1 with cause %u", static_cast<unsigned>(req.header.cause));
        refuse(conn, raw, Rejection::UnknownCause, Cause::UnknownCause, detail);
        return;
    }
    if (req.objects.size() != 1 || req.objects[0].ioa != 0) {
        std::snprintf(detail, sizeof detail, "C_CS_NA_1 at IOA %lu", static_cast<unsigned long>(req.objects[0].ioa));
        refuse(conn, raw, Rejection::UnknownIoa, Cause::UnknownIoa, detail);
        return;
    }
    const Cp56Time2a &t = std::get<ClockSyncCommand>(req.objects[0].element).time;
    if (!t.fields_valid()) {
        const std::string what = "impossible time " + describe(t);
        refuse(conn, raw, Rejection::ClockSyncRefused, Cause::ActivationCon, what.c_str());
        return;
    }
    if (!on_clock_ || !on_clock_(conn, req, t)) {
        refuse(conn, raw, Rejection::ClockSyncRefused, Cause::ActivationCon, "not accepted");
        return;
    }
    reply_mirror(conn, raw, Cause::ActivationCon, false);
}

void Station::handle_test(ServerConnection &conn, std::span<const uint8_t> raw, const Asdu &req)
{
    char detail[96];
    if (req.header.cause != Cause::Activation) {
        std::snprintf(detail, sizeof detail, "C_TS_TA_1 with cause %u", static_cast<unsigned>(req.header.cause));
        refuse(conn, raw, Rejection::UnknownCause, Cause::UnknownCause, detail);
        return;
    }
    if (req.objects.size() != 1 || req.objects[0].ioa != 0) {
        std::snprintf(detail, sizeof detail, "C_TS_TA_1 at IOA %lu", static_cast<unsigned long>(req.objects[0].ioa));
        refuse(conn, raw, Rejection::UnknownIoa, Cause::UnknownIoa, detail);
        return;
    }
    // The test command comes back unchanged, confirmed.
    reply_mirror(conn, raw, Cause::ActivationCon, false);
}

void Station::handle_command(ServerConnection &conn, std::span<const uint8_t> raw, const Asdu &req)
{
    char detail[96];
    const char *name = type_name(req.header.type);
    const Cause cause = req.header.cause;
    if (cause != Cause::Activation && cause != Cause::Deactivation) {
        std::snprintf(detail, sizeof detail, "%s with cause %u", name, static_cast<unsigned>(cause));
        refuse(conn, raw, Rejection::UnknownCause, Cause::UnknownCause, detail);
        return;
    }
    const Cause con = cause == Cause::Activation ? Cause::ActivationCon : Cause::DeactivationCon;
    if (req.objects.size() != 1) {
        std::snprintf(detail, sizeof detail, "%s with %zu objects", name, req.objects.size());
        refuse(conn, raw, Rejection::CommandRefused, con, detail);
        return;
    }
    const AsduReply reply = on_asdu_ ? on_asdu_(conn, req) : AsduReply::UnknownType;
    std::snprintf(detail, sizeof detail, "%s at IOA %lu", name, static_cast<unsigned long>(req.objects[0].ioa));
    switch (reply) {
    case AsduReply::Handled: return;
    case AsduReply::Confirm: reply_mirror(conn, raw, con, false); return;
    case AsduReply::Refuse: refuse(conn, raw, Rejection::CommandRefused, con, detail); return;
    case AsduReply::UnknownType: refuse(conn, raw, Rejection::UnknownType, Cause::UnknownType, detail); return;
    case AsduReply::UnknownCause: refuse(conn, raw, Rejection::UnknownCause, Cause::UnknownCause, detail); return;
    case AsduReply::UnknownIoa: refuse(conn, raw, Rejection::UnknownIoa, Cause::UnknownIoa, detail); return;
    }
}

} // namespace iec104

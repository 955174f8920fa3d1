#include "iec104/client.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>

#include "net/socket.h"

namespace iec104 {

namespace {
constexpr size_t kReadBudget = 64 * 1024;
}

struct Client::Socket {
    net::UniqueFd fd;
    bool peer_closed = false;
};

Client::Client(ClientSettings settings)
    : settings_(std::move(settings)), socket_(std::make_unique<Socket>()),
      queue_(settings_.queue_size ? settings_.queue_size : 1)
{
}

Client::~Client()
{
    on_event_ = nullptr;
    log_ = nullptr;
    close();
}

bool Client::connected() const { return socket_->fd.valid(); }

void Client::logf(LogLevel level, const char *fmt, ...)
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

bool Client::connect(const std::string &host, uint16_t port)
{
    close();
    if (!settings_.apci.valid() || !settings_.app.valid()) {
        logf(LogLevel::Error, "invalid link or field-size parameters");
        return false;
    }
    std::string error;
    net::UniqueFd fd = net::connect_tcp(host, port, settings_.connect_timeout, error);
    if (!fd.valid()) {
        logf(LogLevel::Error, "cannot connect to %s:%u: %s", host.c_str(), port, error.c_str());
        return false;
    }
    socket_->fd = std::move(fd);
    socket_->peer_closed = false;
    SessionUser &self = *this;
    session_ = std::make_unique<Session>(Role::ControllingStation, settings_.apci, self, Clock::now());
    logf(LogLevel::Info, "connected to %s:%u", host.c_str(), port);
    return true;
}

void Client::close()
{
    if (!connected())
        return;
    if (dispatching_) {
        close_requested_ = true;
        return;
    }
    close_requested_ = false;
    flush();
    socket_->fd.reset();
    session_.reset();
    queue_.clear();
    logf(LogLevel::Info, "connection closed");
    if (on_event_)
        on_event_(ClientEvent::Closed);
}

void Client::start_dt()
{
    if (!session_)
        return;
    session_->request_start(Clock::now());
    flush();
}

void Client::stop_dt()
{
    if (!session_)
        return;
    session_->request_stop(Clock::now());
    flush();
}

bool Client::send_asdu(const Asdu &asdu)
{
    if (!connected())
        return false;
    std::array<uint8_t, kMaxAsduSize> buf;
    ByteWriter w(buf);
    if (AsduError e = encode_asdu(asdu, settings_.app, w); e != AsduError::Ok) {
        logf(LogLevel::Error, "cannot send ASDU: %s", to_string(e));
        return false;
    }
    if (!queue_.push(w.written())) {
        counters_.count(Rejection::HighPriorityQueueFull);
        logf(LogLevel::Warning, "request queue full, ASDU not sent");
        return false;
    }
    const TimePoint now = Clock::now();
    pump(now);
    flush();
    return true;
}

namespace {

Asdu single_object(TypeId type, Cause cause, uint8_t originator, uint16_t ca, uint32_t ioa, Element e,
                   std::optional<Cp56Time2a> time = std::nullopt)
{
    Asdu a;
    a.header.type = type;
    a.header.cause = cause;
    a.header.originator = originator;
    a.header.common_address = ca;
    a.objects.push_back({ioa, std::move(e), time});
    return a;
}

} // namespace

bool Client::send_interrogation(uint16_t common_address, uint8_t qoi)
{
    return send_asdu(single_object(TypeId::C_IC_NA_1, Cause::Activation, settings_.originator, common_address, 0,
                                   InterrogationCommand{qoi}));
}

bool Client::send_clock_sync(uint16_t common_address, const Cp56Time2a &time)
{
    return send_asdu(single_object(TypeId::C_CS_NA_1, Cause::Activation, settings_.originator, common_address, 0,
                                   ClockSyncCommand{time}));
}

bool Client::send_test_command(uint16_t common_address, uint16_t counter, const Cp56Time2a &time)
{
    return send_asdu(single_object(TypeId::C_TS_TA_1, Cause::Activation, settings_.originator, common_address, 0,
                                   TestCommandWithTime{counter, time}));
}

bool Client::send_command(uint16_t common_address, uint32_t ioa, const Element &command,
                          std::optional<Cp56Time2a> time, Cause cause)
{
    const auto type = type_for(command, time.has_value());
    const TypeInfo *ti = type ? type_info(*type) : nullptr;
    if (!ti || !ti->control) {
        logf(LogLevel::Error, "not a command element");
        return false;
    }
    return send_asdu(single_object(*type, cause, settings_.originator, common_address, ioa, command, time));
}

void Client::tick() { tick(Clock::now()); }

void Client::tick(TimePoint now)
{
    if (!connected())
        return;
    std::array<uint8_t, 4096> buf;
    size_t budget = kReadBudget;
    while (budget > 0 && session_ && !session_->closed()) {
        size_t n = 0;
        const net::IoStatus st = net::read_some(socket_->fd.get(), buf, n);
        if (st == net::IoStatus::WouldBlock)
            break;
        if (st != net::IoStatus::Ok) {
            socket_->peer_closed = true;
            break;
        }
        dispatching_ = true;
        session_->receive({buf.data(), n}, now);
        dispatching_ = false;
        budget -= std::min(n, budget);
        if (close_requested_)
            break;
    }
    if (close_requested_) {
        close();
        return;
    }
    session_->tick(now);
    pump(now);
    flush();
    if (socket_->peer_closed || session_->closed()) {
        if (socket_->peer_closed)
            logf(LogLevel::Info, "peer closed the connection");
        close();
    }
}

void Client::pump(TimePoint now)
{
    while (session_ && !queue_.empty() && session_->can_send()) {
        if (!session_->send_asdu(queue_.front(), now))
            break;
        queue_.pop();
        ++counters_.asdus_sent;
    }
}

void Client::flush()
{
    while (session_ && connected() && !socket_->peer_closed) {
        const auto out = session_->output();
        if (out.empty())
            return;
        size_t n = 0;
        const net::IoStatus st = net::write_some(socket_->fd.get(), out, n);
        if (st == net::IoStatus::Error) {
            socket_->peer_closed = true;
            return;
        }
        session_->consume_output(n);
        if (st == net::IoStatus::WouldBlock || n < out.size())
            return;
    }
}

std::vector<pollfd> Client::descriptors() const
{
    std::vector<pollfd> fds;
    if (!connected())
        return fds;
    short events = POLLIN;
    if (session_ && !session_->output().empty())
        events |= POLLOUT;
    fds.push_back({socket_->fd.get(), events, 0});
    return fds;
}

void Client::wait(Millis timeout)
{
    if (!connected())
        return;
    std::vector<pollfd> fds = descriptors();
    Millis limit = timeout;
    if (const auto deadline = session_ ? session_->next_deadline() : std::nullopt) {
        const auto until = std::chrono::duration_cast<Millis>(*deadline - Clock::now()) + Millis(1);
        limit = std::clamp(until, Millis(0), timeout);
    }
    ::poll(fds.data(), fds.size(), static_cast<int>(limit.count()));
    tick();
}

void Client::on_asdu(std::span<const uint8_t> raw)
{
    ++counters_.asdus_received;
    Asdu asdu;
    const AsduError e = decode_asdu(raw, settings_.app, asdu, settings_.tolerate_trailing_octets);
    if (e != AsduError::Ok) {
        const Rejection r = e == AsduError::UnknownType ? Rejection::UnknownType : Rejection::MalformedAsdu;
        counters_.count(r);
        logf(LogLevel::Warning, "ASDU ignored: %s (type %u)", to_string(e), raw.empty() ? 0u : raw[0]);
        return;
    }
    if (on_asdu_)
        on_asdu_(asdu);
}

void Client::on_started()
{
    logf(LogLevel::Info, "data transfer started");
    if (on_event_)
        on_event_(ClientEvent::Started);
}

void Client::on_stopped()
{
    logf(LogLevel::Info, "data transfer stopped");
    if (on_event_)
        on_event_(ClientEvent::Stopped);
}

void Client::on_frame(std::span<const uint8_t> frame, bool sent)
{
    if (sent)
        ++counters_.frames_sent;
    else
        ++counters_.frames_received;
    if (on_raw_)
        on_raw_(frame, sent);
}

void Client::on_rejection(Rejection reason, const char *detail)
{
    counters_.count(reason);
    logf(LogLevel::Warning, "%s: %s", to_string(reason), detail);
}

} // namespace iec104

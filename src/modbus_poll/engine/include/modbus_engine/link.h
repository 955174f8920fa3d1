// The Modbus master's link: an RS485 or RS232 line (RTU framing) or a TCP client connection (TCP
// framing), with the blocking read and write transactions that run on it. All waiting happens in
// the small receive routine, bounded by the reply timeout; framing and validation live in frame.h.
#pragma once

#include "modbus_engine/frame.h"

#include <cstdint>
#include <span>
#include <string>

namespace modbus
{

enum class LinkKind : uint8_t { rs485 = 0, rs232 = 1, tcp_client = 2 };

// "RS485", "RS232", "TCP Client", or "Unknow" for anything else.
const char *link_kind_text(uint8_t kind);

// What the link reports to the applet that owns it.
class LinkObserver
{
  public:
    virtual ~LinkObserver() = default;
    // A connection-level status text: "Open serial port error", "Connection failed", a socket error.
    virtual void connection_status(const char *text) = 0;
};

// A callable invoked after every send whose reads all failed (so a "Read error" can be published
// while the transaction is still retrying). Holds a reference; nothing is allocated.
class ReadErrorHook
{
  public:
    ReadErrorHook() = default;
    template <typename F> ReadErrorHook(F &f) : object_(&f), call_([](void *o) { (*static_cast<F *>(o))(); }) {}
    void operator()() const
    {
        if (call_)
            call_(object_);
    }

  private:
    void *object_ = nullptr;
    void (*call_)(void *) = nullptr;
};

struct ReadRequest {
    uint8_t slave_id = 0;
    uint8_t func_code = 0;
    uint16_t start = 0;
    uint16_t quantity = 0;
    uint32_t data_bytes = 0;         // data bytes a valid reply carries
    bool byte_count_at_most = false; // accept fewer data bytes (the reply's count decides)
};

struct ReadResult {
    ChannelState state = ChannelState::read_error;
    uint8_t exception_code = 0;
    int last_read = 0;             // result of the last read (for "Read error (%d)")
    bool aborted = false;          // the process is stopping; nothing more should be done
    std::span<const uint8_t> data; // valid until the next transaction on this link
};

class Link
{
  public:
    Link() = default;
    ~Link();
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;

    // Settings, filled by the configuration loader.
    uint8_t kind = uint8_t(LinkKind::rs485);
    std::string device;
    uint32_t baud_rate = 0;
    uint8_t data_bits = 0, stop_bits = 0, parity = 0;
    std::string server_addr;
    bool server_is_ip = false;
    bool server_in_lan = false;
    uint32_t server_port = 0;
    uint8_t connect_timeout = 0; // s
    uint32_t resp_timeout = 0;   // ms, afresh for every chunk of a reply
    uint8_t re_send = 0;
    uint8_t re_receive = 0;
    bool verbose_frames = false;

    // Run-time state.
    uint16_t transaction_id = 0;
    bool write_in_progress = false;
    LinkObserver *observer = nullptr;

    Framing framing() const { return kind == uint8_t(LinkKind::tcp_client) ? Framing::tcp : Framing::rtu; }
    bool is_tcp() const { return kind == uint8_t(LinkKind::tcp_client); }
    bool is_open() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    // Opens the line or connects, by kind; reports failures to the observer. True when open.
    bool open();
    void close();
    // The router's uplink changed: a TCP link to a server outside the LAN is reopened, a closed TCP
    // link is retried; serial links are left alone.
    void uplink_changed();

    // One read transaction with its resends and re-reads. `on_read_error` runs after every send
    // whose reads all failed. With `advance_transaction_id` a valid TCP reply moves the
    // transaction id on (a monitoring read leaves it).
    ReadResult read(const ReadRequest &request, ReadErrorHook on_read_error = {}, bool advance_transaction_id = true);

    // One write transaction for function 5, 6 or 16 with prepared data bytes. Logs and refuses 15
    // and unknown codes. A short write closes the link and reopens it at once. True when the
    // device confirmed the write.
    bool write(uint8_t slave_id, uint8_t func_code, uint16_t address, std::span<const uint8_t> data);

  private:
    bool open_serial();
    bool open_tcp();
    void report(const char *text);
    void wait_for_write();
    bool send_frame(const uint8_t *frame, size_t length, const char *tag);
    // Waits up to resp_timeout for input: >0 readable, 0 timeout, <0 error or stop request.
    int wait_readable();
    // Reads one reply of up to `normal_length` bytes, stopping early after an exception reply.
    // Returns the byte count, 0 when nothing came in time, -1 on an error before any byte.
    int receive(size_t normal_length, uint8_t func_code, const char *tag, bool byte_count_at_most = false);

    int fd_ = -1;
    bool stale_input_ = false;     // the stream may hold bytes of an earlier exchange
    uint32_t applied_timeout_ = 0; // receive timeout set on the TCP socket
    unsigned write_waits_ = 0;
    uint8_t reply_[kReplyBufferSize] = {};
};

// Checks a write function code before anything is prepared: logs "write multiple coils not
// support now" for 15 and "unkonw modbus write func code (%d)" for codes other than 5, 6, 16.
bool write_func_code_supported(uint8_t func_code);

// Sleeps `ms` milliseconds, resuming after unrelated signals; false when the process is asked to
// stop (the sleep then ends early).
bool pause_ms(long ms);

} // namespace modbus

#include "modbus_poll/poller.h"

#include "common/daemon.h"
#include "common/log.h"
#include "common/routines.h"
#include "fieldbridge/root.h"

#include <json-c/json.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

namespace mbp
{

namespace
{

uint32_t now()
{
    return uint32_t(time(nullptr));
}

void conf_error(const char *func, int line)
{
    FB_LOG_ERR("error in %s, %s:%d", kSourceName, func, line);
}

// Adds one value to a channel's text: the value at the channel's own address starts it, every other
// one is appended after ", ". The text is cut, never overrun.
void add_to_text(Channel &ch, int register_addr, const char *text)
{
    if (register_addr == ch.register_addr) {
        snprintf(ch.value_text, sizeof ch.value_text, "%s", text);
        return;
    }
    size_t used = strnlen(ch.value_text, sizeof ch.value_text - 1);
    snprintf(ch.value_text + used, sizeof ch.value_text - used, ", %s", text);
}

const char *status_type_text(uint8_t kind)
{
    switch (modbus::LinkKind(kind)) {
    case modbus::LinkKind::tcp_client:
        return "TCP";
    case modbus::LinkKind::rs232:
        return "RS232";
    default:
        return "RS485";
    }
}

} // namespace

Poller::Poller(Config &conf, Publisher &publisher) : conf_(conf), pub_(publisher)
{
    conf_.link.observer = this;
    reconnect_interval_ = conf_.reconnect_interval;
}

void Poller::connection_status(const char *text)
{
    const int id = conf_.connection_ids.empty() ? 0 : conf_.connection_ids.front();
    pub_.poll_status(id, conf_.link.kind, now(), text, nullptr, 0);
}

void Poller::publish_channel_status(const Channel &ch, const char *text)
{
    const uint32_t t = now();
    const unsigned step = ch.registers_per_value ? ch.registers_per_value : 1;
    for (unsigned k = 0; k * step < ch.quantity; ++k)
        pub_.poll_status(ch.connection_id, conf_.link.kind, t, text, &ch, int(ch.register_addr + k * step));
}

void Poller::send_scan_end(int connection_id, int value)
{
    if (connection_id != 0)
        pub_.scan_end(connection_id, value);
}

void Poller::log_reconnect()
{
    FB_LOG_DEBUG("reconnect after %ds", reconnect_interval_);
}

void Poller::start()
{
    if (conf_.link.open())
        run_scan();
    else
        log_reconnect();
}

void Poller::write_status_rows()
{
    if (!conf_.enable_status)
        return;
    char number[16];
    int row = conf_.status_offset;
    for (const auto &ch : conf_.channels) {
        ++row;
        usi_list_set(kStatusList, row, "desc", ch->desc.c_str());
        snprintf(number, sizeof number, "%d", ch->connection_id);
        usi_list_set(kStatusList, row, "connection_index", number);
        usi_list_set(kStatusList, row, "type", status_type_text(conf_.link.kind));
        snprintf(number, sizeof number, "%d", ch->slave_id);
        usi_list_set(kStatusList, row, "slave_id", number);
        snprintf(number, sizeof number, "%d", ch->register_addr);
        usi_list_set(kStatusList, row, "reg_address", number);
        snprintf(number, sizeof number, "%d", ch->func_code);
        usi_list_set(kStatusList, row, "func_code", number);
        usi_list_set(kStatusList, row, "status", "connecting");
        usi_list_set(kStatusList, row, "value", "");
    }
}

void Poller::on_scan_timer()
{
    if (conf_.link.is_open())
        run_scan();
}

void Poller::run_scan()
{
    scan_in_progress_ = true;
    ScanResult r = scan();
    scan_in_progress_ = false;
    if (r == scan_ok || fb::stop_requested())
        return;
    conf_.link.close();
    if (conf_.link.is_tcp())
        FB_LOG_ERR("modbus tcp disconnected, host: %s:%d", conf_.link.server_addr.c_str(), int(conf_.link.server_port));
    else
        FB_LOG_ERR("modbus serial disconnected");
    log_reconnect();
}

Poller::ScanResult Poller::scan()
{
    modbus::Link &link = conf_.link;
    auto &channels = conf_.channels;
    published_ = false;
    for (size_t i = 0; i < channels.size(); ++i) {
        Channel &ch = *channels[i];
        const bool last = i + 1 == channels.size();
        ch.state = uint8_t(modbus::ChannelState::reading);
        auto read_error = [this, &ch] { publish_channel_status(ch, "Read error"); };
        modbus::ReadResult r = link.read(ch.request(), modbus::ReadErrorHook(read_error));
        if (r.aborted)
            return scan_ok;
        ch.state = uint8_t(r.state);
        if (r.state == modbus::ChannelState::read_ok) {
            if (ch.previous)
                std::copy(r.data.begin(), r.data.end(), ch.previous.get());
            publish_values(ch, r.data);
        } else if (r.state == modbus::ChannelState::write_error) {
            FB_LOG_ERR("Write error");
            send_scan_end(ch.connection_id, published_);
            if (!link.is_tcp()) {
                modbus::pause_ms(1000);
                publish_channel_status(ch, "Write error");
                link.close();
                link.open();
            } else {
                publish_channel_status(ch, "Write error");
            }
            return scan_link_failed;
        } else {
            ch.exception_code = r.exception_code;
            // Read errors were published after each send, while the transaction retried.
            if (r.state != modbus::ChannelState::read_error)
                publish_channel_status(ch, modbus::failure_text(ch.state, ch.exception_code));
            if (last && link.is_tcp() && r.state == modbus::ChannelState::read_error && !link.is_open()) {
                send_scan_end(ch.connection_id, published_);
                return scan_tcp_lost;
            }
        }
        if (!link.is_tcp() && !last && channels[i + 1]->connection_id != ch.connection_id)
            send_scan_end(ch.connection_id, published_);
        if (r.state == modbus::ChannelState::read_ok && !last && conf_.delay_between_polls > 0) {
            if (!modbus::pause_ms(conf_.delay_between_polls))
                return scan_ok;
        }
    }
    if (!channels.empty())
        send_scan_end(channels.back()->connection_id, published_);
    return scan_ok;
}

void Poller::publish_values(Channel &ch, std::span<const uint8_t> data)
{
    const modbus::ValueFormat format = ch.format();
    if (ch.is_coil()) {
        modbus::walk_coils(ch.quantity, data, [&](size_t j, int bit) {
            char text[4];
            snprintf(text, sizeof text, "%d", bit);
            const int addr = int(ch.register_addr + j);
            add_to_text(ch, addr, text);
            ch.state = uint8_t(modbus::ChannelState::read_ok);
            pub_.read_data(ch, addr, now(), text);
        });
    } else if (ch.multiple_register) {
        modbus::walk_registers(format, data, [&](size_t k, const char *text) {
            const int addr = int(ch.register_addr + k / 2);
            add_to_text(ch, addr, text);
            ch.state = uint8_t(modbus::ChannelState::read_ok);
            pub_.read_data(ch, addr, now(), text);
        });
    } else {
        if (data.size() < modbus::byte_order_size(format.order))
            return;
        ch.timestamp = now();
        ch.raw = modbus::format_scaled(format, data.data(), ch.value_text, sizeof ch.value_text).raw;
        ch.state = uint8_t(modbus::ChannelState::read_ok);
        pub_.read_data(ch, ch.register_addr, ch.timestamp, ch.value_text);
    }
    published_ = true;
}

void Poller::on_tick()
{
    modbus::Link &link = conf_.link;
    if (!link.is_open()) {
        if (reconnect_interval_ < reconnect_counter_ + 1) {
            reconnect_counter_ = 0;
            if (!link.open()) {
                reconnect_interval_ =
                    reconnect_interval_ > 599 ? 600 : std::min(600, reconnect_interval_ + conf_.reconnect_interval);
                log_reconnect();
            } else {
                reconnect_interval_ = conf_.reconnect_interval;
                run_scan();
                if (restart_scan_timer)
                    restart_scan_timer();
            }
        } else {
            ++reconnect_counter_;
        }
        return;
    }
    if (scan_in_progress_) {
        for (auto &ch : conf_.channels)
            ch->monitor_counter = 0;
        return;
    }
    for (auto &ch : conf_.channels) {
        if (ch->monitoring_interval == 0)
            continue;
        if (ch->monitor_counter + 1 < ch->monitoring_interval) {
            ++ch->monitor_counter;
            continue;
        }
        ch->monitor_counter = 0;
        if (monitor(*ch) == 1) {
            scan();
            break;
        }
    }
}

int Poller::monitor(Channel &ch)
{
    modbus::Link &link = conf_.link;
    modbus::ReadResult r = link.read(ch.request(), {}, false);
    if (r.aborted)
        return 0;
    if (r.state != modbus::ChannelState::read_ok) {
        if (r.state == modbus::ChannelState::unexpected_bytes)
            return 0;
        ch.state = uint8_t(r.state);
        ch.exception_code = r.exception_code;
        return r.state == modbus::ChannelState::write_error && link.is_tcp() ? 1 : 0;
    }
    bool changed = false;
    for (size_t i = 0; i < r.data.size(); ++i) {
        if (ch.previous[i] != r.data[i]) {
            changed = true;
            ch.previous[i] = r.data[i];
        }
    }
    if (!changed)
        return 0;
    if (!ch.send_only_changed)
        return 1;
    publish_values(ch, r.data);
    send_scan_end(ch.connection_id, 1);
    return 0;
}

void Poller::on_status_request()
{
    if (!conf_.enable_status || status_update_in_progress_)
        return;
    status_update_in_progress_ = true;
    mbp_dynamic_status_updated();
    status_update_in_progress_ = false;
}

namespace
{

struct FdCloser {
    int fd;
    ~FdCloser()
    {
        if (fd >= 0)
            close(fd);
    }
};

struct JsonPut {
    void operator()(json_object *o) const { json_object_put(o); }
};

// Replaces the string of an existing key; a key that is not there is reported and left out.
void set_existing(json_object *row, const char *key, const char *value)
{
    json_object *v = nullptr;
    if (!json_object_object_get_ex(row, key, &v)) {
        FB_LOG_ERR("Node %s not found", key);
        return;
    }
    json_object_object_add(row, key, json_object_new_string(value));
}

} // namespace

void Poller::mbp_dynamic_status_updated()
{
    const std::string path = fb::root_path(kStatusFile);
    FdCloser file{open(path.c_str(), O_RDWR | O_CLOEXEC)};
    if (file.fd < 0) {
        conf_error(__func__, 987);
        return;
    }
    if (file_write_lock(file.fd) < 0) {
        conf_error(__func__, 993);
        return;
    }
    struct Unlock {
        int fd;
        ~Unlock() { file_unlock(fd); }
    } unlock{file.fd};

    struct stat st {
    };
    if (fstat(file.fd, &st) != 0) {
        FB_LOG_ERR("Failed to get file stats (%s)", kStatusFile);
        return;
    }
    std::string content(size_t(st.st_size), '\0');
    size_t got = 0;
    while (got < content.size()) {
        ssize_t n = read(file.fd, content.data() + got, content.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += size_t(n);
    }
    if (got != content.size()) {
        FB_LOG_ERR("Failed to read file (%s)", kStatusFile);
        return;
    }
    std::unique_ptr<json_object, JsonPut> doc(json_tokener_parse(content.c_str()));
    if (!doc) {
        FB_LOG_ERR("Error parsing JSON from file (%s)", kStatusFile);
        return;
    }
    json_object *rows = nullptr;
    if (!json_object_object_get_ex(doc.get(), "channel", &rows) || !json_object_is_type(rows, json_type_array))
        return;

    const size_t count = json_object_array_length(rows);
    int position = conf_.status_offset;
    char row_text[16];
    for (const auto &ch : conf_.channels) {
        snprintf(row_text, sizeof row_text, "%d", ++position);
        json_object *row = nullptr;
        for (size_t i = 0; i < count && !row; ++i) {
            json_object *candidate = json_object_array_get_idx(rows, i);
            json_object *id = nullptr;
            if (candidate && json_object_object_get_ex(candidate, "id", &id) && id &&
                strcmp(json_object_get_string(id), row_text) == 0)
                row = candidate;
        }
        if (!row || !json_object_is_type(row, json_type_object))
            continue;
        if (!conf_.link.is_open()) {
            set_existing(row, "status", "connecting");
        } else {
            set_existing(row, "status", modbus::failure_text(ch->state, ch->exception_code));
            if (ch->state == uint8_t(modbus::ChannelState::read_ok))
                set_existing(row, "value", ch->value_text);
        }
    }

    const char *text = json_object_to_json_string_ext(doc.get(), JSON_C_TO_STRING_PRETTY);
    const size_t length = strlen(text);
    // Written from the start and then cut to its length, so a reader holding the lock never meets
    // an empty file.
    if (lseek(file.fd, 0, SEEK_SET) != 0 ||
        write_fully(file.fd, reinterpret_cast<const uint8_t *>(text), int(length)) != int(length)) {
        FB_LOG_ERR("Failed to write file (%s)", kStatusFile);
        return;
    }
    if (ftruncate(file.fd, off_t(length)) != 0)
        FB_LOG_ERR("Failed to write file (%s)", kStatusFile);
}

void Poller::on_uplink_changed()
{
    conf_.link.uplink_changed();
}

void Poller::on_terminate()
{
    FB_LOG_DEBUG("Signal SIGTERM receive");
    const uint32_t t = now();
    for (uint8_t id : conf_.connection_ids) {
        pub_.poll_status(id, conf_.link.kind, t, "Program exits", nullptr, 0);
        send_scan_end(id, 0);
    }
}

bool Poller::perform_write(uint8_t slave_id, uint8_t func_code, uint16_t reg_addr, const char *endian,
                           const char *value)
{
    if (!modbus::write_func_code_supported(func_code))
        return false;
    uint8_t bytes[8];
    modbus::EncodeError error;
    size_t n = modbus::encode_write_value(func_code, endian, value, bytes, error);
    if (n == 0) {
        if (error == modbus::EncodeError::bad_order)
            FB_LOG_ERR("endian %s can not be used with func code %d", endian ? endian : "", func_code);
        else
            FB_LOG_ERR("invalid write value: %s", value ? value : "");
        return false;
    }
    if (!conf_.link.write(slave_id, func_code, reg_addr, std::span<const uint8_t>(bytes, n)))
        return false;
    FB_LOG_INFO("modbus write slave:%d reg:%d value: %s is successful", slave_id, reg_addr, value);
    return true;
}

namespace
{

void touch_result_file()
{
    if (!lib_file_exists(kWriteResultFile))
        lib_file_touch(kWriteResultFile);
}

} // namespace

void Poller::write_data(long connection_id, long slave_id, long func_code, long reg_addr, const char *endian,
                        const char *value)
{
    if (!conf_.serves(connection_id & 0xFF))
        return;
    touch_result_file();
    conf_.link.write_in_progress = true;
    FB_LOG_VERBOSE("connection_index: %d slave_id: %d func_code: %d endian: %s reg_addr: %d value: %s",
                   int(connection_id), int(slave_id), int(func_code), endian, int(reg_addr), value);
    bool ok = perform_write(uint8_t(slave_id), uint8_t(func_code), uint16_t(reg_addr), endian, value);
    usi_set(kWriteResultKey, ok ? "ok" : "failed");
    conf_.link.write_in_progress = false;
}

void Poller::write_channels(long connection_id, const std::vector<std::string> &chanids,
                            const std::vector<std::string> &values)
{
    for (size_t i = 0; i < chanids.size() && i < values.size(); ++i) {
        const std::string &text = chanids[i];
        const size_t dot = text.find('.');
        if (dot != std::string::npos && text.find('.', dot + 1) != std::string::npos) {
            FB_LOG_ERR("channel_index format error");
            return;
        }
        const long channel_id = strtol(text.substr(0, dot).c_str(), nullptr, 10);
        Channel *ch = conf_.find_channel(connection_id, channel_id);
        if (!ch)
            continue;
        const long address = dot == std::string::npos ? ch->register_addr : strtol(text.c_str() + dot + 1, nullptr, 10);
        uint8_t func_code;
        if (ch->func_code == 1) {
            func_code = 5;
        } else if (ch->func_code == 3) {
            const auto t = modbus::DataType(ch->data_type);
            func_code = t == modbus::DataType::boolean || t == modbus::DataType::int16 || t == modbus::DataType::uint16
                            ? 6
                            : 16;
        } else {
            FB_LOG_ERR("register can not be writing");
            return;
        }
        touch_result_file();
        bool ok = perform_write(ch->slave_id, func_code, uint16_t(address),
                                modbus::byte_order_name(modbus::ByteOrder(ch->byte_order)), values[i].c_str());
        usi_set(kWriteResultKey, ok ? "ok" : "failed");
    }
}

} // namespace mbp

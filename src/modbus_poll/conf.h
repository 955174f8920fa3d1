// modbus_poll configuration: which connections this process serves, the link settings of the first
// of them and the channel list of all of them, read from the JSON document written by the web
// interface.
#pragma once

#include "modbus_engine/link.h"
#include "modbus_engine/values.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct json_object;

namespace mbp
{

// The source name our structural error lines carry, as field engineers know it.
inline constexpr const char *kSourceName = "src/modbus_poll.c";
inline constexpr const char *kConfigPath = "/etc/config/applications/modbus_poll";
inline constexpr size_t kChannelTextSize = 1024;

struct Channel {
    uint64_t raw = 0;       // last scaled result (integer, or the double's bits)
    uint32_t timestamp = 0; // last decode, Unix seconds
    uint8_t exception_code = 0;
    uint8_t state = uint8_t(modbus::ChannelState::reading);
    uint8_t slave_id = 0;
    uint8_t func_code = 0;
    uint8_t decimal_places = 0;
    bool exponent = false;
    uint8_t start_bit = 0;
    uint8_t id = 0;
    uint8_t connection_id = 0;
    uint8_t number_of_16bits = 0;
    uint8_t number_of_32bits = 0;
    bool multiple_register = false;
    uint8_t monitoring_interval = 0; // s, 0 = off
    uint8_t registers_per_value = 0;
    uint16_t register_addr = 0;
    uint16_t quantity = 0;
    uint16_t monitor_counter = 0;
    uint16_t coil_bytes = 0;
    uint16_t expected_length = 0; // of a normal reply, in bytes
    int32_t multiplier = 0;
    int32_t divisor = 0;
    int32_t plus = 0;
    int32_t subtract = 0;
    bool send_only_changed = false;
    std::unique_ptr<uint8_t[]> previous; // data of the last monitoring read, when monitored
    std::string desc;
    uint32_t data_type = 0;  // modbus::DataType
    uint32_t byte_order = 0; // modbus::ByteOrder
    char value_text[kChannelTextSize] = {};

    bool is_coil() const { return func_code == 1 || func_code == 2; }
    // Data bytes of a valid reply: coil bytes for 1 and 2, two per register for 3 and 4.
    uint32_t data_bytes() const { return is_coil() ? coil_bytes : 2u * quantity; }
    modbus::ReadRequest request() const;
    modbus::ValueFormat format() const;
};

struct Config {
    modbus::Link link;
    std::vector<uint8_t> connection_ids; // served, ascending for serial lines
    std::string desc;
    uint32_t scan_rate = 0;          // ms
    int32_t reconnect_interval = 0;  // s
    int32_t delay_between_polls = 0; // ms
    bool enable_status = false;
    bool enable_logverbose = false;
    std::vector<std::unique_ptr<Channel>> channels; // by connection, then ascending channel id
    uint16_t status_offset = 0;

    bool serves(long connection_id) const;
    Channel *find_channel(long connection_id, long channel_id);
};

struct Selected {
    long id;
    int position; // in the "connection" array
};

// The connections a process started with (type, index) serves: the TCP connection whose id is the
// index, or every enabled connection of a serial type ordered by id. Empty on failure (logged).
std::vector<Selected> mbp_get_connection_index(json_object *root, const char *type, long index);

// Fills `conf` from the document; false (after logging the reason) when the configuration cannot
// be used.
bool mbp_conf_init(Config &conf, json_object *root, const char *type, long index);
// Reads the configuration file, then as above.
bool mbp_conf_init(Config &conf, const char *type, long index);

// Appends the enabled channels of `channels` (a connection's "channel" array) for `connection_id`.
bool mbp_conf_get_channel_para(Config &conf, uint8_t kind, json_object *channels, long connection_id);

// Number of channels whose "enable" is exactly "true".
int mbp_get_channel_index_count(json_object *channels);

// Rows of the shared status list that precede this process's rows.
uint16_t mbp_get_status_index(json_object *root, uint8_t kind, long index);

} // namespace mbp

// The configuration of one transport connection: the options of its element in the JSON document,
// the values derived from them, and the channel rules that pick the readings it forwards.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "transport/names.h"
#include "transport/reading.h"

struct json_object;

namespace transport {

enum class Protocol : uint8_t { None = 0, TcpClient = 1, Mqtt = 2, Ftp = 3, Gcloud = 4, Http = 5 };
enum class DataType : uint8_t { Single = 1, Combin1 = 2, Combin2 = 3, Combin3 = 4, Combin4 = 5 };
enum class SendOrder : uint8_t { LastInFirstOut = 1, LastInLastOut = 2 };
enum class DataLocation : uint8_t { Absent = 0, Null = 1, Ram = 2, Flash = 3 };
enum class CertType : uint8_t { None = 0, SelfCert = 1, CaOnly = 2 };
enum class Filter : uint8_t { None = 0, ChannelIndex = 1, SlaveId = 2, RegisterAddress = 3 };

// A JSON object owned by the holder (json-c reference counting behind a move-only handle).
class JsonRef {
public:
    JsonRef() = default;
    explicit JsonRef(json_object *obj) : obj_(obj) {}
    ~JsonRef();
    JsonRef(JsonRef &&o) noexcept : obj_(o.release()) {}
    JsonRef &operator=(JsonRef &&o) noexcept;
    JsonRef(const JsonRef &) = delete;
    JsonRef &operator=(const JsonRef &) = delete;

    json_object *get() const { return obj_; }
    json_object *release()
    {
        json_object *o = obj_;
        obj_ = nullptr;
        return o;
    }
    void reset(json_object *obj = nullptr);
    explicit operator bool() const { return obj_ != nullptr; }

private:
    json_object *obj_ = nullptr;
};

struct ChannelRule {
    int32_t register_addr = 0;
    int32_t slave_id = 0;
    uint8_t channel_index = 0;
    Filter filter = Filter::None;
    uint8_t connection_index = 0;
    uint8_t qos = 0;
    bool has_topic = false;
    std::string topic;
    JsonRef history_header; // header of the batch rebuilt from the cache
    Batch live_batch;
    Batch history_batch;
};

struct TransportConfig {
    uint8_t index = 0;
    bool loaded = false; // an enabled element with the right id was seen
    bool has_desc = false;
    std::string desc;
    Protocol protocol = Protocol::None;
    bool ubidos = false;
    std::string server_address;
    bool server_is_ipv4 = false;
    bool server_on_lan = false;
    int32_t server_port = 0;
    std::string server_uri; // empty when enable_ssl was never read
    bool has_auth_header = false;
    std::string auth_header;
    bool tls = false;
    std::string ca_file, client_cert_file, client_key_file; // empty: none
    CertType cert_type = CertType::None;
    std::string private_key_password;
    std::string username, password;
    bool has_credentials = false;
    std::string credentials;
    std::string client_id;
    std::string project_id, region, registry_id, device_id, algorithm;
    std::string subscribe_topic; // empty: none
    int32_t keepalive = 0;
    int32_t reconnect_interval = 0;
    uint8_t connect_timeout = 0;
    bool passive = false;
    uint8_t connect_retry = 0;
    bool enable_lwt = false;
    std::string lwt_topic, testament;
    bool enable_csv = false;
    int32_t send_interval = 0;
    uint16_t number_of_sent = 0;
    bool has_file_name = false;
    std::string file_name;
    int32_t upload_interval = 0;
    DataType data_type = DataType::Single;
    SendOrder send_order = SendOrder::LastInLastOut;
    DataLocation data_location = DataLocation::Absent;
    std::string data_location_text; // as written, compared when counting connections
    bool has_data_format = false;
    std::string data_format;
    bool line_break = false;
    uint8_t connection_count = 0;
    std::string serial_number;
    std::vector<std::unique_ptr<ChannelRule>> rules;

    bool combined() const { return data_type != DataType::Single; }
    bool mqtt_family() const { return protocol == Protocol::Mqtt || protocol == Protocol::Gcloud; }
};

class Flavour;

// Loads the element of the given id from the flavour's configuration document. Returns false (and
// leaves `cfg` unusable) when the load fails; the messages are logged as it goes.
bool conf_init(const Flavour &flavour, int index, TransportConfig &cfg);

// The plain text of a value that may be stored encrypted (des3, then aes256, else as written).
std::string decrypt_value(const char *text);

const char *protocol_name(Protocol p);

} // namespace transport

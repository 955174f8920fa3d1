#include "transport/config.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <json-c/json.h>

#include "common/log.h"
#include "common/routines.h"
#include "fieldbridge/root.h"
#include "transport/flavour.h"

namespace transport {

JsonRef::~JsonRef() { reset(); }

JsonRef &JsonRef::operator=(JsonRef &&o) noexcept
{
    if (this != &o)
        reset(o.release());
    return *this;
}

void JsonRef::reset(json_object *obj)
{
    if (obj_)
        json_object_put(obj_);
    obj_ = obj;
}

const char *protocol_name(Protocol p)
{
    switch (p) {
    case Protocol::TcpClient: return "tcp_client";
    case Protocol::Mqtt: return "mqtt";
    case Protocol::Ftp: return "ftp";
    case Protocol::Gcloud: return "gcloud";
    case Protocol::Http: return "http";
    default: return "none";
    }
}

namespace {

// Owned string from the support library.
struct CString {
    char *p = nullptr;
    explicit CString(char *s) : p(s) {}
    ~CString() { free(p); }
    CString(const CString &) = delete;
    CString &operator=(const CString &) = delete;
};

bool file_exists(const std::string &router_path) { return lib_file_exists(router_path.c_str()) != 0; }

std::string cert_path(const TransportNames &names, int index, const char *file)
{
    char dir[256];
    snprintf(dir, sizeof dir, names.cert_dir, index);
    return std::string(dir) + file;
}

// Option scopes, by protocol code. ubidos shares the mqtt code.
bool in(Protocol p, std::initializer_list<Protocol> set)
{
    for (Protocol q : set)
        if (p == q)
            return true;
    return false;
}

class Loader {
public:
    Loader(const Flavour &flavour, int index, TransportConfig &cfg)
        : flavour_(flavour), names_(flavour.names()), index_(index), cfg_(cfg)
    {
    }

    bool load();

private:
    enum class Step { Next, Leave, Fail };

    Step option(const char *key, json_object *value);
    bool channels(json_object *array);
    void connection_count(json_object *connections);
    // A key present with a JSON null: log and fail.
    Step null_fails(json_object *value, const char *message)
    {
        if (value)
            return Step::Next;
        FB_LOG_ERR("%s", message);
        return Step::Fail;
    }
    void enable_ssl(const char *text);
    bool cert_type(const char *text);

    const Flavour &flavour_;
    const TransportNames &names_;
    int index_;
    TransportConfig &cfg_;
};

bool Loader::load()
{
    CString serial(usi_get("system.serial_number"));
    if (!serial.p) {
        FB_LOG_ERR("can no get devices serial number");
        return false;
    }
    cfg_.serial_number.assign(serial.p, strnlen(serial.p, 63));

    char key[128];
    snprintf(key, sizeof key, names_.uptimestamp_key, index_);
    usi_printf(key, "%d", static_cast<int>(uptime_seconds()));

    std::string path = fb::root_path(names_.config_path);
    json_object *root = json_object_from_file(path.c_str());
    if (!root)
        return false;
    JsonRef holder(root);
    json_object *connections = nullptr;
    if (!json_object_object_get_ex(root, "connection", &connections) || !connections ||
        !json_object_is_type(connections, json_type_array))
        return false;

    size_t n = json_object_array_length(connections);
    for (size_t i = 0; i < n; ++i) {
        json_object *element = json_object_array_get_idx(connections, i);
        if (!element) {
            FB_LOG_ERR("error in %s, %s:%d", names_.source, names_.fn_conf_init, names_.line_conf_null_element);
            return false;
        }
        if (!json_object_is_type(element, json_type_object))
            continue;
        bool leave = false;
        json_object_object_foreach(element, k, v)
        {
            if (leave)
                break;
            Step s = option(k, v);
            if (s == Step::Fail)
                return false;
            if (s == Step::Leave)
                leave = true;
        }
    }

    // The FTP queue is a file of lines, one reading each: only the single layout fits it.
    if (cfg_.protocol == Protocol::Ftp)
        cfg_.data_type = DataType::Single;

    if (cfg_.data_location != DataLocation::Absent && cfg_.data_location != DataLocation::Null)
        connection_count(connections);

    return cfg_.loaded;
}

Loader::Step Loader::option(const char *key, json_object *value)
{
    const char *text = json_object_get_string(value);
    const Protocol p = cfg_.protocol;

    if (!strcmp(key, "id")) {
        // Elements of other connections are left at their first key.
        if (!text || atoi(text) != index_)
            return Step::Leave;
        return Step::Next;
    }
    if (!strcmp(key, "enable")) {
        if (text && !strcmp(text, "false"))
            return Step::Leave;
        cfg_.index = static_cast<uint8_t>(index_);
        cfg_.loaded = true;
        return Step::Next;
    }
    if (!strcmp(key, "desc")) {
        if (null_fails(value, "Can not get desc.") == Step::Fail)
            return Step::Fail;
        cfg_.has_desc = true;
        cfg_.desc = text;
        return Step::Next;
    }
    if (!strcmp(key, "protocol")) {
        if (null_fails(value, "Can not get protocol") == Step::Fail)
            return Step::Fail;
        if (!strcmp(text, "tcp_client")) {
            cfg_.protocol = Protocol::TcpClient;
        } else if (!strcmp(text, "mqtt")) {
            cfg_.protocol = Protocol::Mqtt;
        } else if (!strcmp(text, "ftp")) {
            cfg_.protocol = Protocol::Ftp;
        } else if (!strcmp(text, "gcloud")) {
            cfg_.protocol = Protocol::Gcloud;
            cfg_.enable_lwt = false;
        } else if (!strcmp(text, "http")) {
            cfg_.protocol = Protocol::Http;
        } else if (!strcmp(text, "ubidos")) {
            cfg_.protocol = Protocol::Mqtt;
            cfg_.ubidos = true;
            cfg_.data_type = DataType::Combin1;
        } else {
            FB_LOG_ERR("Unkonw protocol");
            return Step::Fail;
        }
        return Step::Next;
    }
    if (!strcmp(key, "server_address")) {
        if (null_fails(value, "Can not get server_address") == Step::Fail)
            return Step::Fail;
        cfg_.server_address = text;
        cfg_.server_is_ipv4 = lib_is_valid_ipv4_address(text) != 0;
        cfg_.server_on_lan = cfg_.server_is_ipv4 && lan_subnet_match("lan", text) == 1;
        return Step::Next;
    }
    if (!strcmp(key, "server_port")) {
        if (null_fails(value, "Can not get server_port") == Step::Fail)
            return Step::Fail;
        cfg_.server_port = atoi(text);
        return Step::Next;
    }
    if (!strcmp(key, "auth_token")) {
        if (p != Protocol::Http || !text)
            return Step::Next;
        std::string token = decrypt_value(text);
        if (!token.empty()) {
            cfg_.has_auth_header = true;
            cfg_.auth_header = "Authorization: " + token;
        }
        return Step::Next;
    }
    if (!strcmp(key, "enable_ssl")) {
        if (in(p, {Protocol::Mqtt, Protocol::Http, Protocol::Gcloud}))
            enable_ssl(text);
        return Step::Next;
    }
    if (!strcmp(key, "cert_type")) {
        if (p != Protocol::Mqtt || !cfg_.tls)
            return Step::Next;
        if (null_fails(value, "Can not get cert_type") == Step::Fail)
            return Step::Fail;
        return cert_type(text) ? Step::Next : Step::Fail;
    }
    if (!strcmp(key, "private_key_password")) {
        if (p != Protocol::Mqtt || !cfg_.tls)
            return Step::Next;
        if (null_fails(value, "Can not get private_key_password") == Step::Fail)
            return Step::Fail;
        cfg_.private_key_password = decrypt_value(text);
        return Step::Next;
    }
    if (!strcmp(key, "username")) {
        if (!in(p, {Protocol::Http, Protocol::Ftp, Protocol::Mqtt}))
            return Step::Next;
        if (!value) {
            if (p == Protocol::Ftp)
                return null_fails(value, "Can not get username");
            cfg_.username.clear();
            return Step::Next;
        }
        cfg_.username = text;
        return Step::Next;
    }
    if (!strcmp(key, "password")) {
        if (!in(p, {Protocol::Http, Protocol::Ftp, Protocol::Mqtt}))
            return Step::Next;
        if (!value) {
            if (p == Protocol::Ftp)
                return null_fails(value, "Can not get password");
            cfg_.password.clear();
            return Step::Next;
        }
        cfg_.password = decrypt_value(text);
        if ((p == Protocol::Http || p == Protocol::Ftp) && !cfg_.username.empty() && !cfg_.password.empty()) {
            cfg_.has_credentials = true;
            cfg_.credentials = cfg_.username + ":" + cfg_.password;
        }
        return Step::Next;
    }
    if (!strcmp(key, "client_id")) {
        if (p != Protocol::Mqtt)
            return Step::Next;
        if (null_fails(value, "Can not get client_id") == Step::Fail)
            return Step::Fail;
        cfg_.client_id = *text ? text : cfg_.serial_number;
        return Step::Next;
    }
    struct GcloudText {
        const char *key;
        const char *message;
        std::string TransportConfig::*field;
    };
    static const GcloudText gcloud_texts[] = {
        {"project_id", "Can not get project_id", &TransportConfig::project_id},
        {"region", "Can not get region", &TransportConfig::region},
        {"registry_id", "Can not get registry_id", &TransportConfig::registry_id},
        {"algorithm", "Can not get algorithm", &TransportConfig::algorithm},
        {"device_id", "Can not get device_id", &TransportConfig::device_id},
    };
    for (const auto &g : gcloud_texts) {
        if (strcmp(key, g.key))
            continue;
        if (p != Protocol::Gcloud)
            return Step::Next;
        if (null_fails(value, g.message) == Step::Fail)
            return Step::Fail;
        cfg_.*g.field = text;
        if (!strcmp(key, "device_id"))
            cfg_.client_id = "projects/" + cfg_.project_id + "/locations/" + cfg_.region + "/registries/" +
                             cfg_.registry_id + "/devices/" + cfg_.device_id;
        return Step::Next;
    }
    if (!strcmp(key, "subscribe_topic")) {
        if (!in(p, {Protocol::Mqtt, Protocol::Gcloud}))
            return Step::Next;
        if (null_fails(value, "Can not get subscribe_topic") == Step::Fail)
            return Step::Fail;
        cfg_.subscribe_topic = text;
        return Step::Next;
    }
    if (!strcmp(key, "keepalive")) {
        if (!in(p, {Protocol::Mqtt, Protocol::Gcloud}))
            return Step::Next;
        if (null_fails(value, "Can not get keepalive") == Step::Fail)
            return Step::Fail;
        cfg_.keepalive = atoi(text);
        return Step::Next;
    }
    if (!strcmp(key, "reconnect_interval")) {
        if (null_fails(value, "Can not get reconnect_interval") == Step::Fail)
            return Step::Fail;
        cfg_.reconnect_interval = atoi(text);
        return Step::Next;
    }
    if (!strcmp(key, "connect_timeout")) {
        if (null_fails(value, "Can not get connect_timeout") == Step::Fail)
            return Step::Fail;
        cfg_.connect_timeout = static_cast<uint8_t>(atoi(text));
        return Step::Next;
    }
    if (!strcmp(key, "ftp_conn_mode")) {
        if (p != Protocol::Ftp)
            return Step::Next;
        if (null_fails(value, "Can not get ftp_conn_type") == Step::Fail)
            return Step::Fail;
        cfg_.passive = !strcmp(text, "passive");
        return Step::Next;
    }
    if (!strcmp(key, "connect_retry")) {
        if (p != Protocol::Ftp)
            return Step::Next;
        if (null_fails(value, "Can not get connect_retry") == Step::Fail)
            return Step::Fail;
        cfg_.connect_retry = static_cast<uint8_t>(atoi(text));
        return Step::Next;
    }
    if (!strcmp(key, "enable_lwt")) {
        if (p == Protocol::Mqtt && text)
            cfg_.enable_lwt = strcmp(text, "false") != 0;
        return Step::Next;
    }
    if (!strcmp(key, "lwt_topic") || !strcmp(key, "testament")) {
        if (p != Protocol::Mqtt || !cfg_.enable_lwt)
            return Step::Next;
        bool topic = !strcmp(key, "lwt_topic");
        if (null_fails(value, topic ? "Can not get lwt_topic" : "Can not get testament") == Step::Fail)
            return Step::Fail;
        (topic ? cfg_.lwt_topic : cfg_.testament) = text;
        return Step::Next;
    }
    if (!strcmp(key, "enable_logverbose")) {
        if (text && !strcmp(text, "true"))
            logverbose = 1;
        return Step::Next;
    }
    if (!strcmp(key, "data_location")) {
        if (null_fails(value, "Can not get data_location") == Step::Fail)
            return Step::Fail;
        if (!strcmp(text, "ram")) {
            cfg_.data_location = DataLocation::Ram;
        } else if (!strcmp(text, "flash")) {
            cfg_.data_location = DataLocation::Flash;
        } else if (!strcmp(text, "null")) {
            cfg_.data_location = DataLocation::Null;
        } else {
            FB_LOG_ERR("Unkonw data location");
            return Step::Fail;
        }
        cfg_.data_location_text = text;
        return Step::Next;
    }
    if (!strcmp(key, "enable_csv")) {
        if (p == Protocol::Ftp && text && !strcmp(text, "true"))
            cfg_.enable_csv = true;
        return Step::Next;
    }
    if (!strcmp(key, "send_interval")) {
        if (null_fails(value, "Can not get send interval") == Step::Fail)
            return Step::Fail;
        cfg_.send_interval = atoi(text);
        return Step::Next;
    }
    if (!strcmp(key, "number_of_sent")) {
        if (null_fails(value, "Can not get number_of_sent") == Step::Fail)
            return Step::Fail;
        cfg_.number_of_sent = static_cast<uint16_t>(atoi(text));
        return Step::Next;
    }
    if (!strcmp(key, "file_name")) {
        if (p != Protocol::Ftp)
            return Step::Next;
        if (null_fails(value, "Can not get file_name") == Step::Fail)
            return Step::Fail;
        cfg_.has_file_name = true;
        cfg_.file_name = text;
        return Step::Next;
    }
    if (!strcmp(key, "upload_interval")) {
        if (p != Protocol::Ftp)
            return Step::Next;
        if (null_fails(value, "Can not get upload_interval") == Step::Fail)
            return Step::Fail;
        cfg_.upload_interval = atoi(text);
        return Step::Next;
    }
    if (!strcmp(key, "data_type")) {
        if (null_fails(value, "Can not get data_type") == Step::Fail)
            return Step::Fail;
        static const char *const types[] = {"single", "combin-1", "combin-2", "combin-3", "combin-4"};
        for (int i = 0; i < 5; ++i)
            if (!strcmp(text, types[i])) {
                cfg_.data_type = static_cast<DataType>(i + 1);
                return Step::Next;
            }
        FB_LOG_ERR("Unkonw data type");
        return Step::Fail;
    }
    if (!strcmp(key, "data_send_order")) {
        if (null_fails(value, "Can not get data_send_order") == Step::Fail)
            return Step::Fail;
        if (!strcmp(text, "last_in_first_out")) {
            cfg_.send_order = SendOrder::LastInFirstOut;
        } else if (!strcmp(text, "last_in_last_out")) {
            cfg_.send_order = SendOrder::LastInLastOut;
        } else {
            FB_LOG_ERR("Unkonw data_send_order");
            return Step::Fail;
        }
        return Step::Next;
    }
    if (!strcmp(key, "data_format")) {
        if (null_fails(value, "Can not get data_format") == Step::Fail)
            return Step::Fail;
        cfg_.has_data_format = true;
        cfg_.data_format = text;
        return Step::Next;
    }
    if (!strcmp(key, "line_break")) {
        if (text && !strcmp(text, "true"))
            cfg_.line_break = true;
        return Step::Next;
    }
    if (!strcmp(key, "channel")) {
        if (!value)
            return Step::Next;
        return channels(value) ? Step::Next : Step::Fail;
    }
    return Step::Next;
}

void Loader::enable_ssl(const char *text)
{
    const bool gcloud = cfg_.protocol == Protocol::Gcloud;
    cfg_.tls = (text && !strcmp(text, "true")) || gcloud;
    char uri[512];
    snprintf(uri, sizeof uri, cfg_.tls ? "ssl://%s:%d" : "tcp://%s:%d", cfg_.server_address.c_str(),
             cfg_.server_port);
    cfg_.server_uri = uri;
    if (!cfg_.tls)
        return;
    std::string ca = gcloud ? std::string("/app/etc/gcloud_certs/roots.pem") : cert_path(names_, index_, "ca.crt");
    if (file_exists(ca)) {
        cfg_.ca_file = ca;
    } else {
        FB_LOG_ERR("ca.crt file not exists");
        cfg_.ca_file.clear();
    }
    if (gcloud) {
        std::string key = cert_path(names_, index_, "client.key");
        if (file_exists(key)) {
            cfg_.client_key_file = key;
        } else {
            FB_LOG_ERR("client.key file not exists");
            cfg_.client_key_file.clear();
        }
    }
}

bool Loader::cert_type(const char *text)
{
    if (!strcmp(text, "self_cert")) {
        cfg_.cert_type = CertType::SelfCert;
        std::string crt = cert_path(names_, index_, "client.crt");
        if (file_exists(crt)) {
            cfg_.client_cert_file = crt;
        } else {
            FB_LOG_ERR("client.crt file not exists");
            cfg_.client_cert_file.clear();
        }
        std::string key = cert_path(names_, index_, "client.key");
        if (file_exists(key)) {
            cfg_.client_key_file = key;
        } else {
            FB_LOG_ERR("client.key file not exists");
            cfg_.client_key_file.clear();
        }
        return true;
    }
    if (!strcmp(text, "ca_only")) {
        cfg_.cert_type = CertType::CaOnly;
        return true;
    }
    FB_LOG_ERR("Unkonw cert_type");
    return false;
}

bool Loader::channels(json_object *array)
{
    if (!json_object_is_type(array, json_type_array))
        return true;
    size_t n = json_object_array_length(array);
    if (n == 0) {
        FB_LOG_WARN("connection %d channel is empty", index_);
        return true;
    }
    for (size_t i = 0; i < n; ++i) {
        json_object *element = json_object_array_get_idx(array, i);
        if (!element) {
            FB_LOG_ERR("error in %s, %s:%d", names_.source, names_.fn_conf_get_channel_para, names_.line_channel_null);
            FB_LOG_DEBUG("load channel conf failed");
            return false;
        }
        if (!json_object_is_type(element, json_type_object))
            continue;
        ChannelRule *rule = nullptr;
        json_object_object_foreach(element, k, v)
        {
            if (!strcmp(k, "enable")) {
                const char *t = json_object_get_string(v);
                if (t && !strcmp(t, "false"))
                    break;
                cfg_.rules.push_back(std::make_unique<ChannelRule>());
                rule = cfg_.rules.back().get();
                continue;
            }
            // Keys ahead of "enable" have no rule to go to.
            if (!rule)
                continue;
            if (!flavour_.channel_key(*rule, k, v, cfg_)) {
                FB_LOG_DEBUG("load channel conf failed");
                return false;
            }
        }
    }
    return true;
}

void Loader::connection_count(json_object *connections)
{
    int count = 0;
    size_t n = json_object_array_length(connections);
    for (size_t i = 0; i < n; ++i) {
        json_object *element = json_object_array_get_idx(connections, i);
        if (!element) {
            FB_LOG_ERR("error in %s, %s:%d", names_.source, names_.fn_get_connection_count,
                       names_.line_count_null_element);
            break;
        }
        if (!json_object_is_type(element, json_type_object))
            continue;
        bool end = false;
        json_object_object_foreach(element, k, v)
        {
            const char *t = json_object_get_string(v);
            if (!strcmp(k, "enable") && t && !strcmp(t, "false"))
                break;
            if (!strcmp(k, "data_location")) {
                if (!t) {
                    FB_LOG_ERR("Can not get data_location");
                    end = true;
                    break;
                }
                if (cfg_.data_location_text == t)
                    ++count;
            }
        }
        if (end)
            break;
    }
    cfg_.connection_count = static_cast<uint8_t>(count);
}

} // namespace

std::string decrypt_value(const char *text)
{
    if (!text)
        return {};
    std::string cut(text, strnlen(text, 1023));
    CString plain(uci_des3_decrypt_from_base64(cut.c_str()));
    if (!plain.p || !*plain.p) {
        free(plain.p);
        plain.p = uci_aes256_decrypt_from_base64(cut.c_str());
    }
    if (plain.p && *plain.p)
        return plain.p;
    return text;
}

bool conf_init(const Flavour &flavour, int index, TransportConfig &cfg)
{
    cfg = TransportConfig{};
    Loader loader(flavour, index, cfg);
    bool ok = loader.load();
    if (!ok)
        cfg.rules.clear();
    return ok;
}

} // namespace transport

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

// The path when the file exists; otherwise "" after logging `missing`.
std::string existing(const std::string &router_path, const char *missing)
{
    if (lib_file_exists(router_path.c_str()) != 0)
        return router_path;
    FB_LOG_ERR("%s", missing);
    return {};
}

std::string cert_path(const TransportNames &names, int index, const char *file)
{
    char dir[256];
    snprintf(dir, sizeof dir, names.cert_dir, index);
    return std::string(dir) + file;
}

// Option scopes: sets of protocols, one bit each. ubidos shares the mqtt code.
using Protocols = unsigned;
constexpr Protocols bit(Protocol p) { return 1u << static_cast<unsigned>(p); }
constexpr Protocols kAny = ~0u; // also before "protocol" has been read
constexpr Protocols kMqtt = bit(Protocol::Mqtt), kFtp = bit(Protocol::Ftp), kGcloud = bit(Protocol::Gcloud),
                    kHttp = bit(Protocol::Http);

bool in(Protocol p, Protocols set) { return (bit(p) & set) != 0; }

template <class E> struct Name {
    const char *text;
    E value;
};

// Sets `out` to the value named by `text`; logs `unknown` and leaves `out` as it was when none fits.
template <class E, size_t N> bool pick(const char *text, const Name<E> (&names)[N], E &out, const char *unknown)
{
    for (const Name<E> &n : names)
        if (!strcmp(text, n.text)) {
            out = n.value;
            return true;
        }
    FB_LOG_ERR("%s", unknown);
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
    using C = TransportConfig;
    // Stores the (non-null) text of a key; false when the text is refused, which fails the load.
    using Store = bool (Loader::*)(const char *text);

    // A key read the common way: skipped out of its scope, failing the load when null (or passed
    // over when there is no message), else handed to its store.
    struct Option {
        const char *key;
        Protocols scope;
        const char *null_message; // nullptr: a null value is passed over
        Store store;
        bool C::*only_if = nullptr; // a switch read earlier that the key also waits for
    };
    static const Option options_[];

    Step option(const char *key, json_object *value);
    Step read(const Option &o, json_object *value, const char *text);
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

    template <auto Field> bool text(const char *t)
    {
        cfg_.*Field = t;
        return true;
    }
    // A text whose presence is kept apart from its value, which may be empty.
    template <auto Field, auto Has> bool noted(const char *t)
    {
        cfg_.*Has = true;
        cfg_.*Field = t;
        return true;
    }
    // Read with atoi and cut to the width of the field.
    template <auto Field> bool number(const char *t)
    {
        cfg_.*Field = static_cast<std::remove_reference_t<decltype(cfg_.*Field)>>(atoi(t));
        return true;
    }
    // Only "true" turns the switch on; nothing turns it off again.
    template <auto Field> bool on_if_true(const char *t)
    {
        if (!strcmp(t, "true"))
            cfg_.*Field = true;
        return true;
    }
    template <auto Field> bool secret(const char *t)
    {
        cfg_.*Field = decrypt_value(t);
        return true;
    }
    bool protocol(const char *text);
    bool server_address(const char *text);
    bool client_id(const char *text);
    bool device_id(const char *text);
    bool ftp_conn_mode(const char *text);
    bool data_location(const char *text);
    bool data_type(const char *text);
    bool send_order(const char *text);
    void enable_ssl(const char *text);
    bool cert_type(const char *text);

    const Flavour &flavour_;
    const TransportNames &names_;
    int index_;
    TransportConfig &cfg_;
};

// Rows are looked up by key: the keys are read in the document's order. The log texts stay as
// written, misspellings included.
const Loader::Option Loader::options_[] = {
    {"desc", kAny, "Can not get desc.", &Loader::noted<&C::desc, &C::has_desc>},
    {"protocol", kAny, "Can not get protocol", &Loader::protocol},
    {"server_address", kAny, "Can not get server_address", &Loader::server_address},
    {"server_port", kAny, "Can not get server_port", &Loader::number<&C::server_port>},
    {"cert_type", kMqtt, "Can not get cert_type", &Loader::cert_type, &C::tls},
    {"private_key_password", kMqtt, "Can not get private_key_password", &Loader::secret<&C::private_key_password>,
     &C::tls},
    {"client_id", kMqtt, "Can not get client_id", &Loader::client_id},
    {"project_id", kGcloud, "Can not get project_id", &Loader::text<&C::project_id>},
    {"region", kGcloud, "Can not get region", &Loader::text<&C::region>},
    {"registry_id", kGcloud, "Can not get registry_id", &Loader::text<&C::registry_id>},
    {"algorithm", kGcloud, "Can not get algorithm", &Loader::text<&C::algorithm>},
    {"device_id", kGcloud, "Can not get device_id", &Loader::device_id},
    {"subscribe_topic", kMqtt | kGcloud, "Can not get subscribe_topic", &Loader::text<&C::subscribe_topic>},
    {"keepalive", kMqtt | kGcloud, "Can not get keepalive", &Loader::number<&C::keepalive>},
    {"reconnect_interval", kAny, "Can not get reconnect_interval", &Loader::number<&C::reconnect_interval>},
    {"connect_timeout", kAny, "Can not get connect_timeout", &Loader::number<&C::connect_timeout>},
    {"ftp_conn_mode", kFtp, "Can not get ftp_conn_type", &Loader::ftp_conn_mode},
    {"connect_retry", kFtp, "Can not get connect_retry", &Loader::number<&C::connect_retry>},
    {"lwt_topic", kMqtt, "Can not get lwt_topic", &Loader::text<&C::lwt_topic>, &C::enable_lwt},
    {"testament", kMqtt, "Can not get testament", &Loader::text<&C::testament>, &C::enable_lwt},
    {"data_location", kAny, "Can not get data_location", &Loader::data_location},
    {"enable_csv", kFtp, nullptr, &Loader::on_if_true<&C::enable_csv>},
    {"send_interval", kAny, "Can not get send interval", &Loader::number<&C::send_interval>},
    {"number_of_sent", kAny, "Can not get number_of_sent", &Loader::number<&C::number_of_sent>},
    {"file_name", kFtp, "Can not get file_name", &Loader::noted<&C::file_name, &C::has_file_name>},
    {"upload_interval", kFtp, "Can not get upload_interval", &Loader::number<&C::upload_interval>},
    {"data_type", kAny, "Can not get data_type", &Loader::data_type},
    {"data_send_order", kAny, "Can not get data_send_order", &Loader::send_order},
    {"data_format", kAny, "Can not get data_format", &Loader::noted<&C::data_format, &C::has_data_format>},
    {"line_break", kAny, nullptr, &Loader::on_if_true<&C::line_break>},
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

    for (const Option &o : options_)
        if (!strcmp(key, o.key))
            return read(o, value, text);

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
    // A null value still decides the scheme of the server URI.
    if (!strcmp(key, "enable_ssl")) {
        if (in(p, kMqtt | kHttp | kGcloud))
            enable_ssl(text);
        return Step::Next;
    }
    // FTP cannot log in without both; the others simply go without.
    if (!strcmp(key, "username") || !strcmp(key, "password")) {
        if (!in(p, kHttp | kFtp | kMqtt))
            return Step::Next;
        const bool user = !strcmp(key, "username");
        if (!value) {
            if (p == Protocol::Ftp)
                return null_fails(value, user ? "Can not get username" : "Can not get password");
            (user ? cfg_.username : cfg_.password).clear();
            return Step::Next;
        }
        if (user) {
            cfg_.username = text;
            return Step::Next;
        }
        cfg_.password = decrypt_value(text);
        if ((p == Protocol::Http || p == Protocol::Ftp) && !cfg_.username.empty() && !cfg_.password.empty()) {
            cfg_.has_credentials = true;
            cfg_.credentials = cfg_.username + ":" + cfg_.password;
        }
        return Step::Next;
    }
    // Any text but "false" turns the last will on, and a later "false" off again.
    if (!strcmp(key, "enable_lwt")) {
        if (p == Protocol::Mqtt && text)
            cfg_.enable_lwt = strcmp(text, "false") != 0;
        return Step::Next;
    }
    // Verbose logging is process-wide: once on, no connection turns it off.
    if (!strcmp(key, "enable_logverbose")) {
        if (text && !strcmp(text, "true"))
            logverbose = 1;
        return Step::Next;
    }
    if (!strcmp(key, "channel")) {
        if (!value)
            return Step::Next;
        return channels(value) ? Step::Next : Step::Fail;
    }
    return Step::Next;
}

Loader::Step Loader::read(const Option &o, json_object *value, const char *text)
{
    if (!in(cfg_.protocol, o.scope) || (o.only_if && !(cfg_.*o.only_if)))
        return Step::Next;
    if (!o.null_message)
        return text && !(this->*o.store)(text) ? Step::Fail : Step::Next;
    if (null_fails(value, o.null_message) == Step::Fail)
        return Step::Fail;
    return (this->*o.store)(text) ? Step::Next : Step::Fail;
}

bool Loader::protocol(const char *text)
{
    static const Name<Protocol> names[] = {
        {"tcp_client", Protocol::TcpClient}, {"mqtt", Protocol::Mqtt}, {"ftp", Protocol::Ftp},
        {"gcloud", Protocol::Gcloud},        {"http", Protocol::Http}, {"ubidos", Protocol::Mqtt}};
    if (!pick(text, names, cfg_.protocol, "Unkonw protocol"))
        return false;
    // The cloud connection sends no last will.
    if (cfg_.protocol == Protocol::Gcloud)
        cfg_.enable_lwt = false;
    // ubidos goes over the mqtt code and starts out with the first combined layout.
    if (!strcmp(text, "ubidos")) {
        cfg_.ubidos = true;
        cfg_.data_type = DataType::Combin1;
    }
    return true;
}

bool Loader::server_address(const char *text)
{
    cfg_.server_address = text;
    cfg_.server_is_ipv4 = lib_is_valid_ipv4_address(text) != 0;
    cfg_.server_on_lan = cfg_.server_is_ipv4 && lan_subnet_match("lan", text) == 1;
    return true;
}

// An empty client id stands for the device's serial number.
bool Loader::client_id(const char *text)
{
    cfg_.client_id = *text ? text : cfg_.serial_number;
    return true;
}

// The cloud's client id is the device's resource path, made of the ids read so far.
bool Loader::device_id(const char *text)
{
    cfg_.device_id = text;
    cfg_.client_id = "projects/" + cfg_.project_id + "/locations/" + cfg_.region + "/registries/" + cfg_.registry_id +
                     "/devices/" + cfg_.device_id;
    return true;
}

// Anything but "passive" is the active mode.
bool Loader::ftp_conn_mode(const char *text)
{
    cfg_.passive = !strcmp(text, "passive");
    return true;
}

bool Loader::data_location(const char *text)
{
    static const Name<DataLocation> names[] = {
        {"ram", DataLocation::Ram}, {"flash", DataLocation::Flash}, {"null", DataLocation::Null}};
    if (!pick(text, names, cfg_.data_location, "Unkonw data location"))
        return false;
    cfg_.data_location_text = text;
    return true;
}

bool Loader::data_type(const char *text)
{
    static const Name<DataType> names[] = {{"single", DataType::Single},
                                           {"combin-1", DataType::Combin1},
                                           {"combin-2", DataType::Combin2},
                                           {"combin-3", DataType::Combin3},
                                           {"combin-4", DataType::Combin4}};
    return pick(text, names, cfg_.data_type, "Unkonw data type");
}

bool Loader::send_order(const char *text)
{
    static const Name<SendOrder> names[] = {{"last_in_first_out", SendOrder::LastInFirstOut},
                                            {"last_in_last_out", SendOrder::LastInLastOut}};
    return pick(text, names, cfg_.send_order, "Unkonw data_send_order");
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
    cfg_.ca_file = existing(ca, "ca.crt file not exists");
    if (gcloud)
        cfg_.client_key_file = existing(cert_path(names_, index_, "client.key"), "client.key file not exists");
}

bool Loader::cert_type(const char *text)
{
    static const Name<CertType> names[] = {{"self_cert", CertType::SelfCert}, {"ca_only", CertType::CaOnly}};
    if (!pick(text, names, cfg_.cert_type, "Unkonw cert_type"))
        return false;
    if (cfg_.cert_type == CertType::SelfCert) {
        cfg_.client_cert_file = existing(cert_path(names_, index_, "client.crt"), "client.crt file not exists");
        cfg_.client_key_file = existing(cert_path(names_, index_, "client.key"), "client.key file not exists");
    }
    return true;
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

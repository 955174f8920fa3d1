#include "transport/mqtt.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <jwt.h>

#include "common/log.h"
#include "common/routines.h"
#include "fieldbridge/root.h"

namespace transport {

namespace {

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};

struct JwtFree {
    void operator()(jwt_t *j) const { jwt_free(j); }
};

} // namespace

std::string make_cloud_token(const TransportConfig &cfg, time_t now)
{
    std::string key_path = cfg.client_key_file.empty() ? std::string() : fb::root_path(cfg.client_key_file);
    std::unique_ptr<FILE, FileCloser> f(fopen(key_path.c_str(), "r"));
    if (!f) {
        FB_LOG_ERR("Could not open file: %s\n", key_path.c_str());
        return {};
    }
    std::vector<unsigned char> key;
    unsigned char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f.get())) > 0)
        key.insert(key.end(), chunk, chunk + n);

    char iat[14], exp[14];
    snprintf(iat, sizeof iat, "%lu", static_cast<unsigned long>(now));
    snprintf(exp, sizeof exp, "%lu", static_cast<unsigned long>(now + 3600));

    jwt_t *raw = nullptr;
    if (jwt_new(&raw) != 0 || !raw)
        return {};
    std::unique_ptr<jwt_t, JwtFree> token(raw);
    int rc;
    if ((rc = jwt_add_grant(token.get(), "iat", iat)) != 0)
        FB_LOG_ERR("Error setting issue timestamp: %d\n", rc);
    if ((rc = jwt_add_grant(token.get(), "exp", exp)) != 0)
        FB_LOG_ERR("Error setting expiration: %d\n", rc);
    if ((rc = jwt_add_grant(token.get(), "aud", cfg.project_id.c_str())) != 0)
        FB_LOG_ERR("Error adding audience: %d\n", rc);

    jwt_alg_t alg = JWT_ALG_INVAL;
    if (cfg.algorithm == "RS256")
        alg = JWT_ALG_RS256;
    else if (cfg.algorithm == "ES256")
        alg = JWT_ALG_ES256;
    if ((rc = jwt_set_alg(token.get(), alg, key.data(), static_cast<int>(key.size()))) != 0)
        FB_LOG_ERR("Error during set alg: %d\n", rc);

    char *text = jwt_encode_str(token.get());
    if (!text) {
        FB_LOG_ERR("Error during token creation:");
        return {};
    }
    std::string out = text;
    free(text);
    return out;
}

MqttLink::MqttLink(const TransportConfig &cfg, const TransportNames &names, std::atomic<int> &state,
                   Mailbox &mailbox, Hooks hooks)
    : cfg_(cfg), names_(names), state_(state), mailbox_(mailbox), hooks_(std::move(hooks))
{
}

MqttLink::~MqttLink() { destroy(); }

void MqttLink::set_status(const char *status) const { usi_list_set(names_.usi_list, cfg_.index, "status", status); }

void MqttLink::destroy()
{
    if (client_) {
        // A client dropped while still connected would keep its TLS session: close it first.
        if (MQTTClient_isConnected(client_))
            MQTTClient_disconnect(client_, 0);
        MQTTClient_destroy(&client_);
        client_ = nullptr;
    }
    context_ = nullptr;
}

bool MqttLink::connect()
{
    destroy();
    FB_LOG_DEBUG("Client ID:%s", cfg_.client_id.c_str());
    int rc = MQTTClient_create(&client_, cfg_.server_uri.c_str(), cfg_.client_id.c_str(), MQTTCLIENT_PERSISTENCE_NONE,
                               nullptr);
    if (rc != MQTTCLIENT_SUCCESS) {
        FB_LOG_ERR("MQTTClient_create() failed, return code %d", rc);
        client_ = nullptr;
        return false;
    }
    // Old contexts are kept a while: destroy() ends the callbacks, but one may still be running.
    if (contexts_.size() >= 8)
        contexts_.erase(contexts_.begin());
    contexts_.push_back(std::make_unique<Context>(Context{this, ++generation_}));
    context_ = contexts_.back().get();

    set_status("Connecting");
    char key[128];
    snprintf(key, sizeof key, names_.uptimestamp_key, cfg_.index);
    usi_printf(key, "%d", static_cast<int>(uptime_seconds()));

    const bool gcloud = cfg_.protocol == Protocol::Gcloud;
    MQTTClient_connectOptions opts = MQTTClient_connectOptions_initializer;
    opts.keepAliveInterval = cfg_.keepalive;
    opts.cleansession = 1;
    opts.reliable = 1;
    opts.connectTimeout = cfg_.connect_timeout;
    opts.retryInterval = 0;
    opts.MQTTVersion = MQTTVERSION_DEFAULT;
    opts.maxInflightMessages = -1;

    std::string token;
    if (gcloud) {
        opts.username = "unused";
        token = make_cloud_token(cfg_, time(nullptr));
        opts.password = token.c_str();
    } else {
        opts.username = cfg_.username.empty() ? nullptr : cfg_.username.c_str();
        opts.password = cfg_.password.empty() ? nullptr : cfg_.password.c_str();
    }

    // Certificate paths are router paths; the library opens them itself.
    std::string ca = cfg_.ca_file.empty() ? std::string() : fb::root_path(cfg_.ca_file);
    std::string crt = cfg_.client_cert_file.empty() ? std::string() : fb::root_path(cfg_.client_cert_file);
    std::string keyfile = cfg_.client_key_file.empty() ? std::string() : fb::root_path(cfg_.client_key_file);
    MQTTClient_SSLOptions ssl = MQTTClient_SSLOptions_initializer;
    ssl.enableServerCertAuth = 1;
    if (gcloud) {
        ssl.trustStore = ca.empty() ? nullptr : ca.c_str();
        ssl.privateKey = keyfile.empty() ? nullptr : keyfile.c_str();
    } else {
        if (cfg_.cert_type == CertType::SelfCert || cfg_.cert_type == CertType::CaOnly)
            ssl.trustStore = ca.empty() ? nullptr : ca.c_str();
        if (cfg_.cert_type == CertType::SelfCert) {
            ssl.keyStore = crt.empty() ? nullptr : crt.c_str();
            ssl.privateKey = keyfile.empty() ? nullptr : keyfile.c_str();
        }
        if (!cfg_.private_key_password.empty())
            ssl.privateKeyPassword = cfg_.private_key_password.c_str();
    }
    if (cfg_.tls)
        opts.ssl = &ssl;

    MQTTClient_willOptions will = MQTTClient_willOptions_initializer;
    if (cfg_.enable_lwt && !gcloud) {
        will.topicName = cfg_.lwt_topic.c_str();
        will.message = cfg_.testament.c_str();
        will.retained = 0;
        will.qos = 0;
        opts.will = &will;
    }

    rc = MQTTClient_setCallbacks(client_, context_, on_lost, on_arrived, on_delivered);
    if (rc != MQTTCLIENT_SUCCESS) {
        FB_LOG_ERR("MQTTClient_setCallbacks() failed, return code %d", rc);
        return true;
    }

    FB_LOG_DEBUG("connect to %s", cfg_.server_uri.c_str());
    state_.store(-2);
    rc = MQTTClient_connect(client_, &opts);
    if (rc != MQTTCLIENT_SUCCESS) {
        FB_LOG_ERR("connect failed, return code %d", rc);
        destroy();
        state_.store(-1);
        return true;
    }
    FB_LOG_DEBUG("connect successful");
    if (!cfg_.subscribe_topic.empty())
        MQTTClient_subscribe(client_, cfg_.subscribe_topic.c_str(), 0);
    state_.store(1);
    set_status("Connected");
    return true;
}

int MqttLink::publish(const ChannelRule &rule, const std::string &text)
{
    if (!rule.has_topic)
        return 1;
    if (!client_) {
        FB_LOG_ERR("mqtt data send failed");
        return 0;
    }
    MQTTClient_message msg = MQTTClient_message_initializer;
    msg.payload = const_cast<char *>(text.data());
    msg.payloadlen = static_cast<int>(text.size());
    msg.qos = rule.qos;
    msg.retained = 0;
    MQTTClient_deliveryToken token = 0;
    int rc = MQTTClient_publishMessage(client_, rule.topic.c_str(), &msg, &token);
    if (rc != MQTTCLIENT_SUCCESS) {
        FB_LOG_ERR("mqtt data send failed");
        return 0;
    }
    FB_LOG_VERBOSE("topic:%s mqtt data send successful", rule.topic.c_str());
    return 1;
}

void MqttLink::disconnect(int timeout_ms)
{
    if (client_)
        MQTTClient_disconnect(client_, timeout_ms);
}

// Library thread: copy what the loop needs and hand it over.
void MqttLink::on_lost(void *context, char *cause)
{
    auto *ctx = static_cast<Context *>(context);
    MqttLink *link = ctx->link;
    unsigned gen = ctx->generation;
    std::string why = cause ? cause : "(null)";
    link->mailbox_.post([link, gen, why] { link->handle_lost(gen, why); });
}

int MqttLink::on_arrived(void *context, char *topic, int topic_len, MQTTClient_message *message)
{
    auto *ctx = static_cast<Context *>(context);
    MqttLink *link = ctx->link;
    unsigned gen = ctx->generation;
    std::string t = topic_len > 0 ? std::string(topic, size_t(topic_len)) : std::string(topic ? topic : "");
    std::string payload;
    if (message && message->payloadlen > 0)
        payload.assign(static_cast<const char *>(message->payload), size_t(message->payloadlen));
    MQTTClient_freeMessage(&message);
    MQTTClient_free(topic);
    if (!payload.empty())
        link->mailbox_.post([link, gen, t, payload] { link->handle_message(gen, t, payload); });
    return 1;
}

void MqttLink::on_delivered(void *context, MQTTClient_deliveryToken token)
{
    static_cast<Context *>(context)->link->delivered_.store(token);
}

void MqttLink::handle_lost(unsigned generation, const std::string &cause)
{
    // A late report from a client that has since been replaced says nothing about the current one.
    if (generation != generation_ || !client_)
        return;
    state_.store(-1);
    set_status("Disconnected");
    usi_list_set(names_.usi_list, cfg_.index, "uptime", "");
    FB_LOG_ERR("connection lost (%s)", cause.c_str());
    FB_LOG_DEBUG("reconnect after %ds", hooks_.reconnect_delay ? hooks_.reconnect_delay() : 0);
}

void MqttLink::handle_message(unsigned, const std::string &topic, const std::string &payload)
{
    FB_LOG_VERBOSE("topic: %s", topic.c_str());
    FB_LOG_VERBOSE("payload(%d): %s", static_cast<int>(payload.size()), payload.c_str());
    const std::string &sub = cfg_.subscribe_topic;
    bool match;
    if (cfg_.protocol == Protocol::Gcloud)
        // A message on ".../commands" matches a subscription to ".../commands/#".
        match = sub.compare(0, topic.size(), topic) == 0 && topic.size() <= sub.size();
    else
        match = topic == sub;
    if (match && hooks_.on_request)
        hooks_.on_request(payload);
}

} // namespace transport

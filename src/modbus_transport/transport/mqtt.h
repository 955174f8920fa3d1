// The MQTT connection of the transport (Paho's synchronous client with TLS): connect with the
// configured options (or, for the cloud IoT core, a signed token as password), publish, and the
// library's callbacks, which are moved onto the event loop before they touch any state.
#pragma once

#include <atomic>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <MQTTClient.h>

#include "transport/config.h"
#include "transport/mailbox.h"

namespace transport {

// The token used as MQTT password for the cloud IoT core: claims iat, exp (iat + 3600) and aud
// (project id) as strings, signed RS256 or ES256 with the PEM key in the client key file. Empty
// when the key file cannot be read or the token cannot be encoded.
std::string make_cloud_token(const TransportConfig &cfg, time_t now);

class MqttLink {
public:
    struct Hooks {
        std::function<int()> reconnect_delay;               // for the "reconnect after %ds" line
        std::function<void(const std::string &)> on_request; // a write request on the subscribed topic
    };

    MqttLink(const TransportConfig &cfg, const TransportNames &names, std::atomic<int> &state, Mailbox &mailbox,
             Hooks hooks);
    ~MqttLink();
    MqttLink(const MqttLink &) = delete;
    MqttLink &operator=(const MqttLink &) = delete;

    // One connect attempt (mbt_mqtt_connect). False only when the client cannot even be created,
    // which the caller treats as fatal.
    bool connect();
    // 1 when handed to the library (or when there is no topic, so nothing to do), 0 on failure.
    int publish(const ChannelRule &rule, const std::string &text);
    // Clean disconnect, waiting up to `timeout_ms` for messages in flight.
    void disconnect(int timeout_ms);
    // Releases the client (no-op when none).
    void destroy();
    // Identifier of the last message the library reported as delivered.
    int last_delivered() const { return delivered_.load(); }

private:
    struct Context {
        MqttLink *link;
        unsigned generation;
    };
    static void on_lost(void *context, char *cause);
    static int on_arrived(void *context, char *topic, int topic_len, MQTTClient_message *message);
    static void on_delivered(void *context, MQTTClient_deliveryToken token);

    void set_status(const char *status) const;
    void handle_lost(unsigned generation, const std::string &cause);
    void handle_message(unsigned generation, const std::string &topic, const std::string &payload);

    const TransportConfig &cfg_;
    const TransportNames &names_;
    std::atomic<int> &state_;
    Mailbox &mailbox_;
    Hooks hooks_;
    MQTTClient client_ = nullptr;
    Context *context_ = nullptr;
    // Contexts of released clients: the library thread may still be inside a callback that read one.
    std::vector<std::unique_ptr<Context>> contexts_;
    unsigned generation_ = 0;
    std::atomic<int> delivered_{0};
};

} // namespace transport

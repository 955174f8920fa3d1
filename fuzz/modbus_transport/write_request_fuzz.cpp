// Write requests as a server may send them: any bytes over MQTT or a TCP socket.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <json-c/json.h>

#include "transport/remote_write.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size); // the transport passes a C string
    transport::WriteRequest req;
    if (transport::parse_write_request(text.c_str(), req) != transport::WriteReject::None)
        return 0;
    // Whatever got through must come out as one well-formed event of six members.
    std::string event = transport::write_event_text(req);
    json_object *obj = json_tokener_parse(event.c_str());
    if (!obj || !json_object_is_type(obj, json_type_object) || json_object_object_length(obj) != 6)
        abort();
    json_object *value = nullptr;
    if (!json_object_object_get_ex(obj, "value", &value) || req.value != json_object_get_string(value))
        abort();
    json_object_put(obj);
    return 0;
}

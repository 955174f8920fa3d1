// HTTP POST of one payload with libcurl (mbt_http_post).
#pragma once

#include <string>
#include <vector>

#include "transport/config.h"

namespace transport {

// Posts `text` to the configured URL. 1 when the server answered 200, else 0. Sets the status
// "Send successfully" or "Send Failed" of the connection.
int http_post(const TransportConfig &cfg, const TransportNames &names, const std::string &text);

// The header lines sent with every POST, in order.
std::vector<std::string> http_headers(const TransportConfig &cfg);

} // namespace transport

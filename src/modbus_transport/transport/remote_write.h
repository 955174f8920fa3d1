// Register-write requests from the server (JSON object or six comma-separated fields), checked and
// handed to the poller as a bus event.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/json_text.h"

namespace transport {

struct WriteRequest {
    int connection_index = 0;
    int slave_id = 0;
    int func_code = 0;
    int reg_addr = 0;
    std::string endian;
    std::string value;
};

enum class WriteReject {
    None,
    ParseFailed,     // JSON object that does not fit the field policy
    FormatError,     // JSON object without one of the six fields
    CsvParameter,    // not exactly six non-empty comma-separated fields
    ConnectionIndex,
    SlaveId,
    FuncCode,
    RegAddr,
    Value,
    Count
};

const char *to_string(WriteReject r);

// Parses and checks one request, logging the message of the first failed check.
WriteReject parse_write_request(const char *text, WriteRequest &out);

// The event text handed to the bus tool. Texts are JSON-escaped, so a quote or a backslash in
// "endian" or "value" stays inside its string instead of breaking the event apart.
std::string write_event_text(const WriteRequest &r);

using fb::json_escape;

// Parse, check and forward (mbt_remote_write). Returns the rejection, None when forwarded.
WriteReject remote_write(const char *text);

// Rejections seen by this process, by reason.
unsigned long write_rejections(WriteReject r);

} // namespace transport

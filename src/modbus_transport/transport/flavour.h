// What a transport applet adds to the shared component: its names, the shape of its readings in
// channel rules, cache rows, payload templates and bus events. The component (configuration, cache,
// senders, loop) never looks at a reading's fields except through this interface.
#pragma once

#include <cstdint>
#include <string>

#include "transport/config.h"
#include "transport/names.h"
#include "transport/reading.h"

struct blob_attr;
struct json_object;
struct sqlite3_stmt;

namespace transport {

class Flavour {
public:
    virtual ~Flavour() = default;

    virtual const TransportNames &names() const = 0;

    // One key of a channel element after its "enable". Returns false when the key fails the load
    // (the message is logged here).
    virtual bool channel_key(ChannelRule &rule, const char *key, json_object *value,
                             const TransportConfig &cfg) const = 0;
    virtual bool accepts(const ChannelRule &rule, const Reading &reading) const = 0;

    // Cache rows. The insert statement has one '%s' for the table and '?' parameters.
    virtual const char *table_columns() const = 0;
    virtual const char *insert_statement() const = 0;
    virtual void bind_insert(sqlite3_stmt *stmt, const Reading &reading, int scan_end) const = 0;
    // A result row of "select *" in the table's column order; fills row_id and scan_end as well.
    virtual Reading decode_row(sqlite3_stmt *stmt) const = 0;

    // Payloads. A single payload before its line feed; empty optional is not used: a failure to
    // build shows as `ok` false.
    virtual std::string single_payload(const TransportConfig &cfg, const Reading &reading, bool &ok) const = 0;
    // Header object of a combined batch, or null when the template is not a JSON object.
    virtual json_object *combin_header(const TransportConfig &cfg, int connection, int32_t timestamp) const = 0;
    // Inserts the batch up to its first scan-end mark; 1 when something was processed.
    virtual int combin_insert(const TransportConfig &cfg, json_object *obj, const Batch &batch) const = 0;

    // The column titles line of an uploaded file: the payload template with every variable
    // replaced by its title (without line feed).
    virtual std::string csv_header(const TransportConfig &cfg) const = 0;

    // The reading of a read-data event; false after logging the parse message.
    virtual bool parse_read_event(blob_attr *msg, Reading &out) const = 0;

    // Whether this applet accepts register writes from the server.
    virtual bool accepts_writes() const = 0;
};

} // namespace transport

// The Modbus side of the transport component: readings of modbus_poll (connection, channel, slave,
// function code, register), their cache rows, template variables and combined layouts.
#pragma once

#include "transport/flavour.h"
#include "transport/payload.h"

namespace modbus_transport {

const transport::TransportNames &names();

class ModbusFlavour : public transport::Flavour {
public:
    const transport::TransportNames &names() const override;
    bool channel_key(transport::ChannelRule &rule, const char *key, json_object *value,
                     const transport::TransportConfig &cfg) const override;
    bool accepts(const transport::ChannelRule &rule, const transport::Reading &reading) const override;
    const char *table_columns() const override;
    const char *insert_statement() const override;
    void bind_insert(sqlite3_stmt *stmt, const transport::Reading &reading, int scan_end) const override;
    transport::Reading decode_row(sqlite3_stmt *stmt) const override;
    std::string csv_header(const transport::TransportConfig &cfg) const override;
    std::string single_payload(const transport::TransportConfig &cfg, const transport::Reading &reading,
                               bool &ok) const override;
    json_object *combin_header(const transport::TransportConfig &cfg, int connection, int32_t timestamp) const override;
    int combin_insert(const transport::TransportConfig &cfg, json_object *obj,
                      const transport::Batch &batch) const override;
    bool parse_read_event(blob_attr *msg, transport::Reading &out) const override;
    bool accepts_writes() const override { return true; }
};

// The template variables in replacement order (28 entries, two of them for register addresses).
const transport::Variable *variables(size_t &count);

} // namespace modbus_transport

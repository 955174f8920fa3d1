// One value as it travels through the transport: from the poller's bus event, through a channel
// rule, into a payload, a scan batch or a cache row, and back out of the cache.
#pragma once

#include <cstdint>
#include <list>
#include <string>

namespace transport {

struct Reading {
    uint8_t connection_index = 0; // poller connection
    uint8_t channel_index = 0;    // poller channel (a meter transport puts its entry index here)
    uint8_t slave_id = 0;
    uint8_t func_code = 0;
    int32_t register_addr = 0;
    int32_t timestamp = 0;        // seconds since the epoch, as the poller stamped it
    std::string data;             // value text
    uint8_t scan_end = 0;         // 1 on the last reading of a scan batch
    int64_t row_id = 0;           // cache row the reading came from; 0 for a live reading
    bool no_data = false;         // a cache row whose value column is empty (NULL)
};

// Readings collected for one channel rule until the scan ends (or while a cache page is walked).
using Batch = std::list<Reading>;

} // namespace transport

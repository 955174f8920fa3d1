// The fixed texts that make one transport applet different from another built from the same
// component: file and directory names, status keys, bus events, and the function names and line
// numbers that appear in its structural log lines (field engineers grep for them, so they are part
// of the applet's vocabulary and must not follow the C++ code around).
#pragma once

namespace transport {

// A place named in an "error in %s, %s:%d" or "memory error in %s, %s:%d" line.
struct Site {
    const char *func;
    int line;
};

struct TransportNames {
    const char *applet;          // syslog identity and status list prefix
    const char *source;          // source name shown in structural log lines
    const char *start_line;      // informational line at start
    const char *config_path;     // JSON configuration document
    const char *cert_dir;        // printf format with the connection index, ends in '/'
    const char *usi_list;        // status list, 1-based row = connection index
    const char *uptimestamp_key; // printf format with the connection index
    const char *db_dir_ram;
    const char *db_dir_flash;
    const char *cache_file;      // printf format with the connection index
    const char *staging_file;    // printf format with the connection index
    const char *table;           // table name inside every cache database
    const char *read_event;      // bus event carrying one reading
    const char *scan_end_event;  // bus event closing one scan of a poller connection
    int max_rows_total;          // divided among the connections sharing a storage location
    int max_rows_default;        // when no connection count is known

    const char *fn_main;
    const char *fn_conf_init;
    const char *fn_conf_get_channel_para;
    const char *fn_get_connection_count;
    const char *fn_data_single_padding;
    const char *fn_insert_data_list;
    const char *fn_combin_data_insert_obj;
    const char *fn_send_history_data_cache;
    const char *fn_send_combin_history_data;
    const char *fn_data_combin_handle;
    const char *fn_ubus_probe_event;
    const char *fn_mqtt_msgarrvd;

    int line_main_uci;           // UCI context not allocated
    int line_conf_null_element;  // null element in "connection"
    int line_count_null_element; // null element while counting connections
    int line_channel_null;       // null element in "channel"
    int line_channel_alloc;      // rule allocation
    int line_single_padding;     // single payload allocation
    int line_insert_data_list;   // batch node allocation
    int line_history_no_data;    // cached row without data text
    int line_history_header;     // history header not creatable
    int line_history_cache_null; // incomplete batches without a database
    int line_combin_header;      // live header not creatable
    int line_scan_end_parse;     // scan-end event not parsable
    int line_scan_end_missing;   // scan-end event without its fields
    int line_msgarrvd_alloc;     // MQTT payload copy
};

} // namespace transport

// The history cache (readings whose delivery failed) and the FTP staging queue: SQLite files opened
// for each operation and closed again, one table of readings, bounded row counts.
#pragma once

#include <sqlite3.h>

#include <string>
#include <vector>

#include "transport/config.h"
#include "transport/reading.h"

namespace transport {

class Flavour;

// An open database connection, closed on destruction.
class Db {
public:
    Db() = default;
    ~Db();
    Db(Db &&o) noexcept : db_(o.db_) { o.db_ = nullptr; }
    Db &operator=(Db &&o) noexcept;
    Db(const Db &) = delete;
    Db &operator=(const Db &) = delete;

    // sqlite3_open; on failure the handle is released and the result code returned.
    int open(const std::string &path);
    sqlite3 *get() const { return db_; }
    explicit operator bool() const { return db_ != nullptr; }
    const char *errmsg() const { return db_ ? sqlite3_errmsg(db_) : "out of memory"; }
    int errcode() const { return db_ ? sqlite3_errcode(db_) : SQLITE_NOMEM; }
    // Runs statements without results; SQLITE_OK or the error code.
    int exec(const char *sql) const;

private:
    sqlite3 *db_ = nullptr;
};

// A prepared statement, finalised on destruction.
class Stmt {
public:
    Stmt() = default;
    ~Stmt();
    Stmt(const Stmt &) = delete;
    Stmt &operator=(const Stmt &) = delete;

    int prepare(const Db &db, const char *sql);
    sqlite3_stmt *get() const { return stmt_; }
    explicit operator bool() const { return stmt_ != nullptr; }

private:
    sqlite3_stmt *stmt_ = nullptr;
};

// "select count(*)" of a table; -1 on failure (after logging "get row error %s (%d)").
long count_rows(const Db &db, const char *table);

class Cache {
public:
    Cache(const Flavour &flavour, const TransportConfig &cfg);

    // Start-up of the files: FTP staging recreated, the history cache found, counted and trimmed.
    // Sets `history_pending` when rows wait. False when a table could not be created.
    bool startup(bool &history_pending);

    bool enabled() const { return enabled_; } // false with data_location "null"
    const std::string &path() const { return path_; }
    const std::string &staging_path() const { return staging_path_; }
    int max_rows() const { return max_rows_; }

    // Table creation (mbt_db_create): 1 on success.
    int create(const std::string &path) const;
    // One row, then trim (mbt_db_insert). False when the row could not be stored.
    bool insert(bool staging, const Reading &reading, int scan_end) const;
    // A scan batch that was not delivered: every reading up to and including the first one with a
    // scan-end mark (or the whole list), under one handle, then one trim. `reverse` writes the last
    // reading first, so a newest-first query returns the batch in arrival order.
    void insert_batch(const Batch &batch, bool reverse) const;
    // Enforces the row limit (mbt_db_trim) and, for the history cache, publishes its size.
    void trim(const Db &db, bool staging) const;

    // Rows per resend pass: number_of_sent, or kDefaultResendPage when that is 0 (absent from
    // the configuration, or 65536 cut to 16 bits), which would otherwise page nothing: stored
    // readings would never leave the cache while its size read "0".
    int resend_page() const;
    // The resend query of the configured send order, one page long.
    std::string resend_query(const char *table) const;

    // Runs a query over the table and decodes every row; on failure logs
    // "%s, errno=%d,errmsg:%s" (statement, code, message) and gives false.
    bool select_rows(const Db &db, const std::string &sql, std::vector<Reading> &rows) const;

    void publish_quantity(long rows) const;
    void publish_quantity_text(const char *text) const;

    const Flavour &flavour() const { return flavour_; }

private:
    bool insert_row(const Db &db, const Reading &reading, int scan_end) const;

    const Flavour &flavour_;
    const TransportConfig &cfg_;
    bool enabled_ = true;
    std::string path_;
    std::string staging_path_;
    int max_rows_ = 0;
};

constexpr int kStagingRows = 5000;
constexpr int kDefaultResendPage = 100;
constexpr int kBusyTimeoutMs = 10000000;

} // namespace transport

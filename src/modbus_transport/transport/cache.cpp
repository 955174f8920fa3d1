#include "transport/cache.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "common/log.h"
#include "fieldbridge/root.h"
#include "transport/flavour.h"

namespace transport {

Db::~Db()
{
    if (db_)
        sqlite3_close(db_);
}

Db &Db::operator=(Db &&o) noexcept
{
    if (this != &o) {
        if (db_)
            sqlite3_close(db_);
        db_ = o.db_;
        o.db_ = nullptr;
    }
    return *this;
}

int Db::open(const std::string &path)
{
    if (db_) {
        sqlite3_close(db_);
        db_ = nullptr;
    }
    int rc = sqlite3_open(path.c_str(), &db_);
    if (rc != SQLITE_OK) {
        if (db_)
            sqlite3_close(db_);
        db_ = nullptr;
    }
    return rc;
}

int Db::exec(const char *sql) const { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); }

Stmt::~Stmt()
{
    if (stmt_)
        sqlite3_finalize(stmt_);
}

int Stmt::prepare(const Db &db, const char *sql)
{
    if (stmt_) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
    }
    return sqlite3_prepare_v2(db.get(), sql, -1, &stmt_, nullptr);
}

long count_rows(const Db &db, const char *table)
{
    char sql[128];
    snprintf(sql, sizeof sql, "select count(*) from %s", table);
    Stmt st;
    int rc = st.prepare(db, sql);
    if (rc == SQLITE_OK)
        rc = sqlite3_step(st.get());
    if (rc != SQLITE_ROW) {
        FB_LOG_ERR("get row error %s (%d)", db.errmsg(), db.errcode());
        return -1;
    }
    return static_cast<long>(sqlite3_column_int64(st.get(), 0));
}

namespace {

// The directory and its parent, as the cache needs them. Directories are made searchable (the
// process umask applies) so that a diagnostic tool running as another user can read the cache.
void make_dirs(const std::string &dir)
{
    std::string parent = dir.substr(0, dir.find_last_of('/'));
    if (access(dir.c_str(), F_OK) != 0) {
        if (!parent.empty())
            mkdir(parent.c_str(), 0777);
        mkdir(dir.c_str(), 0777);
    }
}

std::string join(const std::string &dir, const char *format, int index)
{
    char name[64];
    snprintf(name, sizeof name, format, index);
    return dir + "/" + name;
}

bool path_exists(const std::string &p) { return access(p.c_str(), F_OK) == 0; }

} // namespace

Cache::Cache(const Flavour &flavour, const TransportConfig &cfg) : flavour_(flavour), cfg_(cfg) {}

int Cache::resend_page() const
{
    return cfg_.number_of_sent ? cfg_.number_of_sent : kDefaultResendPage;
}

bool Cache::select_rows(const Db &db, const std::string &sql, std::vector<Reading> &rows) const
{
    Stmt st;
    int rc = st.prepare(db, sql.c_str());
    while (rc == SQLITE_OK || rc == SQLITE_ROW) {
        rc = sqlite3_step(st.get());
        if (rc == SQLITE_ROW)
            rows.push_back(flavour_.decode_row(st.get()));
    }
    if (rc != SQLITE_DONE) {
        FB_LOG_ERR("%s, errno=%d,errmsg:%s", sql.c_str(), rc, db.errmsg());
        return false;
    }
    return true;
}

std::string Cache::resend_query(const char *table) const
{
    char sql[160];
    snprintf(sql, sizeof sql,
             cfg_.send_order == SendOrder::LastInFirstOut ? "select * from %s order by id DESC limit 0,%d;"
                                                          : "select * from %s limit 0,%d;",
             table, resend_page());
    return sql;
}

int Cache::create(const std::string &path) const
{
    const TransportNames &n = flavour_.names();
    FB_LOG_VERBOSE("create database db path:%s table:%s ", path.c_str(), n.table);
    Db db;
    if (db.open(path) != SQLITE_OK) {
        FB_LOG_ERR("can't open database %s", path.c_str());
        return 0;
    }
    char sql[512];
    snprintf(sql, sizeof sql, "create table if not exists %s (%s);", n.table, flavour_.table_columns());
    char *err = nullptr;
    if (sqlite3_exec(db.get(), sql, nullptr, nullptr, &err) != SQLITE_OK) {
        FB_LOG_ERR("exec error:%s\n", err ? err : "");
        sqlite3_free(err);
        return 0;
    }
    return 1;
}

bool Cache::startup(bool &history_pending)
{
    const TransportNames &n = flavour_.names();
    int created = 1;

    if (cfg_.protocol == Protocol::Ftp) {
        std::string dir = fb::root_path(n.db_dir_ram);
        make_dirs(dir);
        staging_path_ = join(dir, n.staging_file, cfg_.index);
        if (path_exists(staging_path_))
            unlink(staging_path_.c_str());
        created = create(staging_path_);
    }

    publish_quantity_text("0");

    if (cfg_.data_location == DataLocation::Null) {
        enabled_ = false;
        for (const char *d : {n.db_dir_ram, n.db_dir_flash}) {
            std::string p = join(fb::root_path(d), n.cache_file, cfg_.index);
            if (path_exists(p))
                unlink(p.c_str());
        }
        return created != 0;
    }

    std::string dir = fb::root_path(cfg_.data_location == DataLocation::Flash ? n.db_dir_flash : n.db_dir_ram);
    make_dirs(dir);
    path_ = join(dir, n.cache_file, cfg_.index);
    max_rows_ = cfg_.connection_count ? n.max_rows_total / cfg_.connection_count : n.max_rows_default;
    FB_LOG_VERBOSE("database max row:%d", max_rows_);
    if (cfg_.number_of_sent == 0)
        FB_LOG_INFO("number_of_sent is 0: resending %d rows per pass", kDefaultResendPage);

    if (!path_exists(path_))
        return create(path_) != 0;

    long count = -1;
    {
        Db db;
        int rc = db.open(path_);
        if (rc != SQLITE_OK) {
            FB_LOG_ERR("Could not open database %s error_code:%d", path_.c_str(), rc);
        } else {
            sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
            count = count_rows(db, n.table);
        }
    }
    if (count > 0) {
        history_pending = true;
        if (count > max_rows_) {
            publish_quantity(max_rows_);
            Db db;
            if (db.open(path_) != SQLITE_OK) {
                FB_LOG_ERR("can't open database %s", path_.c_str());
            } else {
                char sql[256];
                snprintf(sql, sizeof sql, "delete from %s where rowid in (select rowid from %s limit %d offset 0)",
                         n.table, n.table, static_cast<int>(count - max_rows_));
                char *err = nullptr;
                int rc = sqlite3_exec(db.get(), sql, nullptr, nullptr, &err);
                if (rc != SQLITE_OK)
                    FB_LOG_ERR("%s, errno=%d, errmsg=%s", sql, rc, err ? err : "");
                sqlite3_free(err);
            }
        } else {
            publish_quantity(count);
        }
    } else if (count < 0) {
        unlink(path_.c_str());
        FB_LOG_DEBUG("create database tables");
        created = create(path_);
    }
    return created != 0;
}

bool Cache::insert_row(const Db &db, const Reading &reading, int scan_end) const
{
    char sql[256];
    snprintf(sql, sizeof sql, flavour_.insert_statement(), flavour_.names().table);
    Stmt st;
    int rc = st.prepare(db, sql);
    if (rc == SQLITE_OK) {
        flavour_.bind_insert(st.get(), reading, scan_end);
        rc = sqlite3_step(st.get());
    }
    if (rc != SQLITE_DONE) {
        char *shown = st ? sqlite3_expanded_sql(st.get()) : nullptr;
        FB_LOG_ERR("failed to execute cmd(%s),error:%s", shown ? shown : sql, db.errmsg());
        sqlite3_free(shown);
        return false;
    }
    return true;
}

bool Cache::insert(bool staging, const Reading &reading, int scan_end) const
{
    const std::string &p = staging ? staging_path_ : path_;
    Db db;
    if (db.open(p) != SQLITE_OK) {
        FB_LOG_ERR("can't open database %s", p.c_str());
        return false;
    }
    sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
    if (!insert_row(db, reading, scan_end))
        return false;
    trim(db, staging);
    return true;
}

void Cache::insert_batch(const Batch &batch, bool reverse) const
{
    Db db;
    if (db.open(path_) != SQLITE_OK) {
        FB_LOG_ERR("can't open database %s", path_.c_str());
        return;
    }
    sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
    // The rows of the batch: up to and including the reading that closes the scan.
    std::vector<const Reading *> rows;
    for (const Reading &r : batch) {
        rows.push_back(&r);
        if (r.scan_end)
            break;
    }
    if (reverse) {
        for (auto it = rows.rbegin(); it != rows.rend(); ++it)
            insert_row(db, **it, (*it)->scan_end);
    } else {
        for (const Reading *r : rows)
            insert_row(db, *r, r->scan_end);
    }
    trim(db, false);
}

void Cache::trim(const Db &db, bool staging) const
{
    const char *table = flavour_.names().table;
    long count = count_rows(db, table);
    if (count < 0)
        return;
    long limit = staging ? kStagingRows : max_rows_;
    if (count > limit) {
        char sql[256];
        snprintf(sql, sizeof sql, "delete from %s where rowid in (select rowid from %s limit %d offset 0)", table, table,
                 static_cast<int>(count - limit));
        int rc = db.exec(sql);
        if (rc != SQLITE_OK)
            FB_LOG_ERR("errno=%d(%s)", rc, db.errmsg());
        count = limit;
    }
    if (!staging)
        publish_quantity(count);
}

void Cache::publish_quantity(long rows) const
{
    char text[24];
    snprintf(text, sizeof text, "%ld", rows);
    publish_quantity_text(text);
}

void Cache::publish_quantity_text(const char *text) const
{
    usi_list_set(flavour_.names().usi_list, cfg_.index, "storage_quantity", text);
}

} // namespace transport

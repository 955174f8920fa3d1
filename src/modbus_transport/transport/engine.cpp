#include "transport/engine.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include <json-c/json.h>
#include <libubox/blobmsg.h>

#include "common/log.h"
#include "transport/http.h"
#include "transport/payload.h"
#include "transport/remote_write.h"

namespace transport {

namespace {

// How long the uplink is given to settle after it changed, before the server is dialled again.
constexpr int kUplinkSettleMs = 5000;
constexpr int kMaxReconnectDelay = 600;

enum { SE_CONN, SE_SCAN_END, SE_MAX };
const blobmsg_policy kScanEndPolicy[SE_MAX] = {
    {"connection_index", BLOBMSG_TYPE_INT32},
    {"scan_end", BLOBMSG_TYPE_INT32},
};

} // namespace

Engine::Engine(const Flavour &flavour, TransportConfig &cfg)
    : flavour_(flavour), names_(flavour.names()), cfg_(cfg), cache_(flavour, cfg)
{
    reconnect_delay_ = cfg_.reconnect_interval;
    send_timer_.t.cb = on_tick;
    send_timer_.self = this;
    usr1_timer_.t.cb = on_usr1_wait_done;
    usr1_timer_.self = this;
    if (cfg_.mqtt_family()) {
        MqttLink::Hooks hooks;
        hooks.reconnect_delay = [this] { return reconnect_delay_; };
        if (flavour_.accepts_writes())
            hooks.on_request = [](const std::string &text) { remote_write(text.c_str()); };
        mqtt_ = std::make_unique<MqttLink>(cfg_, names_, state_, mailbox_, std::move(hooks));
    } else if (cfg_.protocol == Protocol::TcpClient) {
        TcpLink::Hooks hooks;
        hooks.reconnect_delay = [this] { return reconnect_delay_; };
        if (flavour_.accepts_writes())
            hooks.on_request = [](const std::string &text) { remote_write(text.c_str()); };
        tcp_ = std::make_unique<TcpLink>(cfg_, names_, state_, std::move(hooks));
    }
}

Engine::~Engine()
{
    uloop_timeout_cancel(&send_timer_.t);
    uloop_timeout_cancel(&usr1_timer_.t);
    mqtt_.reset();
    tcp_.reset();
}

void Engine::set_status(const char *status) const { usi_list_set(names_.usi_list, cfg_.index, "status", status); }

bool Engine::start_cache() { return cache_.startup(history_pending_); }

bool Engine::open_server()
{
    if (mqtt_) {
        if (!mqtt_->connect())
            return false;
        if (state_.load() <= 0)
            FB_LOG_DEBUG("reconnect after %ds", reconnect_delay_);
    } else if (tcp_) {
        tcp_->connect();
        if (state_.load() <= 0)
            FB_LOG_DEBUG("reconnect after %ds", reconnect_delay_);
    }
    return true;
}

void Engine::start_timer()
{
    if (cfg_.protocol != Protocol::Http)
        uloop_timeout_set(&send_timer_.t, 1000);
    else if (history_pending_)
        uloop_timeout_set(&send_timer_.t, 10000);
}

void Engine::on_tick(uloop_timeout *t)
{
    Engine *self = reinterpret_cast<Timer *>(t)->self;
    if (self->cfg_.protocol == Protocol::Http)
        self->http_history_tick();
    else
        self->timer_tick();
}

ChannelRule *Engine::find_rule(const Reading &r)
{
    for (auto &rule : cfg_.rules)
        if (rule->connection_index == r.connection_index && flavour_.accepts(*rule, r))
            return rule.get();
    return nullptr;
}

std::string Engine::single_padding(const Reading &r, bool &ok) const
{
    std::string text = flavour_.single_payload(cfg_, r, ok);
    if (!ok) {
        FB_LOG_ERR("memory error in %s, %s:%d", names_.source, names_.fn_data_single_padding,
                   names_.line_single_padding);
        return {};
    }
    if ((cfg_.line_break || cfg_.protocol == Protocol::Ftp) && cfg_.protocol != Protocol::Http)
        text += '\n';
    return text;
}

bool Engine::send_payload(ChannelRule &rule, const std::string &text)
{
    switch (cfg_.protocol) {
    case Protocol::Mqtt:
    case Protocol::Gcloud:
        return state_.load() > 0 && mqtt_ && mqtt_->publish(rule, text) == 1;
    case Protocol::TcpClient:
        return state_.load() > 0 && tcp_ && tcp_->send(text);
    case Protocol::Http:
        return http_post(cfg_, names_, text) == 1;
    default:
        // ftp has no live sender: its readings are staged and uploaded as files.
        return false;
    }
}

int Engine::handle_reading(bool resend, const Reading &r)
{
    ChannelRule *rule = find_rule(r);
    if (!rule)
        return 1;
    if (!cfg_.combined()) {
        if (cfg_.protocol == Protocol::Ftp) {
            cache_.insert(true, r, 0);
            return 1;
        }
        bool ok = false;
        std::string text = single_padding(r, ok);
        if (ok && send_payload(*rule, text)) {
            // The server answers again: let the history cache follow without waiting 30 s.
            if (cfg_.protocol == Protocol::Http && !resend && history_pending_)
                uloop_timeout_set(&send_timer_.t, 1000);
            return 1;
        }
        if (resend || !cache_.enabled())
            return 0;
        cache_.insert(false, r, 0);
        history_pending_ = true;
        return 0;
    }
    Reading copy = r;
    copy.scan_end = 0;
    rule->live_batch.push_back(std::move(copy));
    return 1;
}

void Engine::data_combin_handle(int connection)
{
    ChannelRule *rule = nullptr;
    for (auto &r : cfg_.rules)
        if (r->connection_index == connection) {
            rule = r.get();
            break;
        }
    if (!rule)
        return;
    Batch &batch = rule->live_batch;
    if (!batch.empty())
        batch.back().scan_end = 1;
    int32_t ts = batch.empty() ? static_cast<int32_t>(time(nullptr)) : batch.front().timestamp;
    JsonRef header(flavour_.combin_header(cfg_, connection, ts));
    if (!header)
        header.reset(json_object_new_object());
    if (!header) {
        FB_LOG_ERR("error in %s, %s:%d", names_.source, names_.fn_data_combin_handle, names_.line_combin_header);
        return;
    }
    if (flavour_.combin_insert(cfg_, header.get(), batch)) {
        std::string text = json_text(header.get());
        if (!send_payload(*rule, text)) {
            if (cache_.enabled()) {
                cache_.insert_batch(batch, cfg_.send_order == SendOrder::LastInFirstOut);
                history_pending_ = true;
            }
            if (cfg_.protocol == Protocol::Http)
                uloop_timeout_cancel(&send_timer_.t);
        } else if (cfg_.protocol == Protocol::Http && history_pending_) {
            uloop_timeout_set(&send_timer_.t, 1000);
        }
    }
    // The batch ends at the marked reading; readings that came after it wait for the next scan.
    while (!batch.empty()) {
        bool last = batch.front().scan_end != 0;
        batch.pop_front();
        if (last)
            break;
    }
}

void Engine::scan_end(int connection, int scan_end)
{
    if (scan_end) {
        poll_idle_ = true;
        if (cfg_.combined())
            data_combin_handle(connection);
    } else if (cfg_.protocol == Protocol::Http) {
        poll_idle_ = false;
        if (history_pending_ && !send_timer_.t.pending)
            uloop_timeout_set(&send_timer_.t, 1000);
    }
}

void Engine::on_event(const char *type, blob_attr *msg)
{
    if (!strcmp(type, names_.read_event)) {
        Reading r;
        if (!flavour_.parse_read_event(msg, r))
            return;
        handle_reading(false, r);
        return;
    }
    if (!strcmp(type, names_.scan_end_event)) {
        blob_attr *tb[SE_MAX] = {};
        if (blobmsg_parse(kScanEndPolicy, SE_MAX, tb, blob_data(msg), blob_len(msg)) < 0) {
            FB_LOG_ERR("error in %s, %s:%d", names_.source, names_.fn_ubus_probe_event, names_.line_scan_end_parse);
            return;
        }
        if (!tb[SE_CONN] || !tb[SE_SCAN_END]) {
            FB_LOG_ERR("error in %s, %s:%d", names_.source, names_.fn_ubus_probe_event, names_.line_scan_end_missing);
            return;
        }
        scan_end(static_cast<int32_t>(blobmsg_get_u32(tb[SE_CONN])),
                 static_cast<int32_t>(blobmsg_get_u32(tb[SE_SCAN_END])));
        return;
    }
    FB_LOG_INFO("unkonw event");
}

bool Engine::delete_row(const Db &db, int64_t id, bool full_message)
{
    char sql[128];
    snprintf(sql, sizeof sql, "delete from %s where id=%lld", names_.table, static_cast<long long>(id));
    int rc = db.exec(sql);
    if (rc == SQLITE_OK)
        return true;
    if (full_message)
        FB_LOG_ERR("%s, errno=%d, errmsg=%s", sql, rc, db.errmsg());
    else
        FB_LOG_ERR("%s, errmsg=%s", sql, db.errmsg());
    return false;
}

void Engine::free_history_batches()
{
    for (auto &rule : cfg_.rules) {
        rule->history_batch.clear();
        rule->history_header.reset();
    }
}

int Engine::send_combin_history_data()
{
    Db db;
    if (db.open(cache_.path()) != SQLITE_OK) {
        FB_LOG_ERR("can't open database %s", cache_.path().c_str());
        return 0;
    }
    const std::string query = cache_.resend_query(names_.table);
    std::vector<Reading> rows;
    if (!cache_.select_rows(db, query, rows))
        return 0;
    FB_LOG_VERBOSE("get historical cache data entry: %d", static_cast<int>(rows.size()));
    if (rows.empty()) {
        history_pending_ = false;
        cache_.publish_quantity_text("0");
        return 0;
    }

    if (!cfg_.combined()) {
        bool walked_all = true;
        for (const Reading &row : rows) {
            if (!handle_reading(true, row) || !delete_row(db, row.row_id, true)) {
                walked_all = false;
                break;
            }
        }
        if (walked_all)
            cache_.trim(db, false);
        return 0;
    }

    int result = 0;
    bool progress = false; // a row left the cache during this pass
    for (const Reading &row : rows) {
        ChannelRule *rule = find_rule(row);
        if (!rule) {
            char del[128];
            snprintf(del, sizeof del, "delete from %s where id=%lld", names_.table, static_cast<long long>(row.row_id));
            if (db.exec(del) != SQLITE_OK)
                FB_LOG_ERR("%s, errmsg=%s", del, db.errmsg());
            else
                progress = true;
            result = 1;
            continue;
        }
        if (row.no_data) {
            FB_LOG_ERR("error in %s, %s:%d", names_.source, names_.fn_send_combin_history_data,
                       names_.line_history_no_data);
            free_history_batches();
            return 0;
        }
        if (!rule->history_header) {
            rule->history_header.reset(flavour_.combin_header(cfg_, row.connection_index, row.timestamp));
            if (!rule->history_header)
                rule->history_header.reset(json_object_new_object());
            if (!rule->history_header) {
                FB_LOG_ERR("error in %s, %s:%d", names_.source, names_.fn_send_combin_history_data,
                           names_.line_history_header);
                free_history_batches();
                return 0;
            }
        }
        rule->history_batch.push_back(row);
        result = 1;
        if (!row.scan_end)
            continue;
        flavour_.combin_insert(cfg_, rule->history_header.get(), rule->history_batch);
        bool sent = send_payload(*rule, json_text(rule->history_header.get()));
        if (sent)
            for (const Reading &r : rule->history_batch)
                if (delete_row(db, r.row_id, false))
                    progress = true;
        rule->history_batch.clear();
        rule->history_header.reset();
        if (!sent) {
            free_history_batches();
            return 0;
        }
    }

    if (rows.size() == size_t(cache_.resend_page())) {
        long remaining = count_rows(db, names_.table);
        // A page that holds nothing but the start of one batch longer than the page would come
        // back unchanged on every pass and stall the cache for good: send what it holds.
        if (remaining == 0 || (remaining > 0 && !progress))
            send_history_data_cache(&db);
        if (remaining >= 0)
            cache_.publish_quantity(count_rows(db, names_.table));
    } else {
        send_history_data_cache(&db);
    }
    free_history_batches();
    return result;
}

int Engine::send_history_data_cache(const Db *db)
{
    if (!db || !*db) {
        FB_LOG_ERR("error in %s, %s:%d", names_.source, names_.fn_send_history_data_cache,
                   names_.line_history_cache_null);
        return 0;
    }
    for (auto &rule : cfg_.rules) {
        if (rule->history_batch.empty())
            continue;
        if (!rule->history_header)
            rule->history_header.reset(json_object_new_object());
        flavour_.combin_insert(cfg_, rule->history_header.get(), rule->history_batch);
        if (!send_payload(*rule, json_text(rule->history_header.get())))
            return 0;
        for (const Reading &r : rule->history_batch)
            delete_row(*db, r.row_id, false);
        rule->history_batch.clear();
    }
    return 1;
}

void Engine::reconnect()
{
    if (tcp_) {
        tcp_->connect();
        return;
    }
    if (!mqtt_)
        return;
    mqtt_->destroy();
    if (!mqtt_->connect()) {
        // The client library refused to create a client: nothing later can succeed.
        exit(-1);
    }
}

void Engine::timer_tick()
{
    const bool linked = cfg_.protocol == Protocol::TcpClient || cfg_.mqtt_family();
    if (history_pending_) {
        if (++send_counter_ > cfg_.send_interval) {
            send_counter_ = 0;
            if (cfg_.protocol == Protocol::Ftp)
                ftp_upload(true);
            else if (linked && state_.load() > 0)
                send_combin_history_data();
        }
    }
    if (cfg_.protocol == Protocol::Ftp) {
        if (++upload_counter_ > cfg_.upload_interval) {
            upload_counter_ = 0;
            ftp_upload(false);
        }
    }
    // While the uplink settles after SIGUSR1 the reconnect is already scheduled.
    if (linked && state_.load() == -1 && !usr1_wait_) {
        if (++reconnect_counter_ > reconnect_delay_) {
            reconnect_counter_ = 0;
            reconnect();
            if (state_.load() <= 0) {
                if (reconnect_delay_ >= kMaxReconnectDelay)
                    reconnect_delay_ = kMaxReconnectDelay;
                else
                    reconnect_delay_ = std::min(reconnect_delay_ + cfg_.reconnect_interval, kMaxReconnectDelay);
                FB_LOG_DEBUG("reconnect after %ds", reconnect_delay_);
            } else {
                reconnect_delay_ = cfg_.reconnect_interval;
            }
        }
    }
    uloop_timeout_set(&send_timer_.t, 1000);
}

void Engine::http_history_tick()
{
    int rc = send_combin_history_data();
    if (!history_pending_)
        return;
    uloop_timeout_set(&send_timer_.t, rc == 1 || poll_idle_ ? 1000 : 30000);
}

void Engine::on_usr1()
{
    if (tcp_) {
        if (usr1_wait_)
            return;
        if (state_.load() > 0) {
            if (cfg_.server_on_lan)
                return;
            tcp_->drop();
        }
        // The uplink has just changed: give it a moment before dialling out again, on the loop,
        // so readings keep arriving (and are cached) meanwhile.
        usr1_wait_ = true;
        uloop_timeout_set(&usr1_timer_.t, kUplinkSettleMs);
        return;
    }
    if (!cfg_.mqtt_family()) {
        if (cfg_.protocol == Protocol::Http) {
            if (history_pending_)
                uloop_timeout_set(&send_timer_.t, 1000);
        } else if (cfg_.protocol != Protocol::Ftp && cfg_.protocol != Protocol::TcpClient) {
            FB_LOG_ERR("unkonw protocol");
        }
        return;
    }
    int st = state_.load();
    if (st == -2) {
        FB_LOG_WARN("mqtt connecting...");
        return;
    }
    if (usr1_wait_)
        return;
    if (st > 0) {
        if (cfg_.server_on_lan)
            return;
        mqtt_->disconnect(5000);
        state_.store(-1);
        set_status("Disconnected");
        usi_list_set(names_.usi_list, cfg_.index, "uptime", "");
    }
    mqtt_->destroy();
    state_.store(-1);
    // The uplink has just changed: give it a moment before dialling out again. The wait runs on
    // the loop, so readings keep arriving (and are cached) meanwhile.
    usr1_wait_ = true;
    uloop_timeout_set(&usr1_timer_.t, kUplinkSettleMs);
}

void Engine::on_usr1_wait_done(uloop_timeout *t)
{
    Engine *self = reinterpret_cast<Timer *>(t)->self;
    self->usr1_wait_ = false;
    self->reconnect_counter_ = 0;
    self->reconnect();
}

void Engine::on_term()
{
    uloop_timeout_cancel(&send_timer_.t);
    uloop_timeout_cancel(&usr1_timer_.t);
    if (tcp_) {
        // Unwatch and close without touching the status: the process is going away.
        tcp_.reset();
    }
    cfg_.rules.clear();
    FB_LOG_DEBUG("Signal SIGTERM receive");
}

} // namespace transport

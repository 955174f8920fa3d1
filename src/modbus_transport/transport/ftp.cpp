#include "transport/ftp.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fieldbridge/root.h>
#include <librouter.h>

#include "common/log.h"
#include "transport/cache.h"
#include "transport/curl_util.h"
#include "transport/engine.h"
#include "transport/payload.h"

namespace transport {

namespace {

constexpr size_t kMaxFileName = 127;

struct FileCloser {
    void operator()(FILE *f) const
    {
        if (f)
            fclose(f);
    }
};
using File = std::unique_ptr<FILE, FileCloser>;

size_t read_local(char *buffer, size_t size, size_t nmemb, void *user)
{
    FILE *f = static_cast<FILE *>(user);
    size_t n = fread(buffer, size, nmemb, f);
    if (n == 0 && ferror(f))
        return CURL_READFUNC_ABORT;
    return n;
}

size_t discard(char *, size_t size, size_t nmemb, void *) { return size * nmemb; }

size_t parse_length(char *data, size_t size, size_t nmemb, void *user)
{
    const size_t n = size * nmemb;
    std::string line(data, n);
    long value = 0;
    if (sscanf(line.c_str(), "Content-Length: %ld\n", &value) == 1)
        *static_cast<long *>(user) = value;
    return n;
}

long file_size(FILE *f)
{
    struct stat st {};
    if (fstat(fileno(f), &st) != 0)
        return -1;
    return static_cast<long>(st.st_size);
}

// Asks the server for the size of the remote file: the value, -2 when the file does not exist,
// -1 when the question could not be answered.
long remote_size(CURL *h, CURLcode &code, long &response)
{
    long size = -1;
    curl_easy_setopt(h, CURLOPT_UPLOAD, 0L);
    curl_easy_setopt(h, CURLOPT_APPEND, 0L);
    curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(h, CURLOPT_HEADER, 1L);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &size);
    code = curl_easy_perform(h);
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &response);
    curl_easy_setopt(h, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(h, CURLOPT_HEADER, 0L);
    if (code == CURLE_REMOTE_FILE_NOT_FOUND)
        return -2;
    if (code != CURLE_OK)
        return -1;
    if (size < 0) {
        curl_off_t len = -1;
        if (curl_easy_getinfo(h, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &len) == CURLE_OK && len >= 0)
            size = static_cast<long>(len);
    }
    return size;
}

} // namespace

std::string ftp_file_name(const TransportConfig &cfg, time_t now, bool &time_ok)
{
    time_ok = true;
    if (!cfg.has_file_name || cfg.file_name.empty())
        return {};
    struct tm tm {};
    char date[64] = "";
    if (!localtime_r(&now, &tm)) {
        time_ok = false;
        return {};
    }
    snprintf(date, sizeof date, "%d-%02d-%02d_%02d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
             tm.tm_hour, tm.tm_min, tm.tm_sec);
    std::string name = cfg.file_name;
    replace_every(name, "$SERIAL_NUMBER", cfg.serial_number);
    replace_every(name, "$DATE", date);
    replace_every(name, "$TRANSPORT_INDEX", std::to_string(cfg.index));
    replace_every(name, "$TRANSPORT_DESC", cfg.has_desc && !cfg.desc.empty() ? cfg.desc : std::string(" "));
    if (name.size() > kMaxFileName)
        name.resize(kMaxFileName);
    return name;
}

std::string ftp_local_name(const std::string &remote)
{
    std::string local = remote;
    for (char &c : local)
        if (c == '/')
            c = '_';
    return local;
}

std::string ftp_url(const TransportConfig &cfg, const std::string &remote)
{
    char head[512];
    snprintf(head, sizeof head, "ftp://%s:%d/", cfg.server_address.c_str(), cfg.server_port);
    std::string url = head;
    // Segments are encoded one by one so the directories of the name stay directories, while a
    // space (the default description) or a '#' cannot end or bend the URL.
    size_t start = 0;
    while (start <= remote.size()) {
        size_t slash = remote.find('/', start);
        std::string seg = remote.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        char *esc = curl_easy_escape(nullptr, seg.c_str(), static_cast<int>(seg.size()));
        if (esc) {
            url += esc;
            curl_free(esc);
        }
        if (slash == std::string::npos)
            break;
        url += '/';
        start = slash + 1;
    }
    return url;
}

FtpResult ftp_put(const TransportConfig &cfg, const std::string &local, const std::string &url)
{
    FtpResult res;
    CurlGlobal global;
    File file(fopen(local.c_str(), "rb"));
    if (!file) {
        perror(local.c_str());
        res.local_unreadable = true;
        res.code = CURLE_READ_ERROR;
        return res;
    }
    const long total = file_size(file.get());
    CurlEasy curl;
    if (!curl) {
        res.code = CURLE_FAILED_INIT;
        return res;
    }
    CURL *h = curl.get();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    if (!cfg.username.empty() && !cfg.password.empty()) {
        curl_easy_setopt(h, CURLOPT_USERNAME, cfg.username.c_str());
        curl_easy_setopt(h, CURLOPT_PASSWORD, cfg.password.c_str());
    }
    curl_easy_setopt(h, CURLOPT_FTP_RESPONSE_TIMEOUT, static_cast<long>(cfg.connect_timeout));
    if (cfg.connect_timeout > 0)
        curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, static_cast<long>(cfg.connect_timeout));
    curl_easy_setopt(h, CURLOPT_FTP_CREATE_MISSING_DIRS, static_cast<long>(CURLFTP_CREATE_DIR));
    curl_easy_setopt(h, CURLOPT_VERBOSE, 0L);
    curl_easy_setopt(h, CURLOPT_READFUNCTION, read_local);
    curl_easy_setopt(h, CURLOPT_READDATA, file.get());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, parse_length);
    if (!cfg.passive)
        curl_easy_setopt(h, CURLOPT_FTPPORT, "-");

    res.code = CURLE_GOT_NOTHING; // no attempt at all counts as nothing received
    const int attempts = cfg.connect_retry;
    bool sent_any = false;
    for (int i = 1; i <= attempts; ++i) {
        ++res.attempts;
        long offset = 0;
        if (i > 1) {
            long have = remote_size(h, res.code, res.response);
            if (have == -1) {
                FB_LOG_ERR("failed: %s (%ld), ftp upload try to resend(%d/%d)", curl_easy_strerror(res.code),
                           res.response, i, attempts);
                continue;
            }
            // Only bytes this call has sent may be resumed: a file of the same name left by someone
            // else (or by an earlier upload), one the server never created, or one longer than
            // ours is written from the start.
            offset = sent_any && have >= 0 && have <= total ? have : 0;
        }
        if (offset > 0)
            ++res.resumed;
        fseek(file.get(), offset, SEEK_SET);
        clearerr(file.get());
        curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(h, CURLOPT_APPEND, offset > 0 ? 1L : 0L);
        curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(total - offset));
        res.code = curl_easy_perform(h);
        curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &res.response);
        curl_off_t uploaded = 0;
        if (curl_easy_getinfo(h, CURLINFO_SIZE_UPLOAD_T, &uploaded) == CURLE_OK && uploaded > 0)
            sent_any = true;
        if (res.code == CURLE_OK) {
            // A server that acknowledges a transfer it did not store completely must not cost the
            // readings: only the size it reports afterwards makes the upload count.
            CURLcode check = CURLE_OK;
            long check_resp = 0;
            long stored = remote_size(h, check, check_resp);
            if (stored == total)
                break;
            res.code = stored < 0 ? check : CURLE_PARTIAL_FILE;
            if (stored >= 0)
                FB_LOG_ERR("ftp server holds %ld of %ld bytes", stored, total);
        }
        FB_LOG_ERR("failed: %s (%ld), ftp upload try to resend(%d/%d)", curl_easy_strerror(res.code), res.response, i,
                   attempts);
    }
    return res;
}

void Engine::ftp_upload(bool history)
{
    bool time_ok = true;
    const std::string remote = ftp_file_name(cfg_, time(nullptr), time_ok);
    if (!time_ok) {
        FB_LOG_ERR("get local time error");
        return;
    }
    if (remote.empty()) {
        FB_LOG_ERR("ftp filename created failed");
        return;
    }
    const std::string local = fb::root_path("/tmp/" + ftp_local_name(remote));
    unlink(local.c_str());
    File out(fopen(local.c_str(), "a"));
    if (!out) {
        FB_LOG_ERR("Open file failed");
        return;
    }
    // The local copy goes whatever happens below.
    struct Remover {
        const std::string &path;
        ~Remover() { unlink(path.c_str()); }
    } remover{local};

    if (cfg_.enable_csv && cfg_.has_data_format) {
        std::string header = flavour_.csv_header(cfg_) + "\n";
        fwrite(header.data(), 1, header.size(), out.get());
    }
    const std::string &dbpath = history ? cache_.path() : cache_.staging_path();
    Db db;
    if (db.open(dbpath) != SQLITE_OK) {
        FB_LOG_ERR("can't open database %s", dbpath.c_str());
        return;
    }
    sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
    const std::string query = history ? cache_.resend_query(names_.table)
                                      : std::string("select * from ") + names_.table + ";";
    std::vector<Reading> rows;
    if (!cache_.select_rows(db, query, rows))
        return;
    if (rows.empty()) {
        if (history) {
            history_pending_ = false;
            cache_.publish_quantity_text("0");
        }
        return;
    }

    bool written = true;
    for (const Reading &row : rows) {
        bool ok = false;
        std::string line = single_padding(row, ok);
        // A line that cannot be built must not vanish with its row after the upload.
        if (!ok || fwrite(line.data(), 1, line.size(), out.get()) != line.size())
            written = false;
    }
    if (fflush(out.get()) != 0)
        written = false;
    out.reset();

    const std::string url = ftp_url(cfg_, remote);
    FtpResult res;
    if (written) {
        res = ftp_put(cfg_, local, url);
    } else {
        // A file the disk could not take would upload as a short file and cost the missing rows.
        res.code = CURLE_WRITE_ERROR;
    }

    auto delete_rows = [&](const Db &from) {
        from.exec("begin;");
        for (const Reading &row : rows)
            if (!delete_row(from, row.row_id, true))
                break;
        from.exec("commit;");
    };

    if (res.code == CURLE_OK) {
        FB_LOG_DEBUG("ftp upload file successful");
        set_status("Send Successfully");
        FB_LOG_VERBOSE("ftp file (%s) send successful", remote.c_str());
        delete_rows(db);
    } else {
        if (!res.local_unreadable) {
            FB_LOG_ERR("ftp upload failed (%s)", curl_easy_strerror(res.code));
            set_status("Send Failed");
        }
        FB_LOG_ERR("ftp file (%s) send failed", remote.c_str());
        if (!history) {
            if (cache_.enabled()) {
                // Rows leave the staging queue only once the history cache holds them.
                bool moved = true;
                for (const Reading &row : rows)
                    if (!cache_.insert(false, row, row.scan_end)) {
                        moved = false;
                        break;
                    }
                history_pending_ = true;
                if (moved)
                    delete_rows(db);
            } else {
                delete_rows(db);
            }
        }
    }
    if (history)
        cache_.trim(db, false);
}

} // namespace transport

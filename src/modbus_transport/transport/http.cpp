#include "transport/http.h"

#include <curl/curl.h>

#include <new>

#include <fieldbridge/root.h>
#include <librouter.h>

#include "common/log.h"
#include "transport/curl_util.h"

namespace transport {

namespace {

// The line named in the allocation message is part of the log vocabulary field engineers grep for.
constexpr int kCallbackAllocLine = 1245;

struct Response {
    std::string body;
    const TransportNames *names;
};

size_t curl_post_callback(char *data, size_t size, size_t nmemb, void *user)
{
    auto *resp = static_cast<Response *>(user);
    const size_t n = size * nmemb;
    try {
        resp->body.append(data, n);
    } catch (const std::bad_alloc &) {
        FB_LOG_ERR("memory error in %s, %s:%d", resp->names->source, "curl_post_callback", kCallbackAllocLine);
        return 0;
    }
    return n;
}

} // namespace

std::vector<std::string> http_headers(const TransportConfig &cfg)
{
    std::vector<std::string> lines{"Content-Type: application/json", "Accept: text/plain"};
    if (cfg.has_auth_header && !cfg.auth_header.empty())
        lines.push_back(cfg.auth_header);
    return lines;
}

int http_post(const TransportConfig &cfg, const TransportNames &names, const std::string &text)
{
    CurlGlobal global;
    CurlEasy curl;
    if (!curl) {
        usi_list_set(names.usi_list, cfg.index, "status", "Send Failed");
        return 0;
    }
    CurlList headers;
    for (const std::string &line : http_headers(cfg))
        headers.append(line.c_str());

    Response resp{{}, &names};
    CURL *h = curl.get();
    curl_easy_setopt(h, CURLOPT_URL, cfg.server_address.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    if (cfg.has_credentials && !cfg.credentials.empty()) {
        curl_easy_setopt(h, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        curl_easy_setopt(h, CURLOPT_USERPWD, cfg.credentials.c_str());
    }
    curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(cfg.connect_timeout));
    const std::string ca = cfg.ca_file.empty() ? std::string() : fb::root_path(cfg.ca_file);
    if (cfg.tls) {
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
        if (!cfg.ca_file.empty()) {
            curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
            curl_easy_setopt(h, CURLOPT_CAINFO, ca.c_str());
        } else {
            curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
        }
    }
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, text.c_str());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(text.size()));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, curl_post_callback);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &resp);

    CURLcode rc = curl_easy_perform(h);
    if (rc != CURLE_OK)
        FB_LOG_ERR("failed: %s\n", curl_easy_strerror(rc));
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    // Only a completed exchange answered with 200 counts: a reply cut off by the timeout may carry
    // a status line, yet the server's handling of the body is unknown.
    if (rc == CURLE_OK && status == 200) {
        FB_LOG_VERBOSE("respond: %s", resp.body.c_str());
        usi_list_set(names.usi_list, cfg.index, "status", "Send successfully");
        return 1;
    }
    usi_list_set(names.usi_list, cfg.index, "status", "Send Failed");
    return 0;
}

} // namespace transport

// Owners of the libcurl resources used by the HTTP and FTP senders.
#pragma once

#include <curl/curl.h>

namespace transport {

// curl_global_init for the lifetime of one transfer, as the senders run one transfer at a time.
struct CurlGlobal {
    CurlGlobal() { curl_global_init(CURL_GLOBAL_ALL); }
    ~CurlGlobal() { curl_global_cleanup(); }
    CurlGlobal(const CurlGlobal &) = delete;
    CurlGlobal &operator=(const CurlGlobal &) = delete;
};

class CurlEasy {
public:
    CurlEasy() : h_(curl_easy_init()) {}
    ~CurlEasy()
    {
        if (h_)
            curl_easy_cleanup(h_);
    }
    CurlEasy(const CurlEasy &) = delete;
    CurlEasy &operator=(const CurlEasy &) = delete;
    CURL *get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }

private:
    CURL *h_;
};

class CurlList {
public:
    CurlList() = default;
    ~CurlList()
    {
        if (list_)
            curl_slist_free_all(list_);
    }
    CurlList(const CurlList &) = delete;
    CurlList &operator=(const CurlList &) = delete;
    bool append(const char *line)
    {
        curl_slist *next = curl_slist_append(list_, line);
        if (!next)
            return false;
        list_ = next;
        return true;
    }
    curl_slist *get() const { return list_; }

private:
    curl_slist *list_ = nullptr;
};

} // namespace transport

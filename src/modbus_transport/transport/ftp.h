// FTP upload of staged readings as one text file, with resume on retry (libcurl).
#pragma once

#include <ctime>
#include <string>

#include <curl/curl.h>

#include "transport/config.h"

namespace transport {

// The remote file name from the file_name template at local time `now`; empty when none is
// configured or the result is empty. `time_ok` false when the local time could not be read.
std::string ftp_file_name(const TransportConfig &cfg, time_t now, bool &time_ok);

// The name of the local copy: the remote name with every '/' turned into '_', so a template
// (or a description) holding directories never writes outside the spool directory.
std::string ftp_local_name(const std::string &remote);

// "ftp://host:port/path" with every path segment percent-encoded.
std::string ftp_url(const TransportConfig &cfg, const std::string &remote);

struct FtpResult {
    CURLcode code = CURLE_OK;
    long response = 0;
    bool local_unreadable = false; // the local file could not be opened for reading
    int attempts = 0;
    int resumed = 0;               // attempts that appended to a partial remote file
};

// Uploads the local file to `url` with up to connect_retry attempts; the first from the start,
// the later ones resuming after what the server already holds. An attempt counts only when the
// server then reports the full size.
FtpResult ftp_put(const TransportConfig &cfg, const std::string &local, const std::string &url);

} // namespace transport

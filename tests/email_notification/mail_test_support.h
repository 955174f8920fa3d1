// A real SMTP server for mail tests (aiosmtpd, see smtp_sink.py) and the msmtp configuration of a
// test root that points the mail client at it.
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "fbtest/support.h"

namespace mailtest
{

struct ReceivedMail {
    std::string raw;     // as received, CR LF line ends turned into LF
    std::string headers; // the lines before the first empty line
    std::string body;    // everything after it
    std::string rcpt;    // recipients, one per line
};

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline std::string crlf_to_lf(const std::string &s)
{
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n')
            continue;
        out += s[i];
    }
    return out;
}

// The server script, from the source tree the test was built from.
inline std::string sink_script()
{
#ifdef MAILTEST_SOURCE_DIR
    return std::string(MAILTEST_SOURCE_DIR) + "/tests/email_notification/smtp_sink.py";
#else
    return fbtest::source("tests/email_notification/smtp_sink.py");
#endif
}

class SmtpSink
{
  public:
    explicit SmtpSink(const fbtest::TempRoot &root, const std::string &name = "smtp_sink")
        : dir_(root.path("/tmp/" + name)), port_(fbtest::free_tcp_port())
    {
        std::filesystem::create_directories(dir_);
        proc_ = fbtest::Process({"/usr/bin/python3", sink_script(), dir_, std::to_string(port_)});
        if (!fbtest::wait_for_port(port_, fbtest::Millis(10000)))
            throw std::runtime_error("SMTP sink did not start: " + proc_.err());
    }
    ~SmtpSink() { stop(); }

    int port() const { return port_; }
    void stop() { proc_.stop(); }

    std::vector<ReceivedMail> mails() const
    {
        std::vector<std::string> names;
        for (const auto &e : std::filesystem::directory_iterator(dir_))
            if (e.path().extension() == ".eml")
                names.push_back(e.path().string());
        std::sort(names.begin(), names.end());
        std::vector<ReceivedMail> out;
        for (const auto &n : names) {
            ReceivedMail m;
            m.raw = crlf_to_lf(read_file(n));
            m.rcpt = read_file(n.substr(0, n.size() - 4) + ".rcpt");
            size_t split = m.raw.find("\n\n");
            m.headers = split == std::string::npos ? m.raw : m.raw.substr(0, split);
            m.body = split == std::string::npos ? "" : m.raw.substr(split + 2);
            out.push_back(std::move(m));
        }
        return out;
    }

    bool wait_for_count(size_t n, fbtest::Millis timeout) const
    {
        return fbtest::wait_until([&] { return mails().size() >= n; }, timeout);
    }

  private:
    std::string dir_;
    int port_;
    fbtest::Process proc_;
};

// $ROOT/etc/msmtprc, the only configuration msmtp reads under a root: the sink on 127.0.0.1.
inline void write_msmtprc(const fbtest::TempRoot &root, int port)
{
    root.write("/etc/msmtprc", "account default\nhost 127.0.0.1\nport " + std::to_string(port) +
                                   "\nfrom notifier@example.com\nauth off\ntls off\ntimeout 20\n");
    chmod(root.path("/etc/msmtprc").c_str(), 0600);
}

// The header lines of a mail, each folded line joined to the one before without the line end and
// the one blank the notifier puts at the start of a continuation line.
inline std::vector<std::string> header_lines(const std::string &headers)
{
    std::vector<std::string> lines;
    std::istringstream in(headers);
    std::string line;
    while (std::getline(in, line)) {
        if (!lines.empty() && !line.empty() && (line[0] == ' ' || line[0] == '\t'))
            lines.back() += line.substr(1);
        else
            lines.push_back(line);
    }
    return lines;
}

} // namespace mailtest

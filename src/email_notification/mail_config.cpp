#include "email_notification/mail_config.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <librouter.h>

#include "common/log.h"
#include "fieldbridge/root.h"

namespace email
{

namespace
{

constexpr const char *kChannelList = "email_notification.channel";
constexpr const char *kEventTable = "/etc/event/event_table";
constexpr size_t kLineMax = 255;

struct FreeDeleter {
    void operator()(char *p) const { free(p); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};

} // namespace

bool read_event_table(const char *path, std::vector<std::string> &names)
{
    std::unique_ptr<FILE, FileCloser> f(fopen(fb::root_path(path).c_str(), "r"));
    if (!f)
        return false;
    std::string line;
    int c;
    bool more = true;
    while (more) {
        line.clear();
        while ((c = fgetc(f.get())) != EOF && c != '\n') {
            if (line.size() < kLineMax)
                line.push_back(char(c));
        }
        more = c != EOF;
        size_t dash = line.find("--");
        if (dash == std::string::npos || dash == 0)
            continue;
        names.push_back(line.substr(0, dash));
    }
    return true;
}

bool config_init(MailConfig &config)
{
    config = MailConfig{};
    for (int row = 1; row <= kChannelCount; ++row) {
        if (!uci_list_match(kChannelList, row, "enable", "true"))
            continue;
        MailChannel &ch = config.channels[size_t(row - 1)];
        CString address(uci_list_get(kChannelList, row, "address"));
        if (!address || !*address.get()) {
            FB_LOG_ERR("get email address para error");
            config = MailConfig{};
            return false;
        }
        ch.enabled = true;
        ch.address = address.get();
        CString subject(uci_list_get(kChannelList, row, "subject"));
        if (subject)
            ch.subject = subject.get();
        ch.enable_timestamp = uci_list_match(kChannelList, row, "enable_timestamp", "true") != 0;

        std::vector<std::string> events;
        if (!read_event_table(kEventTable, events)) {
            FB_LOG_ERR("open event table file error!\n");
            continue;
        }
        for (const auto &name : events)
            if (uci_list_match(kChannelList, row, name.c_str(), "true"))
                config.selections.push_back({row - 1, name});
    }
    return true;
}

} // namespace email

// Mail channels (rows 1-10 of "email_notification.channel") and the events each one selected.
#pragma once

#include <array>
#include <string>
#include <vector>

namespace email
{

inline constexpr int kChannelCount = 10;
// Source name used in the memory-error lines of this program.
inline constexpr const char *kSourceName = "src/email_notifier.c";

struct MailChannel {
    bool enabled = false;
    std::string address; // recipients, separated by blanks
    std::string subject; // empty: no subject line
    bool enable_timestamp = false;
};

// One event a channel mails: {channel index 0-9, event name}, in load order.
struct Selection {
    int channel = 0;
    std::string event;
};

struct MailConfig {
    std::array<MailChannel, kChannelCount> channels;
    std::vector<Selection> selections;
};

// The event names of the event table: for every line that holds "--", the text before the first
// "--" when it is not empty. Lines count up to 255 characters. False when the file cannot be
// opened.
bool read_event_table(const char *path, std::vector<std::string> &names);

// Loads every enabled channel and its selected events. Logs and returns false when an enabled
// channel has no address; a missing event table only leaves that channel without events.
bool config_init(MailConfig &config);

} // namespace email

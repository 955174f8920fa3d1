// The queue of mails waiting for the uplink, filled from eventd notifications and emptied by the
// mail timer.
#pragma once

#include <functional>
#include <list>
#include <optional>
#include <string>

#include "email_notification/mail_config.h"

namespace email
{

// Attempts per mail, the failed ones counted in the log as (n/5).
inline constexpr int kMaxAttempts = 5;

struct MailItem {
    int channel = 0;
    int attempt = 1;
    std::string text;
    std::optional<std::string> timestamp;
};

// One eventd notification; null fields are missing ones.
struct Notification {
    const char *name = nullptr;
    const char *content = nullptr;
    const char *timestamp = nullptr;
    const char *level = nullptr;
    const char *message = nullptr; // optional; replaces content as the mail text
};

// Hands one composed message to the mail client; returns its exit status (0 is success).
using MailSender = std::function<int(const std::string &address, const std::string &message)>;

class MailQueue
{
  public:
    // Queues at most one mail per channel that selected the event. Returns 0, or 2 (invalid
    // argument) when name, content, timestamp or level is missing.
    int notify(const MailConfig &config, const Notification &n);

    // Sends every queued mail in order; a failed mail stays for the next round until it has
    // failed kMaxAttempts times.
    void send_all(const MailConfig &config, const MailSender &sender);

    bool empty() const { return items_.empty(); }
    size_t size() const { return items_.size(); }
    const std::list<MailItem> &items() const { return items_; }
    void clear() { items_.clear(); }

  private:
    std::list<MailItem> items_;
};

} // namespace email

#include "email_notification/mail_queue.h"

#include <cstring>

#include "common/log.h"
#include "email_notification/mail_delivery.h"

namespace email
{

int MailQueue::notify(const MailConfig &config, const Notification &n)
{
    if (!n.name || !n.content || !n.timestamp || !n.level)
        return 2;
    const char *text = n.message ? n.message : n.content;
    for (int ch = 0; ch < kChannelCount; ++ch) {
        for (const Selection &sel : config.selections) {
            if (sel.channel != ch || sel.event != n.name)
                continue;
            MailItem item;
            item.channel = ch;
            item.text = text;
            if (config.channels[size_t(ch)].enable_timestamp)
                item.timestamp = n.timestamp;
            items_.push_back(std::move(item));
            break;
        }
    }
    return 0;
}

void MailQueue::send_all(const MailConfig &config, const MailSender &sender)
{
    for (auto it = items_.begin(); it != items_.end();) {
        const MailChannel &ch = config.channels[size_t(it->channel)];
        const char *stamp = it->timestamp ? it->timestamp->c_str() : "";
        FB_LOG_DEBUG("subject: %s, address: %s, content: %s, %s", ch.subject.c_str(), ch.address.c_str(), stamp,
                     it->text.c_str());
        std::string message = compose_mail(ch.subject, it->timestamp ? &*it->timestamp : nullptr, it->text);
        if (sender(ch.address, message) == 0) {
            FB_LOG_INFO("send email successful");
            it = items_.erase(it);
            continue;
        }
        FB_LOG_ERR("send email failed, try to resend(%d/5)", it->attempt);
        if (++it->attempt > kMaxAttempts)
            it = items_.erase(it);
        else
            ++it;
    }
}

} // namespace email

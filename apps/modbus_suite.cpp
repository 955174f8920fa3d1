// modbus_suite: Modbus polling, forwarding and alarms.
#include "common/dispatch.h"

#ifdef FB_HAVE_MODBUS_POLL
#include "modbus_poll/modbus_poll.h"
#endif
#ifdef FB_HAVE_MODBUS_ALARM
#include "modbus_alarm/modbus_alarm.h"
#endif

static const fb::Applet kApplets[] = {
#ifdef FB_HAVE_MODBUS_POLL
    {"modbus_poll", modbus_poll_main},
#endif
#ifdef FB_HAVE_MODBUS_ALARM
    {"modbus_alarm", modbus_alarm_main},
#endif
#ifdef FB_HAVE_MODBUS_TRANSPORT
    // Its own program: TLS, HTTP, MQTT and SQLite are loaded only where they are used, not in
    // every poller (one per connection).
    {"modbus_transport", nullptr, "modbus_transport"},
#endif
    {nullptr, nullptr},
};

int main(int argc, char **argv)
{
    return fb::dispatch(kApplets, fb::UnknownReport::Stdout, argc, argv);
}

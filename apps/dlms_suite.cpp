// dlms_suite: DLMS meter reading, forwarding and configuration check.
#include "common/dispatch.h"

#ifdef FB_HAVE_DLMS_POLL
#include "dlms_poll/dlms_poll.h"
#endif
#ifdef FB_HAVE_DLMS_TRANSPORT
#include "dlms_transport/dlms_transport.h"
#endif
#ifdef FB_HAVE_DLMS_CHECK
#include "dlms_check/dlms_check.h"
#endif

static const fb::Applet kApplets[] = {
#ifdef FB_HAVE_DLMS_POLL
    {"dlms_poll", dlms_poll_main},
#endif
#ifdef FB_HAVE_DLMS_TRANSPORT
    {"dlms_transport", dlms_transport_main},
#endif
#ifdef FB_HAVE_DLMS_CHECK
    {"dlms_check", dlms_check_main},
#endif
    {nullptr, nullptr},
};

int main(int argc, char **argv)
{
    return fb::dispatch(kApplets, fb::UnknownReport::Stdout, argc, argv);
}

// dlms_iec104_gateway: DLMS meters served to IEC 104 masters.
#include "common/dispatch.h"

#ifdef FB_HAVE_DLMS_CLIENT
#include "dlms_client/dlms_client.h"
#endif
#ifdef FB_HAVE_IEC104_SERVER
#include "iec104_server/iec104_server.h"
#endif

static const fb::Applet kApplets[] = {
#ifdef FB_HAVE_DLMS_CLIENT
    {"dlms_client", dlms_client_main},
#endif
#ifdef FB_HAVE_IEC104_SERVER
    {"iec104_server", iec104_server_main},
#endif
    {nullptr, nullptr},
};

int main(int argc, char **argv)
{
    return fb::dispatch(kApplets, fb::UnknownReport::Stdout, argc, argv);
}

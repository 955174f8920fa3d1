// dnp3_iec104_gateway: DNP3 master to IEC 104 slave gateway. Unknown names go to syslog.
#include "common/dispatch.h"

#ifdef FB_HAVE_DNP3_MASTER
#include "dnp3_master/dnp3_master.h"
#endif
#ifdef FB_HAVE_IEC104_SLAVE
#include "iec104_slave/iec104_slave.h"
#endif

static const fb::Applet kApplets[] = {
#ifdef FB_HAVE_DNP3_MASTER
    {"dnp3_master", dnp3_master_main},
#endif
#ifdef FB_HAVE_IEC104_SLAVE
    {"iec104_slave", iec104_slave_main},
#endif
    {nullptr, nullptr},
};

int main(int argc, char **argv)
{
    return fb::dispatch(kApplets, fb::UnknownReport::Syslog, argc, argv);
}

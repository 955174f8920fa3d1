// modbus_dnp3_gateway: Modbus values served as a DNP3 outstation. Unknown names go to syslog.
#include "common/dispatch.h"

#ifdef FB_HAVE_DNP3_OUTSTATION
#include "dnp3_outstation/dnp3_outstation.h"
#endif
#ifdef FB_HAVE_DNP3_MODBUS
#include "dnp3_modbus/dnp3_modbus.h"
#endif

static const fb::Applet kApplets[] = {
#ifdef FB_HAVE_DNP3_OUTSTATION
    {"dnp3_outstation", dnp3_outstation_main},
#endif
#ifdef FB_HAVE_DNP3_MODBUS
    {"dnp3_modbus", dnp3_modbus_main},
#endif
    {nullptr, nullptr},
};

int main(int argc, char **argv)
{
    return fb::dispatch(kApplets, fb::UnknownReport::Syslog, argc, argv);
}

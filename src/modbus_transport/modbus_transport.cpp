#include "modbus_transport/modbus_transport.h"

#include "modbus_transport/modbus_flavour.h"
#include "transport/engine.h"

int modbus_transport_main(int argc, char **argv)
{
    static const modbus_transport::ModbusFlavour flavour;
    return transport::run_transport(flavour, argc, argv);
}

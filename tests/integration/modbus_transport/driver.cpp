// Test-only program that starts the applet under its own name, for integration tests that run
// before the multi-call program is built.
#include "modbus_transport/modbus_transport.h"

int main(int argc, char **argv)
{
    static char name[] = "modbus_transport";
    argv[0] = name;
    return modbus_transport_main(argc, argv);
}

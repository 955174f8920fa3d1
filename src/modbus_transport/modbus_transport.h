// The modbus_transport applet: forwards the readings of modbus_poll to one server.
#pragma once

int modbus_transport_main(int argc, char **argv);

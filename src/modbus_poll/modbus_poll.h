// modbus_poll: the Modbus master applet. Started as `modbus_poll <type> <index>` (type "rs485",
// "rs232" or "tcp"); polls the channels of the connections it serves and publishes their values,
// scan ends and statuses on the bus, and performs register writes asked for on the bus.
#pragma once

int modbus_poll_main(int argc, char **argv);

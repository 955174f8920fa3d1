// The modbus_alarm applet: compares the readings of every poller with the configured alarm rules
// and notifies the event daemon, SMS recipients and digital outputs when an alarm switches.
#pragma once

int modbus_alarm_main(int argc, char **argv);

// The mb_read_data event as the alarm applet receives it from the bus.
#pragma once

#include "modbus_alarm/alarm_config.h"
#include "modbus_alarm/alarm_eval.h"

struct blob_attr;

namespace mba
{

// Checks the event name and fields, then evaluates every matching alarm channel. Returns false
// when the event was dropped (its reason logged).
bool mba_handle_event(AlarmConfig &config, const char *type, struct blob_attr *msg, DecisionSink &sink);

} // namespace mba

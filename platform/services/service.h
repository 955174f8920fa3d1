// What the stand-in router services share: a bus connection that survives daemon restarts, a log
// line per received request, and a record of each request in the status store.
#pragma once

#include <initializer_list>
#include <utility>

#include <libubus.h>

namespace fb::services {

// Logs to syslog under the service's name and always to standard error: the services exist so
// that people and tests can watch what the applets asked for.
void log_open(const char *name);
void log_line(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Connects to the bus (waiting up to wait_ms for the daemon to appear), publishes `obj` and
// attaches the connection to the loop. After a lost connection it reconnects every second, and
// the object is published again. Returns false, after logging why, when the start fails.
bool bus_start(ubus_object *obj, const char *socket, int wait_ms);
ubus_context *bus_context();

using Field = std::pair<const char *, const char *>;

// Stores one received request as the next row of the status-store list `list` (a ring of the
// last kHistoryRows rows) and its number in "<list>_count". Fields with a null value are skipped.
inline constexpr int kHistoryRows = 100;
void record(const char *list, std::initializer_list<Field> fields);

// Parses msg with the policy; returns the index of the first required (first n_required) field
// that is missing, or -1 when all are there. A message that does not parse counts as missing
// field 0.
int parse_request(const blobmsg_policy *policy, int n_policy, int n_required, blob_attr *msg, blob_attr **tb);

// Runs the common main: options -s SOCKET, logging, the loop. `obj` is published on the bus.
int service_main(int argc, char **argv, const char *name, ubus_object *obj);

} // namespace fb::services

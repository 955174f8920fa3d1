// Logging for the bus programs and library: syslog, mirrored to standard error when
// FIELDBRIDGE_LOG_STDERR=1 so that tests and people at a terminal see the same lines.
#pragma once

namespace fb::bus {

// Opens syslog with `ident`, LOG_PID, facility user, and remembers ident for the mirror.
void log_open(const char *ident);
void log_msg(int priority, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

} // namespace fb::bus

// Error reporting inside the library: syslog under the caller's identity (the applet opened the
// log), mirrored to standard error when FIELDBRIDGE_LOG_STDERR=1 so tests and tools can read it.
#pragma once

#include <syslog.h>

namespace router {

void log_message(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));

} // namespace router

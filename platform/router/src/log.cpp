#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <librouter.h>

extern "C" {
unsigned char logenable = 1;
unsigned char logverbose = 0;
}

namespace router {

namespace {

void apply_switch(const char *name, unsigned char &flag)
{
    const char *value = std::getenv(name);
    if (!value)
        return;
    if (std::strcmp(value, "0") == 0)
        flag = 0;
    else if (std::strcmp(value, "1") == 0)
        flag = 1;
}

// The switches are the library's; the environment lets a test or a demo turn tracing on without a
// rebuild. Defined in this file so that any program reading the switches runs it.
[[maybe_unused]] const bool g_switches_read = [] {
    apply_switch("FIELDBRIDGE_LOGENABLE", logenable);
    apply_switch("FIELDBRIDGE_LOGVERBOSE", logverbose);
    return true;
}();

bool mirror_to_stderr()
{
    const char *value = std::getenv("FIELDBRIDGE_LOG_STDERR");
    return value && std::strcmp(value, "1") == 0;
}

} // namespace

void log_message(int priority, const char *format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    syslog(priority, "%s", line);
    if (mirror_to_stderr())
        std::fprintf(stderr, "%s\n", line);
}

} // namespace router

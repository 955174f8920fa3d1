#include "buslog.h"

#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" char *program_invocation_short_name;

namespace fb::bus {

static const char *g_ident = nullptr;

void log_open(const char *ident)
{
    g_ident = ident;
    openlog(ident, LOG_PID, LOG_USER);
}

void log_msg(int priority, const char *fmt, ...)
{
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof(text), fmt, ap);
    va_end(ap);
    syslog(priority, "%s", text);

    const char *mirror = std::getenv("FIELDBRIDGE_LOG_STDERR");
    if (mirror && std::strcmp(mirror, "1") == 0) {
        // One write per line, so lines of concurrent writers do not interleave.
        char line[1200];
        int n = std::snprintf(line, sizeof(line), "%s[%d]: %s\n", g_ident ? g_ident : program_invocation_short_name,
                              static_cast<int>(getpid()), text);
        if (n > 0) {
            std::size_t len = static_cast<std::size_t>(n) < sizeof(line) ? static_cast<std::size_t>(n) : sizeof(line) - 1;
            ssize_t ignored = write(STDERR_FILENO, line, len);
            (void) ignored;
        }
    }
}

} // namespace fb::bus

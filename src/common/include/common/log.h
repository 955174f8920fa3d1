// Logging conventions shared by every applet: errors and warnings always go out; informational and
// debug lines only when the support library's `logenable` is set, per-value traces only with
// `logverbose` as well. The structural error lines carry the source name the applet gives, the
// function and the line, so a field engineer can match a log line to the code.
#pragma once

#include <syslog.h>

#include <librouter.h>

#define FB_LOG_ERR(...) syslog(LOG_ERR, __VA_ARGS__)
#define FB_LOG_WARN(...) syslog(LOG_WARNING, __VA_ARGS__)
#define FB_LOG_INFO(...)                                                                                     \
    do {                                                                                                     \
        if (logenable)                                                                                       \
            syslog(LOG_INFO, __VA_ARGS__);                                                                   \
    } while (0)
#define FB_LOG_DEBUG(...)                                                                                    \
    do {                                                                                                     \
        if (logenable)                                                                                       \
            syslog(LOG_DEBUG, __VA_ARGS__);                                                                  \
    } while (0)
#define FB_LOG_VERBOSE(...)                                                                                  \
    do {                                                                                                     \
        if (logenable && logverbose)                                                                         \
            syslog(LOG_DEBUG, __VA_ARGS__);                                                                  \
    } while (0)

#define FB_MEMORY_ERROR(source_name) syslog(LOG_ERR, "memory error in %s, %s:%d", (source_name), __func__, __LINE__)
#define FB_CONF_ERROR(source_name) syslog(LOG_ERR, "error in %s, %s:%d", (source_name), __func__, __LINE__)

#include "common/dispatch.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <syslog.h>

namespace fb {

const char *applet_name(const char *argv0)
{
    if (!argv0)
        return "";
    const char *slash = strrchr(argv0, '/');
    return slash ? slash + 1 : argv0;
}

int dispatch(const Applet *table, UnknownReport report, int argc, char **argv)
{
    const char *name = applet_name(argc > 0 ? argv[0] : nullptr);
    int options = LOG_PID;
    const char *mirror = getenv("FIELDBRIDGE_LOG_STDERR");
    if (mirror && strcmp(mirror, "1") == 0)
        options |= LOG_PERROR;
    for (const Applet *a = table; a->name; ++a) {
        if (strcmp(a->name, name) == 0) {
            openlog(a->name, options, LOG_USER);
            return a->main(argc, argv);
        }
    }
    if (report == UnknownReport::Stdout) {
        printf("Unknown applet: %s\n", name);
        fflush(stdout);
    } else {
        openlog(name, options, LOG_USER);
        syslog(LOG_ERR, "Unknown applet: %s\n", name);
    }
    return 1;
}

} // namespace fb

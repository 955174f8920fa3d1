#include "common/dispatch.h"

#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <climits>
#include <cstring>
#include <syslog.h>
#include <unistd.h>

namespace fb
{

const char *applet_name(const char *argv0)
{
    if (!argv0)
        return "";
    const char *slash = strrchr(argv0, '/');
    return slash ? slash + 1 : argv0;
}

bool helper_path(const char *helper, char *out, size_t size)
{
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    char *slash = nullptr;
    if (n > 0) {
        self[n] = '\0';
        slash = strrchr(self, '/');
    }
    if (!slash) // no /proc: the router's own place
        return snprintf(out, size, "/usr/lib/fieldbridge/%s", helper) < int(size);
    *slash = '\0';
    return snprintf(out, size, "%s/../lib/fieldbridge/%s", self, helper) < int(size);
}

static int run_helper(const Applet &a, char **argv, bool mirrored)
{
    char path[PATH_MAX];
    int err = ENAMETOOLONG;
    if (helper_path(a.helper, path, sizeof path)) {
        execv(path, argv);
        err = errno;
    }
    syslog(LOG_ERR, "cannot start %s: %s", path, strerror(err));
    if (!mirrored) // someone starting it by hand sees why
        fprintf(stderr, "%s: cannot start %s: %s\n", a.name, path, strerror(err));
    return 1;
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
            return a->helper ? run_helper(*a, argv, options & LOG_PERROR) : a->main(argc, argv);
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

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

std::string helper_path(const char *helper)
{
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return std::string("/usr/lib/fieldbridge/") + helper;
    std::string dir(self, size_t(n));
    dir.erase(dir.rfind('/') + 1);
    return dir + "../lib/fieldbridge/" + helper;
}

static int run_helper(const Applet &a, char **argv, bool mirrored)
{
    const std::string path = helper_path(a.helper);
    execv(path.c_str(), argv);
    const int err = errno;
    syslog(LOG_ERR, "cannot start %s: %s", path.c_str(), strerror(err));
    if (!mirrored) // someone starting it by hand sees why
        fprintf(stderr, "%s: cannot start %s: %s\n", a.name, path.c_str(), strerror(err));
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

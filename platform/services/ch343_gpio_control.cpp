// ch343_gpio_control stand-in. The board utility drives the RS485 line driver through a GPIO of
// the USB serial bridge ("ch343_gpio_control set 8 low"). Here there is no GPIO: every call is
// appended as one line to $ROOT/tmp/services/ch343_gpio_control.log, and a "set" is also kept in
// the status store as "ch343_gpio.gpio<pin>".
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <librouter.h>

#include "fieldbridge/root.h"

namespace {

bool append_line(const std::string &path, const std::string &line)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    // O_APPEND with one write keeps lines of concurrent callers whole.
    bool ok = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    close(fd);
    return ok;
}

bool valid_pin(const char *s)
{
    char *end = nullptr;
    long pin = std::strtol(s, &end, 10);
    return *s && !*end && pin >= 0 && pin <= 31;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "Usage: %s set <pin> <high|low> | get <pin>\n", argv[0]);
        return 1;
    }
    std::string line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            line += ' ';
        line += argv[i];
    }
    line += '\n';
    std::string dir = fb::root_path("/tmp/services");
    mkdir(fb::root_path("/tmp").c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    if (!append_line(dir + "/ch343_gpio_control.log", line)) {
        std::fprintf(stderr, "%s: cannot record the call in %s: %s\n", argv[0], dir.c_str(), std::strerror(errno));
        return 1;
    }
    if (std::strcmp(argv[1], "set") == 0) {
        if (argc != 4 || !valid_pin(argv[2]) || (std::strcmp(argv[3], "high") && std::strcmp(argv[3], "low"))) {
            std::fprintf(stderr, "Usage: %s set <pin> <high|low>\n", argv[0]);
            return 1;
        }
        std::string key = std::string("ch343_gpio.gpio") + argv[2];
        usi_set(key.c_str(), argv[3]);
    }
    return 0;
}

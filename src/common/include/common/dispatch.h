// Multi-call dispatch: one program, several daemons, chosen by the name it was started under.
#pragma once

#include <cstddef>

namespace fb
{

struct Applet {
    const char *name;
    int (*main)(int argc, char **argv);
    // Set instead of `main` for an applet that runs in a program of its own, installed as
    // <program's directory>/../lib/fieldbridge/<helper>: an applet whose libraries (TLS, HTTP,
    // MQTT, SQLite) would otherwise be loaded into every process of the multi-call program.
    const char *helper = nullptr;
};

enum class UnknownReport { Stdout, Syslog };

// Strips argv[0] up to the last '/', finds the exact (case-sensitive) name in `table` (ended by a
// null name), opens syslog under that name and runs the entry with the unchanged arguments.
// A helper entry replaces the process with the helper program, same arguments and environment;
// when that fails, "cannot start <path>: <reason>" goes to syslog and standard error, giving 1.
// An unknown name prints "Unknown applet: %s\n" (standard output or syslog) and gives 1.
int dispatch(const Applet *table, UnknownReport report, int argc, char **argv);

// Where a helper program is installed, next to the running program, written to `out` (plain
// characters: the programs that link this stay free of the C++ library). False when it does not fit.
bool helper_path(const char *helper, char *out, size_t size);

// The name `dispatch` compares: everything after the last '/'.
const char *applet_name(const char *argv0);

} // namespace fb

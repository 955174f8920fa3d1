// Multi-call dispatch: one program, several daemons, chosen by the name it was started under.
#pragma once

namespace fb {

struct Applet {
    const char *name;
    int (*main)(int argc, char **argv);
};

enum class UnknownReport { Stdout, Syslog };

// Strips argv[0] up to the last '/', finds the exact (case-sensitive) name in `table` (ended by a
// null name), opens syslog under that name and runs the entry with the unchanged arguments.
// An unknown name prints "Unknown applet: %s\n" (standard output or syslog) and gives 1.
int dispatch(const Applet *table, UnknownReport report, int argc, char **argv);

// The name `dispatch` compares: everything after the last '/'.
const char *applet_name(const char *argv0);

} // namespace fb

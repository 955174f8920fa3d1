// Prints the library's log switches as the process sees them after start-up.
#include <librouter.h>

#include <cstdio>

int main()
{
    std::printf("%d %d\n", logenable, logverbose);
    return 0;
}

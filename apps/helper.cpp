// An applet that runs in a program of its own under lib/fieldbridge, started by its multi-call
// program (which replaces itself with this one, arguments unchanged). The build names the applet:
// FB_HELPER_NAME (its name as a string), FB_HELPER_MAIN (its entry) and FB_HELPER_REPORT (how an
// unknown name is reported, as in the multi-call program).
#include "common/dispatch.h"

int FB_HELPER_MAIN(int argc, char **argv);

static const fb::Applet kApplets[] = {
    {FB_HELPER_NAME, FB_HELPER_MAIN},
    {nullptr, nullptr},
};

int main(int argc, char **argv)
{
    return fb::dispatch(kApplets, fb::UnknownReport::FB_HELPER_REPORT, argc, argv);
}

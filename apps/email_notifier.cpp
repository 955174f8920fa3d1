// email_notifier: mails selected events of the event daemon. A single program, no applet table.
#include "email_notification/email_notifier.h"

int main(int argc, char **argv)
{
    return email_notifier_main(argc, argv);
}
